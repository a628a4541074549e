#include "core/ConnectionTable.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "core/CallbacksManager.h"
#include "lumen/Errors.h"

namespace lumen::details {
namespace {

struct ConnectionTable {
  std::mutex mutex;
  std::map<int64_t, uint32_t> nativeById;
  int64_t lastId = 0;
  int disconnectSubscription = 0;

  // Runs on the thread that publishes the disconnect, under the bus mutex.
  void OnDisconnect(unsigned int native) {
    std::lock_guard lock(mutex);
    for (auto it = nativeById.begin(); it != nativeById.end(); ++it) {
      if (it->second == native) {
        nativeById.erase(it);
        return;
      }
    }
  }
};

ConnectionTable& Table() {
  // Never destroyed: its disconnect handler stays on the bus for good.
  static ConnectionTable* const table = new ConnectionTable();
  return *table;
}

// Lock order is bus before table, so subscribe without holding the table mutex.
void SubscribeDisconnectOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    ConnectionTable& table = Table();
    int id = 0;
    Subscribe<unsigned int>(
        "common_evt_disconnect", [&table](unsigned int native) { table.OnDisconnect(native); }, &id);
    std::lock_guard lock(table.mutex);
    table.disconnectSubscription = id;
  });
}

std::string NotConnectedText(int64_t id) {
  char text[64];
  std::snprintf(text, sizeof text, "handle(%+lld) not connected", static_cast<long long>(id));
  return text;
}

}  // namespace

DeviceConnectionHandle::DeviceConnectionHandle() {
  SubscribeDisconnectOnce();
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  m_id = ++table.lastId;
}

void DeviceConnectionHandle::Connect(uint32_t native) {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  for (const auto& [id, bound] : table.nativeById) {
    if (bound == native) {
      throw KesBluetoothSDKLibError("Native connection handle (Bluegiga or Nordic) is already in use", kErrorGeneral);
    }
  }
  if (table.nativeById.count(m_id) != 0) {
    throw KesBluetoothSDKLibError("Device connection handle already has an open connection", kErrorGeneral);
  }
  table.nativeById.emplace(m_id, native);
}

bool DeviceConnectionHandle::IsConnected() const {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  return table.nativeById.count(m_id) != 0;
}

uint32_t GetNativeHandle(DeviceConnectionHandle h) {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  const auto it = table.nativeById.find(h.id());
  if (it == table.nativeById.end()) {
    throw KesBluetoothSDKLibError(NotConnectedText(h.id()), kErrorGeneral);
  }
  return it->second;
}

void RemoveConnection(DeviceConnectionHandle h) {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.nativeById.erase(h.id());
}

void TakeOverConnection(DeviceConnectionHandle newHandle, DeviceConnectionHandle oldHandle) {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.nativeById.count(newHandle.id()) != 0) {
    throw KesBluetoothSDKLibError("Handle already connected to Bluegiga handle, cannot connect to different handle",
                                  kErrorGeneral);
  }
  const auto old = table.nativeById.find(oldHandle.id());
  if (old == table.nativeById.end()) {
    return;
  }
  const uint32_t native = old->second;
  table.nativeById.erase(old);
  table.nativeById[newHandle.id()] = native;
}

void ClearAllConnections() {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.nativeById.clear();
}

bool AnyConnectionOpen() {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  return !table.nativeById.empty();
}

std::vector<uint32_t> OpenNativeHandles() {
  ConnectionTable& table = Table();
  std::lock_guard lock(table.mutex);
  std::vector<uint32_t> natives;
  natives.reserve(table.nativeById.size());
  for (const auto& [id, native] : table.nativeById) {
    natives.push_back(native);
  }
  return natives;
}

}  // namespace lumen::details

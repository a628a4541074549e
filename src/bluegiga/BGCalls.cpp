#include "bluegiga/BGCalls.h"

#include <algorithm>
#include <boost/core/noncopyable.hpp>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "bluegiga/BgApi.h"
#include "bluegiga/CommandWaiter.h"
#include "bluegiga/SerialThread.h"
#include "core/BluetoothSDK.h"
#include "core/CaptureTap.h"
#include "core/CommonDataNotificationEvent.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/MessageQueue.h"
#include "lumen/BGLibError.h"
#include "lumen/BluegigaHelper.h"

namespace lumen::details::BGCalls {

using namespace bglib;

namespace {

constexpr int kDefaultTimeoutMs = 3000;
constexpr int kTimeoutWhenUnsetMs = 30000;
constexpr uint32_t kDelayedResetBootWaitMs = 10000;
// BGAPI results this layer acts on.
enum Result : uint16_t { kResultWrongState = 0x0181, kResultTimeout = 0x0185, kAttInvalidHandle = 0x0401 };
constexpr size_t kMaxArrayBytes = 255;  // BGAPI arrays carry a one-byte length
constexpr uint8_t kConnectionConnected = 0x01;
constexpr const char* kPortGoneText = " - the radio's serial port is gone";

std::atomic<int> g_responseTimeoutMs{kDefaultTimeoutMs};
std::atomic<int> g_eventTimeoutMs{kDefaultTimeoutMs};
// operationLock is taken before sendLock, never the other way round, and no
// bus handler takes either.
std::mutex g_operationLock;
std::mutex g_sendLock;
std::atomic<bool> g_scanning{false};
std::atomic<void (*)(bool)> g_scanningStateCallback{nullptr};
std::atomic<int> g_maxConnections{0};
// Set when a command went unanswered: the radio may hold links the library
// believes closed (a disconnect it never received).
std::atomic<bool> g_reconcilePending{false};
std::mutex g_reconcileWakeMutex;
std::function<void()> g_reconcileWake;
const void* g_reconcileWakeOwner = nullptr;

void WakeReconciler() {
  std::lock_guard lock(g_reconcileWakeMutex);
  if (g_reconcileWake) {
    g_reconcileWake();
  }
}

void RequestReconciliation() {
  g_reconcilePending = true;
  WakeReconciler();
}

bool PortGone() {
  const std::shared_ptr<SerialThread> serial = SerialThread::InstanceOrNull();
  return serial && serial->IsLost();
}

// A command to a radio whose port has gone fails at once: no write, no wait,
// no hardware-failure callback (the transport has already reported the loss).
void ThrowIfPortGone(const char* commandName) {
  if (PortGone()) {
    throw BGLibError(std::string(commandName) + kPortGoneText, kErrorGeneral);
  }
}

uint32_t ResponseWaitMs() { return static_cast<uint32_t>(g_responseTimeoutMs.load()); }
uint32_t EventWaitMs() { return static_cast<uint32_t>(g_eventTimeoutMs.load()); }

// What the line cannot show, for a running capture: a wait that ran out.
void NoteNoResponse(const char* commandName, uint32_t waitMs) {
  if (Capturing()) {
    CaptureNote("no response to " + std::string(commandName) + " within " + std::to_string(waitMs) + " ms");
  }
}

void NoteNoCompletingEvent(const std::string& what, uint32_t waitMs) {
  if (Capturing()) {
    CaptureNote("no completing event for " + what + " within " + std::to_string(waitMs) + " ms");
  }
}

// A completing event that never came.
[[noreturn]] void ThrowUnfinished(const char* commandName, const std::string& text, int code = kErrorGeneral) {
  ThrowIfPortGone(commandName);
  CountNoCompletingEvent();
  NoteNoCompletingEvent(commandName, EventWaitMs());
  RequestReconciliation();
  throw BGLibError(text, code);
}

[[noreturn]] void ThrowResult(const std::string& text, uint16_t result) {
  throw BGLibError(text, result == kAttInvalidHandle ? kErrorInvalidHandle : result);
}

void CheckResponse(const CommandWaiter& waiter, const std::string& text) {
  if (const uint16_t result = waiter.responseResult.load(); result != 0) {
    ThrowResult(text, result);
  }
}

void CheckCompletion(const CommandWaiter& waiter, const std::string& text) {
  if (const uint16_t result = waiter.completionResult.load(); result != 0) {
    ThrowResult(text, result);
  }
}

// How deep this thread is in operations holding g_operationLock, and whether
// one of them met a silent radio.
thread_local int t_operationDepth = 0;
thread_local bool t_hardwareFailurePending = false;

// The operation lock. A silent radio's hardware-failure callback is held back
// until the lock is released, so the callback may use the radio (stop the
// scan, disconnect) without deadlocking its own thread or stalling others.
class OperationLock : private boost::noncopyable {
 public:
  OperationLock() : m_lock(g_operationLock) { ++t_operationDepth; }
  ~OperationLock() {
    m_lock.unlock();
    if (--t_operationDepth == 0 && std::exchange(t_hardwareFailurePending, false)) {
      NotifyHardwareFailure();  // catches whatever the callback throws
    }
  }

 private:
  std::unique_lock<std::mutex> m_lock;
};

// A wait cut short by the port going away is no silence of the radio's.
bool CountUnanswered(bool answered, const char* commandName, uint32_t waitMs) {
  if (!answered && !PortGone()) {
    CountNoResponse();
    NoteNoResponse(commandName, waitMs);
  }
  return answered;
}

template <class Send>
bool SendAndWait(CommandWaiter& waiter, const char* commandName, Send&& send) {
  std::lock_guard lock(g_sendLock);
  send();
  const uint32_t waitMs = ResponseWaitMs();
  return CountUnanswered(waiter.response.WaitFor(waitMs), commandName, waitMs);
}

// Sends under the send lock and waits for the response. A silent radio
// calls the application's hardware-failure callback before the throw, or,
// inside an operation, as soon as its lock is released.
template <class Send>
void SendAndAwaitResponse(CommandWaiter& waiter, const char* commandName, Send&& send) {
  ThrowIfPortGone(commandName);
  if (!SendAndWait(waiter, commandName, std::forward<Send>(send))) {
    ThrowIfPortGone(commandName);
    if (t_operationDepth > 0) {
      t_hardwareFailurePending = true;
    } else {
      NotifyHardwareFailure();
    }
    RequestReconciliation();
    throw BGLibError(std::string(commandName) + " - no response", kErrorGeneral);
  }
  if (g_reconcilePending.load()) {
    WakeReconciler();  // the radio answers again: a pass that failed can now succeed
  }
}

template <class Record>
void OnResultResponse(CommandWaiter& waiter, const char* name) {
  waiter.On<const Record*>(name, [&waiter](const Record* response) {
    waiter.responseResult = response->result;
    waiter.response.Set();
  });
}

// A response about another connection leaves the result unset; `mismatch`,
// when given, is logged as a WARNING then.
template <class Record>
void OnConnectionResponse(CommandWaiter& waiter, const char* name, uint8_t connection, const char* mismatch = nullptr) {
  waiter.On<const Record*>(name, [&waiter, connection, mismatch](const Record* response) {
    if (response->connection == connection) {
      waiter.responseResult = response->result;
    } else if (mismatch != nullptr) {
      Log(kWarning, mismatch);
    }
    waiter.response.Set();
  });
}

void OnEmptyResponse(CommandWaiter& waiter, const char* name) {
  waiter.On<const void*>(name, [&waiter](const void*) { waiter.response.Set(); });
}

// The whole exchange of a command that only answers with a result code.
template <class Record, class Send>
void RunResultCommand(const char* responseName, const char* commandName, const std::string& failureText, Send&& send) {
  CommandWaiter waiter;
  OnResultResponse<Record>(waiter, responseName);
  SendAndAwaitResponse(waiter, commandName, std::forward<Send>(send));
  CheckResponse(waiter, failureText);
}

void OnDisconnectDuringProcedure(CommandWaiter& waiter, uint8_t connection) {
  waiter.On<unsigned int>("common_evt_disconnect", [&waiter, connection](unsigned int disconnected) {
    if (disconnected == connection) {
      waiter.completionResult = kErrorUnexpectedDisconnect;
      waiter.completed.Set();
    }
  });
}

void OnProcedureCompleted(CommandWaiter& waiter, uint8_t connection, std::optional<uint16_t> attHandle) {
  waiter.On<const ble_msg_attclient_procedure_completed_evt_t*>(
      "ble_evt_attclient_procedure_completed",
      [&waiter, connection, attHandle](const ble_msg_attclient_procedure_completed_evt_t* event) {
        if (event->connection != connection || (attHandle && event->chrhandle != *attHandle)) {
          return;
        }
        if (!attHandle) {
          Log(kDebug, "ble_evt_attclient_procedure_completed", event->connection, event->result);
        }
        waiter.completionResult = event->result;
        waiter.completed.Set();
      });
}

// A read's value as the message-queue thread delivers it, for the caller waiting on the read.
class ArrivingValue {
 public:
  void Replace(const std::vector<uint8_t>& data) {
    std::lock_guard lock(m_mutex);
    m_value = data;
  }
  void Append(const std::vector<uint8_t>& data) {
    std::lock_guard lock(m_mutex);
    m_value.insert(m_value.end(), data.begin(), data.end());
  }
  std::vector<uint8_t> Get() {
    std::lock_guard lock(m_mutex);
    return m_value;
  }

 private:
  std::mutex m_mutex;
  std::vector<uint8_t> m_value;
};

// Values of one attribute on one connection: read results and notifications
// alike, delivered on the message-queue thread.
void OnValue(CommandWaiter& waiter, uint8_t connection, uint16_t attHandle,
             std::function<void(const std::vector<uint8_t>&)> take) {
  waiter.On<const CommonDataNotificationEvent_t*>(
      "common_evt_data_notification",
      [connection, attHandle, take = std::move(take)](const CommonDataNotificationEvent_t* notification) {
        if (notification->connection != connection || notification->attHandle != attHandle) {
          return;
        }
        if (Logger::IsEnabled()) {
          Log(kDebug, "common_evt_data_notification", "Connection Handle:", connection, "Attribute Handle:", attHandle,
              "Data:", ToString(notification->data));
        }
        take(notification->data);
      });
}

void AwaitCompletion(CommandWaiter& waiter, const char* commandName, const std::string& failureText,
                     const std::string& noEventText, int noEventCode = kErrorGeneral) {
  const bool completed = waiter.completed.WaitFor(EventWaitMs());
  CheckCompletion(waiter, failureText);
  if (!completed) {
    ThrowUnfinished(commandName, noEventText, noEventCode);
  }
}

// The frame of an attribute-client procedure on connection c: its response,
// then its completed event (for attHandle, when given) or the connection's end.
template <class Response, class Send>
void RunProcedure(CommandWaiter& waiter, uint8_t c, std::optional<uint16_t> attHandle, const char* commandName,
                  const char* responseName, const std::string& waitFailureText, int noEventCode, Send&& send) {
  OnProcedureCompleted(waiter, c, attHandle);
  OnDisconnectDuringProcedure(waiter, c);
  OnConnectionResponse<Response>(waiter, responseName, c);
  SendAndAwaitResponse(waiter, commandName, std::forward<Send>(send));
  CheckResponse(waiter, std::string(commandName) + " failed");
  AwaitCompletion(waiter, commandName, waitFailureText, std::string(commandName) + " - no completed event",
                  noEventCode);
}

uint8_t NativeConnection(DeviceConnectionHandle h, const char* commandName) {
  ThrowIfPortGone(commandName);
  return static_cast<uint8_t>(GetNativeHandle(h));
}

void CheckArrayLength(const std::vector<uint8_t>& data, const char* commandName) {
  // A longer vector would go out with a wrapped length byte and a truncated
  // value, and the caller would believe the write happened.
  if (data.size() > kMaxArrayBytes) {
    throw BGLibError(std::string(commandName) + " data longer than 255 bytes", kErrorGeneral);
  }
}

std::string FlagsText(uint8_t flags) {
  static constexpr std::pair<uint8_t, const char*> kNames[] = {{0x01, " connection_connected"},
                                                               {0x02, " connection_encrypted"},
                                                               {0x04, " connection_completed"},
                                                               {0x08, " connection_parameters_change"}};
  constexpr uint8_t kKnownFlags = 0x0F;
  if (flags > kKnownFlags) {
    Log(kError, "connection flags value does not conform to Bluegiga SDK, value = decimal", flags);
  }
  std::string text = std::to_string(flags);
  for (const auto& [bit, name] : kNames) {
    if ((flags & bit) != 0) {
      text += name;
    }
  }
  return text;
}

std::vector<uint8_t> LittleEndianUuidBytes(const Uuid& uuid) {
  std::vector<uint8_t> bytes(uuid.bytes(), uuid.bytes() + uuid.size());
  if (!uuid.IsShort()) {
    std::reverse(bytes.begin(), bytes.end());  // long UUIDs are stored in text order
  }
  return bytes;
}

void SetScanning(bool scanning) {
  if (g_scanning.exchange(scanning) != scanning) {
    if (auto* callback = g_scanningStateCallback.load()) {
      try {
        callback(scanning);
      } catch (const std::exception& e) {
        Log(kError, "Scanning state callback threw:", e.what());
      } catch (...) {
        Log(kError, "Scanning state callback threw a non-standard exception");
      }
    }
  }
}

void EndProcedureLocked() {
  SetScanning(false);  // before sending, so a failing end still leaves it false
  CommandWaiter waiter;
  OnResultResponse<ble_msg_gap_end_procedure_rsp_t>(waiter, "ble_rsp_gap_end_procedure");
  SendAndAwaitResponse(waiter, "ble_cmd_gap_end_procedure", [] {
    Log(kDebug, "Send command: ble_cmd_gap_end_procedure");
    ble_cmd_gap_end_procedure();
  });
  const uint16_t result = waiter.responseResult.load();
  if (result == kResultWrongState) {
    Log(kDebug,
        "EndProcedure returned with status 0x181 (decimal 385) \"Device in wrong state\", which is usually harmless "
        "(nothing needed to be ended)");
    return;
  }
  if (result != 0) {
    Log(kWarning, "EndProcedure returned with status:", result);
    ThrowResult("ble_cmd_gap_end_procedure failed", result);
  }
}

// Closes a link no library handle owns; failures are only logged.
void DisconnectUnboundLocked(uint8_t connection) {
  try {
    CommandWaiter waiter;
    waiter.On<unsigned int>("common_evt_disconnect", [&waiter, connection](unsigned int disconnected) {
      if (disconnected == connection) {
        waiter.completed.Set();
      }
    });
    OnConnectionResponse<ble_msg_connection_disconnect_rsp_t>(waiter, "ble_rsp_connection_disconnect", connection);
    SendAndAwaitResponse(waiter, "ble_cmd_connection_disconnect", [connection] {
      Log(kDebug, "Send command: ble_cmd_connection_disconnect", connection);
      ble_cmd_connection_disconnect(connection);
    });
    CheckResponse(waiter, "ble_cmd_connection_disconnect failed");
    if (!waiter.completed.WaitFor(EventWaitMs())) {
      CountNoCompletingEvent();
      NoteNoCompletingEvent("ble_cmd_connection_disconnect", EventWaitMs());
      Log(kWarning, "ble_cmd_connection_disconnect - no disconnect event for unowned connection", connection);
    }
  } catch (const std::exception& e) {
    Log(kWarning, "Disconnecting unowned connection", connection, "failed:", e.what());
  }
}

// Closes a link found by reconciliation. Its own silence is not reported to
// the application: the pass is only retried.
bool CloseUnownedLink(uint8_t connection) {
  CommandWaiter waiter;
  waiter.On<unsigned int>("common_evt_disconnect", [&waiter, connection](unsigned int disconnected) {
    if (disconnected == connection) {
      waiter.completed.Set();
    }
  });
  OnConnectionResponse<ble_msg_connection_disconnect_rsp_t>(waiter, "ble_rsp_connection_disconnect", connection);
  if (!SendAndWait(waiter, "ble_cmd_connection_disconnect", [connection] {
        Log(kDebug, "Send command: ble_cmd_connection_disconnect", static_cast<int>(connection));
        ble_cmd_connection_disconnect(connection);
      })) {
    return false;
  }
  if (const uint16_t result = waiter.responseResult.load(); result != 0) {
    Log(kWarning, "Reconcile connections: disconnecting connection", static_cast<int>(connection), "failed:", result);
    return true;  // the radio answered: nothing a retry would change
  }
  if (!waiter.completed.WaitFor(EventWaitMs())) {
    CountNoCompletingEvent();
    NoteNoCompletingEvent("ble_cmd_connection_disconnect", EventWaitMs());
    Log(kWarning, "Reconcile connections: no disconnect event for connection", static_cast<int>(connection));
  }
  return true;
}

// Asks the radio for each connection slot's status and closes every live
// link the connection table does not hold. Runs under the operation lock, so
// no connect is binding a new link meanwhile. Returns false (and stays
// pending) when the radio did not answer.
bool ReconcileLocked() {
  if (!g_reconcilePending.exchange(false)) {
    return true;
  }
  std::map<uint8_t, std::string> live;  // connection -> peer address
  bool answered = true;
  {
    std::mutex liveMutex;
    std::map<uint8_t, std::string> reported;
    CommandWaiter statuses;
    statuses.On<const ble_msg_connection_status_evt_t*>(
        "ble_evt_connection_status", [&liveMutex, &reported](const ble_msg_connection_status_evt_t* status) {
          if ((status->flags & kConnectionConnected) == 0) {
            return;
          }
          const bd_addr_t address = status->address;
          std::lock_guard lock(liveMutex);
          reported[status->connection] = Helper::BgAddrToAddress(&address, status->address_type).ToString();
        });
    const int slots = g_maxConnections.load();
    for (int slot = 0; slot < slots && answered; ++slot) {
      const auto connection = static_cast<uint8_t>(slot);
      CommandWaiter waiter;
      waiter.On<const ble_msg_connection_get_status_rsp_t*>(
          "ble_rsp_connection_get_status", [&waiter, connection](const ble_msg_connection_get_status_rsp_t* response) {
            if (response->connection == connection) {
              waiter.response.Set();
            }
          });
      answered = SendAndWait(waiter, "ble_cmd_connection_get_status", [connection] {
        Log(kDebug, "Send command: ble_cmd_connection_get_status", static_cast<int>(connection));
        ble_cmd_connection_get_status(connection);
      });
    }
    if (answered) {
      // A slot's status event follows its response; one more round trip
      // makes sure the last one has been delivered.
      CommandWaiter waiter;
      OnEmptyResponse(waiter, "ble_rsp_system_hello");
      answered = SendAndWait(waiter, "ble_cmd_system_hello", [] {
        Log(kDebug, "Send command: ble_cmd_system_hello");
        ble_cmd_system_hello();
      });
    }
    std::lock_guard lock(liveMutex);
    live.swap(reported);
  }  // unsubscribed here: the disconnects below wait on the reader thread
  if (!answered) {
    Log(kInfo, "Reconcile connections: the radio did not answer, trying again later");
    g_reconcilePending = true;
    return false;
  }
  const std::vector<uint32_t> owned = OpenNativeHandles();
  for (const auto& [connection, address] : live) {
    if (std::find(owned.begin(), owned.end(), connection) != owned.end()) {
      continue;
    }
    if (!CloseUnownedLink(connection)) {
      Log(kInfo, "Reconcile connections: the radio did not answer, trying again later");
      g_reconcilePending = true;
      return false;
    }
    Log(kInfo, "Reconcile connections: closed connection", static_cast<int>(connection), "to", address,
        "that the radio still held but no device owns");
  }
  return true;
}

// Waits for a boot event after a reset; the wait survives the port closing
// while the radio restarts.
template <class BootRecord>
void ResetAndAwaitBoot(const char* bootEvent, const std::string& failureText, const std::function<void()>& send) {
  auto booted = std::make_shared<Event>();
  booted->SetIgnoreGlobalReset();
  CommandWaiter waiter;
  waiter.On<const BootRecord*>(bootEvent, [booted](const BootRecord*) { booted->Set(); });
  send();
  if (!booted->WaitFor(EventWaitMs())) {
    CountNoCompletingEvent();
    NoteNoCompletingEvent(std::string("the reset (") + bootEvent + ")", EventWaitMs());
    throw BGLibError(failureText, kErrorGeneral);
  }
}

}  // namespace

void SetReconciliationWake(const void* owner, std::function<void()> wake) {
  std::lock_guard lock(g_reconcileWakeMutex);
  g_reconcileWakeOwner = owner;
  g_reconcileWake = std::move(wake);
}

void ClearReconciliationWake(const void* owner) {
  std::lock_guard lock(g_reconcileWakeMutex);
  if (g_reconcileWakeOwner == owner) {
    g_reconcileWakeOwner = nullptr;
    g_reconcileWake = nullptr;
  }
}

void ClearReconciliation() { g_reconcilePending = false; }

bool ReconcileConnections() {
  OperationLock operation;
  if (PortGone()) {
    return true;  // its links went with the port
  }
  return ReconcileLocked();
}

void SetTimeouts(int responseMs, int eventMs) {
  const int response = responseMs <= 0 ? kTimeoutWhenUnsetMs : responseMs;
  const int event = eventMs <= 0 ? kTimeoutWhenUnsetMs : eventMs;
  g_responseTimeoutMs = response;
  g_eventTimeoutMs = event;
  Log(kDebug, "lumen::details::BGCalls::SetTimeouts", "Wait response timeout", response, "Wait event timeout", event);
}

int ResponseTimeoutMs() { return g_responseTimeoutMs.load(); }
int EventTimeoutMs() { return g_eventTimeoutMs.load(); }

bool Hello() {
  CommandWaiter waiter;
  OnEmptyResponse(waiter, "ble_rsp_system_hello");
  std::lock_guard lock(g_sendLock);
  Log(kDebug, "Send command: ble_cmd_system_hello");
  ble_cmd_system_hello();
  const uint32_t waitMs = ResponseWaitMs();
  return CountUnanswered(waiter.response.WaitFor(waitMs), "ble_cmd_system_hello", waitMs);
}

FirmwareInfo GetInfo() {
  FirmwareInfo info;
  {
    CommandWaiter waiter;
    waiter.On<const ble_msg_system_get_info_rsp_t*>("ble_rsp_system_get_info",
                                                    [&waiter, &info](const ble_msg_system_get_info_rsp_t* response) {
                                                      info.major = response->major;
                                                      info.minor = response->minor;
                                                      info.patch = response->patch;
                                                      info.build = response->build;
                                                      info.llVersion = response->ll_version;
                                                      info.protocolVersion = response->protocol_version;
                                                      info.hardware = response->hw;
                                                      waiter.response.Set();
                                                    });
    SendAndAwaitResponse(waiter, "ble_cmd_system_get_info", [] {
      Log(kDebug, "Send command: ble_cmd_system_get_info");
      ble_cmd_system_get_info();
    });
  }
  info.maxConnections = GetMaxConnections(static_cast<uint16_t>(ResponseTimeoutMs()), false);
  return info;
}

uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) {
  OperationLock operation;
  std::atomic<int> maxConnections{-1};
  std::atomic<int> slotsReported{0};
  CommandWaiter waiter;
  waiter.On<const ble_msg_connection_status_evt_t*>(
      "ble_evt_connection_status",
      [&waiter, &maxConnections, &slotsReported, printConnections](const ble_msg_connection_status_evt_t* status) {
        if (printConnections) {
          const bd_addr_t address = status->address;
          Log(kInfo, "Connection:", status->connection, "Flags:", FlagsText(status->flags),
              "Address:", Helper::BgAddrToAddress(&address, status->address_type).ToString(),
              "Address type:", status->address_type, "Connection interval:", status->conn_interval,
              "Timeout (units of 1.25us):", status->timeout, "Latency (units of 10ms):", status->latency,
              "Bonding (FF = not bonded):", status->bonding);
        }
        if (++slotsReported == maxConnections.load()) {
          waiter.completed.Set();
        }
      });
  waiter.On<const ble_msg_system_get_connections_rsp_t*>(
      "ble_rsp_system_get_connections",
      [&waiter, &maxConnections](const ble_msg_system_get_connections_rsp_t* response) {
        maxConnections = response->maxconn;
        g_maxConnections = response->maxconn;
        waiter.response.Set();
      });
  SendAndAwaitResponse(waiter, "ble_cmd_system_get_connections", [] {
    Log(kDebug, "Send command: ble_cmd_get_connections");
    ble_cmd_system_get_connections();
  });
  if (!waiter.completed.WaitFor(timeoutMs)) {
    ThrowUnfinished("ble_cmd_system_get_connections", "ble_cmd_system_get_connections - no completed event");
  }
  return static_cast<uint8_t>(maxConnections.load());
}

void Reset(uint8_t bootToDfu, bool waitForBoot) {
  const auto send = [bootToDfu] {
    Log(kDebug, "Send command: ble_cmd_system_reset", bootToDfu);
    ble_cmd_system_reset(bootToDfu);
  };
  if (!waitForBoot) {
    send();
    return;
  }
  ResetAndAwaitBoot<ble_msg_system_boot_evt_t>("ble_evt_system_boot",
                                               "ble_cmd_system_reset - no ble_evt_system_boot event", send);
}

void DfuReset(uint8_t bootToDfu, bool waitForBoot) {
  const auto send = [bootToDfu] {
    Log(kDebug, "Send command: ble_cmd_dfu_reset", bootToDfu);
    ble_cmd_dfu_reset(bootToDfu);
  };
  if (!waitForBoot || bootToDfu > 1) {
    send();
    return;
  }
  if (bootToDfu == 1) {
    ResetAndAwaitBoot<ble_msg_dfu_boot_evt_t>("ble_evt_dfu_boot", "ble_cmd_dfu_reset - no ble_evt_dfu_boot event",
                                              send);
  } else {
    ResetAndAwaitBoot<ble_msg_system_boot_evt_t>("ble_evt_system_boot",
                                                 "ble_cmd_dfu_reset - no ble_evt_system_boot event", send);
  }
}

void DelayedReset(uint16_t delayMs, bool waitForBoot) {
  const auto send = [delayMs] {
    Log(kInfo, "Send command: ble_cmd_system_delay_reset #milliseconds delay =", delayMs);
    ble_cmd_system_delay_reset(0, delayMs);
  };
  if (!waitForBoot) {
    send();
    return;
  }
  CommandWaiter waiter;
  waiter.On<const ble_msg_system_boot_evt_t*>("ble_evt_system_boot",
                                              [&waiter](const ble_msg_system_boot_evt_t*) { waiter.completed.Set(); });
  std::lock_guard lock(g_sendLock);
  send();
  // The outcome is deliberately not reported: the port may vanish meanwhile.
  (void)waiter.completed.WaitFor(kDelayedResetBootWaitMs);
}

void Discover(uint8_t mode) {
  OperationLock operation;
  CommandWaiter waiter;
  OnResultResponse<ble_msg_gap_discover_rsp_t>(waiter, "ble_rsp_gap_discover");
  SendAndAwaitResponse(waiter, "ble_cmd_gap_discover", [mode] {
    Log(kDebug, "Send command: ble_cmd_gap_discover", mode);
    ble_cmd_gap_discover(mode);
  });
  const uint16_t result = waiter.responseResult.load();
  if (result == kResultWrongState) {
    Log(kInfo,
        "start scanning got error 0x181 (Device in Wrong State), which can happen if scanning is already running");
    return;
  }
  if (result != 0) {
    Log(kError, "start scanning got error", result);
    ThrowResult("ble_cmd_gap_discover failed", result);
  }
  SetScanning(true);
}

void EndProcedure() {
  OperationLock operation;
  EndProcedureLocked();
}

bool IsScanning() { return g_scanning.load(); }

void SetScanningStateCallback(void (*callback)(bool)) { g_scanningStateCallback = callback; }

void ConnectDirect(DeviceConnectionHandle h, const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                   uint16_t supervisionTimeout, uint16_t latency) {
  OperationLock operation;
  Log(kDebug, "ConnectDirect MAC =", address.ToString());
  ThrowIfPortGone("ble_cmd_gap_connect_direct");
  // A link the radio kept after a lost disconnect would refuse this connect.
  ReconcileLocked();
  if (g_scanning.load()) {
    EndProcedureLocked();
  }
  const uint32_t eventWaitMs = EventWaitMs();
  constexpr int kNoConnection = 255;
  std::atomic<int> connection{kNoConnection};
  // h is bound on the reader thread as the status arrives, so a disconnect
  // the radio reports right after it finds the binding and undoes it.
  struct Binding {
    std::mutex mutex;
    bool abandoned = false;  // the wait gave up; a late status binds nothing
    bool bound = false;
    bool lost = false;  // the link dropped before the call returned
    std::string error;  // why h could not be bound to the new link
  } binding;
  CommandWaiter waiter;
  waiter.On<const ble_msg_connection_status_evt_t*>(
      "ble_evt_connection_status", [&waiter, &connection, &binding, h](const ble_msg_connection_status_evt_t* status) {
        if (status->connection != connection.load()) {
          return;
        }
        Log(kInfo, "received ble_evt_connection_status: connection handle =", status->connection,
            "status =", FlagsText(status->flags));
        std::lock_guard lock(binding.mutex);
        if (binding.abandoned || binding.bound || !binding.error.empty()) {
          return;
        }
        try {
          DeviceConnectionHandle(h).Connect(status->connection);
          binding.bound = true;
        } catch (const std::exception& e) {
          binding.error = e.what();
        }
        waiter.completed.Set();
      });
  waiter.On<unsigned int>("common_evt_disconnect", [&connection, &binding](unsigned int disconnected) {
    if (disconnected == static_cast<unsigned int>(connection.load())) {
      std::lock_guard lock(binding.mutex);
      binding.lost = binding.bound;
    }
  });
  waiter.On<const ble_msg_gap_connect_direct_rsp_t*>(
      "ble_rsp_gap_connect_direct", [&waiter, &connection](const ble_msg_gap_connect_direct_rsp_t* response) {
        waiter.responseResult = response->result;
        if (response->result == 0) {
          connection = response->connection_handle;
        }
        waiter.response.Set();
      });
  bd_addr_t peer{};
  const uint8_t addressType = Helper::BgAddrFromAddress(address, &peer);
  SendAndAwaitResponse(waiter, "ble_cmd_gap_connect_direct", [&] {
    Log(kDebug, "Send command: ble_cmd_gap_connect_direct", address.ToString(), addressType, connIntervalMin,
        connIntervalMax, supervisionTimeout, latency);
    ble_cmd_gap_connect_direct(&peer, addressType, connIntervalMin, connIntervalMax, supervisionTimeout, latency);
  });
  const uint16_t result = waiter.responseResult.load();
  if (result == kResultWrongState) {
    Log(kInfo, "Connect failed with 0x181 (Device in Wrong State)");
  }
  if (result != 0) {
    ThrowResult("ble_rsp_gap_connect_direct failed", result);
  }
  (void)waiter.completed.WaitFor(eventWaitMs);
  std::unique_lock lock(binding.mutex);
  binding.abandoned = true;
  const auto native = static_cast<uint8_t>(connection.load());
  if (!binding.error.empty()) {
    // The radio connected but h cannot own the link: close it rather than
    // leave a connection nobody can reach.
    const std::string error = binding.error;
    lock.unlock();
    Log(kError, "ConnectDirect MAC =", address.ToString(), "could not bind handle", native, "-", error,
        "- disconnecting it");
    DisconnectUnboundLocked(native);
    throw BGLibError(error, kErrorGeneral);
  }
  if (!binding.bound) {
    lock.unlock();
    ThrowIfPortGone("ble_cmd_gap_connect_direct");
    EndProcedureLocked();  // also ends the radio's pending connection attempt
    ThrowUnfinished("ble_cmd_gap_connect_direct", "ble_rsp_gap_connect_direct - no connected event");
  }
  if (binding.lost) {
    throw BGLibError("ble_rsp_gap_connect_direct - disconnected right after connecting", kErrorUnexpectedDisconnect);
  }
  Log(kDebug, "ConnectDirect MAC =", address.ToString(), "succeeded, handle =", native, "connection handle =", h.id());
}

void Disconnect(DeviceConnectionHandle h) {
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_connection_disconnect");
  RemoveConnection(h);  // h counts as disconnected even if the command fails
  CommandWaiter waiter;
  waiter.On<unsigned int>("common_evt_disconnect", [&waiter, c](unsigned int disconnected) {
    if (disconnected == c) {
      waiter.completed.Set();
    }
  });
  OnConnectionResponse<ble_msg_connection_disconnect_rsp_t>(
      waiter, "ble_rsp_connection_disconnect", c, "ble_rsp_connection_disconnect connection handle did not match");
  SendAndAwaitResponse(waiter, "ble_cmd_connection_disconnect", [c] {
    Log(kDebug, "Send command: ble_cmd_connection_disconnect", c);
    ble_cmd_connection_disconnect(c);
  });
  CheckResponse(waiter, "ble_cmd_connection_disconnect failed");
  if (!waiter.completed.WaitFor(EventWaitMs())) {
    ThrowUnfinished("ble_cmd_connection_disconnect", "ble_cmd_connection_disconnect - no disconnect event");
  }
  Log(kDebug, "Disconnect succeeded, handle =", c, "connection handle =", h.id());
}

bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) {
  const uint8_t c = NativeConnection(h, "ble_cmd_connection_get_rssi");
  std::atomic<int> rssi{0};
  std::atomic<bool> received{false};
  CommandWaiter waiter;
  waiter.On<const ble_msg_connection_get_rssi_rsp_t*>(
      "ble_rsp_connection_get_rssi", [&waiter, &rssi, &received, c](const ble_msg_connection_get_rssi_rsp_t* response) {
        if (response->connection == c) {
          rssi = response->rssi;
          received = true;
        } else {
          Log(kDebug, "ble_cmd_connection_get_rssi connection handle did not match");
        }
        waiter.response.Set();
      });
  SendAndAwaitResponse(waiter, "ble_cmd_connection_get_rssi", [c] {
    Log(kDebug, "Send command: ble_cmd_connection_get_rssi", c);
    ble_cmd_connection_get_rssi(c);
  });
  if (!received.load()) {
    throw BGLibError("ble_cmd_connection_get_rssi - no response from connection for this device", kErrorGeneral);
  }
  *rssiOut = static_cast<int8_t>(rssi.load());
  return true;
}

std::vector<AttGroupItem> ReadByGroupType(DeviceConnectionHandle h, uint16_t start, uint16_t end,
                                          const Uuid& groupType) {
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_read_by_group_type");
  std::vector<AttGroupItem> groups;
  CommandWaiter waiter;
  waiter.On<const ble_msg_attclient_group_found_evt_t*>(
      "ble_evt_attclient_group_found", [&groups, h, c](const ble_msg_attclient_group_found_evt_t* found) {
        if (found->connection == c) {
          groups.push_back(AttGroupItem{h, found->start, found->end, Helper::BgUuidToUuid(&found->uuid)});
        }
      });
  const std::vector<uint8_t> type = LittleEndianUuidBytes(groupType);
  RunProcedure<ble_msg_attclient_read_by_group_type_rsp_t>(
      waiter, c, std::nullopt, "ble_cmd_attclient_read_by_group_type", "ble_rsp_attclient_read_by_group_type",
      "ble_cmd_attclient_read_by_group_type failed", kErrorGeneral, [&] {
        Log(kDebug, "Send command: ble_cmd_attclient_read_by_group_type", c, start, end, groupType.ToString());
        ble_cmd_attclient_read_by_group_type(c, start, end, static_cast<uint8_t>(type.size()), type.data());
      });
  return groups;
}

std::vector<AttHandleItem> FindInformation(DeviceConnectionHandle h, uint16_t start, uint16_t end) {
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_find_information");
  std::vector<AttHandleItem> attributes;
  CommandWaiter waiter;
  waiter.On<const ble_msg_attclient_find_information_found_evt_t*>(
      "ble_evt_attclient_find_information_found",
      [&attributes, h, c](const ble_msg_attclient_find_information_found_evt_t* found) {
        if (found->connection == c) {
          attributes.push_back(AttHandleItem{h, found->chrhandle, Helper::BgUuidToUuid(&found->uuid)});
        }
      });
  RunProcedure<ble_msg_attclient_find_information_rsp_t>(
      waiter, c, std::nullopt, "ble_cmd_attclient_find_information", "ble_rsp_attclient_find_information",
      "ble_cmd_attclient_find_information failed", kErrorGeneral, [&] {
        Log(kDebug, "Send command: ble_cmd_attclient_find_information", c, start, end);
        ble_cmd_attclient_find_information(c, start, end);
      });
  return attributes;
}

std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) {
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_read_by_handle");
  ArrivingValue value;
  CommandWaiter waiter;
  OnValue(waiter, c, attHandle, [&waiter, &value](const std::vector<uint8_t>& data) {
    value.Replace(data);
    waiter.completed.Set();
  });
  RunProcedure<ble_msg_attclient_read_by_handle_rsp_t>(
      waiter, c, attHandle, "ble_cmd_attclient_read_by_handle", "ble_rsp_attclient_read_by_handle",
      "wait for ble_cmd_attclient_read_by_handle failed", kResultTimeout, [&] {
        Log(kDebug, "Send command: ble_cmd_attclient_read_by_handle", c, attHandle);
        ble_cmd_attclient_read_by_handle(c, attHandle);
      });
  return value.Get();
}

std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle) {
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_read_long");
  ArrivingValue value;
  // The parts arrive through the message queue while the procedure's end
  // arrives on the reader thread, so the end is passed through the same
  // queue: it then runs after every part posted before it.
  auto ended = std::make_shared<Event>();
  CommandWaiter waiter;
  OnValue(waiter, c, attHandle, [&value](const std::vector<uint8_t>& data) { value.Append(data); });
  waiter.On<const ble_msg_attclient_procedure_completed_evt_t*>(
      "ble_evt_attclient_procedure_completed",
      [&waiter, ended, c, attHandle](const ble_msg_attclient_procedure_completed_evt_t* event) {
        if (event->connection != c || event->chrhandle != attHandle) {
          return;
        }
        waiter.completionResult = event->result;
        try {
          GetMessageQueue()->Post([ended] { ended->Set(); });
        } catch (const std::exception&) {
          ended->Set();  // no queue, so no parts can be pending either
        }
      });
  waiter.On<unsigned int>("common_evt_disconnect", [&waiter, ended, c](unsigned int disconnected) {
    if (disconnected == c) {
      waiter.completionResult = kErrorUnexpectedDisconnect;
      ended->Set();
    }
  });
  OnConnectionResponse<ble_msg_attclient_read_long_rsp_t>(waiter, "ble_rsp_attclient_read_long", c);
  SendAndAwaitResponse(waiter, "ble_cmd_attclient_read_long", [&] {
    Log(kDebug, "Send command: ble_cmd_attclient_read_long", c, attHandle);
    ble_cmd_attclient_read_long(c, attHandle);
  });
  CheckResponse(waiter, "ble_cmd_attclient_read_long failed");
  const bool completed = ended->WaitFor(EventWaitMs());
  CheckCompletion(waiter, "ble_cmd_attclient_read_long failed");
  if (!completed) {
    ThrowUnfinished("ble_cmd_attclient_read_long", "ble_cmd_attclient_read_long - no completed event");
  }
  return value.Get();
}

void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& data) {
  CheckArrayLength(data, "ble_cmd_attclient_write_command");
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_write_command");
  CommandWaiter waiter;
  OnConnectionResponse<ble_msg_attclient_write_command_rsp_t>(waiter, "ble_rsp_attclient_write_command", c);
  SendAndAwaitResponse(waiter, "ble_cmd_attclient_write_command", [&] {
    if (Logger::IsEnabled()) {
      Log(kDebug, "Send command: ble_cmd_attclient_write_command", c, attHandle, data.size(), ToString(data));
    }
    ble_cmd_attclient_write_command(c, attHandle, static_cast<uint8_t>(data.size()), data.data());
  });
  CheckResponse(waiter, "ble_cmd_attclient_write_command failed");
}

void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& data) {
  CheckArrayLength(data, "ble_cmd_attclient_attribute_write");
  OperationLock operation;
  const uint8_t c = NativeConnection(h, "ble_cmd_attclient_attribute_write");
  CommandWaiter waiter;
  RunProcedure<ble_msg_attclient_attribute_write_rsp_t>(
      waiter, c, attHandle, "ble_cmd_attclient_attribute_write", "ble_rsp_attclient_attribute_write",
      "ble_cmd_attclient_attribute_write failed", kErrorGeneral, [&] {
        if (Logger::IsEnabled()) {
          Log(kDebug, "Send command: ble_cmd_attclient_attribute_write", c, attHandle, data.size(), ToString(data));
        }
        ble_cmd_attclient_attribute_write(c, attHandle, static_cast<uint8_t>(data.size()), data.data());
      });
}

void SetAdvData(uint8_t setScanResponse, const std::vector<uint8_t>& data) {
  CheckArrayLength(data, "ble_cmd_gap_set_adv_data");
  RunResultCommand<ble_msg_gap_set_adv_data_rsp_t>(
      "ble_rsp_gap_set_adv_data", "ble_cmd_gap_set_adv_data", "ble_cmd_gap_set_adv_data failed", [&] {
        Log(kDebug, "Send command: ble_cmd_gap_set_adv_data");
        ble_cmd_gap_set_adv_data(setScanResponse, static_cast<uint8_t>(data.size()), data.data());
      });
}

void SetAdvParameters(uint16_t intervalMin, uint16_t intervalMax, uint8_t channels) {
  RunResultCommand<ble_msg_gap_set_adv_parameters_rsp_t>(
      "ble_rsp_gap_set_adv_parameters", "ble_cmd_gap_set_adv_parameters", "ble_cmd_gap_set_adv_parameters failed", [&] {
        Log(kDebug, "Send command: ble_cmd_gap_set_adv_parameters");
        ble_cmd_gap_set_adv_parameters(intervalMin, intervalMax, channels);
      });
}

void SetMode(uint8_t discoverable, uint8_t connectable) {
  RunResultCommand<ble_msg_gap_set_mode_rsp_t>("ble_rsp_gap_set_mode", "ble_cmd_gap_set_mode",
                                               "ble_cmd_gap_set_mode failed", [&] {
                                                 Log(kDebug, "Send command: ble_cmd_gap_set_mode");
                                                 ble_cmd_gap_set_mode(discoverable, connectable);
                                               });
}

void SetScanParameters(uint16_t interval, uint16_t window, uint8_t active) {
  RunResultCommand<ble_msg_gap_set_scan_parameters_rsp_t>(
      "ble_rsp_gap_set_scan_parameters", "ble_cmd_gap_set_scan_parameters", "ble_cmd_gap_set_scan_parameters failed",
      [&] {
        Log(kDebug, "Send command: ble_cmd_gap_set_scan_parameters");
        ble_cmd_gap_set_scan_parameters(interval, window, active);
      });
}

void SetInitiatingConParameters(uint16_t interval, uint16_t window) {
  RunResultCommand<ble_msg_gap_set_initiating_con_parameters_rsp_t>(
      "ble_rsp_gap_set_initiating_con_parameters", "ble_cmd_gap_set_initiating_con_parameters",
      "ble_cmd_gap_set_initiating_con_parameters failed", [&] {
        Log(kDebug, "Send command: ble_cmd_gap_set_initiating_con_parameters: scan interval =", interval,
            "scan window =", window);
        ble_cmd_gap_set_initiating_con_parameters(interval, window);
      });
}

void SetTxPower(uint8_t power) {
  CommandWaiter waiter;
  OnEmptyResponse(waiter, "ble_rsp_hardware_set_txpower");
  SendAndAwaitResponse(waiter, "ble_cmd_hardware_set_txpower", [power] {
    Log(kDebug, "Send command: ble_cmd_hardware_set_txpower = ", power);
    ble_cmd_hardware_set_txpower(power);
  });
}

void FlashSetAddress(uint32_t address) {
  RunResultCommand<ble_msg_dfu_flash_set_address_rsp_t>(
      "ble_rsp_dfu_flash_set_address", "ble_cmd_dfu_flash_set_address", "ble_cmd_dfu_flash_set_address", [address] {
        Log(kDebug, "Send command: ble_cmd_dfu_flash_set_address");
        ble_cmd_dfu_flash_set_address(address);
      });
}

void FlashUpload(const uint8_t* data, uint8_t length) {
  RunResultCommand<ble_msg_dfu_flash_upload_rsp_t>("ble_rsp_dfu_flash_upload", "ble_cmd_dfu_flash_upload",
                                                   "ble_cmd_dfu_flash_upload failed", [data, length] {
                                                     Log(kDebug, "Send command: ble_cmd_dfu_flash_upload");
                                                     ble_cmd_dfu_flash_upload(length, data);
                                                   });
}

void FlashUploadFinish() {
  RunResultCommand<ble_msg_dfu_flash_upload_finish_rsp_t>(
      "ble_rsp_dfu_flash_upload_finish", "ble_cmd_dfu_flash_upload_finish", "ble_cmd_dfu_flash_upload_finish", [] {
        Log(kDebug, "Send command: ble_cmd_dfu_flash_upload_finish");
        ble_cmd_dfu_flash_upload_finish();
      });
}

}  // namespace lumen::details::BGCalls

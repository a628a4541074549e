// Notifications from the Bluegiga reader's side (a validated attribute-value
// frame handed to the dispatcher) to a characteristic's change callback on
// the message-queue thread: throughput with the reader going flat out, and
// the post-to-run latency of single notifications. Logging is off.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bluegiga/BgDispatch.h"
#include "core/MessageQueue.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Logger.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/FakeProvider.h"

namespace lumen {
namespace {

using Clock = std::chrono::steady_clock;

const Address kMac({0x01, 0x22, 0x33, 0x44, 0x55, 0x66}, Address::Random);
const Uuid kService("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
const Uuid kTx("6e400003-b5a3-f393-e0a9-e50e24dcca9e");
constexpr uint16_t kTxValueHandle = 0x0010;

// A connected device with one subscribed characteristic; the process-wide
// queue publishes its notifications.
class Connection {
 public:
  Connection() {
    m_fake->SetServices(kMac, {testing::FakeService{0x000C, 0x0020, kService, {{kTxValueHandle, kTx}}}});
    details::SetMessageQueue(std::make_shared<details::MessageQueue>());
    m_link = testing::ConnectAdvertised(*m_fake, kMac);
    m_service = m_link.device->GetService(kService);
    m_tx = m_service->GetCharacteristic(kTx);
  }
  ~Connection() {
    m_tx.reset();
    m_service.reset();
    m_link = {};
    details::SetMessageQueue(nullptr);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  GattCharacteristic& Tx() { return *m_tx; }

  // An attribute-value frame carrying sequence and send time, as the reader
  // hands it to the dispatcher.
  void Dispatch(uint32_t sequence) const {
    uint8_t payload[5 + 20] = {static_cast<uint8_t>(m_link.native), kTxValueHandle & 0xFF, kTxValueHandle >> 8, 0x01,
                               20};
    const int64_t sent = Clock::now().time_since_epoch().count();
    std::memcpy(payload + 5, &sequence, sizeof sequence);
    std::memcpy(payload + 9, &sent, sizeof sent);
    static const uint8_t kHeader[4] = {0x80, sizeof payload, 0x04, 0x05};
    details::BgDispatch(kHeader, payload, sizeof payload);
  }

 private:
  testing::ScopedFakeProvider m_fake;
  testing::FakeLink m_link;  // the connection made on set-up
  std::unique_ptr<GattService> m_service;
  std::unique_ptr<GattCharacteristic> m_tx;
};

// What the callback saw: order, count and each notification's latency.
struct Receiver {
  std::mutex mutex;
  std::condition_variable done;
  uint32_t next = 0;
  uint32_t target = 0;
  bool outOfOrder = false;
  std::vector<int64_t> latencyNs;

  void OnValue(const std::vector<uint8_t>& value) {
    const int64_t now = Clock::now().time_since_epoch().count();
    uint32_t sequence = 0;
    int64_t sent = 0;
    std::memcpy(&sequence, value.data(), sizeof sequence);
    std::memcpy(&sent, value.data() + 4, sizeof sent);
    std::lock_guard lock(mutex);
    outOfOrder = outOfOrder || sequence != next;
    next = sequence + 1;
    latencyNs.push_back(now - sent);
    if (next == target) {
      done.notify_one();
    }
  }
  bool WaitFor(uint32_t count) {
    std::unique_lock lock(mutex);
    return done.wait_for(lock, std::chrono::seconds(60), [&] { return next >= count; });
  }
};

double Percentile(std::vector<int64_t> values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  const auto at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return static_cast<double>(values[at]);
}

void Report(benchmark::State& state, Receiver& receiver, uint32_t expected) {
  std::lock_guard lock(receiver.mutex);
  if (receiver.outOfOrder || receiver.next != expected) {
    state.SkipWithError("notifications lost or out of order");
    return;
  }
  state.counters["latency_p50_us"] = Percentile(receiver.latencyNs, 0.5) / 1000.0;
  state.counters["latency_p99_us"] = Percentile(receiver.latencyNs, 0.99) / 1000.0;
}

// The reader thread dispatches a burst of notifications as fast as it can;
// the iteration ends when the callback has seen the last one.
void BM_NotificationsReaderToCallback(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  constexpr uint32_t kBurst = 10000;
  Connection connection;
  Receiver receiver;
  receiver.latencyNs.reserve(static_cast<size_t>(kBurst) * 64);
  connection.Tx().SetCharacteristicChangedCallback([&receiver](const std::vector<uint8_t>& v) { receiver.OnValue(v); });
  connection.Tx().EnableCharacteristicNotification(true);
  uint32_t sequence = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(receiver.mutex);
      receiver.target = sequence + kBurst;
    }
    std::thread reader([&connection, first = sequence] {
      for (uint32_t i = 0; i < kBurst; ++i) {
        connection.Dispatch(first + i);
      }
    });
    sequence += kBurst;
    reader.join();
    if (!receiver.WaitFor(sequence)) {
      state.SkipWithError("notifications went missing");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  Report(state, receiver, sequence);
}
BENCHMARK(BM_NotificationsReaderToCallback)->UseRealTime()->Unit(benchmark::kMillisecond);

// One notification at a time: the latency of the hand-off itself.
void BM_NotificationPostToRunLatency(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  Connection connection;
  Receiver receiver;
  receiver.latencyNs.reserve(1 << 20);
  connection.Tx().SetCharacteristicChangedCallback([&receiver](const std::vector<uint8_t>& v) { receiver.OnValue(v); });
  connection.Tx().EnableCharacteristicNotification(true);
  uint32_t sequence = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(receiver.mutex);
      receiver.target = sequence + 1;
    }
    connection.Dispatch(sequence++);
    if (!receiver.WaitFor(sequence)) {
      state.SkipWithError("notification went missing");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  Report(state, receiver, sequence);
}
BENCHMARK(BM_NotificationPostToRunLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lumen

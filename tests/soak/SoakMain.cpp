// lumen_soak: an application that tracks a phone and reads it twice a second,
// against a virtual radio in real time, while faults of every kind the radio
// can produce come at random times drawn from a seed. Prints the recovery
// times per fault kind and the process's resources at start and end; exits
// non-zero when a fault is not followed by a good read within 60 s or a
// resource grew.
//
//   lumen_soak --radio bled112|nrf52 [--minutes N] [--seed S] [--log FILE] [--verbose] [--skip KIND,…]

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Logger.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "lumen/Uuid.h"
#include "sim/Scenario.h"
#include "sim/VirtualBled112.h"
#include "sim/nrf52/VirtualNrf52.h"
#include "soak/SoakLogic.h"

namespace lumen::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kReadPeriod = 500ms;
constexpr auto kRecoveryLimit = 60s;
constexpr Millis kMinGap{2000};
constexpr Millis kMaxGap{6000};
// Consecutive failed rounds after which the application lets the phone go and searches again.
constexpr int kFailuresBeforeNewSearch = 3;
constexpr int kExchangeEveryReads = 10;
constexpr std::chrono::milliseconds kArmedFaultLimit = 30s;

const std::string kScenarioFile = std::string(LUMEN_SIM_SCENARIO_DIR) + "/soak.json";
const Uuid kService(std::string("a3c87500-8ed3-4bdf-8a39-a01bebede295"));
const Uuid kWriteCharacteristic(std::string("a3c87501-8ed3-4bdf-8a39-a01bebede295"));
const Uuid kNotifyCharacteristic(std::string("a3c87502-8ed3-4bdf-8a39-a01bebede295"));
const Uuid kReadCharacteristic(std::string("a3c87503-8ed3-4bdf-8a39-a01bebede295"));
const std::vector<uint8_t> kReadValue{0x01};
const wchar_t* const kJob = L"soak";

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// ---------------------------------------------------------------------------
// The application: finds the phone with a scan job, connects, subscribes to
// notifications, reads a characteristic every 500 ms and now and then makes
// the phone notify. After a failure it gets the characteristics again on the
// next round (reconnecting if the link is gone); after a few in a row it lets
// the phone go and searches again.

class PhoneApp {
 public:
  // The scan callback is a plain function; it reaches the application through this.
  static std::atomic<PhoneApp*> s_app;

  void Start() {
    s_app = this;
    m_scanner = GetScanner();
    m_scanner->SetScanCallback(&PhoneApp::OnScan);
    // As lumenTestApp: beacons are not what it looks for.
    m_scanner->SetScanForNonConnectableDevices(false);
    m_scanner->SetScanParametersForEstablishingConnections(50, 50);
    m_scanner->StartLeScan();
    m_scanner->AddScanJob(kJob, {kService});
    m_thread = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
    // The scanner's worker may be calling OnScan: stop it before letting the phone go.
    m_scanner.reset();
    s_app = nullptr;
    DropCharacteristics();
    std::lock_guard lock(m_mutex);
    m_device.reset();
  }

  // Completion time of the first good read started at or after `since`.
  std::optional<Clock::time_point> WaitForGoodRead(Clock::time_point since, Clock::duration limit) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, limit, [&] { return m_stopping || m_lastGoodStart >= since; });
    if (m_lastGoodStart >= since && m_lastGoodStart != Clock::time_point{}) return FirstGoodEndSince(since);
    return std::nullopt;
  }

  size_t GoodReads() const { return m_goodReads.load(); }
  size_t Notifications() const { return m_notifications->load(); }

 private:
  static bool OnScan(const std::wstring&, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
    PhoneApp* app = s_app.load();
    if (app == nullptr || devices.empty()) return true;
    std::lock_guard lock(app->m_mutex);
    if (app->m_device == nullptr) app->m_device = devices.front();
    return true;
  }

  // The latest few good reads, as (start, end), tell when the first one after a fault ended.
  Clock::time_point FirstGoodEndSince(Clock::time_point since) {
    for (const auto& [start, end] : m_recentGood) {
      if (start >= since) return end;
    }
    return m_lastGoodEnd;
  }

  void Run() {
    auto next = Clock::now();
    int round = 0;
    int failures = 0;
    for (;;) {
      {
        std::unique_lock lock(m_mutex);
        if (m_changed.wait_until(lock, next, [this] { return m_stopping; })) return;
      }
      next = std::max(next + kReadPeriod, Clock::now());
      std::shared_ptr<BluetoothDevice> device;
      {
        std::lock_guard lock(m_mutex);
        device = m_device;
      }
      if (device == nullptr) continue;
      try {
        Round(*device, ++round % kExchangeEveryReads == 0);
        failures = 0;
      } catch (...) {
        DropCharacteristics();
        if (++failures >= kFailuresBeforeNewSearch) {
          failures = 0;
          try {
            if (device->IsConnected()) device->Disconnect();
          } catch (...) {
            // A link that cannot be closed now is the library's to tidy up.
          }
          std::lock_guard lock(m_mutex);
          m_device.reset();
          if (m_scanner) m_scanner->AddScanJob(kJob, {kService});
        }
      }
    }
  }

  void Round(BluetoothDevice& device, bool exchange) {
    if (!device.IsConnected() || m_read == nullptr) {
      DropCharacteristics();
      if (!device.IsConnected()) device.Connect();
      std::unique_ptr<GattService> service = device.GetService(kService);
      m_read = service->GetCharacteristic(kReadCharacteristic);
      m_write = service->GetCharacteristic(kWriteCharacteristic);
      m_notify = service->GetCharacteristic(kNotifyCharacteristic);
      auto counter = m_notifications;
      m_notify->SetCharacteristicChangedCallback([counter](const std::vector<uint8_t>&) { ++*counter; });
      m_notify->EnableCharacteristicNotification(true);
    }
    const auto start = Clock::now();
    const std::vector<uint8_t> value = m_read->ReadValue(true);
    const auto end = Clock::now();
    if (value != kReadValue) throw std::runtime_error("read an unexpected value");
    {
      std::lock_guard lock(m_mutex);
      m_lastGoodStart = start;
      m_lastGoodEnd = end;
      m_recentGood.emplace_back(start, end);
      if (m_recentGood.size() > 8) m_recentGood.erase(m_recentGood.begin());
    }
    ++m_goodReads;
    m_changed.notify_all();
    if (exchange) m_write->WriteValue({0x01}, true, false);  // the phone answers with three notifications
  }

  void DropCharacteristics() {
    if (m_notify != nullptr) {
      try {
        m_notify->SetCharacteristicChangedCallback({});
      } catch (...) {
      }
    }
    m_read.reset();
    m_write.reset();
    m_notify.reset();
  }

  std::unique_ptr<Scanner> m_scanner;
  std::thread m_thread;
  // Loop thread only.
  std::unique_ptr<GattCharacteristic> m_read;
  std::unique_ptr<GattCharacteristic> m_write;
  std::unique_ptr<GattCharacteristic> m_notify;
  std::shared_ptr<std::atomic<size_t>> m_notifications = std::make_shared<std::atomic<size_t>>(0);
  std::atomic<size_t> m_goodReads{0};

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_stopping = false;
  std::shared_ptr<BluetoothDevice> m_device;
  Clock::time_point m_lastGoodStart{};
  Clock::time_point m_lastGoodEnd{};
  std::vector<std::pair<Clock::time_point, Clock::time_point>> m_recentGood;
};

std::atomic<PhoneApp*> PhoneApp::s_app{nullptr};

// ---------------------------------------------------------------------------
// The radios and their faults. A fault's Run returns once the fault is over.

struct FaultContext {
  std::mt19937_64 random;
  Millis hold;
  size_t Pick(size_t count) { return static_cast<size_t>(random() % count); }
};

struct RadioFault {
  FaultKind kind;
  std::function<void(FaultContext&)> run;
};

class SoakRadio {
 public:
  virtual ~SoakRadio() = default;
  virtual std::string Name() const = 0;
  virtual bool Open() = 0;
  virtual std::vector<RadioFault> Faults() = 0;
  // Disarms whatever a fault left armed and not yet triggered.
  virtual void ClearFaults() = 0;
};

std::vector<uint8_t> RandomBytes(FaultContext& context, size_t min, size_t max) {
  std::vector<uint8_t> bytes(min + context.Pick(max - min + 1));
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(context.random());
  return bytes;
}

class Bled112Radio final : public SoakRadio {
 public:
  Bled112Radio()
      : m_link(std::filesystem::temp_directory_path() / ("lumen-soak-" + std::to_string(getpid()) + "-port")),
        m_radio(sim::Scenario::FromFile(kScenarioFile),
                sim::VirtualBled112Options{.variant = std::nullopt,
                                           .clockMode = sim::SimClock::Mode::kRealTime,
                                           .linkPath = m_link.string(),
                                           .frameLogLimit = 10000}) {}

  std::string Name() const override { return "bled112"; }
  bool Open() override {
    if (!Initialize(m_link.string(), 0, BLED112Dongle, false)) return false;
    BluegigaCommands::SetBGTimeouts(3000, 5000);
    return true;
  }
  void ClearFaults() override { m_radio.Faults().Clear(); }

  std::vector<RadioFault> Faults() override {
    auto& faults = m_radio.Faults();
    const std::string read = "attclient_read_by_handle";
    const std::string value = "attclient_attribute_value";
    return {
        {{"garbage"}, [&faults](FaultContext& c) { faults.SendGarbage(RandomBytes(c, 1, 64)); }},
        {{"garbage_before_frame"},
         [this, value, read](FaultContext& c) {
           m_radio.ClearFrames();
           m_radio.Faults().GarbageBeforeNextFrame(value, RandomBytes(c, 1, 16));
           AwaitCommands(read, 1);
         }},
        {{"dropped_link"},
         [this](FaultContext&) { WithLink([this](uint8_t h) { m_radio.Faults().DropConnection(h); }); }},
        {{"disconnect_during_gatt"},
         [this, read](FaultContext&) {
           m_radio.ClearFrames();
           WithLink([this](uint8_t h) { m_radio.Faults().DisconnectDuringNextGattProcedure(h); });
           AwaitCommands(read, 1);
         }},
        {{"unanswered_commands"},
         [this, read](FaultContext& c) {
           const size_t times = 1 + c.Pick(3);
           m_radio.ClearFrames();
           m_radio.Faults().IgnoreNextCommand(read, times);
           AwaitCommands(read, times);
         }},
        {{"stop_answering", 2000ms, 6000ms},
         [&faults](FaultContext& c) {
           faults.StopAnswering(true);
           std::this_thread::sleep_for(c.hold);
           faults.StopAnswering(false);
         }},
        {{"failed_commands"},
         [this, read](FaultContext& c) {
           const uint16_t results[] = {0x0181, 0x0186, 0x0401};  // invalid parameter, wrong state, ATT invalid handle
           const size_t times = 1 + c.Pick(2);
           m_radio.ClearFrames();
           m_radio.Faults().FailNextCommand(read, results[c.Pick(3)], times);
           AwaitCommands(read, times);
         }},
        {{"lost_events"},
         [this, value, read](FaultContext& c) {
           const size_t times = 1 + c.Pick(2);
           m_radio.ClearFrames();
           m_radio.Faults().LoseNextFrame(value, times);
           AwaitCommands(read, times);
         }},
        {{"lost_disconnect"},
         [this](FaultContext&) {
           m_radio.Faults().LoseNextFrame("connection_disconnected");
           WithLink([this](uint8_t h) { m_radio.Faults().DropConnection(h); });
         }},
        {{"silence", 3000ms, 12000ms},
         [this](FaultContext& c) {
           m_radio.Faults().GoSilent(true);
           WithLink([this](uint8_t h) { m_radio.Faults().DropConnection(h); });
           std::this_thread::sleep_for(c.hold);
           m_radio.Faults().GoSilent(false);
         }},
        {{"unplug", 2000ms, 6000ms},
         [&faults](FaultContext& c) {
           faults.Unplug();
           std::this_thread::sleep_for(c.hold);
           faults.Replug();
         }},
        {{"hangup_during_answer", 1000ms, 3000ms},
         [this, read](FaultContext& c) {
           m_radio.Faults().CloseDuringNextCommand(read, c.Pick(7));
           const auto deadline = Clock::now() + 10s;
           while (!m_radio.Path().empty() && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
           std::this_thread::sleep_for(c.hold);
           m_radio.Faults().Replug();
         }},
        {{"radio_error"}, [&faults](FaultContext&) { faults.SendRadioError(); }},
    };
  }

 private:
  // An armed fault lasts until the radio has taken the commands it spoils
  // (counted from a cleared frame log), or gives up waiting for them.
  void AwaitCommands(const std::string& name, size_t count) {
    (void)m_radio.WaitForCommand(name, kArmedFaultLimit, count);
  }

  void WithLink(const std::function<void(uint8_t)>& act) {
    for (const sim::ConnectionInfo& link : m_radio.State().connections) {
      if (link.established) {
        act(link.handle);
        return;
      }
    }
  }

  std::filesystem::path m_link;
  sim::VirtualBled112 m_radio;
};

class Nrf52Radio final : public SoakRadio {
 public:
  std::string Name() const override { return "nrf52"; }
  bool Open() override {
    sim::SetNrf52BoardOptions({sim::SimClock::Mode::kRealTime});
    return Initialize(kScenarioFile, 0, NordicNRF52, false);
  }
  void ClearFaults() override {
    if (auto board = sim::OpenNrf52Board()) board->Faults().Clear();
  }

  std::vector<RadioFault> Faults() override {
    const std::string read = "sd_ble_gattc_read";
    return {
        {{"unplug", 2000ms, 6000ms},
         [](FaultContext& c) {
           if (auto board = sim::OpenNrf52Board()) board->Faults().Unplug();
           std::this_thread::sleep_for(c.hold);
           sim::ReturnNrf52Port(kScenarioFile);
         }},
        {{"stop_answering", 2000ms, 6000ms},
         [](FaultContext& c) {
           auto board = sim::OpenNrf52Board();
           if (board) board->Faults().StopAnswering();
           std::this_thread::sleep_for(c.hold);
           if (board) board->Faults().Clear();
         }},
        {{"failed_calls"},
         [read](FaultContext& c) {
           const uint32_t results[] = {0x11, 0x08, 0x13};  // NRF_ERROR_BUSY, _INVALID_STATE, _TIMEOUT
           const size_t times = 1 + c.Pick(2);
           const uint32_t result = results[c.Pick(3)];
           Armed(read, times, [&](sim::VirtualNrf52& board) { board.Faults().FailNextCall(read, result, times); });
         }},
        {{"ignored_calls"},
         [read](FaultContext& c) {
           const size_t times = 1 + c.Pick(2);
           Armed(read, times, [&](sim::VirtualNrf52& board) { board.Faults().IgnoreNextCall(read, times); });
         }},
        {{"dropped_link"}, [](FaultContext&) { WithLink([](auto& f, uint16_t h) { f.DropConnection(h, 0x08); }); }},
        {{"disconnect_during_gatt"},
         [read](FaultContext&) {
           Armed(read, 1, [](sim::VirtualNrf52&) {
             WithLink([](auto& f, uint16_t h) { f.DisconnectDuringNextGattProcedure(h, 0x08); });
           });
         }},
        {{"gatt_timeout"},
         [read](FaultContext&) {
           Armed(read, 1,
                 [](sim::VirtualNrf52&) { WithLink([](auto& f, uint16_t h) { f.TimeOutNextGattProcedure(h); }); });
         }},
        {{"gatt_status"},
         [read](FaultContext& c) {
           // invalid handle, read not permitted, insufficient authentication, unlikely error
           const uint16_t statuses[] = {0x0101, 0x0102, 0x0105, 0x010E};
           const uint16_t status = statuses[c.Pick(4)];
           Armed(read, 1, [status](sim::VirtualNrf52&) {
             WithLink([status](auto& f, uint16_t h) { f.AnswerNextReadWithStatus(h, status); });
           });
         }},
        {{"silence", 3000ms, 12000ms},
         [](FaultContext& c) {
           auto board = sim::OpenNrf52Board();
           if (board) board->Faults().GoSilent();
           WithLink([](auto& f, uint16_t h) { f.DropConnection(h, 0x08); });
           std::this_thread::sleep_for(c.hold);
           if (board) board->Faults().Clear();
         }},
        {{"peer_requests"},
         [](FaultContext& c) {
           const sim::Nrf52PeerRequest requests[] = {
               sim::Nrf52PeerRequest::kConnParamUpdate, sim::Nrf52PeerRequest::kDataLengthUpdate,
               sim::Nrf52PeerRequest::kPhyUpdate,       sim::Nrf52PeerRequest::kMtuExchange,
               sim::Nrf52PeerRequest::kSysAttrMissing,  sim::Nrf52PeerRequest::kUserMemRequest};
           const auto request = requests[c.Pick(6)];
           WithLink([request](auto& f, uint16_t h) { f.SendPeerRequest(h, request); });
         }},
    };
  }

 private:
  // An armed fault lasts until the board has taken the calls it spoils, or
  // gives up waiting for them.
  static void Armed(const std::string& function, size_t count, const std::function<void(sim::VirtualNrf52&)>& arm) {
    auto board = sim::OpenNrf52Board();
    if (!board) return;
    const size_t before = board->CallCount(function);
    arm(*board);
    (void)board->WaitForCall(function, before + count, kArmedFaultLimit);
  }

  static void WithLink(const std::function<void(sim::Nrf52Faults&, uint16_t)>& act) {
    auto board = sim::OpenNrf52Board();
    if (!board) return;
    const auto links = board->Snapshot().connections;
    if (!links.empty()) act(board->Faults(), links.front().handle);
  }
};

// ---------------------------------------------------------------------------

Resources Measure() {
  Resources resources;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++resources.fds;
  }
  --resources.fds;  // the listing's own descriptor
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++resources.threads;
  }
  resources.heapBytes = mallinfo2().uordblks;
  return resources;
}

// Threads and descriptors may be on their way out a moment after a recovery:
// the end is the lowest of a few samples.
Resources MeasureSettled() {
  Resources lowest = Measure();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(300ms);
    const Resources now = Measure();
    lowest.fds = std::min(lowest.fds, now.fds);
    lowest.threads = std::min(lowest.threads, now.threads);
    lowest.heapBytes = std::min(lowest.heapBytes, now.heapBytes);
  }
  return lowest;
}

std::ofstream g_log;
std::mutex g_logMutex;
const Clock::time_point g_started = Clock::now();
std::atomic<size_t> g_radioBack{0};

void LogToFile(Logger::LogType type, const std::string& message) {
  std::lock_guard lock(g_logMutex);
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%10.3f ", SecondsBetween(g_started, Clock::now()));
  g_log << elapsed << Logger::LogTypeToString(type) << ' ' << message << '\n';
}

void OnRadioBack(bool, uint64_t) { ++g_radioBack; }
void OnHardwareFailure() {}
void OnSoftReset(bool) {}

struct Options {
  std::string radio;
  double minutes = 1.0;
  uint64_t seed = 1;
  std::string logPath;
  bool verbose = false;
  std::set<std::string> skip;  // kinds left out, e.g. while one is being worked on
};

int Usage() {
  std::cerr << "usage: lumen_soak --radio bled112|nrf52 [--minutes N] [--seed S] [--log FILE] [--verbose]\n"
               "                  [--skip KIND,KIND...]\n";
  return 2;
}

int Soak(const Options& options) {
  std::unique_ptr<SoakRadio> radio;
  if (options.radio == "bled112") {
    radio = std::make_unique<Bled112Radio>();
  } else {
    radio = std::make_unique<Nrf52Radio>();
  }
  if (!options.logPath.empty()) {
    g_log.open(options.logPath);
    Logger::SetLogCallback(&LogToFile);
  }
  Set_HardwareFailureCallback(&OnHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  Set_RadioBackCallback(&OnRadioBack);
  SetRadioRecovery(true);
  if (!radio->Open()) {
    std::cerr << "soak: the library did not open the " << radio->Name() << " radio\n";
    return 2;
  }

  PhoneApp app;
  app.Start();
  // Warm-up: the phone found, connected and read a few times.
  if (!app.WaitForGoodRead(Clock::now(), kRecoveryLimit)) {
    std::cerr << "soak: no good read of the phone within 60 s of start\n";
    app.Stop();
    UnInitialize();
    return 1;
  }
  app.WaitForGoodRead(Clock::now() + 3s, 10s);
  const Resources start = Measure();

  std::vector<RadioFault> faults;
  for (RadioFault& fault : radio->Faults()) {
    if (options.skip.count(fault.kind.name) == 0) faults.push_back(std::move(fault));
  }
  if (faults.empty()) {
    std::cerr << "soak: every fault kind is skipped\n";
    return 2;
  }
  std::vector<FaultKind> kinds;
  for (const RadioFault& fault : faults) kinds.push_back(fault.kind);
  Schedule schedule(options.seed, kinds, kMinGap, kMaxGap);
  std::vector<KindResult> results(kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) results[i].name = kinds[i].name;

  const auto runStart = Clock::now();
  const auto runEnd =
      runStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.minutes * 60));
  size_t number = 0;
  while (Clock::now() < runEnd) {
    const PlannedFault planned = schedule.Next();
    std::this_thread::sleep_for(planned.gapBefore);
    const std::string& name = kinds[planned.kind].name;
    FaultContext context{std::mt19937_64(planned.detail), planned.hold};
    const auto began = Clock::now();
    faults[planned.kind].run(context);
    const auto ended = Clock::now();
    ++results[planned.kind].count;
    ++number;
    const auto read = app.WaitForGoodRead(ended, kRecoveryLimit);
    radio->ClearFaults();
    if (read) {
      const double recovery = SecondsBetween(ended, *read);
      results[planned.kind].recoveries.push_back(recovery);
      if (options.verbose) {
        std::printf("fault %zu %s at %.1f s, over after %.1f s: recovered in %.2f s\n", number, name.c_str(),
                    SecondsBetween(runStart, began), SecondsBetween(began, ended), recovery);
      }
    } else {
      std::printf("fault %zu %s at %.1f s, over after %.1f s: NOT recovered within 60 s\n", number, name.c_str(),
                  SecondsBetween(runStart, began), SecondsBetween(began, ended));
    }
    std::fflush(stdout);
  }

  app.WaitForGoodRead(Clock::now() + 2s, 10s);
  const Resources end = MeasureSettled();
  const size_t goodReads = app.GoodReads();
  const size_t notifications = app.Notifications();
  app.Stop();
  UnInitialize();

  std::printf("%s radio, seed %llu, %.1f min, %zu good reads, %zu notifications, radio back %zu times\n",
              radio->Name().c_str(), static_cast<unsigned long long>(options.seed),
              SecondsBetween(runStart, Clock::now()) / 60, goodReads, notifications, g_radioBack.load());
  for (const KindResult& result : results) std::printf("%s\n", FormatKindLine(result).c_str());
  const GrowthVerdict growth = JudgeGrowth(start, end);
  std::printf("resources: fds %ld->%ld, threads %ld->%ld, heap %.2f->%.2f MiB (allowance %.0f MiB)\n", start.fds,
              end.fds, start.threads, end.threads, static_cast<double>(start.heapBytes) / (1 << 20),
              static_cast<double>(end.heapBytes) / (1 << 20), static_cast<double>(kHeapAllowanceBytes) / (1 << 20));
  std::printf("%s\n", FormatSummaryLine(results, start, end).c_str());
  std::fflush(stdout);

  bool unrecovered = false;
  for (const KindResult& result : results) unrecovered = unrecovered || result.Recovered() < result.count;
  if (growth.Grew()) {
    std::fprintf(stderr, "soak: resources grew:%s%s%s\n", growth.fdsGrew ? " fds" : "",
                 growth.threadsGrew ? " threads" : "", growth.heapGrew ? " heap" : "");
  }
  return unrecovered || growth.Grew() ? 1 : 0;
}

}  // namespace
}  // namespace lumen::soak

int main(int argc, char** argv) {
  lumen::soak::Options options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--radio") {
        options.radio = value();
      } else if (arg == "--minutes") {
        options.minutes = std::stod(value());
      } else if (arg == "--seed") {
        options.seed = std::stoull(value());
      } else if (arg == "--log") {
        options.logPath = value();
      } else if (arg == "--skip") {
        std::string list = value() + ",";
        for (size_t comma; (comma = list.find(',')) != std::string::npos; list.erase(0, comma + 1)) {
          if (comma > 0) options.skip.insert(list.substr(0, comma));
        }
      } else if (arg == "--verbose") {
        options.verbose = true;
      } else {
        return lumen::soak::Usage();
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "lumen_soak: " << e.what() << "\n";
    return lumen::soak::Usage();
  }
  if ((options.radio != "bled112" && options.radio != "nrf52") || options.minutes <= 0) {
    return lumen::soak::Usage();
  }
  try {
    return lumen::soak::Soak(options);
  } catch (const std::exception& e) {
    std::cerr << "lumen_soak: " << e.what() << "\n";
    return 2;
  }
}

#pragma once

// Drives the virtual nRF52 board through pc-ble-driver's C functions, as the
// backend does: an adapter opened on a scenario file, with callbacks that
// copy every record into queues a test waits on.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sd_rpc.h"
#include "sim/nrf52/VirtualNrf52.h"
#include "support/TempPath.h"

namespace lumen::test::nrf52 {

using namespace std::chrono_literals;

using sim::Bytes;

inline constexpr auto kWait = 10s;  // failure guard only

// A scenario file in a fresh temporary directory.
class ScenarioFile {
 public:
  explicit ScenarioFile(const std::string& json) {
    m_dir = testing::UniqueTempPath("lumen-board").string();
    std::filesystem::create_directory(m_dir);
    m_path = m_dir + "/scenario.json";
    std::ofstream(m_path) << json;
  }
  ~ScenarioFile() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_dir;
  std::string m_path;
};

struct Record {
  adapter_t* adapter = nullptr;  // as the callback received it
  void* internal = nullptr;
  int code = 0;
  std::string text;
  std::vector<uint8_t> event;  // evt_len bytes, at least sizeof(ble_evt_t)

  const ble_evt_t& Evt() const { return *reinterpret_cast<const ble_evt_t*>(event.data()); }
  uint16_t Id() const { return Evt().header.evt_id; }
};

// An adapter chain on one port, opened with callbacks that record everything.
class BoardSession {
 public:
  using EventHook = std::function<void(adapter_t*, ble_evt_t*)>;

  explicit BoardSession(const std::string& port) {
    physical_layer_t* uart =
        sd_rpc_physical_layer_create_uart(port.c_str(), 1000000, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
    data_link_layer_t* h5 = sd_rpc_data_link_layer_create_bt_three_wire(uart, 250);
    transport_layer_t* transport = sd_rpc_transport_layer_create(h5, 1500);
    m_adapter = sd_rpc_adapter_create(transport);
    std::lock_guard lock(Sessions().mutex);
    Sessions().byInternal[m_adapter->internal] = this;
  }

  ~BoardSession() {
    sd_rpc_close(m_adapter);
    {
      std::lock_guard lock(Sessions().mutex);
      Sessions().byInternal.erase(m_adapter->internal);
    }
    sd_rpc_adapter_delete(m_adapter);
  }

  uint32_t Open(sim::SimClock::Mode clock = sim::SimClock::Mode::kManual) {
    const sim::Nrf52BoardOptions previous = sim::GetNrf52BoardOptions();
    sim::Nrf52BoardOptions options = previous;
    options.clockMode = clock;
    sim::SetNrf52BoardOptions(options);
    uint32_t result = sd_rpc_open(m_adapter, &OnStatus, &OnEvent, &OnLog);
    sim::SetNrf52BoardOptions(previous);
    m_board = sim::OpenNrf52Board();
    return result;
  }

  // Opens and enables with the SoftDevice defaults.
  void OpenEnabled() {
    ASSERT_EQ(Open(), NRF_SUCCESS);
    ASSERT_NE(m_board, nullptr);
    uint32_t ramBase = 0;
    ASSERT_EQ(sd_ble_enable(m_adapter, &ramBase), NRF_SUCCESS);
  }

  adapter_t* Adapter() { return m_adapter; }
  sim::VirtualNrf52& Board() { return *m_board; }
  void Advance(std::chrono::milliseconds by) { m_board->Clock().Advance(by); }
  // Everything produced so far has reached the handlers.
  void Settle() { ASSERT_TRUE(m_board->WaitUntilDelivered(kWait)); }

  void SetEventHook(EventHook hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
  }

  // The next event with this id not yet taken (earlier ones of other ids stay).
  std::optional<Record> NextEvent(uint16_t id, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock lock(m_mutex);
    std::optional<Record> found;
    m_changed.wait_for(lock, timeout, [&] {
      auto it = std::find_if(m_events.begin(), m_events.end(), [&](const Record& r) { return r.Id() == id; });
      if (it == m_events.end()) return false;
      found = std::move(*it);
      m_events.erase(it);
      return true;
    });
    return found;
  }

  // The next event with this id, due `after` from now on the board's clock and
  // not a millisecond sooner.
  std::optional<Record> EventDueIn(uint16_t id, std::chrono::milliseconds after) {
    Advance(after - 1ms);
    Settle();
    EXPECT_EQ(Pending(id), 0u) << "a millisecond early";
    Advance(1ms);
    return NextEvent(id);
  }

  // Events waiting, by id, without taking them.
  size_t Pending(uint16_t id) {
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_events.begin(), m_events.end(), [&](const Record& r) { return r.Id() == id; }));
  }

  std::vector<Record> Statuses() {
    std::lock_guard lock(m_mutex);
    return m_statuses;
  }
  // The first status record with this code, once it has arrived.
  std::optional<Record> WaitForStatus(int code, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock lock(m_mutex);
    std::optional<Record> found;
    m_changed.wait_for(lock, timeout, [&] {
      auto it = std::find_if(m_statuses.begin(), m_statuses.end(), [&](const Record& r) { return r.code == code; });
      if (it == m_statuses.end()) return false;
      found = *it;
      return true;
    });
    return found;
  }
  std::vector<Record> Logs() {
    std::lock_guard lock(m_mutex);
    return m_logs;
  }

 private:
  struct Registry {
    std::mutex mutex;
    std::map<void*, BoardSession*> byInternal;
  };
  static Registry& Sessions() {
    static Registry registry;
    return registry;
  }
  static BoardSession* Find(adapter_t* adapter) {
    std::lock_guard lock(Sessions().mutex);
    auto found = Sessions().byInternal.find(adapter->internal);
    return found == Sessions().byInternal.end() ? nullptr : found->second;
  }
  // Records from a foreign adapter go to the only session there is.
  static BoardSession* FindOrAny(adapter_t* adapter) {
    if (BoardSession* session = Find(adapter)) return session;
    std::lock_guard lock(Sessions().mutex);
    return Sessions().byInternal.size() == 1 ? Sessions().byInternal.begin()->second : nullptr;
  }

  static void OnStatus(adapter_t* adapter, sd_rpc_app_status_t code, const char* message) {
    BoardSession* session = FindOrAny(adapter);
    if (session == nullptr) return;
    std::lock_guard lock(session->m_mutex);
    session->m_statuses.push_back(Record{adapter, adapter->internal, code, message, {}});
    session->m_changed.notify_all();
  }
  static void OnLog(adapter_t* adapter, sd_rpc_log_severity_t severity, const char* message) {
    BoardSession* session = FindOrAny(adapter);
    if (session == nullptr) return;
    std::lock_guard lock(session->m_mutex);
    session->m_logs.push_back(Record{adapter, adapter->internal, severity, message, {}});
  }
  static void OnEvent(adapter_t* adapter, ble_evt_t* event) {
    BoardSession* session = FindOrAny(adapter);
    if (session == nullptr) return;
    EventHook hook;
    {
      std::lock_guard lock(session->m_mutex);
      hook = session->m_hook;
    }
    Record record{adapter, adapter->internal, 0, {}, {}};
    size_t length = std::max<size_t>(event->header.evt_len, sizeof(ble_evt_t));
    const auto* bytes = reinterpret_cast<const uint8_t*>(event);
    record.event.assign(bytes, bytes + length);
    // Recorded before the hook runs, so a hook that blocks leaves it visible.
    {
      std::lock_guard lock(session->m_mutex);
      session->m_events.push_back(std::move(record));
    }
    session->m_changed.notify_all();
    if (hook) hook(adapter, event);
  }

  adapter_t* m_adapter = nullptr;
  std::shared_ptr<sim::VirtualNrf52> m_board;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Record> m_events;
  std::vector<Record> m_statuses;
  std::vector<Record> m_logs;
  EventHook m_hook;
};

inline ble_gap_scan_params_t ScanParams(bool active = false, uint16_t timeout10ms = 0) {
  ble_gap_scan_params_t params{};
  params.active = active ? 1 : 0;
  params.interval = 0x00A0;
  params.window = 0x0050;
  params.timeout = timeout10ms;
  return params;
}

inline ble_gap_conn_params_t ConnParams() { return ble_gap_conn_params_t{12, 24, 0, 400}; }

// sd_ble_cfg_set of the GAP connection configuration of tag 1.
inline uint32_t SetGapConnectionConfiguration(adapter_t* adapter, uint8_t connCount, uint16_t eventLength) {
  ble_cfg_t cfg{};
  cfg.conn_cfg.conn_cfg_tag = 1;
  cfg.conn_cfg.params.gap_conn_cfg.conn_count = connCount;
  cfg.conn_cfg.params.gap_conn_cfg.event_length = eventLength;
  return sd_ble_cfg_set(adapter, BLE_CONN_CFG_GAP, &cfg, 0);
}

// The address of a scenario peripheral as the host passes it (LSB first).
inline ble_gap_addr_t GapAddr(const std::string& text, uint8_t type) {
  ble_gap_addr_t addr{};
  addr.addr_type = type & 0x7F;
  sim::BdAddress parsed = sim::BdAddress::Parse(text);
  std::copy(parsed.bytes.begin(), parsed.bytes.end(), addr.addr);
  return addr;
}

}  // namespace lumen::test::nrf52

namespace lumen::test::nrf52 {

inline constexpr const char* kPhoneAddress = "5a:10:20:30:40:50";  // random, resolvable (top bits 01)

// Two peripherals: a connectable phone with a GATT table of 16- and 128-bit
// services, and a non-connectable beacon. `phoneKeys` adds keys to the phone.
inline std::string PhonesScenario(const std::string& phoneKeys = "") {
  return R"({"peripherals": [
  {"name": "phone", "address": "5a:10:20:30:40:50", "address_type": "random",
   "adv_interval_ms": 100, "first_advert_ms": 100, "rssi": -55, "connect_delay_ms": 30,
   "adv_data": {"flags": 6, "name": "PhoneA"}, "scan_response": {"short_name": "PA"},)" +
         phoneKeys + R"(
   "gatt": [
     {"uuid": "1800", "characteristics": [{"uuid": "2a00", "properties": ["read"], "value_text": "Phone A"}]},
     {"uuid": "180a", "characteristics": [
       {"uuid": "2a29", "properties": ["read"], "value_text": "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"},
       {"uuid": "2a24", "properties": ["write"]}]},
     {"uuid": "180f", "characteristics": [{"uuid": "2a19", "properties": ["read", "notify"], "value": "64"}]},
     {"uuid": "1805", "characteristics": [{"uuid": "2a2b", "properties": ["indicate"], "value": "00"}]},
     {"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
       {"uuid": "a3c87501-8ed3-4bdf-8a39-a01bebede295", "properties": ["write", "write_without_response"]},
       {"uuid": "a3c87502-8ed3-4bdf-8a39-a01bebede295", "properties": ["notify"]}]},
     {"uuid": "b7d10000-5e0c-4c3f-9d8a-2f6e1c0b7a11", "characteristics": [
       {"uuid": "b7d10001-5e0c-4c3f-9d8a-2f6e1c0b7a11", "properties": ["read"], "value": "02"}]}
   ]},
  {"name": "beacon", "address": "c1:22:33:44:55:66", "address_type": "random", "connectable": false,
   "adv_interval_ms": 1000, "first_advert_ms": 1000, "adv_data": "0201060303aafe", "rssi": -80}
]})";
}

// Connects to the phone (30 ms connect delay) and returns the link's handle.
inline uint16_t ConnectPhone(BoardSession& session) {
  ble_gap_addr_t peer = GapAddr(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE);
  ble_gap_scan_params_t scan = ScanParams();
  ble_gap_conn_params_t conn = ConnParams();
  EXPECT_EQ(sd_ble_gap_connect(session.Adapter(), &peer, &scan, &conn, BLE_CONN_CFG_TAG_DEFAULT), NRF_SUCCESS);
  session.Advance(30ms);
  auto connected = session.NextEvent(BLE_GAP_EVT_CONNECTED);
  EXPECT_TRUE(connected.has_value());
  return connected ? connected->Evt().evt.gap_evt.conn_handle : BLE_CONN_HANDLE_INVALID;
}

}  // namespace lumen::test::nrf52

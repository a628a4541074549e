#include "radios/RadioUnderTest.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "lumen/Lumen.h"
#include "sim/Scenario.h"
#if !defined(_WIN32)
#include "sim/VirtualBled112.h"
#endif
#include "sim/nrf52/VirtualNrf52.h"
#include "support/TempPath.h"

namespace lumen::testing {

namespace {

using Operation = RadioUnderTest::Operation;

// What each operation is called on each radio's line.
struct OperationNames {
  Operation operation;
  std::string_view bled112Command;
  std::string_view nrf52Function;
};
constexpr OperationNames kOperationNames[] = {
    {Operation::kScanStart, "gap_discover", "sd_ble_gap_scan_start"},
    {Operation::kConnect, "gap_connect_direct", "sd_ble_gap_connect"},
    {Operation::kDisconnect, "connection_disconnect", "sd_ble_gap_disconnect"},
    {Operation::kServiceDiscovery, "attclient_read_by_group_type", "sd_ble_gattc_primary_services_discover"},
    // The scenarios' firmware (1.8) resets with a delay, to let the port close first.
    {Operation::kReset, "system_delay_reset", "sd_rpc_conn_reset"},
};

const OperationNames& NamesOf(Operation operation) {
  for (const OperationNames& names : kOperationNames) {
    if (names.operation == operation) return names;
  }
  throw std::logic_error("an operation without names");
}

#if !defined(_WIN32)
class Bled112UnderTest final : public RadioUnderTest {
 public:
  explicit Bled112UnderTest(const std::string& scenarioJson) : m_radio(sim::Scenario::FromJson(scenarioJson)) {}

  RadioKind Kind() const override { return RadioKind::kBled112; }
  BluetoothDeviceType DeviceType() const override { return BLED112Dongle; }
  bool Open() override { return Initialize(m_radio.Path(), 0, BLED112Dongle, false); }
  sim::SimClock& Clock() override { return m_radio.Clock(); }

  size_t Count(Operation operation) const override { return m_radio.CommandCount(NamesOf(operation).bled112Command); }
  bool WaitFor(Operation operation, std::chrono::milliseconds timeout, size_t count) const override {
    return m_radio.WaitForCommand(NamesOf(operation).bled112Command, timeout, count).has_value();
  }

  bool Notify(std::string_view peripheral, std::string_view characteristicUuid, const sim::Bytes& value) override {
    return m_radio.Notify(peripheral, characteristicUuid, value);
  }
  std::vector<sim::Bytes> OnAirData() const override {
    std::vector<sim::Bytes> data;
    for (const sim::OnAirFrame& frame : m_radio.OnAir()) data.push_back(frame.advData);
    return data;
  }
  void GoSilent() override { m_radio.Faults().GoSilent(); }
  bool AnswerNextReadWithInvalidHandle() override {
    m_radio.Faults().FailNextCommand("attclient_read_by_handle", 0x0401);
    return true;
  }
  bool DropFirstConnection() override {
    for (const sim::ConnectionInfo& link : m_radio.State().connections) {
      if (link.established) return m_radio.Faults().DropConnection(link.handle);
    }
    return false;
  }

 private:
  mutable sim::VirtualBled112 m_radio;
};

#endif  // !_WIN32

// The board only exists while the library holds it open, so every question
// goes to the board of the moment.
class Nrf52UnderTest final : public RadioUnderTest {
 public:
  explicit Nrf52UnderTest(const std::string& scenarioJson) {
    // Checked here, as the BLED112 does, rather than failing later in Open.
    (void)sim::Scenario::FromJson(scenarioJson);
    m_path = UniqueTempPath("lumen-nrf52", ".json").string();
    std::ofstream(m_path) << scenarioJson;
  }
  ~Nrf52UnderTest() override {
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
  }

  RadioKind Kind() const override { return RadioKind::kNrf52; }
  BluetoothDeviceType DeviceType() const override { return NordicNRF52; }
  bool Open() override {
    sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
    const bool opened = Initialize(m_path, 0, NordicNRF52, false);
    m_board = sim::OpenNrf52Board();
    if (opened && !m_board) throw std::logic_error("the library opened no virtual nRF52 board");
    return opened;
  }
  sim::SimClock& Clock() override { return Board().Clock(); }

  // Starts and resumes both count as asking to scan.
  size_t Count(Operation operation) const override { return Board().CallCount(NamesOf(operation).nrf52Function); }
  bool WaitFor(Operation operation, std::chrono::milliseconds timeout, size_t count) const override {
    return Board().WaitForCall(NamesOf(operation).nrf52Function, count, timeout);
  }

  bool Notify(std::string_view peripheral, std::string_view characteristicUuid, const sim::Bytes& value) override {
    return Board().Notify(peripheral, sim::AttUuid::Parse(characteristicUuid), value);
  }
  std::vector<sim::Bytes> OnAirData() const override {
    std::vector<sim::Bytes> data;
    for (const sim::Nrf52OnAirFrame& frame : Board().OnAir()) data.push_back(frame.advData);
    return data;
  }
  void GoSilent() override { Board().Faults().GoSilent(); }
  bool AnswerNextReadWithInvalidHandle() override {
    const auto links = Board().Snapshot().connections;
    return !links.empty() &&
           Board().Faults().AnswerNextReadWithStatus(links.front().handle, 0x0101 /* invalid handle */);
  }
  bool DropFirstConnection() override {
    const auto links = Board().Snapshot().connections;
    return !links.empty() && Board().Faults().DropConnection(links.front().handle, 0x08);
  }

 private:
  sim::VirtualNrf52& Board() const {
    if (auto current = sim::OpenNrf52Board()) m_board = current;
    if (!m_board) throw std::logic_error("no virtual nRF52 board is open");
    return *m_board;
  }

  std::string m_path;
  mutable std::shared_ptr<sim::VirtualNrf52> m_board;
};

}  // namespace

std::string RadioName(RadioKind kind) { return kind == RadioKind::kBled112 ? "Bled112" : "Nrf52"; }

std::unique_ptr<RadioUnderTest> RadioUnderTest::Make(RadioKind kind, const std::string& scenarioJson) {
#if !defined(_WIN32)
  if (kind == RadioKind::kBled112) return std::make_unique<Bled112UnderTest>(scenarioJson);
#else
  // Windows reaches the virtual BLED112 only as a COM port, in its own suite.
  if (kind == RadioKind::kBled112) throw std::logic_error("no in-process BLED112 on Windows");
#endif
  return std::make_unique<Nrf52UnderTest>(scenarioJson);
}

}  // namespace lumen::testing

#include "serial/SerialTest.h"

#include <gmock/gmock.h>

#include "serial/SerialEnvironment.h"

namespace lumen::testing {

constexpr std::chrono::milliseconds kAdvertInterval{100};

std::string PhonesScenario(const std::string& variant, const std::string& firmware) {
  return Bled112Scenario(PhonePeripheral({.deviceName = "Phone"}) + "," + BackgroundPhone("background-phone", -62),
                         variant, firmware);
}

AppRecord g_app;

void AppRecord::Reset() {
  std::lock_guard lock(mutex);
  devices.clear();
  adverts.clear();
  jobs.clear();
  jobAddresses.clear();
  hardwareFailures = 0;
  softResets.clear();
}

bool RecordAdvert(std::shared_ptr<BluetoothDevice>& device) {
  const std::string address = device->address().ToString();
  {
    std::lock_guard lock(g_app.mutex);
    g_app.devices.emplace(address, device);
    ++g_app.adverts[address];
  }
  g_app.changed.notify_all();
  return true;
}

bool RecordScanJob(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  {
    std::lock_guard lock(g_app.mutex);
    g_app.jobs.push_back(job);
    for (const auto& device : devices) {
      g_app.jobAddresses.push_back(device->address().ToString());
    }
  }
  g_app.changed.notify_all();
  return true;
}

void RecordHardwareFailure() {
  {
    std::lock_guard lock(g_app.mutex);
    ++g_app.hardwareFailures;
  }
  g_app.changed.notify_all();
}

void RecordSoftReset(bool removesDevice) {
  {
    std::lock_guard lock(g_app.mutex);
    g_app.softResets.push_back(removesDevice);
  }
  g_app.changed.notify_all();
}

void SerialTest::SetUp() {
  ASSERT_FALSE(SerialEnvironment::Instance().ControlAddress().empty());
  g_app.Reset();
  Set_HardwareFailureCallback(&RecordHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&RecordSoftReset);
  m_radio = std::make_unique<RemoteBled112>(SerialEnvironment::Instance().ControlAddress());
}

void SerialTest::TearDown() {
  Close();
  Set_HardwareFailureCallback(nullptr);
  Set_HardwareSoftResetInitiatedCallback(nullptr);
  m_radio.reset();
  g_app.Reset();
}

const std::string& SerialTest::Port() const { return SerialEnvironment::Instance().Port(); }

void SerialTest::Open(const std::string& scenario, BluetoothDeviceType type, bool checkFunctional) {
  m_radio->Load(scenario);
  ASSERT_TRUE(InitializeOnPort(type, checkFunctional)) << "the library could not open " << Port();
}

bool SerialTest::InitializeOnPort(BluetoothDeviceType type, bool checkFunctional) {
  bool open = Initialize(Port(), 0, type, checkFunctional);
#ifdef _WIN32
  // Wine may not yet see a port link made a moment earlier; a second open does.
  if (!open && m_log.HasContaining(Logger::ERROR, "failed to open serial port")) {
    UnInitialize();
    open = Initialize(Port(), 0, type, checkFunctional);
  }
#endif
  if (open) {
    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  }
  return open;
}

void SerialTest::Close() {
  ReleaseCharacteristics();
  m_phone.reset();
  // The scanner first: its worker may still hand over an advertisement, and a
  // device kept from it would outlive the scanner's record of it.
  m_scanner.reset();
  {
    std::lock_guard lock(g_app.mutex);
    g_app.devices.clear();
  }
  BluegigaCommands::SetBGTimeouts(kDefaultTimeoutMs, kDefaultTimeoutMs);  // only logs when closed
  UnInitialize();
}

void SerialTest::SetTimeoutsForTheNextOpen(int responseMs, int eventMs, BluetoothDeviceType type) {
  ASSERT_TRUE(Initialize(Port(), 0, type, false));
  BluegigaCommands::SetBGTimeouts(responseMs, eventMs);
  UnInitialize();
}

int SerialTest::HardwareFailures() {
  std::lock_guard lock(g_app.mutex);
  return g_app.hardwareFailures;
}

std::shared_ptr<BluetoothDevice> SerialTest::Device(const std::string& address) {
  std::lock_guard lock(g_app.mutex);
  const auto found = g_app.devices.find(address);
  return found == g_app.devices.end() ? nullptr : found->second;
}

int SerialTest::Adverts(const std::string& address) {
  std::lock_guard lock(g_app.mutex);
  return g_app.adverts[address];
}

std::shared_ptr<BluetoothDevice> SerialTest::Find(const std::string& address, bool keepScanning) {
  if (!m_scanner) {
    m_scanner = GetScanner();
    m_scanner->SetAdvCallback(&RecordAdvert);
  }
  m_scanner->StartLeScan();
  const int before = Adverts(address);
  m_radio->Advance(std::chrono::duration_cast<std::chrono::microseconds>(2 * kAdvertInterval));
  EXPECT_TRUE(g_app.WaitUntil([&] { return g_app.adverts[address] > before; }))
      << address << "'s advertisement never reached the application";
  if (!keepScanning) {
    m_scanner->StopLeScan();
  }
  return Device(address);
}

void SerialTest::ConnectPhone() {
  if (!m_phone) {
    m_phone = Find(kPhoneAddress);
  }
  ASSERT_TRUE(m_phone);
  m_phone->Connect();
  ASSERT_TRUE(m_phone->IsConnected());
  auto service = m_phone->GetService(kPhoneService);
  ASSERT_TRUE(service);
  ASSERT_TRUE(TakeCharacteristics(*service));
}

uint8_t SerialTest::RadioConnection() {
  const auto connections = m_radio->State().at("connections");
  EXPECT_EQ(connections.size(), 1u);
  return connections.empty() ? 0 : connections.at(0).at("handle").get<uint8_t>();
}

void SerialTest::Barrier() {
  if (!m_scanner) {
    m_scanner = GetScanner();
  }
  m_scanner->SetScanParameters(200, 100);
}

}  // namespace lumen::testing

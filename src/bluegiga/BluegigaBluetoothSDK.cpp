#include "bluegiga/BluegigaBluetoothSDK.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "bluegiga/LinkReconciler.h"
#include "bluegiga/SerialThread.h"
#include "core/Log.h"
#include "lumen/BGLibError.h"

namespace lumen::details {
namespace {

constexpr int kProbeAttempts = 6;
constexpr auto kProbeRetryPause = std::chrono::milliseconds(500);
constexpr uint8_t kRequiredConnections = 3;
constexpr uint16_t kFirstAdvertisingDataBuild = 119;

bool AtLeast(const FirmwareInfo& firmware, uint16_t major, uint16_t minor) {
  return firmware.major > major || (firmware.major == major && firmware.minor >= minor);
}

}  // namespace

BluegigaBluetoothSDK::BluegigaBluetoothSDK() = default;

BluegigaBluetoothSDK::~BluegigaBluetoothSDK() {
  Log(kInfo, "Destroy Bluegiga IBluetoothSDK object");
  if (m_serial) {
    SerialThread::ClearInstance(m_serial.get());
    m_serial.reset();  // Stop(): close on the reader thread and join it
  }
  // After the close, which cuts short a pass waiting on the radio.
  m_reconciler.reset();
}

bool BluegigaBluetoothSDK::OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec,
                                      bool checkFunctional) {
  Log(kInfo, "Call SerialThread::Initialize");
  m_deviceType = type;
  if (m_serial || SerialThread::InstanceOrNull()) {
    return false;
  }
  m_serial = std::make_shared<SerialThread>();
  SerialThread::SetInstance(m_serial);
  m_serial->OpenDevice(port, waitMsec);
  // Whatever an earlier radio left unreconciled is not this one's business.
  BGCalls::ClearReconciliation();
  m_reconciler = std::make_unique<LinkReconciler>();

  if (checkFunctional) {
    Log(kWarning, CheckDeviceFunctional() ? "Bluegiga device is functional" : "Bluegiga device is not functional");
  }

  m_firmware = BGCalls::GetInfo();
  m_versionKnown = true;
  m_supportsInitiatingConParameters = AtLeast(m_firmware, 1, 4);
  m_supportsAdvertisingData = m_firmware.build >= kFirstAdvertisingDataBuild;
  m_supportsDelayedReset = AtLeast(m_firmware, 1, 7);
  m_supportsContinuousScanning = AtLeast(m_firmware, 1, 8);

  if (m_firmware.maxConnections >= kRequiredConnections) {
    Log(kInfo, "Bluegiga supports #connections =", m_firmware.maxConnections);
  } else {
    Log(kError, "The Bluegiga device only supports", m_firmware.maxConnections, ", however", kRequiredConnections,
        " connections are required");
  }

  EndProcedure();
  SetScanningStateCallback(nullptr);
  return true;
}

bool BluegigaBluetoothSDK::CheckDeviceFunctional() {
  for (int attempt = 1; attempt <= kProbeAttempts; ++attempt) {
    Log(kDebug, "Try to check if Bluegiga device is functional. #Attempts =", attempt);
    try {
      if (BGCalls::Hello()) {
        return true;
      }
    } catch (const std::exception& e) {
      Log(kWarning, std::string("BGCalls::Hello failed: ") + e.what());
    }
    std::this_thread::sleep_for(kProbeRetryPause);
  }
  return false;
}

bool BluegigaBluetoothSDK::IsDeviceOpen() { return SerialThread::Instance().IsOpen(); }

void BluegigaBluetoothSDK::CloseDevice() { SerialThread::Instance().Close(); }

void BluegigaBluetoothSDK::StartScan(bool includeNonConnectable) {
  // Observation mode also reports non-connectable advertisers.
  BGCalls::Discover(includeNonConnectable ? BGCalls::kDiscoverObservation : BGCalls::kDiscoverGeneric);
}

std::string BluegigaBluetoothSDK::GetFirmwareVersion() {
  if (!m_versionKnown) {
    Log(kError, "OpenDevice failed to get Bluegiga version information");
    return "";
  }
  char text[80];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", m_firmware.major, m_firmware.minor, m_firmware.patch,
                m_firmware.build);
  return text;
}

void BluegigaBluetoothSDK::DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) {
  if (m_supportsDelayedReset) {
    BGCalls::EndProcedure();
    BGCalls::DelayedReset(static_cast<uint16_t>(std::min<uint32_t>(delayMs, UINT16_MAX)), waitForBoot);
  } else {
    Log(kWarning, "Bluegiga firmware does not support delayed reset, so do immediate reset");
    Reset(0, waitForBoot);
  }
}

void BluegigaBluetoothSDK::SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) {
  if (m_supportsAdvertisingData) {
    BGCalls::SetAdvData(setScanResponse, data);
  }
}

void BluegigaBluetoothSDK::SetAdvertisementParameters(uint16_t interval) {
  if (m_supportsAdvertisingData) {
    BGCalls::SetAdvParameters(interval, interval, BGCalls::kAllAdvertisingChannels);
  }
}

void BluegigaBluetoothSDK::StartAdvertising() {
  BGCalls::SetMode(BGCalls::kUserDataDiscoverable, BGCalls::kScannableNonConnectable);
}

std::vector<AttGroupItem> BluegigaBluetoothSDK::GetListOfServices(DeviceConnectionHandle h) {
  constexpr uint16_t kPrimaryServiceUuid = 0x2800;  // the attribute type that opens a service
  return BGCalls::ReadByGroupType(h, 1, 0xFFFF, Uuid(kPrimaryServiceUuid));
}

std::vector<AttHandleItem> BluegigaBluetoothSDK::GetListOfCharacteristics(DeviceConnectionHandle h,
                                                                          uint16_t startHandle, uint16_t endHandle) {
  return GroupCharacteristics(BGCalls::FindInformation(h, startHandle, endHandle));
}

std::vector<AttHandleItem> BluegigaBluetoothSDK::GroupCharacteristics(const std::vector<AttHandleItem>& items) {
  constexpr uint16_t kCharacteristicDeclarationUuid = 0x2803;
  const Uuid declaration(kCharacteristicDeclarationUuid);
  std::vector<AttHandleItem> characteristics;
  std::vector<const AttHandleItem*> group;

  // Declaration first, value attribute second, descriptors after: keep the value.
  const auto close = [&characteristics, &group](const char* label) {
    Log(kDebug, label, group.size());
    if (group.size() < 2) {
      throw BGLibError("Expect each characteristic to have two handles", kErrorGeneral);
    }
    characteristics.push_back(AttHandleItem{group[1]->handle, group[1]->attHandle, group[1]->uuid});
    group.clear();
  };

  for (const AttHandleItem& item : items) {
    if (item.uuid == declaration) {
      Log(kDebug, "found char 0x2803 marker");
      if (!group.empty()) {
        close("characteristic has #elements =");
      }
      group.push_back(&item);
    } else if (!group.empty()) {
      group.push_back(&item);
    }
  }
  if (!group.empty()) {
    close("final characteristic has #elements =");
  }
  return characteristics;
}

void BluegigaBluetoothSDK::SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) {
  if (!m_supportsInitiatingConParameters) {
    Log(kWarning, "SetScanParametersForEstablishingConnections is not supported in Bluegiga firmware");
    return;
  }
  BGCalls::SetInitiatingConParameters(scanInterval, scanWindow);
}

}  // namespace lumen::details

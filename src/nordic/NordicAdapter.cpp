#include <array>
#include <chrono>
#include <set>
#include <shared_mutex>
#include <thread>

#include "core/CallApplication.h"
#include "core/CallbacksManager.h"
#include "core/Event.h"
#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"

namespace lumen::Nordic {

namespace {

constexpr uint16_t kNordicCompanyId = 0x0059;

// One of the settings the SoftDevice takes before it is enabled, in the
// order they are given.
struct StackSetting {
  uint32_t id;
  const char* idName;
  ble_cfg_t cfg;
  // Starts the ERROR line when the board refuses the setting.
  const char* failure;
  // The fields a capture shows after the cfg_id.
  void (*describe)(CallArguments& arguments, const ble_cfg_t& cfg);
};

std::array<StackSetting, 3> StackSettings(uint8_t connCfgTag) {
  constexpr uint8_t kCentralRoleCount = 5;
  constexpr uint16_t kAttMtu = 150;
  constexpr uint8_t kConnCount = 5;
  constexpr uint16_t kEventLength1250us = 6;

  ble_cfg_t roles{};
  roles.gap_cfg.role_count_cfg.adv_set_count = 1;
  roles.gap_cfg.role_count_cfg.periph_role_count = 0;
  roles.gap_cfg.role_count_cfg.central_role_count = kCentralRoleCount;
  roles.gap_cfg.role_count_cfg.central_sec_count = 0;

  ble_cfg_t gatt{};
  gatt.conn_cfg.conn_cfg_tag = connCfgTag;
  gatt.conn_cfg.params.gatt_conn_cfg.att_mtu = kAttMtu;

  ble_cfg_t gap{};
  gap.conn_cfg.conn_cfg_tag = connCfgTag;
  gap.conn_cfg.params.gap_conn_cfg.conn_count = kConnCount;
  gap.conn_cfg.params.gap_conn_cfg.event_length = kEventLength1250us;

  return {{
      {BLE_GAP_CFG_ROLE_COUNT, "BLE_GAP_CFG_ROLE_COUNT", roles,
       "sd_ble_cfg_set() failed when attempting to set BLE_GAP_CFG_ROLE_COUNT: ",
       [](CallArguments& arguments, const ble_cfg_t& cfg) {
         arguments.Add("central_role_count", cfg.gap_cfg.role_count_cfg.central_role_count)
             .Add("adv_set_count", cfg.gap_cfg.role_count_cfg.adv_set_count);
       }},
      {BLE_CONN_CFG_GATT, "BLE_CONN_CFG_GATT", gatt,
       "sd_ble_cfg_set() failed when attempting to set BLE_CONN_CFG_GATT:",
       [](CallArguments& arguments, const ble_cfg_t& cfg) {
         arguments.Add("conn_cfg_tag", cfg.conn_cfg.conn_cfg_tag)
             .Add("att_mtu", cfg.conn_cfg.params.gatt_conn_cfg.att_mtu);
       }},
      {BLE_CONN_CFG_GAP, "BLE_CONN_CFG_GAP", gap, "sd_ble_cfg_set() failed when attempting to set BLE_CONN_CFG_GAP: ",
       [](CallArguments& arguments, const ble_cfg_t& cfg) {
         arguments.Add("conn_cfg_tag", cfg.conn_cfg.conn_cfg_tag)
             .Add("conn_count", cfg.conn_cfg.params.gap_conn_cfg.conn_count)
             .Add("event_length", cfg.conn_cfg.params.gap_conn_cfg.event_length);
       }},
  }};
}

// Never destroyed: an application may return from main with the adapter
// open, and the driver's thread looks here until the adapter is closed,
// which may be after function-local statics are gone.
std::shared_mutex& InstancesMutex() {
  static auto* mutex = new std::shared_mutex;
  return *mutex;
}

std::set<NordicBluetoothSDK*>& Instances() {
  static auto* instances = new std::set<NordicBluetoothSDK*>;
  return *instances;
}

}  // namespace

NordicBluetoothSDK::Lookup::Lookup(const adapter_t* adapter) : m_lock(InstancesMutex()) {
  const auto& instances = Instances();
  if (instances.size() > 1) {
    Log(kError, "NordicBluetoothSDK only supports a single instance, #instances = ", instances.size());
    return;
  }
  if (instances.empty()) {
    Log(kError, "NordicBluetoothSDK::Impl::FindImplByAdapter there are no implementation objects");
    return;
  }
  NordicBluetoothSDK* impl = *instances.begin();
  // The callback's adapter is a copy; its internal pointer names the adapter.
  void* const ours = impl->m_adapterInternal.load();
  if (adapter != nullptr && ours != nullptr && adapter->internal != ours) {
    Log(kError, "NordicBluetoothSDK::Impl::FindImplByAdapter event from an adapter that is not open here");
    return;
  }
  m_impl = impl;
}

NordicBluetoothSDK::NordicBluetoothSDK() {
  m_scanReportBuffer.p_data = m_scanReportStorage.data();
  m_scanReportBuffer.len = kDeclaredReportBytes;

  Log(kInfo, "AddImpl ", static_cast<const void*>(this));
  {
    std::unique_lock lock(InstancesMutex());
    Instances().insert(this);
  }
  try {
    details::Subscribe<unsigned int>(
        "common_evt_disconnect",
        [this](unsigned int native) { RemoveFromActiveConnectionMap(static_cast<uint16_t>(native)); },
        &m_disconnectSubscription);
  } catch (...) {
    std::unique_lock lock(InstancesMutex());
    Instances().erase(this);
    throw;
  }
}

NordicBluetoothSDK::~NordicBluetoothSDK() {
  Log(kInfo, "NordicBluetoothSDK::~NordicBluetoothSDK");
  try {
    Log(kInfo, "NordicBluetoothSDK::NordicBluetoothSDK::~Impl start");
    if (m_disconnectSubscription != 0) {
      details::Unsubscribe(m_disconnectSubscription);
      m_disconnectSubscription = 0;
    }
    Log(kInfo, "RemoveImpl ", static_cast<const void*>(this));
    {
      // Waits for a driver callback that is using this object.
      std::unique_lock lock(InstancesMutex());
      Instances().erase(this);
    }
    JoinLossThread();
    if (m_open.load()) {
      CloseDevice();
    }
    Log(kInfo, "NordicBluetoothSDK::NordicBluetoothSDK::~Impl done");
  } catch (const std::exception& e) {
    Log(kInfo, std::string("NordicBluetoothSDK::Impl::~Impl exception: ") + e.what());
  } catch (...) {
    Log(kInfo, "NordicBluetoothSDK::Impl::~Impl exception: non-std::exception");
  }
}

void NordicBluetoothSDK::SetIsScanning(bool scanning) {
  if (m_isScanning.exchange(scanning) == scanning) {
    return;
  }
  Log(kDebug, "Nordic IsScanning = ", scanning ? "true" : "false");
  if (const auto callback = m_scanningStateCallback.load(); callback != nullptr) {
    details::CallApplication(kWarning, "scanning state callback", [&] { callback(scanning); });
  }
}

bool NordicBluetoothSDK::OpenDevice(BluetoothDeviceType /*type*/, const std::string& port, uint32_t waitMsec,
                                    bool /*checkFunctional*/) {
  constexpr const char* kName = "lumen::Nordic::NordicBluetoothSDK::Impl::OpenDevice";
  JoinLossThread();  // a lost adapter is closed before the next one opens
  std::lock_guard lock(m_mutex);
  if (m_adapter != nullptr) {
    Log(kWarning, kName, "called while the adapter is open");
    return false;
  }
  m_portLost.store(false);
  m_resetRequested.store(false);
  details::Event::SetGlobalReset(false);
  m_deviceName = port;
  m_openDelayMs = waitMsec;
  if (waitMsec != 0) {
    Log(kDebug, kName, "Wait for device(", port, ") for", waitMsec, "msec");
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMsec));
  } else {
    Log(kDebug, kName, "Open device(", port, ") without delay");
  }

  // The connectivity firmware's serial link.
  constexpr uint32_t kBaudRate = 1000000;
  constexpr uint32_t kRetransmissionIntervalMs = 250;
  constexpr uint32_t kResponseTimeoutMs = 1500;
  physical_layer_t* physical = nullptr;
  data_link_layer_t* dataLink = nullptr;
  transport_layer_t* transport = nullptr;
  DriverCall(
      "sd_rpc_physical_layer_create_uart",
      [&] {
        physical =
            sd_rpc_physical_layer_create_uart(port.c_str(), kBaudRate, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
        return 0u;
      },
      [&] { return CallArguments().Add("port_name", port).Add("baud_rate", kBaudRate).Text(); });
  if (physical != nullptr) {
    DriverCall("sd_rpc_data_link_layer_create_bt_three_wire", [&] {
      dataLink = sd_rpc_data_link_layer_create_bt_three_wire(physical, kRetransmissionIntervalMs);
      return 0u;
    });
  }
  if (dataLink != nullptr) {
    DriverCall("sd_rpc_transport_layer_create", [&] {
      transport = sd_rpc_transport_layer_create(dataLink, kResponseTimeoutMs);
      return 0u;
    });
  }
  if (transport != nullptr) {
    DriverCall("sd_rpc_adapter_create", [&] {
      m_adapter = sd_rpc_adapter_create(transport);
      return 0u;
    });
  }
  if (m_adapter == nullptr) {
    Log(kError, "NordicBluetoothSDK::Impl::OpenDevice could not create the adapter for", port);
    return false;
  }
  m_adapterInternal.store(m_adapter->internal);
  Log(kDebug, "NordicBluetoothSDK::Impl::OpenDevice creates m_adapter = ", static_cast<const void*>(m_adapter));
  Log(kDebug, "NordicBluetoothSDK::Impl::OpenDevice creates m_adapter->internal = ", m_adapter->internal);

  adapter_t* const adapter = m_adapter;
  const auto fail = [this, adapter] {
    if (m_open.load()) {
      details::CapturePortClosed(false, "");
    }
    DriverCall("sd_rpc_close", [adapter] { return sd_rpc_close(adapter); });
    // Only deleting the adapter lets go of the port.
    DriverCall("sd_rpc_adapter_delete", [adapter] {
      sd_rpc_adapter_delete(adapter);
      return 0u;
    });
    m_adapter = nullptr;
    m_adapterInternal.store(nullptr);
    m_open.store(false);
    MarkScannerStopped();
    return false;
  };

  DriverCall("sd_rpc_log_handler_severity_filter_set",
             [adapter] { return sd_rpc_log_handler_severity_filter_set(adapter, SD_RPC_LOG_INFO); });

  uint32_t result = DriverCall(
      "sd_rpc_open", [adapter] { return sd_rpc_open(adapter, rpc_status_handler, ble_evt_dispatch, rpc_log_handler); });
  if (result != NRF_SUCCESS) {
    Log(kError, "sd_rpc_open failed: ", ErrorText(result));
    return fail();
  }
  m_open.store(true);
  details::CapturePortOpened(port);

  for (const StackSetting& setting : StackSettings(m_connCfgTag)) {
    result = DriverCall(
        "sd_ble_cfg_set", [&] { return sd_ble_cfg_set(adapter, setting.id, &setting.cfg, 0); },
        [&] {
          CallArguments arguments;
          arguments.Add("cfg_id", setting.idName);
          setting.describe(arguments, setting.cfg);
          return arguments.Text();
        });
    if (result != NRF_SUCCESS) {
      Log(kError, setting.failure + ErrorText(result));
      Log(kError, "ble_cfg_set failed: " + ErrorText(result));
      return fail();
    }
  }

  result = DriverCall("sd_ble_enable", [adapter] { return sd_ble_enable(adapter, nullptr); });
  if (result != NRF_SUCCESS) {
    Log(kError, "sd_ble_enable failed " + ErrorText(result));
    Log(kError, "ble_stack_init failed: " + ErrorText(result));
    return fail();
  }

  SetIsScanning(true);
  const ble_gap_scan_params_t params = ScanParams();
  m_scannerState.store(ScannerState::kRunning);
  result = DriverCall(
      "sd_ble_gap_scan_start", [&] { return sd_ble_gap_scan_start(adapter, &params, &m_scanReportBuffer); },
      [&] { return ScanArguments(&params); });
  if (result == NRF_SUCCESS) {
    Log(kDebug, "scan started successfully");
    return true;
  }
  Log(kError, "sd_ble_gap_scan_start failed: ", ErrorText(result));
  SetIsScanning(false);
  return fail();
}

bool NordicBluetoothSDK::IsDeviceOpen() { return m_open.load() && !m_portLost.load(); }

void NordicBluetoothSDK::CloseDevice() {
  if (!m_open.load()) {
    return;
  }
  std::unique_lock lock(m_mutex);
  if (m_adapter == nullptr) {
    return;
  }
  CloseAdapterLocked();
  if (m_deviceName.empty()) {
    throw details::NordicLibError(
        "do not clear the device name when closing device, because reset immediately re-opens the device",
        details::kErrorGeneral);
  }
}

uint32_t NordicBluetoothSDK::CloseAdapterLocked(const std::string& lostWhy) {
  adapter_t* const adapter = m_adapter;
  const uint32_t result = DriverCall("sd_rpc_close", [adapter] { return sd_rpc_close(adapter); });
  DriverCall("sd_rpc_adapter_delete", [adapter] {
    sd_rpc_adapter_delete(adapter);
    return 0u;
  });
  m_adapter = nullptr;
  m_adapterInternal.store(nullptr);
  if (m_open.exchange(false)) {
    details::CapturePortClosed(!lostWhy.empty(), lostWhy);
  }
  details::Event::SetGlobalReset(true);
  if (result != NRF_SUCCESS) {
    Log(kWarning, "Failed to close Nordic: sd_rpc_close ", ErrorText(result));
  }
  MarkScannerStopped();
  m_advertising = false;
  m_advHandle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  m_configuredAdvInterval = 0;
  {
    std::lock_guard connections(m_activeConnectionsMutex);
    m_activeConnections.clear();
  }
  DropPeerReplies(std::nullopt);
  return result;
}

void NordicBluetoothSDK::SetTimeouts(int /*responseTimeoutMs*/, int eventTimeoutMs) {
  m_operationTimeoutMs.store(eventTimeoutMs);
}

std::string NordicBluetoothSDK::GetFirmwareVersion() {
  AdapterLock lock(*this);
  ble_version_t version{};
  const uint32_t result = DriverCall("sd_ble_version_get", [&] { return sd_ble_version_get(m_adapter, &version); });
  NoteCallResult(result);
  if (result != NRF_SUCCESS) {
    Log(kWarning, "could not get version information from Nordic: ", ErrorText(result));
    return "";
  }
  const unsigned company = version.company_id;
  const unsigned number = version.version_number;
  const unsigned subversion = version.subversion_number;
  Log(kInfo, "Bluetooth device info: company ID ", company, company == kNordicCompanyId ? "(Nordic)" : "(not Nordic)",
      "; version = ", number, "; sub-version = ", subversion);
  const std::string text = std::to_string(number) + "." + std::to_string(subversion);
  Log(kInfo, "Version number returned to provider: ", text);
  return text;
}

void NordicBluetoothSDK::Reset(uint8_t bootToDfu, bool waitForBoot) {
  if (bootToDfu != 0) {
    Log(kError,
        "internal error: Nordic Bluetooth does not support booting to DFU mode, this should not have been called");
  }
  DelayedNonDFUReset(0, waitForBoot);
}

void NordicBluetoothSDK::DelayedNonDFUReset(uint32_t /*delayMs*/, bool /*waitForBoot*/) {
  uint32_t result = NRF_SUCCESS;
  {
    AdapterLock lock(*this);
    m_resetRequested.store(true);  // the port goes away while the board reboots
    result = DriverCall("sd_rpc_conn_reset", [this] { return sd_rpc_conn_reset(m_adapter, SYS_RESET); });
  }
  if (result != NRF_SUCCESS) {
    Log(kWarning, "resetting Nordic failed: ", ErrorText(result));
  }
}

}  // namespace lumen::Nordic

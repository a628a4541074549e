#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"

namespace lumen::Nordic {

namespace {

ble_gap_adv_params_t AdvParams(uint32_t intervalUnits625us) {
  ble_gap_adv_params_t params{};
  params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
  params.properties.anonymous = 0;
  params.properties.include_tx_power = 0;
  params.p_peer_addr = nullptr;
  params.interval = intervalUnits625us;
  params.duration = 0;
  params.max_adv_evts = 0;
  params.filter_policy = BLE_GAP_ADV_FP_ANY;
  params.primary_phy = 0;
  params.secondary_phy = 0;
  params.set_id = 0;
  params.scan_req_notification = 0;
  return params;
}

}  // namespace

void NordicBluetoothSDK::SetAdvertisementData(uint8_t /*setScanResponse*/, const std::vector<uint8_t>& data) {
  AdapterLock lock(*this);
  m_advData = data;
  ConfigureAdvertising();
}

void NordicBluetoothSDK::SetAdvertisementParameters(uint16_t interval) {
  AdapterLock lock(*this);
  m_advInterval = interval;
  ConfigureAdvertising();
}

void NordicBluetoothSDK::ConfigureAdvertising() {
  if (m_advData.empty()) {
    return;
  }
  Log(kInfo, "about to set advertising data, payload size =", m_advData.size());

  // The set keeps using the buffer it has until the call returns, so new
  // data always goes to the other one.
  const size_t next = 1 - m_advBufferInUse;
  m_advBuffers[next] = m_advData;
  ble_gap_adv_data_t advData{};
  advData.adv_data.p_data = m_advBuffers[next].data();
  advData.adv_data.len = static_cast<uint16_t>(m_advBuffers[next].size());
  advData.scan_rsp_data.p_data = nullptr;
  advData.scan_rsp_data.len = 0;

  uint32_t result = NRF_SUCCESS;
  if (m_advertising && m_configuredAdvInterval == m_advInterval) {
    // While advertising the SoftDevice takes new data only, without parameters.
    result = DriverCall("sd_ble_gap_adv_set_configure",
                        [&] { return sd_ble_gap_adv_set_configure(m_adapter, &m_advHandle, &advData, nullptr); });
  } else {
    // A new interval needs the set stopped.
    const bool restart = m_advertising;
    if (restart) {
      StopAdvertisingSetLocked();
    }
    const ble_gap_adv_params_t params = AdvParams(m_advInterval);
    result = DriverCall("sd_ble_gap_adv_set_configure",
                        [&] { return sd_ble_gap_adv_set_configure(m_adapter, &m_advHandle, &advData, &params); });
    if (result == NRF_SUCCESS) {
      m_configuredAdvInterval = m_advInterval;
    }
    if (restart) {
      const uint32_t start = DriverCall("sd_ble_gap_adv_start",
                                        [this] { return sd_ble_gap_adv_start(m_adapter, m_advHandle, m_connCfgTag); });
      if (start != NRF_SUCCESS) {
        Log(kWarning, "cannot start advertising: sd_ble_gap_adv_start returned error ", ErrorText(start));
      } else {
        m_advertising = true;
      }
    }
  }
  if (result != NRF_SUCCESS) {
    Log(kError, "Failed to set advertisement data. Error code: ", ErrorText(result));
  } else {
    Log(kDebug, "Advertising data set successfully");
    m_advBufferInUse = next;
  }
  if (m_advHandle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
    return;
  }
  const int8_t dbm = m_txPowerDbm;
  const uint32_t txResult = DriverCall("sd_ble_gap_tx_power_set", [&] {
    return sd_ble_gap_tx_power_set(m_adapter, BLE_GAP_TX_POWER_ROLE_ADV, m_advHandle, dbm);
  });
  if (txResult != NRF_SUCCESS) {
    Log(kWarning, "sd_ble_gap_tx_power_set failed: ", ErrorText(txResult));
  } else {
    Log(kInfo, "successfully set txpower to Nordic dBm =", static_cast<int>(dbm));
  }
}

void NordicBluetoothSDK::StartAdvertising() {
  AdapterLock lock(*this);
  if (m_advHandle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
    Log(kWarning, "cannot start advertising because advertising data not successfully configured");
    return;
  }
  if (m_advertising) {
    StopAdvertisingSetLocked();
  }
  const uint32_t result =
      DriverCall("sd_ble_gap_adv_start", [this] { return sd_ble_gap_adv_start(m_adapter, m_advHandle, m_connCfgTag); });
  if (result != NRF_SUCCESS) {
    Log(kWarning, "cannot start advertising: sd_ble_gap_adv_start returned error ", ErrorText(result));
    return;
  }
  m_advertising = true;
}

void NordicBluetoothSDK::StopAdvertising() {
  AdapterLock lock(*this);
  if (m_advHandle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) {
    Log(kWarning, "cannot stop advertising because advertising data not successfully configured");
    return;
  }
  StopAdvertisingSetLocked();
}

// A set that is not advertising refuses the stop as being in the wrong
// state: that is no failure here.
void NordicBluetoothSDK::StopAdvertisingSetLocked() {
  const uint32_t stop =
      DriverCall("sd_ble_gap_adv_stop", [this] { return sd_ble_gap_adv_stop(m_adapter, m_advHandle); });
  if (stop != NRF_SUCCESS && stop != NRF_ERROR_INVALID_STATE) {
    Log(kWarning, "failed try to stop advertising: sd_ble_gap_adv_stop returned error " + ErrorText(stop));
  }
  m_advertising = false;
}

}  // namespace lumen::Nordic

#include <mutex>

#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"

namespace lumen::Nordic {

ble_gap_scan_params_t PassiveScanParams(uint16_t units625us, uint16_t timeout10ms) {
  ble_gap_scan_params_t params{};
  params.extended = 0;
  params.report_incomplete_evts = 0;
  params.active = 0;
  params.filter_policy = BLE_GAP_SCAN_FP_ACCEPT_ALL;
  params.scan_phys = BLE_GAP_PHY_1MBPS;
  params.interval = units625us;
  params.window = units625us;
  params.timeout = timeout10ms;
  return params;
}

namespace {

constexpr uint16_t kDefaultScanUnits625us = 88;  // interval = window: continuous scanning

std::mutex g_scanParamsMutex;

ble_gap_scan_params_t MakeDefaultScanParams() {
  return PassiveScanParams(kDefaultScanUnits625us, BLE_GAP_SCAN_TIMEOUT_UNLIMITED);
}

// s_scanParams: the parameters of every scan start with parameters.
ble_gap_scan_params_t s_scanParams = MakeDefaultScanParams();

}  // namespace

ble_gap_scan_params_t NordicBluetoothSDK::ScanParams() const {
  std::lock_guard lock(g_scanParamsMutex);
  return s_scanParams;
}

void NordicBluetoothSDK::SetScanParameters(uint16_t /*scanInterval*/, uint16_t scanWindow, uint8_t /*active*/) {
  std::lock_guard lock(g_scanParamsMutex);
  s_scanParams.interval = scanWindow;
  s_scanParams.window = scanWindow;
}

void NordicBluetoothSDK::SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) {
  m_connScanIntervalOverride.store(scanInterval);
  m_connScanWindowOverride.store(scanWindow);
}

void NordicBluetoothSDK::MarkScannerStopped() {
  m_scannerState.store(ScannerState::kStopped);
  SetIsScanning(false);
}

void NordicBluetoothSDK::StartScan(bool /*includeNonConnectable*/) {
  SetIsScanning(true);
  AdapterLock lock(*this);
  ReconcileLinksLocked();
  StartScanLocked();
}

void NordicBluetoothSDK::StartScanLocked() {
  ScannerState state = m_scannerState.load();
  if (state == ScannerState::kRunning) {
    // Asked to start while it runs: the scanner hears nothing (the watchdog's
    // restart). Starting it again would be refused, so stop it first; the
    // stop also hands its report buffer back to the driver.
    Log(kDebug, "Nordic scanner is running, restart it");
    const uint32_t stopResult = DriverCall("sd_ble_gap_scan_stop", [this] { return sd_ble_gap_scan_stop(m_adapter); });
    if (stopResult != NRF_SUCCESS && stopResult != NRF_ERROR_INVALID_STATE) {
      Log(kWarning, "stopping the scan to restart it failed: " + ErrorText(stopResult));
    }
    state = ScannerState::kStopped;
  }
  // Marked running before the call: a report of the started scan may pause
  // it again before the call returns.
  m_scannerState.store(ScannerState::kRunning);
  const ble_gap_scan_params_t params = ScanParams();
  const ble_gap_scan_params_t* const startParams = state == ScannerState::kPaused ? nullptr : &params;
  uint32_t result = DriverCall(
      "sd_ble_gap_scan_start", [&] { return sd_ble_gap_scan_start(m_adapter, startParams, &m_scanReportBuffer); },
      [&] { return ScanArguments(startParams); });
  if (result == NRF_ERROR_INVALID_STATE) {
    const uint32_t stopResult = DriverCall("sd_ble_gap_scan_stop", [this] { return sd_ble_gap_scan_stop(m_adapter); });
    if (stopResult == NRF_SUCCESS) {
      Log(kDebug,
          "calling sd_ble_gap_scan_stop after sd_ble_gap_scan_start failed (with NRF_ERROR_INVALID_STATE) worked!");
    } else if (stopResult == NRF_ERROR_INVALID_STATE) {
      Log(kDebug,
          "calling sd_ble_gap_scan_stop after sd_ble_gap_scan_start failed (with NRF_ERROR_INVALID_STATE) also failed "
          "with NRF_ERROR_INVALID_STATE, indicating that we were not scanning");
    } else {
      Log(kDebug,
          "calling sd_ble_gap_scan_stop after sd_ble_gap_scan_start failed with NRF_ERROR_INVALID_STATE failed: ",
          ErrorText(stopResult));
    }
    m_scannerState.store(ScannerState::kRunning);
    result = DriverCall(
        "sd_ble_gap_scan_start", [&] { return sd_ble_gap_scan_start(m_adapter, &params, &m_scanReportBuffer); },
        [&] { return ScanArguments(&params); });
    if (result == NRF_ERROR_INVALID_STATE) {
      Log(kWarning,
          "re-called sd_ble_gap_scan_start with non-null params after NRF_ERROR_INVALID_STATE, still get "
          "NRF_ERROR_INVALID_STATE");
    } else if (result == NRF_SUCCESS) {
      Log(kDebug, "re-called sd_ble_gap_scan_start with non-null params after NRF_ERROR_INVALID_STATE, now successful");
    } else {
      Log(kWarning,
          "re-called sd_ble_gap_scan_start with non-null params after NRF_ERROR_INVALID_STATE, which changed result to "
          "different error ",
          ErrorText(result));
    }
  }
  if (result == NRF_SUCCESS) {
    Log(kDebug, "sd_ble_gap_scan_start succeeded");
    return;
  }
  Log(kError, "sd_ble_gap_scan_start failed:", ErrorText(result));
  NoteCallResult(result);
  MarkScannerStopped();
}

void NordicBluetoothSDK::EndProcedure() {
  AdapterLock lock(*this);
  const uint32_t result = DriverCall("sd_ble_gap_scan_stop", [this] { return sd_ble_gap_scan_stop(m_adapter); });
  if (result != NRF_SUCCESS && result != NRF_ERROR_INVALID_STATE) {
    Log(kError, "failed stopping scanning: sd_ble_gap_scan_stop error " + ErrorText(result));
  }
  // Stopped whatever the answer: a refused stop means there was no scan.
  MarkScannerStopped();
}

void NordicBluetoothSDK::StopRunningScanBeforeConnect() {
  if (m_scannerState.load() != ScannerState::kRunning) {
    return;
  }
  // A connect stops the scan too, but leaves its report buffer registered
  // with the driver; a stop gives it back.
  const uint32_t result = DriverCall("sd_ble_gap_scan_stop", [this] { return sd_ble_gap_scan_stop(m_adapter); });
  if (result != NRF_SUCCESS && result != NRF_ERROR_INVALID_STATE) {
    Log(kWarning, "stopping the scan before connecting failed: " + ErrorText(result));
  }
  MarkScannerStopped();
}

}  // namespace lumen::Nordic

#include <array>

#include "core/ConnectionTable.h"
#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicCallWait.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"
#include "nordic/OperationTimer.h"

namespace lumen::Nordic {

namespace {

constexpr uint16_t kDefaultConnScanUnits625us = 88;
constexpr uint16_t kConnIntervalUnits1250us = 6;  // 7.5 ms
constexpr uint32_t kConnectWaitMarginMs = 500;

constexpr std::array<int8_t, 14> kTxPowerDbmByStrength = {-40, -20, -16, -12, -8, -4, 0, 2, 3, 4, 5, 6, 7, 8};

// The sub-type of a random address is in the two most significant bits of
// its most significant byte.
uint8_t PeerAddressType(const Address& address) {
  if (address.type() == Address::Public) {
    return BLE_GAP_ADDR_TYPE_PUBLIC;
  }
  switch (address.bytes()[5] >> 6) {
    case 0x3:
      return BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    case 0x1:
      return BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE;
    case 0x0:
      return BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE;
    default:
      Log(kWarning, "random address", address.ToString(), "has reserved sub-type bits, connect as resolvable");
      return BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE;
  }
}

}  // namespace

void NordicBluetoothSDK::AddToActiveConnectionMap(uint16_t handle) {
  std::lock_guard lock(m_activeConnectionsMutex);
  if (m_activeConnections.count(handle) != 0) {
    throw details::NordicLibError(
        "AddToActiveConnectionMap cannot add Nordic handle that is already in active connection map",
        details::kErrorGeneral);
  }
  m_activeConnections.emplace(handle, ActiveConnection{m_noRssi, {}});
}

void NordicBluetoothSDK::RemoveFromActiveConnectionMap(uint16_t handle) {
  std::lock_guard lock(m_activeConnectionsMutex);
  if (m_activeConnections.erase(handle) == 0) {
    Log(kInfo,
        "Nordic connection handle was expected to be in the internal list of open connections, but was not: ", handle);
  }
}

void NordicBluetoothSDK::StoreRssi(uint16_t handle, int8_t rssi) {
  std::lock_guard lock(m_activeConnectionsMutex);
  if (const auto entry = m_activeConnections.find(handle); entry != m_activeConnections.end()) {
    entry->second.rssi = rssi;
  }
}

bool NordicBluetoothSDK::StoreRssiQuietly(uint16_t handle, int8_t rssi) {
  constexpr auto kRssiLogPeriod = std::chrono::seconds(1);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(m_activeConnectionsMutex);
  const auto entry = m_activeConnections.find(handle);
  if (entry == m_activeConnections.end()) {
    return false;
  }
  entry->second.rssi = rssi;
  ActiveConnection& connection = entry->second;
  if (connection.rssiLoggedAt != std::chrono::steady_clock::time_point{} &&
      now - connection.rssiLoggedAt < kRssiLogPeriod) {
    return true;
  }
  connection.rssiLoggedAt = now;
  return false;
}

bool NordicBluetoothSDK::GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) {
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  std::lock_guard lock(m_activeConnectionsMutex);
  const auto entry = m_activeConnections.find(native);
  if (entry == m_activeConnections.end()) {
    Log(kWarning, "cannot get RSSI because connection ", h.id(), " is no longer in active connection map");
    return false;
  }
  *rssiOut = entry->second.rssi;
  if (entry->second.rssi == m_noRssi) {
    Log(kWarning, "cannot get RSSI because no RSSI has been received for connection ", h.id());
    return false;
  }
  return true;
}

void NordicBluetoothSDK::SetTXPower(uint8_t power) {
  const uint8_t strength = power < kTxPowerDbmByStrength.size() ? power : kTxPowerDbmByStrength.size() - 1;
  AdapterLock lock(*this);
  const int8_t dbm = kTxPowerDbmByStrength[strength];
  m_txPowerDbm = dbm;
  const uint32_t result = DriverCall(
      "sd_ble_gap_tx_power_set",
      [&] { return sd_ble_gap_tx_power_set(m_adapter, BLE_GAP_TX_POWER_ROLE_SCAN_INIT, 0, dbm); },
      [&] {
        return CallArguments()
            .Add("role", "BLE_GAP_TX_POWER_ROLE_SCAN_INIT")
            .Add("tx_power", std::to_string(dbm))
            .Text();
      });
  if (result != NRF_SUCCESS) {
    Log(kWarning, "sd_ble_gap_tx_power_set failed: ", ErrorText(result));
  } else {
    Log(kInfo, "successfully set txpower, standard strength ", static_cast<int>(strength),
        "; Nordic dBm =", static_cast<int>(dbm));
  }
}

void NordicBluetoothSDK::ConnectDirect(DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi,
                                       const Address& address, uint16_t /*connIntervalMin*/,
                                       uint16_t /*connIntervalMax*/, uint16_t supervisionTimeout, uint16_t latency) {
  OperationTimer timer("lumen::Nordic::NordicBluetoothSDK::Impl::ConnectDirect");
  AdapterLock lock(*this);
  // A link left over from an unanswered disconnect would keep the phone away.
  ReconcileLinksLocked();

  const int32_t connectTimeoutMs = m_connectTimeoutMs.load();
  ble_gap_scan_params_t scanParams =
      PassiveScanParams(kDefaultConnScanUnits625us, static_cast<uint16_t>(connectTimeoutMs / 10));
  if (const uint16_t interval = m_connScanIntervalOverride.load(); interval != 0) {
    Log(kDebug, "override connection scan interval = ", interval);
    scanParams.interval = interval;
  }
  if (const uint16_t window = m_connScanWindowOverride.load(); window != 0) {
    Log(kDebug, "override connection scan window = ", window);
    scanParams.window = window;
  }

  ble_gap_conn_params_t connParams{};
  connParams.min_conn_interval = kConnIntervalUnits1250us;
  connParams.max_conn_interval = kConnIntervalUnits1250us;
  connParams.slave_latency = latency;
  connParams.conn_sup_timeout = supervisionTimeout;

  ble_gap_addr_t peer{};
  peer.addr_id_peer = 0;
  peer.addr_type = PeerAddressType(address) & 0x7F;
  for (size_t i = 0; i < BLE_GAP_ADDR_LEN; ++i) {
    peer.addr[i] = address.bytes()[i];
  }

  StopRunningScanBeforeConnect();
  uint16_t handle = BLE_CONN_HANDLE_INVALID;
  const uint32_t result = ConnectWait(peer, scanParams, connParams, &handle);
  // A connect call ends the scan whatever it returns.
  MarkScannerStopped();
  if (m_portLost.load()) {
    ThrowPortGone();
  }
  if (result != NRF_SUCCESS) {
    throw details::NordicLibError("Nordic sd_ble_gap_connect failed", static_cast<int>(result));
  }

  bool bound = false;
  try {
    h.Connect(handle);
    bound = true;
    Log(kInfo, "Nordic ConnectDirect succeeds with Nordic handle ", handle);
    AddToActiveConnectionMap(handle);
    if (advertRssi.empty()) {
      Log(kInfo, "no RSSI from advertisements to pre-populate Nordic connection");
    } else {
      const int rssi = advertRssi.back().rssi;
      Log(kInfo, "RSSI from advertisements used to pre-populate Nordic connection: ", rssi);
      StoreRssi(handle, static_cast<int8_t>(rssi));
    }
  } catch (...) {
    // The link is up but would belong to nobody: close it before reporting.
    Log(kWarning, "Nordic ConnectDirect could not take over connection", handle, ", disconnect it");
    try {
      DisconnectLocked(bound ? &h : nullptr, handle);
    } catch (...) {
      Log(kError, "Nordic ConnectDirect failed to disconnect connection", handle);
    }
    throw;
  }

  const uint32_t rssiResult = DriverCall(
      "sd_ble_gap_rssi_start", [&] { return sd_ble_gap_rssi_start(m_adapter, handle, 0, 0); },
      [&] { return CallArguments().Add("conn_handle", handle).Add("threshold_dbm", 0).Add("skip_count", 0).Text(); });
  if (rssiResult != NRF_SUCCESS) {
    DisconnectLocked(&h, handle);
    throw details::NordicLibError("Terminated connection because Nordic sd_ble_gap_rssi_start failed",
                                  static_cast<int>(rssiResult));
  }

  const int8_t dbm = m_txPowerDbm;
  const uint32_t txResult = DriverCall(
      "sd_ble_gap_tx_power_set",
      [&] { return sd_ble_gap_tx_power_set(m_adapter, BLE_GAP_TX_POWER_ROLE_CONN, handle, dbm); },
      [&] {
        return CallArguments()
            .Add("role", "BLE_GAP_TX_POWER_ROLE_CONN")
            .Add("conn_handle", handle)
            .Add("tx_power", std::to_string(dbm))
            .Text();
      });
  if (txResult != NRF_SUCCESS) {
    Log(kWarning, "sd_ble_gap_tx_power_set failed: ", ErrorText(txResult));
  } else {
    Log(kInfo, "successfully set txpower to Nordic dBm =", static_cast<int>(dbm));
  }
}

uint32_t NordicBluetoothSDK::ConnectWait(const ble_gap_addr_t& peer, const ble_gap_scan_params_t& scanParams,
                                         const ble_gap_conn_params_t& connParams, uint16_t* handleOut) {
  // Declared before the wait: its handlers write them until it unsubscribes.
  bool connected = false;
  uint16_t connectedHandle = BLE_CONN_HANDLE_INVALID;
  uint64_t attemptId = 0;
  {
    std::lock_guard lock(m_connectAttemptMutex);
    attemptId = ++m_connectAttempt;
  }
  NordicCallWait wait;
  wait.Subscribe<uint16_t>("nordic_on_connected", [&, attemptId](uint16_t handle) {
    auto lock = wait.Lock();
    // Once closed, the event thread closes the link itself.
    if (!wait.IsOpen() || !TakeConnectedLink(attemptId, handle)) {
      return;
    }
    connectedHandle = handle;
    connected = true;
    wait.Done().Set();
  });
  wait.Subscribe<void*>("nordic_on_connection_timeout", [&](void* /*none*/) {
    Log(kInfo, "connection event handler got nordic_on_connection_timeout");
    wait.Done().Set();
  });

  const uint32_t limitMs =
      static_cast<uint32_t>(std::max<int32_t>(m_connectTimeoutMs.load(), 0)) + kConnectWaitMarginMs;
  uint32_t result = NRF_SUCCESS;
  bool signaled = false;
  {
    std::lock_guard driverLock(DriverCallMutex());
    {
      std::lock_guard attempt(m_connectAttemptMutex);
      m_connectAwaited = true;
    }
    Log(kDebug, "call sd_ble_gap_connect");
    result = CountCall(sd_ble_gap_connect(m_adapter, &peer, &scanParams, &connParams, m_connCfgTag));
    CaptureCall("sd_ble_gap_connect", result, [&] {
      return CallArguments()
          .Add("peer_addr", AddressText(peer))
          .Add("scan_interval", scanParams.interval)
          .Add("scan_window", scanParams.window)
          .Add("scan_timeout", scanParams.timeout)
          .Add("min_conn_interval", connParams.min_conn_interval)
          .Add("max_conn_interval", connParams.max_conn_interval)
          .Add("slave_latency", connParams.slave_latency)
          .Add("conn_sup_timeout", connParams.conn_sup_timeout)
          .Add("conn_cfg_tag", m_connCfgTag)
          .Text();
    });
    if (result != NRF_SUCCESS) {
      std::lock_guard attempt(m_connectAttemptMutex);
      m_connectAwaited = false;
      wait.Done().Set();
    }
    signaled = wait.Done().WaitFor(limitMs);
    if (!signaled && result == NRF_SUCCESS) {
      bool claimed = false;
      {
        std::lock_guard attempt(m_connectAttemptMutex);
        claimed = !m_connectAwaited;
        m_connectAwaited = false;
      }
      // The event thread has taken the outcome already; it is being published.
      if (claimed) {
        // A CONNECTED event already taken off the line is published within moments.
        signaled = wait.Done().WaitFor(m_connectedEventWaitMs.load());
      }
    }
  }

  // From here on a CONNECTED event is the event thread's to close; one taken
  // just before is ours, signalled in time or not.
  wait.Close();
  NoteCallResult(result);
  if (result != NRF_SUCCESS) {
    Log(kWarning, "sd_ble_gap_connect failed ", ErrorText(result));
    return result;
  }
  if (m_portLost.load()) {
    return NRF_ERROR_TIMEOUT;  // nothing to cancel on a board that is gone
  }
  if (connected) {
    *handleOut = connectedHandle;
    return NRF_SUCCESS;
  }
  if (signaled) {
    return NRF_ERROR_TIMEOUT;
  }
  m_reconcileNeeded.store(true);
  details::CountNoCompletingEvent();
  NoteNoCompletingEvent("sd_ble_gap_connect", limitMs);
  Log(kWarning,
      "sd_ble_gap_connect failed - no event for successful connection or for timeout, call sd_ble_gap_connect_cancel");
  const uint32_t cancel =
      DriverCall("sd_ble_gap_connect_cancel", [this] { return sd_ble_gap_connect_cancel(m_adapter); });
  if (cancel == NRF_ERROR_INVALID_STATE) {
    // Should the attempt have ended in a link after all, the event thread
    // closes it: nobody awaits it any more.
    Log(kWarning,
        "Nordic cancel failed because connection attempt had already terminated (if this happens rarely, it may be "
        "legitimate, but it should not be common)");
  } else if (cancel != NRF_SUCCESS) {
    Log(kError, "sd_ble_gap_connect_cancel failed: ", ErrorText(cancel));
  }
  return NRF_ERROR_TIMEOUT;
}

void NordicBluetoothSDK::Disconnect(DeviceConnectionHandle h) {
  AdapterLock lock(*this);
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  DisconnectLocked(&h, native);
}

bool NordicBluetoothSDK::IsBeingDisconnected(uint16_t handle) {
  std::lock_guard lock(m_activeConnectionsMutex);
  return m_linksBeingDisconnected.count(handle) != 0;
}

void NordicBluetoothSDK::DisconnectLocked(const DeviceConnectionHandle* h, uint16_t native) {
  // The entry goes with the disconnection event (the backend's own
  // subscription); only when none comes is it taken out here.
  {
    std::lock_guard connections(m_activeConnectionsMutex);
    m_linksBeingDisconnected.insert(native);
  }
  Log(kInfo, "prepare to disconnect Nordic handle ", native, ", internal connection handle ",
      h != nullptr ? h->id() : 0);

  uint32_t result = NRF_SUCCESS;
  bool signaled = false;
  {
    NordicCallWait wait;
    wait.Subscribe<unsigned int>("common_evt_disconnect", [&wait, native](unsigned int handle) {
      if (handle == native) {
        wait.Done().Set();
      } else {
        Log(kWarning, "sd_ble_gap_disconnect sees disconnect for different connection Nordic handle =", handle);
      }
    });
    std::lock_guard driverLock(DriverCallMutex());
    Log(kDebug, "call sd_ble_gap_disconnect ", native);
    result = CountCall(sd_ble_gap_disconnect(m_adapter, native, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
    CaptureCall("sd_ble_gap_disconnect", result, [&] {
      return CallArguments()
          .Add("conn_handle", native)
          .AddHex("hci_status_code", BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION)
          .Text();
    });
    if (result != NRF_SUCCESS) {
      wait.Done().Set();
    }
    signaled = wait.Done().WaitFor(m_disconnectWaitMs.load());
  }
  NoteCallResult(result);
  const bool lost = m_portLost.load();
  // Unanswered, the link may still be up on the radio: it stays ours until
  // reconciliation closes it.
  const bool unanswered = result == NRF_SUCCESS && !signaled && !lost;
  {
    std::lock_guard connections(m_activeConnectionsMutex);
    m_linksBeingDisconnected.erase(native);
    if ((result != NRF_SUCCESS || !signaled) && !unanswered) {
      m_activeConnections.erase(native);
    }
  }
  if (unanswered) {
    m_reconcileNeeded.store(true);
    details::CountNoCompletingEvent();
    NoteNoCompletingEvent("sd_ble_gap_disconnect", m_disconnectWaitMs.load());
  }
  if (h != nullptr) {
    details::RemoveConnection(*h);
  }

  if (result == NRF_SUCCESS) {
    if (signaled) {
      Log(kInfo, "successful Nordic disconnect of handle", native);
    } else {
      Log(kWarning, "sd_ble_gap_disconnect failed - no disconnect event received");
      if (lost) {
        ThrowPortGone();
      }
      const uint32_t probe = DriverCall(
          "sd_ble_gap_conn_param_update", [&] { return sd_ble_gap_conn_param_update(m_adapter, native, nullptr); },
          [&] { return CallArguments().Add("conn_handle", native).Add("p_conn_params", "NULL").Text(); });
      Log(kInfo, "use sd_ble_gap_conn_param_update to check on connection status ", ErrorText(probe));
      result = NRF_ERROR_TIMEOUT;
    }
  }
  if (result == NRF_SUCCESS) {
    Log(kInfo, "Disconnect succeeded for Nordic connection handle ", native);
  } else {
    Log(kWarning, "sd_ble_gap_disconnect failed ", ErrorText(result));
  }
}

}  // namespace lumen::Nordic

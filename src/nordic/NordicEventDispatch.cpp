#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "bluegiga/BgMessages.h"
#include "core/CallbacksManager.h"
#include "core/CommonDataNotificationEvent.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/MessageQueue.h"
#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"
#include "nordic/OperationTimer.h"
#include "platform/ThreadId.h"

namespace lumen::Nordic {

using details::Publish;

namespace {

constexpr int kRssiCorrectionDb = 8;
// The packet types a BGAPI scan response record carries.
enum PacketType : uint8_t { kPacketConnectable = 0, kPacketScanResponse = 4, kPacketScannable = 6 };
constexpr uint8_t kNoBond = 0xFF;
constexpr size_t kScanResponseRecordBytes = sizeof(details::bglib::ble_msg_gap_scan_response_evt_t);
constexpr size_t kMaxRecordDataBytes = 255;  // the record's length field is one byte

std::atomic<uint64_t> g_dispatchThread{0};

// The driver's number as it came, even outside the enum's values: reading it
// through the enum type would be undefined there.
template <class Enum>
int RawValue(const Enum& value) {
  std::underlying_type_t<Enum> raw;
  static_assert(sizeof raw == sizeof value);
  std::memcpy(&raw, &value, sizeof raw);
  return static_cast<int>(raw);
}

// Whether the event holds `needed` bytes from its start. The driver's length
// may leave out the header, so that much slack is allowed.
bool EventHolds(const ble_evt_t& event, size_t needed) {
  return needed <= static_cast<size_t>(event.header.evt_len) + offsetof(ble_evt_t, evt);
}

void PublishGattc(const char* name, const ble_evt_t& event) {
  Publish<const ble_gattc_evt_t*>(name, &event.evt.gattc_evt);
}

// A response whose `size` (entries, bytes) would run past the end of the
// event at `entriesEnd` is dropped whole, so no reader reads beyond it.
void PublishGattcIfWhole(const char* name, const ble_evt_t& event, size_t entriesEnd, const char* sizeName,
                         uint16_t size) {
  if (!EventHolds(event, entriesEnd)) {
    Log(kError, std::string(name) + " dropped: " + sizeName, size, "does not fit event length", event.header.evt_len);
    return;
  }
  PublishGattc(name, event);
}

int8_t CorrectedRssi(int raw) { return static_cast<int8_t>(std::max(raw - kRssiCorrectionDb, -128)); }

// With reports on every connection event, most RSSI updates are stored
// without the dispatch's log lines.
bool StoredQuietly(adapter_t* adapter, const ble_evt_t* event) {
  if (event == nullptr || event->header.evt_id != BLE_GAP_EVT_RSSI_CHANGED) {
    return false;
  }
  const NordicBluetoothSDK::Lookup lookup(adapter);
  if (lookup.get() == nullptr) {
    return true;  // the lookup has logged why
  }
  return lookup.get()->StoreRssiQuietly(event->evt.gap_evt.conn_handle,
                                        CorrectedRssi(event->evt.gap_evt.params.rssi_changed.rssi));
}

// The event's bytes as far as evt_len says, header included: the variable
// part (a notification's value, discovered services) runs past the struct,
// inside the driver's event buffer. An advertising report holds only a
// pointer to its data, so the data follows the event.
void CaptureEvent(const ble_evt_t& event) {
  constexpr size_t kDriverEventBuffer = 700;  // what the driver decodes an event into
  const size_t size = std::clamp<size_t>(event.header.evt_len, sizeof(ble_evt_t), kDriverEventBuffer);
  const void* data = nullptr;
  size_t dataSize = 0;
  if (event.header.evt_id == BLE_GAP_EVT_ADV_REPORT) {
    const ble_data_t& report = event.evt.gap_evt.params.adv_report.data;
    if (report.p_data != nullptr) {
      data = report.p_data;
      dataSize = report.len;
    }
  }
  details::CaptureNrfEvent(event.header.evt_id, EventName(event.header.evt_id), &event, size, data, dataSize);
}

}  // namespace

void ble_evt_dispatch(adapter_t* adapter, ble_evt_t* event) {
  try {
    if (details::Capturing() && event != nullptr) {
      CaptureEvent(*event);
    }
    try {
      if (StoredQuietly(adapter, event)) {
        return;
      }
    } catch (...) {
      // Handled below with the full dispatch.
    }
    OperationTimer timer("lumen::Nordic::ble_evt_dispatch");
    try {
      const uint64_t thread = details::CurrentOsThreadId();
      if (g_dispatchThread.exchange(thread) != thread) {
        Log(kDebug, "new thread ID for ble_evt_dispatch =", thread);
      }
      if (event == nullptr) {
        Log(kError, "Received a NULL BLE event\n");
        return;
      }
      Log(kDebug, "Nordic event handler received an event with ID: ", event->header.evt_id);
      const NordicBluetoothSDK::Lookup lookup(adapter);
      if (lookup.get() == nullptr) {
        return;
      }
      lookup.get()->OnEvent(adapter, event);
    } catch (const std::exception& e) {
      Log(kError, "Nordic event handler error ", e.what());
    } catch (...) {
      Log(kError, "Nordic event handler error non-std::exception");
    }
  } catch (...) {
    // The driver's thread must never see an exception.
  }
}

void rpc_status_handler(adapter_t* adapter, sd_rpc_app_status_t code, const char* message) {
  try {
    const int status = RawValue(code);
    if (details::Capturing()) {
      details::CaptureNrfStatus(static_cast<uint32_t>(status), message);
    }
    Log(kInfo, "Nordic status ", status, " message ", message != nullptr ? message : "");
    if (status == PKT_SEND_MAX_RETRIES_REACHED || status == IO_RESOURCES_UNAVAILABLE) {
      const NordicBluetoothSDK::Lookup lookup(adapter);
      if (lookup.get() != nullptr) {
        lookup.get()->OnLinkStatus(code, message);
      }
    }
  } catch (...) {
    // The driver's thread must never see an exception.
  }
}

void rpc_log_handler(adapter_t* /*adapter*/, sd_rpc_log_severity_t severity, const char* message) {
  try {
    const std::string text = message != nullptr ? message : "";
    const int level = RawValue(severity);
    switch (level) {
      case SD_RPC_LOG_TRACE:
      case SD_RPC_LOG_DEBUG:
      case SD_RPC_LOG_INFO:
        Log(kInfo, "Info: ", text);
        break;
      case SD_RPC_LOG_WARNING:
        Log(kWarning, "Warning: ", text);
        break;
      case SD_RPC_LOG_ERROR:
        Log(kError, "Error: ", text);
        break;
      case SD_RPC_LOG_FATAL:
        Log(kError, "Fatal Error (Nordic Bluetooth will stop now): ", text);
        break;
      default:
        Log(kError, "Log unknown severity ", level, " message ", text);
        break;
    }
  } catch (...) {
  }
}

void NordicBluetoothSDK::OnEvent(adapter_t* adapter, const ble_evt_t* eventPointer) {
  const ble_evt_t& event = *eventPointer;
  const uint16_t id = event.header.evt_id;
  switch (id) {
    case BLE_GAP_EVT_CONNECTED: {
      const uint16_t timeout = event.evt.gap_evt.params.connected.conn_params.conn_sup_timeout;
      OnConnected(adapter, event.evt.gap_evt.conn_handle, timeout);
      break;
    }
    case BLE_GAP_EVT_DISCONNECTED: {
      const uint16_t handle = event.evt.gap_evt.conn_handle;
      Log(kInfo, "Disconnected event for Nordic handle: ", handle);
      // A link still owned and not being closed by the library was ended by
      // the other side (or lost).
      if (!IsBeingDisconnected(handle)) {
        const std::vector<uint32_t> owned = details::OpenNativeHandles();
        if (std::find(owned.begin(), owned.end(), handle) != owned.end()) {
          details::Count(details::Health().connectionsDroppedByPeer);
        }
      }
      DropPeerReplies(handle);
      Publish<unsigned int>("common_evt_disconnect", handle);
      break;
    }
    // Completions of the procedures our replies started; a reply refused
    // while one of them ran goes now.
    case BLE_GAP_EVT_CONN_PARAM_UPDATE: {
      const ble_gap_conn_params_t params = event.evt.gap_evt.params.conn_param_update.conn_params;
      Log(kDebug, "event BLE_GAP_EVT_CONN_PARAM_UPDATE Nordic conn handle", event.evt.gap_evt.conn_handle,
          "interval (1.25 msec units)", params.max_conn_interval, "supervisor timeout (10 msec units)",
          params.conn_sup_timeout);
      RetryPeerReplies(adapter, event.evt.gap_evt.conn_handle);
      break;
    }
    case BLE_GAP_EVT_PHY_UPDATE: {
      const ble_gap_evt_phy_update_t update = event.evt.gap_evt.params.phy_update;
      Log(kDebug, "event BLE_GAP_EVT_PHY_UPDATE Nordic conn handle", event.evt.gap_evt.conn_handle, "status",
          static_cast<int>(update.status), "tx phy", static_cast<int>(update.tx_phy), "rx phy",
          static_cast<int>(update.rx_phy));
      RetryPeerReplies(adapter, event.evt.gap_evt.conn_handle);
      break;
    }
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE: {
      const ble_gap_data_length_params_t effective = event.evt.gap_evt.params.data_length_update.effective_params;
      Log(kDebug, "event BLE_GAP_EVT_DATA_LENGTH_UPDATE Nordic conn handle", event.evt.gap_evt.conn_handle,
          "max tx octets", effective.max_tx_octets, "max rx octets", effective.max_rx_octets);
      RetryPeerReplies(adapter, event.evt.gap_evt.conn_handle);
      break;
    }
    case BLE_GAP_EVT_TIMEOUT: {
      const uint8_t source = event.evt.gap_evt.params.timeout.src;
      if (source == BLE_GAP_TIMEOUT_SRC_CONN) {
        Log(kDebug, "timeout establishing a connection (BLE_GAP_TIMEOUT_SRC_CONN)");
        {
          std::lock_guard attempt(m_connectAttemptMutex);
          m_connectAwaited = false;
        }
        Publish<void*>("nordic_on_connection_timeout", nullptr);
      } else if (source == BLE_GAP_TIMEOUT_SRC_SCAN) {
        Log(kWarning, "Got timeout BLE_GAP_TIMEOUT_SRC_SCAN, which should never happen with current configuration");
        MarkScannerStopped();
      }
      break;
    }
    case BLE_GAP_EVT_RSSI_CHANGED: {
      const uint16_t handle = event.evt.gap_evt.conn_handle;
      const int raw = event.evt.gap_evt.params.rssi_changed.rssi;
      Log(kDebug, "Received updated RSSI for connection = ", handle, ": raw Nordic RSSI = ", raw);
      StoreRssi(handle, CorrectedRssi(raw));
      break;
    }
    case BLE_GAP_EVT_ADV_REPORT:
      OnAdvReport(event.evt.gap_evt.params.adv_report);
      break;
    case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST: {
      const uint16_t timeout = event.evt.gap_evt.params.conn_param_update_request.conn_params.conn_sup_timeout;
      Log(kInfo, "event BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST Nordic conn handle ", event.evt.gap_evt.conn_handle,
          "supervisor timeout (10 msec units)", timeout);
      ReplyToPeerRequest(adapter, event);
      break;
    }
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
    case BLE_GAP_EVT_PHY_UPDATE_REQUEST:
    case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST:
    case BLE_GATTS_EVT_SYS_ATTR_MISSING:
    case BLE_EVT_USER_MEM_REQUEST:
      ReplyToPeerRequest(adapter, event);
      break;
    case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP: {
      const uint16_t count = event.evt.gattc_evt.params.prim_srvc_disc_rsp.count;
      PublishGattcIfWhole("BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP", event,
                          offsetof(ble_evt_t, evt.gattc_evt.params.prim_srvc_disc_rsp.services) +
                              size_t{count} * sizeof(ble_gattc_service_t),
                          "service count", count);
      break;
    }
    case BLE_GATTC_EVT_CHAR_DISC_RSP: {
      const uint16_t count = event.evt.gattc_evt.params.char_disc_rsp.count;
      PublishGattcIfWhole(
          "BLE_GATTC_EVT_CHAR_DISC_RSP", event,
          offsetof(ble_evt_t, evt.gattc_evt.params.char_disc_rsp.chars) + size_t{count} * sizeof(ble_gattc_char_t),
          "characteristic count", count);
      break;
    }
    case BLE_GATTC_EVT_READ_RSP: {
      const uint16_t length = event.evt.gattc_evt.params.read_rsp.len;
      PublishGattcIfWhole("BLE_GATTC_EVT_READ_RSP", event,
                          offsetof(ble_evt_t, evt.gattc_evt.params.read_rsp.data) + length, "value length", length);
      break;
    }
    case BLE_GATTC_EVT_WRITE_RSP:
      PublishGattc("BLE_GATTC_EVT_WRITE_RSP", event);
      break;
    case BLE_GATTC_EVT_TIMEOUT:
      PublishGattc("BLE_GATTC_EVT_TIMEOUT", event);
      break;
    case BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE:
      PublishGattc("BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE", event);
      break;
    case BLE_GATTC_EVT_HVX:
      OnHvx(adapter, event);
      break;
    case BLE_GATTS_EVT_WRITE:
      Log(kWarning, "BLE_GATTS_EVT_WRITE has no handler");
      break;
    case BLE_GATTS_EVT_SC_CONFIRM:
      Log(kWarning, "BLE_GATTS_EVT_SC_CONFIRM has no handler");
      break;
    case BLE_GATTS_EVT_TIMEOUT:
      Log(kWarning, "BLE_GATTS_EVT_TIMEOUT has no handler");
      break;
    default:
      Log(kWarning, "Nordic event handler received an un-handled event with ID: ", id);
      break;
  }
}

void NordicBluetoothSDK::OnConnected(adapter_t* adapter, uint16_t handle, uint16_t supervisionTimeout) {
  Log(kInfo, "event BLE_GAP_EVT_CONNECTED has supervisor timeout (10 msec units) ", supervisionTimeout);
  bool awaited = false;
  {
    std::lock_guard attempt(m_connectAttemptMutex);
    awaited = m_connectAwaited;
    m_connectAwaited = false;
    if (awaited) {
      m_untakenLink = UntakenLink{m_connectAttempt, handle};
    }
  }
  if (awaited) {
    // The publish may wait for the bus past the connect's patience.
    try {
      Publish<uint16_t>("nordic_on_connected", handle);
    } catch (...) {
      DisconnectUntakenLink(adapter, handle);
      throw;
    }
    DisconnectUntakenLink(adapter, handle);
    return;
  }
  // An attempt given up on came through after all: nobody owns this link.
  Log(kWarning, "Nordic connection", handle, "was established after its connect was given up, disconnect it");
  DisconnectOrphan(adapter, handle);
}

bool NordicBluetoothSDK::TakeConnectedLink(uint64_t attempt, uint16_t handle) {
  std::lock_guard lock(m_connectAttemptMutex);
  if (!m_untakenLink || m_untakenLink->attempt != attempt || m_untakenLink->handle != handle) {
    return false;
  }
  m_untakenLink.reset();
  return true;
}

void NordicBluetoothSDK::DisconnectUntakenLink(adapter_t* adapter, uint16_t handle) {
  {
    std::lock_guard lock(m_connectAttemptMutex);
    if (!m_untakenLink || m_untakenLink->handle != handle) {
      return;
    }
    m_untakenLink.reset();
  }
  Log(kWarning, "Nordic connection", handle, "was established after its connect was given up, disconnect it");
  DisconnectOrphan(adapter, handle);
}

void NordicBluetoothSDK::DisconnectOrphan(adapter_t* adapter, uint16_t handle) {
  const uint32_t result = EventThreadDriverCall(
      "sd_ble_gap_disconnect",
      [&] { return sd_ble_gap_disconnect(adapter, handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION); },
      [&] {
        return CallArguments()
            .Add("conn_handle", handle)
            .AddHex("hci_status_code", BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION)
            .Text();
      });
  if (result != NRF_SUCCESS) {
    Log(kWarning, "sd_ble_gap_disconnect failed ", ErrorText(result));
  }
}

void NordicBluetoothSDK::OnAdvReport(const ble_gap_evt_adv_report_t& report) {
  // Bit-fields and packed values are copied out before use.
  const ble_gap_adv_report_type_t type = report.type;
  const unsigned status = type.status;
  const bool connectable = type.connectable != 0;
  const bool scannable = type.scannable != 0;
  const bool scanResponse = type.scan_response != 0;
  const uint8_t addressType = report.peer_addr.addr_type;
  const int rssi = report.rssi;
  const uint8_t* const data = report.data.p_data;
  const size_t length = report.data.len;

  std::array<uint8_t, kScanResponseRecordBytes + kMaxRecordDataBytes> record{};
  const bool usable = data != nullptr || length == 0;
  if (data != nullptr && length > 0 && length <= kMaxRecordDataBytes) {
    // Copied before the scan is resumed: the driver reuses the buffer.
    std::memcpy(record.data() + kScanResponseRecordBytes, data, length);
  }

  // A report whose buffer the driver no longer knew (no data pointer) was
  // made by a scan stopped since: it says nothing about the scan running now.
  const bool ofCurrentScan = data != nullptr;
  if (status != BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_MORE_DATA && ofCurrentScan) {
    // The SoftDevice pauses scanning after every report.
    ScannerState running = ScannerState::kRunning;
    m_scannerState.compare_exchange_strong(running, ScannerState::kPaused);
    SetIsScanning(false);
  }
  Publish<void*>("request_start_scan", nullptr);

  if (status == BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_MORE_DATA) {
    Log(kInfo, "UNEXPECTED: Nordic advertisement type ",
        "BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_MORE_DATA (scanning should continue without a call to "
        "sd_ble_gap_scan_start)");
  }
  if (length > kMaxRecordDataBytes || length > kReportBufferBytes) {
    Log(kError, "Nordic received advertisement data that is too large #bytes = ", length);
    return;
  }
  if (!usable) {
    // Expected now and then: the line was still carrying it when the scan stopped.
    Log(kDebug, "Nordic advertisement report from a stopped scan dropped, #bytes =", length);
    return;
  }
  if (!connectable) {
    Log(kDebug, "Skipping non-connectable advertisement");
    return;
  }
  Log(kDebug, "Received advertisement #bytes = ", length);

  uint8_t* const bytes = record.data();
  bytes[0] = static_cast<uint8_t>(static_cast<int8_t>(std::max(rssi - kRssiCorrectionDb, -128)));
  bytes[1] = scanResponse ? kPacketScanResponse : (scannable ? kPacketScannable : kPacketConnectable);
  std::memcpy(bytes + 2, report.peer_addr.addr, BLE_GAP_ADDR_LEN);
  bytes[8] = addressType >= BLE_GAP_ADDR_TYPE_RANDOM_STATIC ? 1 : 0;
  bytes[9] = kNoBond;
  bytes[10] = static_cast<uint8_t>(length);
  static_assert(kScanResponseRecordBytes == 11, "rssi, packet type, address, address type, bond, length");
  Publish<const details::bglib::ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response", reinterpret_cast<const details::bglib::ble_msg_gap_scan_response_evt_t*>(bytes));
}

void NordicBluetoothSDK::OnHvx(adapter_t* adapter, const ble_evt_t& event) {
  const ble_gattc_evt_t& gattc = event.evt.gattc_evt;
  const uint16_t handle = gattc.params.hvx.handle;
  const uint16_t length = gattc.params.hvx.len;
  if (!EventHolds(event, offsetof(ble_evt_t, evt.gattc_evt.params.hvx.data) + length)) {
    Log(kError, "BLE_GATTC_EVT_HVX dropped: value length", length, "does not fit event length", event.header.evt_len);
    return;
  }
  auto notification = std::make_shared<details::CommonDataNotificationEvent_t>();
  notification->connection = gattc.conn_handle;
  notification->attHandle = handle;
  notification->data.assign(gattc.params.hvx.data, gattc.params.hvx.data + length);

  if (gattc.params.hvx.type == BLE_GATT_HVX_INDICATION) {
    // The peer sends nothing more until it is confirmed.
    const uint16_t connection = gattc.conn_handle;
    const uint32_t result = EventThreadDriverCall(
        "sd_ble_gattc_hv_confirm", [&] { return sd_ble_gattc_hv_confirm(adapter, connection, handle); },
        [&] { return CallArguments().Add("conn_handle", connection).Add("handle", handle).Text(); });
    if (result == NRF_ERROR_INVALID_STATE && IsBeingDisconnected(connection)) {
      Log(kDebug, "sd_ble_gattc_hv_confirm not sent: Nordic handle", connection, "is being disconnected");
    } else if (result != NRF_SUCCESS) {
      Log(kWarning, "sd_ble_gattc_hv_confirm failed: " + ErrorText(result));
    }
  }

  std::shared_ptr<details::MessageQueue> queue = details::GetMessageQueue();
  queue->Post([notification] {
    Publish<const details::CommonDataNotificationEvent_t*>("common_evt_data_notification", notification.get());
  });
}

}  // namespace lumen::Nordic

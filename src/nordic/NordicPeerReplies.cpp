#include <algorithm>

#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"

namespace lumen::Nordic {

namespace {

// Phones send their data length, PHY and parameter requests back to back;
// each reply may meet the procedure the previous one started. A few rounds
// cover that; more means the link is stuck and the peer drops it anyway.
constexpr int kMaxBusyReplies = 4;

}  // namespace

// Peers wait for these answers and drop the link when none comes (phones
// after some 30 to 40 seconds). They are sent from the event thread with the
// callback's adapter, without the driver-call lock: a waiting operation holds
// that lock while it waits for this thread.
void NordicBluetoothSDK::ReplyToPeerRequest(adapter_t* adapter, const ble_evt_t& event) {
  PeerReply reply;
  reply.eventId = event.header.evt_id;
  switch (reply.eventId) {
    case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST:
      reply.handle = event.evt.gap_evt.conn_handle;
      reply.connParams = event.evt.gap_evt.params.conn_param_update_request.conn_params;
      break;
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
    case BLE_GAP_EVT_PHY_UPDATE_REQUEST:
      reply.handle = event.evt.gap_evt.conn_handle;
      break;
    case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST:
    case BLE_GATTS_EVT_SYS_ATTR_MISSING:
      reply.handle = event.evt.gatts_evt.conn_handle;
      break;
    case BLE_EVT_USER_MEM_REQUEST:
      reply.handle = event.evt.common_evt.conn_handle;
      break;
    default:
      return;
  }
  SendPeerReply(adapter, reply, false);
}

NordicBluetoothSDK::PeerReplyOutcome NordicBluetoothSDK::SendPeerReply(adapter_t* adapter, PeerReply reply,
                                                                       bool retry) {
  const uint16_t handle = reply.handle;
  const char* call = "";
  uint32_t result = NRF_SUCCESS;
  const auto connArg = [handle] { return CallArguments().Add("conn_handle", handle).Text(); };
  switch (reply.eventId) {
    case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST: {
      const ble_gap_conn_params_t requested = reply.connParams;
      call = "sd_ble_gap_conn_param_update";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gap_conn_param_update(adapter, handle, &requested); },
          [&] {
            return CallArguments()
                .Add("conn_handle", handle)
                .Add("min_conn_interval", requested.min_conn_interval)
                .Add("max_conn_interval", requested.max_conn_interval)
                .Add("slave_latency", requested.slave_latency)
                .Add("conn_sup_timeout", requested.conn_sup_timeout)
                .Text();
          });
      break;
    }
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
      call = "sd_ble_gap_data_length_update";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gap_data_length_update(adapter, handle, nullptr, nullptr); }, connArg);
      break;
    case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
      const ble_gap_phys_t phys{BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
      call = "sd_ble_gap_phy_update";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gap_phy_update(adapter, handle, &phys); }, connArg);
      break;
    }
    case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST:
      // The default MTU keeps every read at 22 bytes a chunk.
      call = "sd_ble_gatts_exchange_mtu_reply";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gatts_exchange_mtu_reply(adapter, handle, BLE_GATT_ATT_MTU_DEFAULT); },
          [&] {
            return CallArguments().Add("conn_handle", handle).Add("server_rx_mtu", BLE_GATT_ATT_MTU_DEFAULT).Text();
          });
      break;
    case BLE_GATTS_EVT_SYS_ATTR_MISSING:
      call = "sd_ble_gatts_sys_attr_set";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gatts_sys_attr_set(adapter, handle, nullptr, 0, 0); }, connArg);
      break;
    case BLE_EVT_USER_MEM_REQUEST:
      call = "sd_ble_user_mem_reply";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_user_mem_reply(adapter, handle, nullptr); }, connArg);
      break;
    default:
      return PeerReplyOutcome::kFailed;
  }
  if (result == NRF_SUCCESS) {
    return PeerReplyOutcome::kSent;
  }
  if (result == NRF_ERROR_BUSY && ++reply.busyReplies < kMaxBusyReplies) {
    // Another link-layer procedure runs; its completion event sends this again.
    Log(kDebug, std::string(call) + " busy on Nordic handle", handle,
        ", reply again when the procedure in the way has ended");
    std::lock_guard lock(m_peerRepliesMutex);
    if (retry) {
      m_pendingPeerReplies.push_front(reply);
    } else {
      m_pendingPeerReplies.push_back(reply);
    }
    return PeerReplyOutcome::kWaiting;
  }
  if (result == NRF_ERROR_INVALID_STATE && IsBeingDisconnected(handle)) {
    // Nothing to answer on a link we are closing.
    Log(kDebug, std::string(call) + " not sent: Nordic handle", handle, "is being disconnected");
    return PeerReplyOutcome::kFailed;
  }
  Log(kWarning, std::string(call) + " failed in reply to the peer: " + ErrorText(result));
  return PeerReplyOutcome::kFailed;
}

void NordicBluetoothSDK::RetryPeerReplies(adapter_t* adapter, uint16_t handle) {
  PeerReplyOutcome outcome = PeerReplyOutcome::kFailed;
  // A reply that went through started a procedure of its own, and one still
  // busy waits for the next completion; only failures let the next one go.
  while (outcome == PeerReplyOutcome::kFailed) {
    PeerReply reply;
    {
      std::lock_guard lock(m_peerRepliesMutex);
      const auto next = std::find_if(m_pendingPeerReplies.begin(), m_pendingPeerReplies.end(),
                                     [handle](const PeerReply& r) { return r.handle == handle; });
      if (next == m_pendingPeerReplies.end()) {
        return;
      }
      reply = *next;
      m_pendingPeerReplies.erase(next);
    }
    outcome = SendPeerReply(adapter, reply, true);
  }
}

void NordicBluetoothSDK::DropPeerReplies(std::optional<uint16_t> handle) {
  std::lock_guard lock(m_peerRepliesMutex);
  std::erase_if(m_pendingPeerReplies,
                [handle](const PeerReply& r) { return !handle.has_value() || r.handle == *handle; });
}

}  // namespace lumen::Nordic

#include <algorithm>
#include <set>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "core/HealthCounters.h"
#include "core/RadioRecovery.h"
#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"

namespace lumen::Nordic {

namespace {

// Results with which the driver says that its link to the board is gone:
// the board stopped acknowledging, or the H5, serialization or UART layer
// failed.
bool IsTransportFailure(uint32_t result) {
  if (result == NRF_ERROR_SD_RPC_NO_RESPONSE) {
    return true;
  }
  const auto within = [result](uint32_t first, uint32_t last) { return result >= first && result <= last; };
  return within(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT, NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED) ||
         within(NRF_ERROR_SD_RPC_H5_TRANSPORT, NRF_ERROR_SD_RPC_H5_TRANSPORT_INTERNAL_ERROR) ||
         within(NRF_ERROR_SD_RPC_SERIAL_PORT, NRF_ERROR_SD_RPC_SERIAL_PORT_INTERNAL_ERROR);
}

}  // namespace

void NordicBluetoothSDK::ThrowPortGone() { throw details::NordicLibError(kPortGoneText, details::kErrorGeneral); }

void NordicBluetoothSDK::OnLinkStatus(sd_rpc_app_status_t code, const char* message) {
  if (code != PKT_SEND_MAX_RETRIES_REACHED && code != IO_RESOURCES_UNAVAILABLE) {
    return;
  }
  PortLost(std::string("status ") + std::to_string(static_cast<int>(code)) + " " + (message != nullptr ? message : ""));
}

bool NordicBluetoothSDK::NoteCallResult(uint32_t result) {
  if (!IsTransportFailure(result)) {
    return false;
  }
  PortLost("call result " + ErrorText(result));
  return true;
}

void NordicBluetoothSDK::PortLost(const std::string& why) {
  // Records during a failed open or after our own close or reset are not a loss.
  if (!m_open.load() || m_resetRequested.load() || m_portLost.exchange(true)) {
    return;
  }
  details::Count(details::Health().portLosses);
  Log(kError, kPortGoneText, "(", why, "): closing the adapter and dropping its connections");
  details::Event::SetGlobalReset(true);  // every wait gives up at its next slice
  std::vector<uint16_t> links;
  {
    std::lock_guard connections(m_activeConnectionsMutex);
    for (const auto& [handle, connection] : m_activeConnections) {
      links.push_back(handle);
    }
  }
  std::lock_guard lock(m_lossThreadMutex);
  m_lossThread =
      std::thread([this, links = std::move(links), why]() mutable { RemoveAfterPortLoss(std::move(links), why); });
}

void NordicBluetoothSDK::RemoveAfterPortLoss(std::vector<uint16_t> links, const std::string& why) {
  try {
    // The operation that was waiting lets go of the lock at its next slice.
    std::lock_guard lock(m_mutex);
    if (m_adapter != nullptr) {
      CloseAdapterLocked(why);
    }
  } catch (const std::exception& e) {
    Log(kError, "closing the lost Nordic adapter failed:", e.what());
  } catch (...) {
    Log(kError, "closing the lost Nordic adapter failed");
  }
  for (const uint16_t handle : links) {
    try {
      Log(kInfo, "dropping connection of the lost Nordic adapter, Nordic handle ", handle);
      details::Publish<unsigned int>("common_evt_disconnect", handle);
    } catch (...) {
      Log(kError, "dropping connection of the lost Nordic adapter failed, Nordic handle ", handle);
    }
  }
  // The callbacks may release the provider and with it this object: nothing
  // of it is used from here on. Both catch what the application throws.
  const details::IBluetoothSDK* radio = details::HeldBluetoothSDK();
  details::NotifyHardwareFailure();
  details::NotifyHardwareSoftResetInitiated(true);
  details::NotifyRadioRemoved(radio);
}

void NordicBluetoothSDK::JoinLossThread() {
  std::thread thread;
  {
    std::lock_guard lock(m_lossThreadMutex);
    thread = std::move(m_lossThread);
  }
  if (!thread.joinable()) {
    return;
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // an application callback released the provider
  } else {
    thread.join();
  }
}

void NordicBluetoothSDK::ReconcileLinksLocked() {
  if (!m_reconcileNeeded.exchange(false)) {
    return;
  }
  const std::vector<uint32_t> owned = details::OpenNativeHandles();
  std::vector<uint16_t> stale;
  std::vector<uint32_t> vanished;
  {
    std::lock_guard connections(m_activeConnectionsMutex);
    for (const auto& [handle, connection] : m_activeConnections) {
      if (std::find(owned.begin(), owned.end(), handle) == owned.end()) {
        stale.push_back(handle);
      }
    }
    for (const uint32_t native : owned) {
      if (m_activeConnections.count(static_cast<uint16_t>(native)) == 0) {
        vanished.push_back(native);
      }
    }
  }
  for (const uint16_t handle : stale) {
    DisconnectLocked(nullptr, handle);
    Log(kInfo, "closed link the library no longer owns, Nordic handle ", handle);
  }
  for (const uint32_t native : vanished) {
    Log(kInfo, "dropped connection the radio no longer has, Nordic handle ", native);
    details::Publish<unsigned int>("common_evt_disconnect", native);
  }
}

}  // namespace lumen::Nordic

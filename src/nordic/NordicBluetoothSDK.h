#pragma once

#include <array>
#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/IBluetoothSDK.h"
#include "lumen/NordicLibError.h"
#include "sd_rpc.h"

namespace lumen::Nordic {

// pc-ble-driver calls these on its own threads; registered by OpenDevice.
void ble_evt_dispatch(adapter_t* adapter, ble_evt_t* event);
void rpc_status_handler(adapter_t* adapter, sd_rpc_app_status_t code, const char* message);
void rpc_log_handler(adapter_t* adapter, sd_rpc_log_severity_t severity, const char* message);

using details::DeviceConnectionHandle;

// Passive scanning of every advertiser on the 1M PHY, the window as long as
// the interval; the time-out is in 10 ms units.
ble_gap_scan_params_t PassiveScanParams(uint16_t units625us, uint16_t timeout10ms);

// What waits and later calls fail with once the board's port or link is gone.
inline constexpr const char* kPortGoneText = "Nordic radio's port is gone";

// The provider for an nRF52 connectivity board driven through pc-ble-driver
// (SoftDevice API v6).
class NordicBluetoothSDK final : public details::IBluetoothSDK, private boost::noncopyable {
 public:
  NordicBluetoothSDK();
  ~NordicBluetoothSDK() override;

  bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec, bool checkFunctional) override;
  bool IsDeviceOpen() override;
  void CloseDevice() override;
  void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) override;
  void StartScan(bool includeNonConnectable) override;
  void EndProcedure() override;
  bool SupportsContinuousScanning() override { return true; }
  std::string GetFirmwareVersion() override;
  void Reset(uint8_t bootToDfu, bool waitForBoot) override;
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override;
  void SetTXPower(uint8_t power) override;
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override;
  void SetAdvertisementParameters(uint16_t interval) override;
  void StartAdvertising() override;
  void StopAdvertising() override;
  void ConnectDirect(DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi, const Address& address,
                     uint16_t connIntervalMin, uint16_t connIntervalMax, uint16_t supervisionTimeout,
                     uint16_t latency) override;
  void Disconnect(DeviceConnectionHandle h) override;
  std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h) override;
  std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle h, uint16_t startHandle,
                                                      uint16_t endHandle) override;
  std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) override;
  std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle) override;
  void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override;
  void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override;
  void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) override;
  void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) override;
  bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) override;
  bool IsScanning() override { return m_isScanning.load(); }
  uint8_t GetMaxConnections(uint16_t /*timeoutMs*/, bool /*printConnections*/) override { return 5; }
  void SetScanningStateCallback(void (*callback)(bool scanning)) override { m_scanningStateCallback.store(callback); }
  bool ResetRemovesDevice() override { return true; }

  // Test seams: the connect time-out, the wait for a disconnection and the
  // wait for a CONNECTED event the event thread has already taken.
  void SetConnectTimeoutMsForTesting(int32_t ms) { m_connectTimeoutMs.store(ms); }
  void SetDisconnectWaitMsForTesting(uint32_t ms) { m_disconnectWaitMs.store(ms); }
  void SetConnectedEventWaitMsForTesting(uint32_t ms) { m_connectedEventWaitMs.store(ms); }

  // The one live object, for the driver's callbacks; null (with an ERROR
  // line) when there are none or several, or when the adapter is not ours.
  // The caller holds the returned lock while it uses the object, so the
  // object cannot be destroyed under it.
  class Lookup;

  // Loss of the board's port or link (NordicPortLoss.cpp). The driver's
  // status thread hands on its records; those that mean a dead link start
  // the removal, as does a call result of the transport family (true then).
  void OnLinkStatus(sd_rpc_app_status_t code, const char* message);
  bool NoteCallResult(uint32_t result);

  // Driver's event thread (NordicEventDispatch.cpp, NordicPeerReplies.cpp).
  void OnEvent(adapter_t* adapter, const ble_evt_t* event);
  // RSSI reports come once per connection event: for a connection whose RSSI
  // was logged within the last second, the value is stored without a line.
  // True when it was.
  bool StoreRssiQuietly(uint16_t handle, int8_t rssi);

 private:
  // What this backend knows of the SoftDevice's scanner: a paused scanner
  // must be resumed (null parameters), a stopped one started with
  // parameters; a running one must be left alone, since both would be
  // refused and each refusal keeps one of the driver's report-buffer slots.
  enum class ScannerState : int { kStopped, kRunning, kPaused };

  struct ActiveConnection {
    int8_t rssi = 0;
    std::chrono::steady_clock::time_point rssiLoggedAt{};
  };

  // m_mutex held, adapter open.
  class AdapterLock;

  // A reply to a peer's request, kept while a procedure in its way runs.
  struct PeerReply {
    uint16_t eventId = 0;  // the request's event
    uint16_t handle = BLE_CONN_HANDLE_INVALID;
    ble_gap_conn_params_t connParams{};  // what the peer asked for, for a parameter update
    int busyReplies = 0;
  };
  enum class PeerReplyOutcome { kSent, kWaiting, kFailed };

  // Results of one GATT client call and its wait.
  struct GattOutcome {
    uint32_t callResult = NRF_SUCCESS;
    bool signaled = false;
    bool disconnected = false;
    bool gattTimeout = false;
  };

  // Once per loss: waits end, the adapter is closed on a thread of our own
  // (the driver deadlocks closing on its own threads), links are dropped and
  // the application is told.
  void PortLost(const std::string& why);
  void RemoveAfterPortLoss(std::vector<uint16_t> links, const std::string& why);
  void JoinLossThread();
  [[noreturn]] static void ThrowPortGone();
  // m_mutex held: after a wait nobody answered, close the radio's links the
  // library no longer owns and drop table entries of links the radio no
  // longer has.
  void ReconcileLinksLocked();
  // m_mutex held, adapter open.
  // `lostWhy`: what took the port away, "" for a close of the library's own.
  uint32_t CloseAdapterLocked(const std::string& lostWhy = "");

  void SetIsScanning(bool scanning);
  void MarkScannerStopped();
  ble_gap_scan_params_t ScanParams() const;
  void StartScanLocked();
  void StopRunningScanBeforeConnect();

  void AddToActiveConnectionMap(uint16_t handle);
  void RemoveFromActiveConnectionMap(uint16_t handle);
  void StoreRssi(uint16_t handle, int8_t rssi);
  // Between our sd_ble_gap_disconnect and the end of its wait the SoftDevice
  // refuses calls on the link with NRF_ERROR_INVALID_STATE.
  bool IsBeingDisconnected(uint16_t handle);
  // The disconnect procedure; h is null when no library handle is bound.
  void DisconnectLocked(const DeviceConnectionHandle* h, uint16_t native);
  // Connect and wait; the result code and, on success, the new handle.
  uint32_t ConnectWait(const ble_gap_addr_t& peer, const ble_gap_scan_params_t& scanParams,
                       const ble_gap_conn_params_t& connParams, uint16_t* handleOut);
  void ConfigureAdvertising();
  void StopAdvertisingSetLocked();

  // GATT client helpers (NordicGattClient.cpp); m_mutex held. The response
  // handler runs on the driver's thread and returns whether the event
  // completes the call.
  template <class Handler, class Call, class Describe>
  GattOutcome GattWait(const char* callName, const char* responseEvent, const std::string& callLine, uint16_t native,
                       Handler&& onResponse, Call&& call, Describe&& describe);
  // The decisions shared by every GATT call: abandons the connection or
  // throws when the call cannot be trusted.
  void CheckGattOutcome(const GattOutcome& outcome, const char* callName, const char* responseEvent,
                        const DeviceConnectionHandle& h, uint16_t native);
  [[noreturn]] void AbandonConnection(const DeviceConnectionHandle& h, uint16_t native);
  std::vector<uint8_t> ReadValueLocked(const DeviceConnectionHandle& h, uint16_t native, uint16_t attHandle);
  void WriteLocked(const DeviceConnectionHandle& h, uint16_t attHandle, const std::vector<uint8_t>& value,
                   uint8_t writeOp);

  // Event thread.
  void OnAdvReport(const ble_gap_evt_adv_report_t& report);
  void OnConnected(adapter_t* adapter, uint16_t handle, uint16_t supervisionTimeout);
  // Connect wait's handler: whether the link of this attempt is still
  // there to take; it is then the caller's.
  bool TakeConnectedLink(uint64_t attempt, uint16_t handle);
  // After the publish: a link no wait took is closed.
  void DisconnectUntakenLink(adapter_t* adapter, uint16_t handle);
  void DisconnectOrphan(adapter_t* adapter, uint16_t handle);
  void OnHvx(adapter_t* adapter, const ble_evt_t& event);
  void ReplyToPeerRequest(adapter_t* adapter, const ble_evt_t& event);
  PeerReplyOutcome SendPeerReply(adapter_t* adapter, PeerReply reply, bool retry);
  // A link-layer procedure on the link completed: the replies it held up go now.
  void RetryPeerReplies(adapter_t* adapter, uint16_t handle);
  // Every link when no handle is given.
  void DropPeerReplies(std::optional<uint16_t> handle);

  std::mutex m_mutex;
  std::atomic<bool> m_portLost{false};
  // A system reset we asked for takes the port away: no loss to report.
  std::atomic<bool> m_resetRequested{false};
  std::atomic<bool> m_reconcileNeeded{false};
  std::mutex m_lossThreadMutex;
  std::thread m_lossThread;
  std::string m_deviceName;
  uint32_t m_openDelayMs = 0;
  adapter_t* m_adapter = nullptr;
  std::atomic<bool> m_open{false};
  // The driver's internal pointer of our adapter: callbacks get a copy of
  // the adapter, so this is what identifies it.
  std::atomic<void*> m_adapterInternal{nullptr};
  uint8_t m_connCfgTag = 1;
  // The driver may copy up to 256 bytes of report data whatever length is
  // declared, so the buffer is larger than what it says.
  static constexpr uint16_t kDeclaredReportBytes = 100;
  static constexpr size_t kReportBufferBytes = 256;
  std::array<uint8_t, kReportBufferBytes> m_scanReportStorage{};
  ble_data_t m_scanReportBuffer{};
  std::atomic<int32_t> m_operationTimeoutMs{3000};
  std::atomic<int32_t> m_connectTimeoutMs{35000};
  std::atomic<uint32_t> m_disconnectWaitMs{30000};
  std::atomic<bool> m_isScanning{false};
  std::atomic<ScannerState> m_scannerState{ScannerState::kStopped};
  int m_disconnectSubscription = 0;
  int8_t m_txPowerDbm = 8;
  std::atomic<void (*)(bool)> m_scanningStateCallback{nullptr};
  std::atomic<uint16_t> m_connScanIntervalOverride{0};
  std::atomic<uint16_t> m_connScanWindowOverride{0};
  std::map<uint16_t, ActiveConnection> m_activeConnections;
  std::set<uint16_t> m_linksBeingDisconnected;
  std::mutex m_activeConnectionsMutex;  // also guards m_linksBeingDisconnected
  const int8_t m_noRssi = 0;

  // A connect in progress owns the next CONNECTED event; one nobody owns is
  // a link nobody would ever close, so the event thread closes it.
  std::mutex m_connectAttemptMutex;
  bool m_connectAwaited = false;
  uint64_t m_connectAttempt = 0;
  // The link a CONNECTED event brought for an attempt, until that attempt's
  // wait takes it.
  struct UntakenLink {
    uint64_t attempt = 0;
    uint16_t handle = 0;
  };
  std::optional<UntakenLink> m_untakenLink;
  std::atomic<uint32_t> m_connectedEventWaitMs{2000};

  std::mutex m_peerRepliesMutex;
  std::deque<PeerReply> m_pendingPeerReplies;  // oldest first

  bool m_advertising = false;
  uint8_t m_advHandle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  std::vector<uint8_t> m_advData;
  uint16_t m_advInterval = 160;
  // The SoftDevice keeps using the data buffer of the set and takes new data
  // while advertising only in a new buffer: two alternate, both kept alive.
  std::array<std::vector<uint8_t>, 2> m_advBuffers;
  size_t m_advBufferInUse = 0;
  uint32_t m_configuredAdvInterval = 0;
};

class NordicBluetoothSDK::Lookup {
 public:
  // FindImplByAdapter.
  explicit Lookup(const adapter_t* adapter);
  NordicBluetoothSDK* get() const { return m_impl; }

 private:
  std::shared_lock<std::shared_mutex> m_lock;
  NordicBluetoothSDK* m_impl = nullptr;
};

class NordicBluetoothSDK::AdapterLock {
 public:
  explicit AdapterLock(NordicBluetoothSDK& impl) : m_lock(impl.m_mutex) {
    if (impl.m_adapter == nullptr) {
      m_lock.unlock();
      throw details::NordicLibError("Nordic adapter closed", details::kErrorGeneral);
    }
    if (impl.m_portLost.load()) {
      m_lock.unlock();
      ThrowPortGone();
    }
  }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace lumen::Nordic

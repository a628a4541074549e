#include <algorithm>
#include <array>
#include <cstring>

#include "core/ConnectionTable.h"
#include "nordic/NordicBluetoothSDK.h"
#include "nordic/NordicCallWait.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicLog.h"
#include "nordic/NordicStatusNames.h"
#include "nordic/OperationTimer.h"

namespace lumen::Nordic {

using details::NordicLibError;

namespace {

// Without an MTU exchange every read answers at most MTU - 1 bytes; a full
// chunk means the value may go on.
constexpr size_t kReadChunkBytes = BLE_GATT_ATT_MTU_DEFAULT - 1;
constexpr size_t kMaxAttributeBytes = 512;
constexpr size_t kServiceUuidBytes = 16;
constexpr size_t kCharacteristicDeclarationBytes = 19;  // properties, value handle, 128-bit UUID

const char* const kPrimaryServicesDiscover = "sd_ble_gattc_primary_services_discover";
const char* const kCharacteristicsDiscover = "sd_ble_gattc_characteristics_discover";
const char* const kRead = "sd_ble_gattc_read";
const char* const kWrite = "sd_ble_gattc_write";

// The answers to a read at the offset right after a value's last byte: a
// value of 22 * k bytes meets one of them after its last full chunk.
bool EndsLongValue(uint16_t status) {
  switch (status) {
    case BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_LONG:
    case BLE_GATT_STATUS_ATTERR_INVALID_OFFSET:
    case BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED:
    case BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED:
      return true;
    default:
      return false;
  }
}

// Attribute values are least significant byte first; Uuid wants text order.
Uuid LongUuidFromAttribute(const uint8_t* leastSignificantFirst) {
  std::array<uint8_t, kServiceUuidBytes> bytes{};
  std::reverse_copy(leastSignificantFirst, leastSignificantFirst + kServiceUuidBytes, bytes.begin());
  return Uuid(bytes);
}

// One round trip of a discovery that pages through the peer's handles: its
// response either ends the discovery or carries entries, and the next round
// starts past the last entry taken.
class DiscoveryRound {
 public:
  enum class Head { kNotOurs, kEnded, kEntries };

  // `responseEvent` names the response in log lines, `what` the kind of
  // entry ("service", "characteristic").
  DiscoveryRound(const char* responseEvent, const char* what) : m_responseEvent(responseEvent), m_what(what) {}

  // Reads what comes before a response's `count` entries: whose connection
  // it is for, and whether it ends the discovery.
  Head ReadHead(const ble_gattc_evt_t& event, uint16_t native, uint16_t count) {
    if (event.conn_handle != native) {
      Log(kWarning, std::string("Got ") + m_responseEvent + " but not for connection we are reading, got conn_handle =",
          event.conn_handle);
      return Head::kNotOurs;
    }
    const uint16_t status = event.gatt_status;
    if (status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND || count == 0) {
      Log(kDebug, std::string(m_what) + " discovery completed successfully ",
          status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND ? std::string("due to 'invalid attribute' code")
                                                               : std::string("due to 0 ") + m_what + " count");
      m_complete = true;
      return Head::kEnded;
    }
    if (status != BLE_GATT_STATUS_SUCCESS) {
      Log(kWarning, std::string(m_responseEvent) + " has non-success status ", GattStatusName(status));
      m_complete = true;
      m_failed = true;
      return Head::kEnded;
    }
    return Head::kEntries;
  }

  // After the entries: whether the next round would find nothing new.
  void EndIf(bool nothingLeft) { m_complete = m_complete || nothingLeft; }

  // After the round trip: true once the discovery is over; throws when the
  // peer refused it.
  bool Finished() const {
    if (m_failed) {
      throw NordicLibError(std::string("Nordic ") + m_what + " discovery failed", details::kErrorGeneral);
    }
    return m_complete;
  }

 private:
  const char* m_responseEvent;
  const char* m_what;
  bool m_complete = false;
  bool m_failed = false;
};

}  // namespace

template <class Handler, class Call, class Describe>
NordicBluetoothSDK::GattOutcome NordicBluetoothSDK::GattWait(const char* callName, const char* responseEvent,
                                                             const std::string& callLine, uint16_t native,
                                                             Handler&& onResponse, Call&& call, Describe&& describe) {
  // Declared before the wait: its handlers write it until the wait has
  // unsubscribed them. They use only what outlives that, the wait included.
  GattOutcome outcome;
  // The end of our connection, or a GATT time-out on it, ends the wait too.
  const auto endIfOurs = [native](NordicCallWait& wait, const char* what, unsigned int handle, bool& noted) {
    if (handle != native) {
      Log(kWarning, wait.Name() + " sees " + what + " for different connection Nordic handle =", handle);
      return;
    }
    Log(kWarning, wait.Name() + " got " + what + " on handle ", handle);
    auto lock = wait.Lock();
    if (wait.IsOpen()) {
      noted = true;
      wait.Done().Set();
    }
  };
  const auto waitMs = static_cast<uint32_t>(std::max<int32_t>(m_operationTimeoutMs.load(), 0));
  NordicCallWait wait(callName);
  wait.Subscribe<unsigned int>("common_evt_disconnect", [&](unsigned int handle) {
    endIfOurs(wait, "disconnect", handle, outcome.disconnected);
  });
  wait.Subscribe<const ble_gattc_evt_t*>("BLE_GATTC_EVT_TIMEOUT", [&](const ble_gattc_evt_t* event) {
    endIfOurs(wait, "BLE_GATTC_EVT_TIMEOUT", event->conn_handle, outcome.gattTimeout);
  });
  wait.Subscribe<const ble_gattc_evt_t*>(responseEvent, [&](const ble_gattc_evt_t* event) {
    auto lock = wait.Lock();
    if (wait.IsOpen() && onResponse(*event)) {
      wait.Done().Set();
    }
  });

  {
    std::lock_guard driverLock(DriverCallMutex());
    Log(kDebug, callLine);
    outcome.callResult = CountCall(call());
    CaptureCall(callName, outcome.callResult, describe);
    if (outcome.callResult != NRF_SUCCESS) {
      wait.Done().Set();
    }
    outcome.signaled = wait.Done().WaitFor(waitMs);
  }
  wait.Close();
  NoteCallResult(outcome.callResult);  // outside the driver-call lock: it takes the connections' lock
  if (outcome.callResult == NRF_SUCCESS && !outcome.signaled && !m_portLost.load()) {
    details::CountNoCompletingEvent();
    NoteNoCompletingEvent(callName, waitMs);
  }
  return outcome;
}

void NordicBluetoothSDK::AbandonConnection(const DeviceConnectionHandle& h, uint16_t native) {
  Log(kWarning, "operation timed out, so disconnect connection and throw exception");
  DisconnectLocked(&h, native);
  throw NordicLibError("operation timed out, so we terminated the connection", details::kErrorGeneral);
}

void NordicBluetoothSDK::CheckGattOutcome(const GattOutcome& outcome, const char* callName, const char* responseEvent,
                                          const DeviceConnectionHandle& h, uint16_t native) {
  if (m_portLost.load()) {
    ThrowPortGone();  // the radio is being closed: nothing more to ask of it
  }
  const std::string name(callName);
  const bool isWrite = name == kWrite;
  if (outcome.callResult == NRF_ERROR_TIMEOUT) {
    Log(kInfo, name + " failed with error NRF_ERROR_TIMEOUT, so this connection must no longer be used");
    AbandonConnection(h, native);
  }
  if (!outcome.signaled) {
    if (isWrite) {
      Log(kInfo, std::string("no Nordic event ") + responseEvent +
                     " was received to complete the call to sd_ble_gattc_write, so this connection must no longer be "
                     "used");
    } else {
      Log(kInfo, "no Nordic event was received to complete the call to " + name +
                     ", so this connection must no longer be used");
    }
    AbandonConnection(h, native);
  }
  if (outcome.disconnected) {
    throw NordicLibError("disconnect received during " + name, details::kErrorUnexpectedDisconnect);
  }
  if (outcome.gattTimeout) {
    Log(kInfo,
        "Nordic event BLE_GATTC_EVT_TIMEOUT received for " + name + ", so this connection must no longer be used");
    AbandonConnection(h, native);
  }
  if (outcome.callResult != NRF_SUCCESS) {
    if (isWrite) {
      throw NordicLibError("sd_ble_gattc_write failed " + ErrorText(outcome.callResult), details::kErrorGeneral);
    }
    throw NordicLibError(name + " failed", static_cast<int>(outcome.callResult));
  }
}

std::vector<AttGroupItem> NordicBluetoothSDK::GetListOfServices(DeviceConnectionHandle h) {
  AdapterLock lock(*this);
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));

  std::vector<ble_gattc_service_t> found;
  uint32_t start = BLE_GATT_HANDLE_START;
  for (;;) {
    DiscoveryRound roundTrip("BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP", "service");
    uint32_t next = start;
    const auto onResponse = [&](const ble_gattc_evt_t& event) {
      const uint16_t count = event.params.prim_srvc_disc_rsp.count;
      const DiscoveryRound::Head head = roundTrip.ReadHead(event, native, count);
      if (head != DiscoveryRound::Head::kEntries) {
        return head == DiscoveryRound::Head::kEnded;
      }
      const ble_gattc_service_t* const entries = event.params.prim_srvc_disc_rsp.services;
      for (uint16_t i = 0; i < count; ++i) {
        ble_gattc_service_t entry;
        std::memcpy(&entry, entries + i, sizeof entry);
        const uint16_t first = entry.handle_range.start_handle;
        const uint16_t last = entry.handle_range.end_handle;
        // The peer's handles are not trusted: only entries that move forward count.
        if (first < next || last < first) {
          Log(kWarning, "ignoring service entry outside the discovered range, handles", first, "-", last);
          continue;
        }
        found.push_back(entry);
        next = uint32_t{last} + 1;
      }
      roundTrip.EndIf(next > BLE_GATT_HANDLE_END || next == start);
      return true;
    };
    const auto startHandle = static_cast<uint16_t>(start);
    const GattOutcome outcome = GattWait(
        kPrimaryServicesDiscover, "BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP", std::string("call ") + kPrimaryServicesDiscover,
        native, onResponse,
        [&] { return sd_ble_gattc_primary_services_discover(m_adapter, native, startHandle, nullptr); },
        [&] { return CallArguments().Add("conn_handle", native).Add("start_handle", startHandle).Text(); });
    CheckGattOutcome(outcome, kPrimaryServicesDiscover, "BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP", h, native);
    if (roundTrip.Finished()) {
      break;
    }
    start = next;
  }

  std::vector<AttGroupItem> services;
  for (const ble_gattc_service_t& entry : found) {
    const uint16_t first = entry.handle_range.start_handle;
    const uint16_t last = entry.handle_range.end_handle;
    Uuid uuid;
    if (entry.uuid.type == BLE_UUID_TYPE_BLE) {
      uuid = Uuid(entry.uuid.uuid);
    } else if (entry.uuid.type == BLE_UUID_TYPE_UNKNOWN) {
      Log(kDebug, "need to find service UUID for handle ", first);
      const std::vector<uint8_t> declaration = ReadValueLocked(h, native, first);
      if (declaration.size() != kServiceUuidBytes) {
        throw NordicLibError("UUID was not expected 16 bytes", details::kErrorGeneral);
      }
      uuid = LongUuidFromAttribute(declaration.data());
    } else {
      throw NordicLibError("unsupported Nordic UUID type", details::kErrorGeneral);
    }
    Log(kInfo, "Adding service UUID ", uuid.ToString());
    AttGroupItem item;
    item.handle = h;
    item.startHandle = first;
    item.endHandle = last;
    item.uuid = uuid;
    services.push_back(item);
  }
  return services;
}

std::vector<AttHandleItem> NordicBluetoothSDK::GetListOfCharacteristics(DeviceConnectionHandle h, uint16_t startHandle,
                                                                        uint16_t endHandle) {
  AdapterLock lock(*this);
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));

  std::vector<ble_gattc_char_t> found;
  uint32_t start = startHandle;
  while (start <= endHandle) {
    DiscoveryRound roundTrip("BLE_GATTC_EVT_CHAR_DISC_RSP", "characteristic");
    uint32_t next = start;
    const auto onResponse = [&](const ble_gattc_evt_t& event) {
      const uint16_t count = event.params.char_disc_rsp.count;
      const DiscoveryRound::Head head = roundTrip.ReadHead(event, native, count);
      if (head != DiscoveryRound::Head::kEntries) {
        return head == DiscoveryRound::Head::kEnded;
      }
      Log(kDebug, "BLE_GATTC_EVT_CHAR_DISC_RSP got characteristic count = ", count);
      const ble_gattc_char_t* const entries = event.params.char_disc_rsp.chars;
      for (uint16_t i = 0; i < count; ++i) {
        ble_gattc_char_t entry;
        std::memcpy(&entry, entries + i, sizeof entry);
        const uint16_t declaration = entry.handle_decl;
        if (declaration < next || declaration > endHandle) {
          Log(kWarning, "ignoring characteristic entry outside the discovered range, declaration handle", declaration);
          continue;
        }
        found.push_back(entry);
        next = uint32_t{declaration} + 1;
      }
      roundTrip.EndIf(next > endHandle || next == start);
      return true;
    };
    ble_gattc_handle_range_t range{};
    range.start_handle = static_cast<uint16_t>(start);
    range.end_handle = endHandle;
    const GattOutcome outcome = GattWait(
        kCharacteristicsDiscover, "BLE_GATTC_EVT_CHAR_DISC_RSP", std::string("call ") + kCharacteristicsDiscover,
        native, onResponse, [&] { return sd_ble_gattc_characteristics_discover(m_adapter, native, &range); },
        [&] {
          return CallArguments()
              .Add("conn_handle", native)
              .Add("start_handle", range.start_handle)
              .Add("end_handle", range.end_handle)
              .Text();
        });
    CheckGattOutcome(outcome, kCharacteristicsDiscover, "BLE_GATTC_EVT_CHAR_DISC_RSP", h, native);
    if (roundTrip.Finished()) {
      break;
    }
    start = next;
  }

  std::vector<AttHandleItem> characteristics;
  for (const ble_gattc_char_t& entry : found) {
    const uint16_t valueHandle = entry.handle_value;
    const uint16_t declarationHandle = entry.handle_decl;
    Uuid uuid;
    if (entry.uuid.type == BLE_UUID_TYPE_BLE) {
      uuid = Uuid(entry.uuid.uuid);
    } else if (entry.uuid.type == BLE_UUID_TYPE_UNKNOWN) {
      const ble_gatt_char_props_t props = entry.char_props;
      Log(kDebug, "get characteristic 128-bit UUID using handle_decl = ", declarationHandle, "read",
          static_cast<int>(props.read), "write_wo_resp", static_cast<int>(props.write_wo_resp), "write",
          static_cast<int>(props.write), "notify", static_cast<int>(props.notify), "indicate",
          static_cast<int>(props.indicate));
      const std::vector<uint8_t> declaration = ReadValueLocked(h, native, declarationHandle);
      if (declaration.size() != kCharacteristicDeclarationBytes) {
        throw NordicLibError("characteristic details should be 19 bytes", details::kErrorGeneral);
      }
      const auto declaredValueHandle = static_cast<uint16_t>(declaration[1] | (declaration[2] << 8));
      if (declaredValueHandle != valueHandle) {
        throw NordicLibError("value details had non-matching value handle", details::kErrorGeneral);
      }
      uuid = LongUuidFromAttribute(declaration.data() + 3);
    } else {
      throw NordicLibError("unsupported Nordic UUID type", details::kErrorGeneral);
    }
    AttHandleItem item;
    item.handle = h;
    item.attHandle = valueHandle;
    item.uuid = uuid;
    characteristics.push_back(item);
  }
  return characteristics;
}

std::vector<uint8_t> NordicBluetoothSDK::ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) {
  return ReadLong(h, attHandle);
}

std::vector<uint8_t> NordicBluetoothSDK::ReadLong(DeviceConnectionHandle h, uint16_t attHandle) {
  OperationTimer timer("lumen::Nordic::NordicBluetoothSDK::Impl::ReadLong");
  AdapterLock lock(*this);
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  return ReadValueLocked(h, native, attHandle);
}

std::vector<uint8_t> NordicBluetoothSDK::ReadValueLocked(const DeviceConnectionHandle& h, uint16_t native,
                                                         uint16_t attHandle) {
  std::vector<uint8_t> value;
  for (;;) {
    const auto offset = static_cast<uint16_t>(value.size());
    uint16_t status = BLE_GATT_STATUS_SUCCESS;
    std::vector<uint8_t> chunk;
    const auto onResponse = [&](const ble_gattc_evt_t& event) {
      const uint16_t connection = event.conn_handle;
      const uint16_t handle = event.params.read_rsp.handle;
      const uint16_t responseOffset = event.params.read_rsp.offset;
      if (connection != native || handle != attHandle || responseOffset != offset) {
        Log(kWarning,
            "Got BLE_GATTC_EVT_READ_RSP but not for characteristic we are reading, got conn_handle =", connection,
            " chr_handle = ", handle, " offset = ", responseOffset);
        return false;
      }
      status = event.gatt_status;
      if (status == BLE_GATT_STATUS_SUCCESS) {
        Log(kDebug, "BLE_GATTC_EVT_READ_RSP received for value we are reading");
        const uint16_t length = event.params.read_rsp.len;
        chunk.assign(event.params.read_rsp.data, event.params.read_rsp.data + length);
      } else {
        Log(kWarning, "BLE_GATTC_EVT_READ_RSP has non-success status ", GattStatusName(status));
      }
      return true;
    };
    const GattOutcome outcome = GattWait(
        kRead, "BLE_GATTC_EVT_READ_RSP", std::string("call ") + kRead, native, onResponse,
        [&] { return sd_ble_gattc_read(m_adapter, native, attHandle, offset); },
        [&] {
          return CallArguments().Add("conn_handle", native).Add("handle", attHandle).Add("offset", offset).Text();
        });
    CheckGattOutcome(outcome, kRead, "BLE_GATTC_EVT_READ_RSP", h, native);
    if (status != BLE_GATT_STATUS_SUCCESS) {
      // Past the first chunk the value has been read up to this offset; servers
      // refuse a read right after the last byte in these ways.
      if (offset > 0 && EndsLongValue(status)) {
        break;
      }
      if (status == BLE_GATT_STATUS_ATTERR_INVALID_HANDLE) {
        throw NordicLibError("invalid handle received during sd_ble_gattc_read", details::kErrorInvalidHandle);
      }
      throw NordicLibError("sd_ble_gattc_read event gave unsuccessful status " + GattStatusName(status),
                           details::kErrorGeneral);
    }
    value.insert(value.end(), chunk.begin(), chunk.end());
    if (chunk.size() < kReadChunkBytes || value.size() >= kMaxAttributeBytes) {
      break;
    }
  }
  return value;
}

void NordicBluetoothSDK::WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) {
  OperationTimer timer("lumen::Nordic::NordicBluetoothSDK::Impl::WriteCommand");
  AdapterLock lock(*this);
  WriteLocked(h, attHandle, value, BLE_GATT_OP_WRITE_CMD);
}

void NordicBluetoothSDK::AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle,
                                        const std::vector<uint8_t>& value) {
  OperationTimer timer("lumen::Nordic::NordicBluetoothSDK::Impl::AttributeWrite");
  AdapterLock lock(*this);
  WriteLocked(h, attHandle, value, BLE_GATT_OP_WRITE_REQ);
}

void NordicBluetoothSDK::WriteLocked(const DeviceConnectionHandle& h, uint16_t attHandle,
                                     const std::vector<uint8_t>& value, uint8_t writeOp) {
  if (writeOp != BLE_GATT_OP_WRITE_REQ && writeOp != BLE_GATT_OP_WRITE_CMD) {
    const char* text = "programming error: write_op must be BLE_GATT_OP_WRITE_REQ or BLE_GATT_OP_WRITE_CMD";
    Log(kError, text);
    throw NordicLibError(text, details::kErrorGeneral);
  }
  if (value.size() > UINT16_MAX) {
    throw NordicLibError("value too long for sd_ble_gattc_write", details::kErrorGeneral);
  }
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  const bool request = writeOp == BLE_GATT_OP_WRITE_REQ;
  const char* const responseEvent = request ? "BLE_GATTC_EVT_WRITE_RSP" : "BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE";
  const auto length = static_cast<uint16_t>(value.size());

  ble_gattc_write_params_t params{};
  params.write_op = writeOp;
  params.flags = 0;
  params.handle = attHandle;
  params.offset = 0;
  params.len = length;
  params.p_value = value.data();

  uint16_t status = BLE_GATT_STATUS_SUCCESS;
  const auto onResponse = [&](const ble_gattc_evt_t& event) {
    const uint16_t connection = event.conn_handle;
    if (request) {
      const uint16_t handle = event.params.write_rsp.handle;
      const uint16_t offset = event.params.write_rsp.offset;
      if (connection != native || handle != attHandle || offset != 0) {
        Log(kWarning,
            "Got BLE_GATTC_EVT_WRITE_RSP but not for characteristic we are writing, got conn_handle =", connection,
            " chr_handle = ", handle, " offset = ", offset);
        return false;
      }
      status = event.gatt_status;
      if (status == BLE_GATT_STATUS_SUCCESS) {
        const uint16_t echoed = event.params.write_rsp.len;
        Log(kDebug, "BLE_GATTC_EVT_WRITE_RSP successfully received ",
            echoed == length ? "with correct length"
                             : (echoed == 0 ? "with length zero" : "with incorrect but non-zero length"));
      } else {
        Log(kWarning, "BLE_GATTC_EVT_WRITE_RSP has non-success status ", GattStatusName(status));
      }
      return true;
    }
    if (connection != native) {
      Log(kWarning,
          "Got BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE but not for characteristic we are writing, got conn_handle =",
          connection);
      return false;
    }
    status = event.gatt_status;
    if (status == BLE_GATT_STATUS_SUCCESS) {
      Log(kDebug, "BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE received for value we are writing: #write cmds = ",
          static_cast<int>(event.params.write_cmd_tx_complete.count));
    } else {
      Log(kWarning, "BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE has non-success status ", GattStatusName(status));
    }
    return true;
  };
  // Three pieces, joined as the logger joins them.
  const std::string callLine = std::string("call sd_ble_gattc_write #bytes = ") + " " + std::to_string(length) + " " +
                               (request ? ": BLE_GATT_OP_WRITE_REQ (expect event BLE_GATTC_EVT_WRITE_RSP)"
                                        : ": BLE_GATT_OP_WRITE_CMD (expect event BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE)");
  const GattOutcome outcome = GattWait(
      kWrite, responseEvent, callLine, native, onResponse,
      [&] { return sd_ble_gattc_write(m_adapter, native, &params); },
      [&] {
        return CallArguments()
            .Add("conn_handle", native)
            .Add("write_op", request ? "BLE_GATT_OP_WRITE_REQ" : "BLE_GATT_OP_WRITE_CMD")
            .Add("handle", params.handle)
            .Add("offset", params.offset)
            .AddBytes("value", params.p_value, params.len)
            .Text();
      });
  CheckGattOutcome(outcome, kWrite, responseEvent, h, native);
  if (status == BLE_GATT_STATUS_ATTERR_INVALID_HANDLE) {
    throw NordicLibError("invalid handle received during sd_ble_gattc_write", details::kErrorInvalidHandle);
  }
  if (status != BLE_GATT_STATUS_SUCCESS) {
    throw NordicLibError("sd_ble_gattc_write event gave unsuccessful gatt status " + GattStatusName(status),
                         details::kErrorGeneral);
  }
}

}  // namespace lumen::Nordic

#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/AttUuid.h"
#include "sim/BdAddress.h"
#include "sim/Bytes.h"

// What a virtual radio finds around it: its own settings and the peripherals in
// range. Nothing here knows a radio protocol, so any virtual board can use it.
namespace lumen::sim {

// A malformed scenario; the text names the offending JSON path.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class DeviceVariant { kDongle, kModule };

struct FirmwareVersion {
  uint16_t major = 1;
  uint16_t minor = 8;
  uint16_t patch = 0;
  uint16_t build = 149;
  uint16_t llVersion = 6;
  uint8_t protocolVersion = 1;
  uint8_t hardware = 1;
};

// What a virtual nRF52 board's SoftDevice reports from sd_ble_version_get
// (defaults: an s132 6.1.1).
struct SoftDeviceVersion {
  uint8_t versionNumber = 9;
  uint16_t companyId = 0x0059;
  uint16_t subversionNumber = 0x00AE;
};

// Calls of one driver function the virtual nRF52 board takes but ignores: of
// the calls made to it (as its CallCount counts them), the first `skip` behave,
// the next `times` succeed without effect and without their completing event.
struct IgnoredCalls {
  std::string function;
  uint32_t skip = 0;
  uint32_t times = 1;
};

struct RadioSettings {
  // A dongle re-enumerates on every reset (the terminal vanishes and returns at a
  // new path); a module on a UART keeps its line.
  DeviceVariant variant = DeviceVariant::kDongle;
  FirmwareVersion firmware;
  uint8_t connectionSlots = 3;
  BdAddress address = BdAddress::Parse("00:07:80:00:00:01");
  uint32_t bootloaderVersion = 1;
  // Time from a reset to the boot event (module), or to the new terminal and its
  // boot event (dongle). 0 means at once, without a clock step.
  uint64_t bootDelayMs = 0;
  SoftDeviceVersion softDevice;            // only the virtual nRF52 board uses it
  std::vector<IgnoredCalls> ignoredCalls;  // likewise
};

// Linear movement of the received signal strength; constant when overMs is 0.
struct RssiProfile {
  int fromDbm = -60;
  int toDbm = -60;
  uint64_t startMs = 0;
  uint64_t overMs = 0;

  int At(uint64_t ms) const;
};

// Addresses the peripheral cycles through, `everyMs` each; addresses[0] is its
// base address. Empty or everyMs 0: the address never changes.
struct AddressRotation {
  std::vector<BdAddress> addresses;
  uint64_t everyMs = 0;
};

namespace gatt_properties {
inline constexpr uint8_t kBroadcast = 0x01;
inline constexpr uint8_t kRead = 0x02;
inline constexpr uint8_t kWriteWithoutResponse = 0x04;
inline constexpr uint8_t kWrite = 0x08;
inline constexpr uint8_t kNotify = 0x10;
inline constexpr uint8_t kIndicate = 0x20;
inline constexpr uint8_t kAuthenticatedSignedWrites = 0x40;
inline constexpr uint8_t kExtendedProperties = 0x80;
}  // namespace gatt_properties

inline constexpr uint16_t kClientCharacteristicConfigurationUuid = 0x2902;

struct GattDescriptor {
  AttUuid uuid;
  Bytes value;
  bool writable = false;  // the client configuration descriptor is always writable
};

struct GattCharacteristic {
  AttUuid uuid;
  uint8_t properties = gatt_properties::kRead;
  Bytes value;
  std::vector<GattDescriptor> descriptors;
};

struct GattService {
  AttUuid uuid;
  bool primary = true;
  uint16_t startHandle = 0;  // 0: right after the previous service
  std::vector<GattCharacteristic> characteristics;
};

// After a write to `characteristic` (optionally only of `whenValue`), the peer
// sends `count` notifications on `notifyCharacteristic`, the first `delayMs`
// after the write and then one every `intervalMs`, cycling through `values`.
struct WriteBehaviour {
  AttUuid characteristic;
  std::optional<Bytes> whenValue;
  AttUuid notifyCharacteristic;
  std::vector<Bytes> values;
  uint32_t count = 1;
  uint64_t delayMs = 0;
  uint64_t intervalMs = 0;
};

// Reads of `characteristic`'s value that the peer answers, counted over the
// whole run: the first `skip` succeed, the next `times` fail with `status` (a
// GATT status carrying an ATT error, 0x0101..0x01FF), later ones succeed.
// With atEnd only reads at an offset equal to the value's length count, as
// servers that refuse to read past the last byte answer them.
struct ReadStatusBehaviour {
  AttUuid characteristic;
  uint16_t status = 0;
  uint32_t skip = 0;
  uint32_t times = 1;
  bool atEnd = false;
};

// The peer drops the link instead of answering the next `times` GATT procedures.
struct GattDisconnectBehaviour {
  uint32_t times = 1;
  uint16_t reason = 0x0208;  // supervision time-out
};

// The peer drops the link `afterMs` after it was established.
struct ConnectDisconnectBehaviour {
  uint64_t afterMs = 0;
  uint16_t reason = 0x0213;  // remote user terminated
};

// The link-layer version the peer reports once connected.
struct VersionIndication {
  uint8_t version = 6;
  uint16_t companyId = 0;
  uint16_t subversion = 0;
};

// Requests a peer sends right after a link comes up, as phones do. Only the
// virtual nRF52 board sends them.
enum class ConnectRequest {
  kConnParamUpdate,
  kDataLengthUpdate,
  kPhyUpdate,
  kMtuExchange,
  kSysAttrMissing,
  kUserMemRequest
};

struct Peripheral {
  std::string name;
  BdAddress address;
  AddressType addressType = AddressType::kPublic;
  AddressRotation rotation;
  Bytes advData;
  Bytes scanResponse;
  uint64_t advIntervalMs = 100;
  uint64_t firstAdvertMs = 100;  // first advertisement; the next ones every advIntervalMs
  bool connectable = true;
  bool advertisesWhileConnected = true;
  RssiProfile rssi;
  uint64_t presentFromMs = 0;
  std::optional<uint64_t> presentUntilMs;
  uint64_t connectDelayMs = 0;  // 0: the link is up at once
  std::optional<VersionIndication> versionIndication;
  std::vector<GattService> gatt;
  std::vector<WriteBehaviour> onWrite;
  std::vector<ReadStatusBehaviour> onRead;
  std::optional<GattDisconnectBehaviour> disconnectDuringGatt;
  std::optional<ConnectDisconnectBehaviour> disconnectAfterConnect;
  // Unset: the board's default set (connection parameters, data length, PHY, MTU).
  std::optional<std::vector<ConnectRequest>> requestsOnConnect;

  BdAddress AddressAt(uint64_t ms) const;
  // Counts a read of a `characteristic` value against onRead (`seen`: one count
  // per entry, kept by the radio); the status to fail it with, if any.
  // `atValueEnd`: the read asks for the offset right past the value's end.
  std::optional<uint16_t> CountRead(const AttUuid& characteristic, std::vector<uint64_t>& seen,
                                    bool atValueEnd = false) const;
  // Counts a GATT procedure on a link to this peripheral against the drops a
  // test asked for on that link (`linkDrops`, for `linkReason`), then against
  // disconnectDuringGatt (`left`: drops still to come, kept by the radio); the
  // reason when the peer drops the link during it.
  std::optional<uint16_t> CountGattProcedure(uint32_t& linkDrops, uint16_t linkReason, uint32_t& left) const;
  bool PresentAt(uint64_t ms) const;
};

struct Scenario {
  RadioSettings radio;
  std::vector<Peripheral> peripherals;

  // Both throw ScenarioError with the JSON path of what is wrong.
  static Scenario FromJson(std::string_view text);
  static Scenario FromFile(const std::string& path);

  const Peripheral* Find(std::string_view name) const;
};

}  // namespace lumen::sim

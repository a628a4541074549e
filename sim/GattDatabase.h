#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/AttUuid.h"
#include "sim/Bytes.h"
#include "sim/Scenario.h"

namespace lumen::sim {

// Attribute types of the declarations that shape a GATT server's table.
inline constexpr uint16_t kPrimaryServiceUuid = 0x2800;
inline constexpr uint16_t kSecondaryServiceUuid = 0x2801;
inline constexpr uint16_t kCharacteristicUuid = 0x2803;

// A peripheral's attribute table as a GATT server lays it out: a service
// declaration, then for each characteristic its declaration, its value and its
// descriptors, handles rising from 1.
class GattDatabase {
 public:
  enum class Kind { kPrimaryService, kSecondaryService, kCharacteristicDeclaration, kCharacteristicValue, kDescriptor };

  struct Attribute {
    uint16_t handle = 0;
    AttUuid type;
    Bytes value;
    Kind kind = Kind::kDescriptor;
    uint8_t properties = 0;    // of the characteristic this attribute belongs to
    uint16_t valueHandle = 0;  // of that characteristic; 0 for service declarations
    uint16_t groupEnd = 0;     // service declarations: last handle of the service
    bool writable = false;     // descriptors
  };

  struct Group {
    uint16_t start = 0;
    uint16_t end = 0;
    AttUuid uuid;
  };

  // The ATT outcome of an access; the values are the ATT error codes.
  enum class Access : uint8_t {
    kOk = 0x00,
    kInvalidHandle = 0x01,
    kReadNotPermitted = 0x02,
    kWriteNotPermitted = 0x03,
    kInvalidAttributeValueLength = 0x0D,
  };

  GattDatabase() = default;
  // Throws ScenarioError when explicit start handles overlap or run past 0xFFFF.
  explicit GattDatabase(const std::vector<GattService>& services);

  const std::vector<Attribute>& Attributes() const { return m_attributes; }
  const Attribute* Find(uint16_t handle) const;
  std::vector<const Attribute*> InRange(uint16_t start, uint16_t end) const;
  // Services whose declaration type is `groupType` (0x2800 or 0x2801) and that start in [start, end].
  std::vector<Group> Groups(const AttUuid& groupType, uint16_t start, uint16_t end) const;

  std::optional<uint16_t> ValueHandleOf(const AttUuid& characteristic) const;
  std::optional<uint16_t> ConfigurationHandleOf(uint16_t valueHandle) const;
  // Bit 0 notifications, bit 1 indications; 0 also when there is no configuration descriptor.
  uint16_t Configuration(uint16_t valueHandle) const;

  enum class Update { kNone, kNotification, kIndication };
  // How the server sends a new value: as the client's configuration asks, or,
  // without a configuration descriptor, as the properties allow (notification
  // when both are allowed). kNone for an unknown handle.
  Update UpdateOf(uint16_t valueHandle) const;

  // A value the server sends by itself `after` a client's write.
  struct ScheduledUpdate {
    uint16_t valueHandle = 0;
    Bytes value;
    std::chrono::milliseconds after{0};
  };
  // What the peer's write behaviours make of a write of `value` at `handle`, in their order.
  std::vector<ScheduledUpdate> UpdatesAfterWrite(const std::vector<WriteBehaviour>& behaviours, uint16_t handle,
                                                 const Bytes& value) const;

  Access CheckRead(uint16_t handle) const;
  // withResponse: a write request; otherwise a write command, which needs the
  // write-without-response property.
  Access Write(uint16_t handle, const Bytes& value, bool withResponse);
  // The peer itself changing a value (before it notifies it); false for an unknown handle.
  bool SetValue(uint16_t handle, const Bytes& value);
  // Client configurations do not outlive a link to an unbonded client.
  void ResetConfigurations();

 private:
  Attribute* FindMutable(uint16_t handle);

  std::vector<Attribute> m_attributes;  // ascending handles
};

}  // namespace lumen::sim

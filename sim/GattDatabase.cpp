#include "sim/GattDatabase.h"

#include <algorithm>

namespace lumen::sim {

GattDatabase::GattDatabase(const std::vector<GattService>& services) {
  uint32_t next = 1;
  for (size_t s = 0; s < services.size(); ++s) {
    const GattService& service = services[s];
    if (service.startHandle != 0) {
      if (service.startHandle < next) {
        throw ScenarioError("gatt[" + std::to_string(s) + "].start_handle " + std::to_string(service.startHandle) +
                            " overlaps the previous service");
      }
      next = service.startHandle;
    }
    size_t needed = 1;
    for (const GattCharacteristic& characteristic : service.characteristics) {
      needed += 2 + characteristic.descriptors.size();
    }
    if (next + needed - 1 > 0xFFFF) throw ScenarioError("gatt[" + std::to_string(s) + "] runs past handle 0xFFFF");

    size_t declarationIndex = m_attributes.size();
    Attribute declaration;
    declaration.handle = static_cast<uint16_t>(next++);
    declaration.type = AttUuid::From16(service.primary ? kPrimaryServiceUuid : kSecondaryServiceUuid);
    declaration.value = service.uuid.LittleEndian();
    declaration.kind = service.primary ? Kind::kPrimaryService : Kind::kSecondaryService;
    m_attributes.push_back(declaration);

    for (const GattCharacteristic& characteristic : service.characteristics) {
      uint16_t declarationHandle = static_cast<uint16_t>(next++);
      uint16_t valueHandle = static_cast<uint16_t>(next++);
      Attribute characteristicDeclaration;
      characteristicDeclaration.handle = declarationHandle;
      characteristicDeclaration.type = AttUuid::From16(kCharacteristicUuid);
      characteristicDeclaration.value.push_back(characteristic.properties);
      AppendLe16(characteristicDeclaration.value, valueHandle);
      const Bytes& uuid = characteristic.uuid.LittleEndian();
      characteristicDeclaration.value.insert(characteristicDeclaration.value.end(), uuid.begin(), uuid.end());
      characteristicDeclaration.kind = Kind::kCharacteristicDeclaration;
      characteristicDeclaration.properties = characteristic.properties;
      characteristicDeclaration.valueHandle = valueHandle;
      m_attributes.push_back(characteristicDeclaration);

      Attribute value;
      value.handle = valueHandle;
      value.type = characteristic.uuid;
      value.value = characteristic.value;
      value.kind = Kind::kCharacteristicValue;
      value.properties = characteristic.properties;
      value.valueHandle = valueHandle;
      m_attributes.push_back(value);

      for (const GattDescriptor& descriptor : characteristic.descriptors) {
        Attribute attribute;
        attribute.handle = static_cast<uint16_t>(next++);
        attribute.type = descriptor.uuid;
        attribute.value = descriptor.value;
        attribute.kind = Kind::kDescriptor;
        attribute.properties = characteristic.properties;
        attribute.valueHandle = valueHandle;
        attribute.writable = descriptor.writable || descriptor.uuid.Is16(kClientCharacteristicConfigurationUuid);
        m_attributes.push_back(attribute);
      }
    }
    m_attributes[declarationIndex].groupEnd = static_cast<uint16_t>(next - 1);
  }
}

const GattDatabase::Attribute* GattDatabase::Find(uint16_t handle) const {
  auto found = std::lower_bound(m_attributes.begin(), m_attributes.end(), handle,
                                [](const Attribute& attribute, uint16_t h) { return attribute.handle < h; });
  return found != m_attributes.end() && found->handle == handle ? &*found : nullptr;
}

GattDatabase::Attribute* GattDatabase::FindMutable(uint16_t handle) {
  return const_cast<Attribute*>(static_cast<const GattDatabase*>(this)->Find(handle));
}

std::vector<const GattDatabase::Attribute*> GattDatabase::InRange(uint16_t start, uint16_t end) const {
  std::vector<const Attribute*> out;
  for (const Attribute& attribute : m_attributes) {
    if (attribute.handle >= start && attribute.handle <= end) out.push_back(&attribute);
  }
  return out;
}

std::vector<GattDatabase::Group> GattDatabase::Groups(const AttUuid& groupType, uint16_t start, uint16_t end) const {
  std::vector<Group> out;
  for (const Attribute& attribute : m_attributes) {
    bool isService = attribute.kind == Kind::kPrimaryService || attribute.kind == Kind::kSecondaryService;
    if (!isService || !attribute.type.Matches(groupType)) continue;
    if (attribute.handle < start || attribute.handle > end) continue;
    out.push_back(Group{attribute.handle, attribute.groupEnd, AttUuid::FromLittleEndian(attribute.value)});
  }
  return out;
}

std::optional<uint16_t> GattDatabase::ValueHandleOf(const AttUuid& characteristic) const {
  for (const Attribute& attribute : m_attributes) {
    if (attribute.kind == Kind::kCharacteristicValue && attribute.type.Matches(characteristic)) return attribute.handle;
  }
  return std::nullopt;
}

std::optional<uint16_t> GattDatabase::ConfigurationHandleOf(uint16_t valueHandle) const {
  for (const Attribute& attribute : m_attributes) {
    if (attribute.kind == Kind::kDescriptor && attribute.valueHandle == valueHandle &&
        attribute.type.Is16(kClientCharacteristicConfigurationUuid)) {
      return attribute.handle;
    }
  }
  return std::nullopt;
}

uint16_t GattDatabase::Configuration(uint16_t valueHandle) const {
  auto handle = ConfigurationHandleOf(valueHandle);
  if (!handle) return 0;
  const Attribute* attribute = Find(*handle);
  return attribute->value.size() == 2 ? ReadLe16(attribute->value.data()) : 0;
}

GattDatabase::Access GattDatabase::CheckRead(uint16_t handle) const {
  const Attribute* attribute = Find(handle);
  if (attribute == nullptr) return Access::kInvalidHandle;
  if (attribute->kind == Kind::kCharacteristicValue && !(attribute->properties & gatt_properties::kRead)) {
    return Access::kReadNotPermitted;
  }
  return Access::kOk;
}

GattDatabase::Access GattDatabase::Write(uint16_t handle, const Bytes& value, bool withResponse) {
  Attribute* attribute = FindMutable(handle);
  if (attribute == nullptr) return Access::kInvalidHandle;
  switch (attribute->kind) {
    case Kind::kCharacteristicValue: {
      uint8_t needed = withResponse ? gatt_properties::kWrite : gatt_properties::kWriteWithoutResponse;
      if (!(attribute->properties & needed)) return Access::kWriteNotPermitted;
      break;
    }
    case Kind::kDescriptor:
      if (!attribute->writable) return Access::kWriteNotPermitted;
      if (attribute->type.Is16(kClientCharacteristicConfigurationUuid) && value.size() != 2) {
        return Access::kInvalidAttributeValueLength;
      }
      break;
    default:
      return Access::kWriteNotPermitted;
  }
  attribute->value = value;
  return Access::kOk;
}

bool GattDatabase::SetValue(uint16_t handle, const Bytes& value) {
  Attribute* attribute = FindMutable(handle);
  if (attribute == nullptr) return false;
  attribute->value = value;
  return true;
}

void GattDatabase::ResetConfigurations() {
  for (Attribute& attribute : m_attributes) {
    if (attribute.kind == Kind::kDescriptor && attribute.type.Is16(kClientCharacteristicConfigurationUuid)) {
      attribute.value = {0, 0};
    }
  }
}

GattDatabase::Update GattDatabase::UpdateOf(uint16_t valueHandle) const {
  const Attribute* attribute = Find(valueHandle);
  if (attribute == nullptr) return Update::kNone;
  if (ConfigurationHandleOf(valueHandle)) {
    const uint16_t configuration = Configuration(valueHandle);
    if (configuration & 0x0001) return Update::kNotification;
    if (configuration & 0x0002) return Update::kIndication;
    return Update::kNone;  // the client has not asked for updates
  }
  const bool indicateOnly =
      !(attribute->properties & gatt_properties::kNotify) && (attribute->properties & gatt_properties::kIndicate);
  return indicateOnly ? Update::kIndication : Update::kNotification;
}

std::vector<GattDatabase::ScheduledUpdate> GattDatabase::UpdatesAfterWrite(
    const std::vector<WriteBehaviour>& behaviours, uint16_t handle, const Bytes& value) const {
  std::vector<ScheduledUpdate> updates;
  const Attribute* written = Find(handle);
  if (written == nullptr || written->kind != Kind::kCharacteristicValue) return updates;
  for (const WriteBehaviour& behaviour : behaviours) {
    if (!written->type.Matches(behaviour.characteristic)) continue;
    if (behaviour.whenValue && *behaviour.whenValue != value) continue;
    const auto target = ValueHandleOf(behaviour.notifyCharacteristic);
    if (!target) continue;
    for (uint32_t i = 0; i < behaviour.count; ++i) {
      updates.push_back({*target, behaviour.values[i % behaviour.values.size()],
                         std::chrono::milliseconds(behaviour.delayMs + behaviour.intervalMs * i)});
    }
  }
  return updates;
}

}  // namespace lumen::sim

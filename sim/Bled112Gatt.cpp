// The attribute client class of the virtual BLED112: GATT procedures run
// against the connected peripheral's attribute table.
#include "sim/BgapiResults.h"
#include "sim/Bled112Engine.h"

namespace lumen::sim {

namespace {

// attclient_attribute_value types
enum : uint8_t { kValueRead = 0, kValueNotify = 1, kValueIndicate = 2, kValueReadByType = 3, kValueReadBlob = 4 };

// With the default ATT MTU of 23: a read returns up to 22 bytes, a write
// command or a notification carries up to 20.
constexpr size_t kMaxReadPart = 22;
constexpr size_t kMaxWritePayload = 20;

uint16_t AttResult(GattDatabase::Access access) {
  return static_cast<uint16_t>(bgapi_result::kAttErrorBase | static_cast<uint8_t>(access));
}

bool ValidUuidSize(const Bytes& uuid) { return uuid.size() == 2 || uuid.size() == 16; }

}  // namespace

Bled112Engine::Slot* Bled112Engine::BeginGattProcedure(const BgapiMessage& command, uint16_t parameterResult) {
  uint8_t handle = static_cast<uint8_t>(command.Int("connection"));
  Slot* slot = ConnectedSlot(handle);
  if (slot == nullptr) {
    RespondDefault(command, bgapi_result::kNotConnected);
    return nullptr;
  }
  if (parameterResult != bgapi_result::kSuccess) {
    RespondDefault(command, parameterResult);
    return nullptr;
  }
  const std::optional<uint16_t> dropReason = m_scenario.peripherals[slot->peripheral].CountGattProcedure(
      slot->gattDrops, slot->gattDropReason, m_gattDropsLeft[slot->peripheral]);
  RespondDefault(command, bgapi_result::kSuccess);
  if (dropReason) {
    // The radio accepted the procedure; the peer goes away before answering.
    EndLink(handle, *dropReason);
    return nullptr;
  }
  return slot;
}

bool Bled112Engine::HandleAttclient(const BgapiMessage& command) {
  auto completed = [this](int64_t handle, uint16_t result, int64_t attribute) {
    Emit("attclient_procedure_completed", {handle, int64_t{result}, attribute});
  };
  // A procedure over a handle range; none when the radio refused it or the range is
  // one no ATT server accepts (the procedure then ends at once).
  struct Range {
    Slot* slot;
    int64_t handle;
    int64_t start;
    int64_t end;
  };
  auto beginRange = [&](uint16_t accepted) -> std::optional<Range> {
    Slot* slot = BeginGattProcedure(command, accepted);
    if (slot == nullptr) return std::nullopt;
    const Range range{slot, command.Int("connection"), command.Int("start"), command.Int("end")};
    if (range.start != 0 && range.start <= range.end) return range;
    completed(range.handle, bgapi_result::kAttInvalidHandle, range.start);
    return std::nullopt;
  };
  // Read by (group) type names the type by a 16- or 128-bit UUID only.
  auto beginTypedRange = [&]() {
    return beginRange(ValidUuidSize(command.Array("uuid")) ? bgapi_result::kSuccess : bgapi_result::kInvalidParameter);
  };
  // A range procedure that found nothing fails at its start handle.
  auto finishRange = [&](const Range& range, size_t found) {
    completed(range.handle, found == 0 ? bgapi_result::kAttAttributeNotFound : bgapi_result::kSuccess,
              found == 0 ? range.start : range.end);
  };
  // The value a read returns; a refused read ends the procedure at once.
  auto readValue = [&](const Slot& slot, int64_t handle, uint16_t attribute) {
    uint16_t refusal = bgapi_result::kSuccess;
    const Bytes* value = ReadableValue(slot, attribute, refusal);
    if (value == nullptr) completed(handle, refusal, attribute);
    return value;
  };

  switch (command.def->messageId) {
    case 0: {  // find_by_type_value: services of a type with a given value
      const std::optional<Range> range = beginRange(bgapi_result::kSuccess);
      if (!range) return true;
      const auto [slot, handle, start, end] = *range;
      size_t found = 0;
      for (const auto& group :
           m_databases[slot->peripheral].Groups(AttUuid::From16(static_cast<uint16_t>(command.Int("uuid"))),
                                                static_cast<uint16_t>(start), static_cast<uint16_t>(end))) {
        if (group.uuid.LittleEndian() != command.Array("value")) continue;
        Emit("attclient_group_found", {handle, int64_t{group.start}, int64_t{group.end}, group.uuid.LittleEndian()});
        ++found;
      }
      finishRange(*range, found);
      return true;
    }
    case 1: {  // read_by_group_type
      const std::optional<Range> range = beginTypedRange();
      if (!range) return true;
      const auto [slot, handle, start, end] = *range;
      AttUuid type = AttUuid::FromLittleEndian(command.Array("uuid"));
      if (!type.Matches(AttUuid::From16(kPrimaryServiceUuid)) &&
          !type.Matches(AttUuid::From16(kSecondaryServiceUuid))) {
        completed(handle, bgapi_result::kAttUnsupportedGroupType, start);
        return true;
      }
      auto groups =
          m_databases[slot->peripheral].Groups(type, static_cast<uint16_t>(start), static_cast<uint16_t>(end));
      for (const auto& group : groups) {
        Emit("attclient_group_found", {handle, int64_t{group.start}, int64_t{group.end}, group.uuid.LittleEndian()});
      }
      finishRange(*range, groups.size());
      return true;
    }
    case 2: {  // read_by_type
      const std::optional<Range> range = beginTypedRange();
      if (!range) return true;
      const auto [slot, handle, start, end] = *range;
      AttUuid type = AttUuid::FromLittleEndian(command.Array("uuid"));
      size_t found = 0;
      const GattDatabase& database = m_databases[slot->peripheral];
      for (const auto* attribute : database.InRange(static_cast<uint16_t>(start), static_cast<uint16_t>(end))) {
        if (!attribute->type.Matches(type) || database.CheckRead(attribute->handle) != GattDatabase::Access::kOk) {
          continue;
        }
        Bytes value(attribute->value.begin(),
                    attribute->value.begin() + static_cast<long>(std::min(attribute->value.size(), kMaxReadPart)));
        Emit("attclient_attribute_value", {handle, int64_t{attribute->handle}, int64_t{kValueReadByType}, value});
        ++found;
      }
      finishRange(*range, found);
      return true;
    }
    case 3: {  // find_information
      const std::optional<Range> range = beginRange(bgapi_result::kSuccess);
      if (!range) return true;
      const auto [slot, handle, start, end] = *range;
      auto attributes = m_databases[slot->peripheral].InRange(static_cast<uint16_t>(start), static_cast<uint16_t>(end));
      for (const auto* attribute : attributes) {
        Emit("attclient_find_information_found", {handle, int64_t{attribute->handle}, attribute->type.LittleEndian()});
      }
      finishRange(*range, attributes.size());
      return true;
    }
    case 4: {  // read_by_handle: the value comes as an attribute value; only a failure completes
      Slot* slot = BeginGattProcedure(command, bgapi_result::kSuccess);
      if (slot == nullptr) return true;
      int64_t handle = command.Int("connection");
      uint16_t attribute = static_cast<uint16_t>(command.Int("chrhandle"));
      const Bytes* readable = readValue(*slot, handle, attribute);
      if (readable == nullptr) return true;
      const Bytes& value = *readable;
      Bytes part(value.begin(), value.begin() + static_cast<long>(std::min(value.size(), kMaxReadPart)));
      Emit("attclient_attribute_value", {handle, int64_t{attribute}, int64_t{kValueRead}, part});
      return true;
    }
    case 5: {  // attribute_write
      Slot* slot = BeginGattProcedure(command, bgapi_result::kSuccess);
      if (slot == nullptr) return true;
      uint8_t handle = static_cast<uint8_t>(command.Int("connection"));
      uint16_t attribute = static_cast<uint16_t>(command.Int("atthandle"));
      const Bytes& data = command.Array("data");
      auto access = m_databases[slot->peripheral].Write(attribute, data, true);
      completed(handle, access == GattDatabase::Access::kOk ? bgapi_result::kSuccess : AttResult(access), attribute);
      if (access == GattDatabase::Access::kOk) AfterWrite(handle, attribute, data);
      return true;
    }
    case 6: {  // write_command: acknowledged by the radio only
      const Bytes& data = command.Array("data");
      Slot* slot = BeginGattProcedure(
          command, data.size() <= kMaxWritePayload ? bgapi_result::kSuccess : bgapi_result::kInvalidParameter);
      if (slot == nullptr) return true;
      uint8_t handle = static_cast<uint8_t>(command.Int("connection"));
      uint16_t attribute = static_cast<uint16_t>(command.Int("atthandle"));
      if (m_databases[slot->peripheral].Write(attribute, data, false) == GattDatabase::Access::kOk) {
        AfterWrite(handle, attribute, data);
      }
      return true;
    }
    case 7: {  // indicate_confirm
      uint8_t handle = static_cast<uint8_t>(command.Int("connection"));
      Respond("attclient_indicate_confirm",
              {int64_t{ConnectedSlot(handle) ? bgapi_result::kSuccess : bgapi_result::kNotConnected}});
      return true;
    }
    case 8: {  // read_long: a read, then blob reads until a part comes back short
      Slot* slot = BeginGattProcedure(command, bgapi_result::kSuccess);
      if (slot == nullptr) return true;
      int64_t handle = command.Int("connection");
      uint16_t attribute = static_cast<uint16_t>(command.Int("chrhandle"));
      const Bytes* readable = readValue(*slot, handle, attribute);
      if (readable == nullptr) return true;
      const Bytes& value = *readable;
      size_t offset = 0;
      do {
        size_t length = std::min(value.size() - offset, kMaxReadPart);
        Bytes part(value.begin() + static_cast<long>(offset), value.begin() + static_cast<long>(offset + length));
        Emit("attclient_attribute_value",
             {handle, int64_t{attribute}, int64_t{offset == 0 ? kValueRead : kValueReadBlob}, part});
        offset += length;
        if (length < kMaxReadPart) break;
      } while (offset < value.size());
      completed(handle, bgapi_result::kSuccess, attribute);
      return true;
    }
    default:
      return false;
  }
}

std::optional<uint16_t> Bled112Engine::ScriptedReadResult(const Slot& slot, uint16_t attribute) {
  const GattDatabase::Attribute* found = m_databases[slot.peripheral].Find(attribute);
  if (found == nullptr || found->kind != GattDatabase::Kind::kCharacteristicValue) return std::nullopt;
  auto status = m_scenario.peripherals[slot.peripheral].CountRead(found->type, m_readsSeen[slot.peripheral]);
  if (!status) return std::nullopt;
  // The scenario gives a GATT status 0x01xx: ATT error xx, which BGAPI carries as 0x04xx.
  return static_cast<uint16_t>(bgapi_result::kAttErrorBase | (*status & 0xFF));
}

const Bytes* Bled112Engine::ReadableValue(const Slot& slot, uint16_t attribute, uint16_t& refusal) {
  if (auto result = ScriptedReadResult(slot, attribute)) {
    refusal = *result;
    return nullptr;
  }
  const GattDatabase& database = m_databases[slot.peripheral];
  auto access = database.CheckRead(attribute);
  if (access != GattDatabase::Access::kOk) {
    refusal = AttResult(access);
    return nullptr;
  }
  return &database.Find(attribute)->value;
}

void Bled112Engine::AfterWrite(uint8_t handle, uint16_t attribute, const Bytes& value) {
  const size_t peripheral = m_slots.at(handle).peripheral;
  const Micros now = m_clock.Now();
  for (const auto& update :
       m_databases[peripheral].UpdatesAfterWrite(m_scenario.peripherals[peripheral].onWrite, attribute, value)) {
    if (update.after.count() == 0) {
      SendValueUpdate(handle, update.valueHandle, update.value);
    } else {
      AddLinkTimer(handle, now + update.after,
                   [this, handle, update] { SendValueUpdate(handle, update.valueHandle, update.value); });
    }
  }
}

bool Bled112Engine::SendValueUpdate(uint8_t handle, uint16_t valueHandle, const Bytes& value) {
  Slot* slot = ConnectedSlot(handle);
  if (slot == nullptr) return false;
  GattDatabase& database = m_databases[slot->peripheral];
  const GattDatabase::Update how = database.UpdateOf(valueHandle);
  if (how == GattDatabase::Update::kNone) return false;
  const uint8_t type = how == GattDatabase::Update::kIndication ? kValueIndicate : kValueNotify;
  Bytes sent(value.begin(), value.begin() + static_cast<long>(std::min(value.size(), kMaxWritePayload)));
  database.SetValue(valueHandle, value);
  Emit("attclient_attribute_value", {int64_t{handle}, int64_t{valueHandle}, int64_t{type}, sent});
  return true;
}

}  // namespace lumen::sim

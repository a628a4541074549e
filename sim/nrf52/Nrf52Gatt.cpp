// GATT client of the virtual nRF52 board: procedures run against the connected
// peripheral's attribute table and are answered as ATT at the link's MTU would.
#include <algorithm>
#include <cstddef>

#include "sim/nrf52/Nrf52Board.h"
#include "sim/nrf52/Nrf52Events.h"

namespace lumen::sim {

using namespace nrf52;

namespace {

constexpr auto kAttTransactionTimeout = std::chrono::seconds(30);
constexpr size_t kMaxAttributeLength = 512;

constexpr size_t kServicesOffset = offsetof(ble_evt_t, evt.gattc_evt.params.prim_srvc_disc_rsp.services);
constexpr size_t kCharsOffset = offsetof(ble_evt_t, evt.gattc_evt.params.char_disc_rsp.chars);
constexpr size_t kReadDataOffset = offsetof(ble_evt_t, evt.gattc_evt.params.read_rsp.data);
constexpr size_t kWriteDataOffset = offsetof(ble_evt_t, evt.gattc_evt.params.write_rsp.data);
constexpr size_t kHvxDataOffset = offsetof(ble_evt_t, evt.gattc_evt.params.hvx.data);

uint16_t AttStatus(GattDatabase::Access access) {
  return static_cast<uint16_t>(BLE_GATT_STATUS_ATTERR_INVALID | static_cast<uint8_t>(access));
}

// A UUID as the SoftDevice reports it without registered vendor bases.
ble_uuid_t ReportedUuid(const AttUuid& uuid) {
  ble_uuid_t out{};
  if (uuid.Size() == 2) {
    out.type = BLE_UUID_TYPE_BLE;
    out.uuid = ReadLe16(uuid.LittleEndian().data());
  } else {
    out.type = BLE_UUID_TYPE_UNKNOWN;
    out.uuid = 0;
  }
  return out;
}

// Bytes a UUID takes in an ATT response: 32-bit ones travel in 128-bit form.
size_t WireWidth(const AttUuid& uuid) { return uuid.Size() == 2 ? 2 : 16; }

Bytes GattcEvent(uint16_t id, uint16_t conn, size_t length, uint16_t status = BLE_GATT_STATUS_SUCCESS,
                 uint16_t errorHandle = BLE_GATT_HANDLE_INVALID) {
  Bytes event = NewEvent(id, length);
  ble_gattc_evt_t& gattc = EventOf(event)->evt.gattc_evt;
  gattc.conn_handle = conn;
  gattc.gatt_status = status;
  gattc.error_handle = errorHandle;
  return event;
}

// A notification or indication of as much of `value` as the link's MTU lets through.
Bytes HvxEvent(uint16_t conn, uint16_t attMtu, uint8_t type, uint16_t valueHandle, const Bytes& value) {
  size_t length = std::min<size_t>(value.size(), attMtu - 3u);
  Bytes event = GattcEvent(BLE_GATTC_EVT_HVX, conn, kHvxDataOffset + length);
  ble_gattc_evt_hvx_t& hvx = EventOf(event)->evt.gattc_evt.params.hvx;
  hvx.handle = valueHandle;
  hvx.type = type;
  hvx.len = static_cast<uint16_t>(length);
  std::copy_n(value.begin(), length, event.begin() + static_cast<long>(kHvxDataOffset));
  return event;
}

}  // namespace

Nrf52Board::Link* Nrf52Board::BeginProcedure(uint16_t conn, uint32_t& result) {
  Link* link = FindLink(conn);
  result = [&]() -> uint32_t {
    if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
    if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
    // After BLE_GATTC_EVT_TIMEOUT the bearer is dead for good; before it the
    // timed-out procedure still counts as running.
    if (link->attDead) return NRF_ERROR_TIMEOUT;
    if (link->busy) return NRF_ERROR_BUSY;
    return NRF_SUCCESS;
  }();
  if (result != NRF_SUCCESS) return nullptr;
  const std::optional<uint16_t> dropReason = m_scenario.peripherals[link->peripheral].CountGattProcedure(
      link->gattDrops, link->gattDropReason, m_gattDropsLeft[link->peripheral]);
  if (dropReason) {
    // The request went out; the peer goes away before answering.
    EndLink(conn, static_cast<uint8_t>(*dropReason & 0xFF));
    return nullptr;
  }
  link->busy = true;
  if (link->timeOutNextGatt) {
    link->timeOutNextGatt = false;
    AddLinkTimer(*link, m_clock->Now() + kAttTransactionTimeout, [this](Link& l) {
      l.attDead = true;
      Bytes event = GattcEvent(BLE_GATTC_EVT_TIMEOUT, l.handle, sizeof(ble_evt_t));
      EventOf(event)->evt.gattc_evt.params.timeout.src = BLE_GATT_TIMEOUT_SRC_PROTOCOL;
      Emit(std::move(event));
    });
    return nullptr;
  }
  return link;
}

void Nrf52Board::EmitGattc(Bytes event, uint16_t conn, bool completesProcedure) {
  Link* link = FindLink(conn);
  if (link == nullptr) return;
  if (!completesProcedure) {
    Emit(std::move(event));
    return;
  }
  uint64_t id = link->id;
  // The procedure is over once its response reaches the application, so a
  // handler may start the next one at once.
  Emit(std::move(event), [this, conn, id](uint8_t*) {
    std::lock_guard lock(m_mutex);
    Link* current = FindLink(conn);
    if (current != nullptr && current->id == id) current->busy = false;
  });
}

uint32_t Nrf52Board::PrimaryServicesDiscover(uint16_t conn, uint16_t start, const ble_uuid_t* uuid) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (FindLink(conn) == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (start == BLE_GATT_HANDLE_INVALID) return NRF_ERROR_INVALID_PARAM;
  // Without sd_ble_uuid_vs_add only Bluetooth SIG UUIDs can be searched for.
  if (uuid != nullptr && uuid->type != BLE_UUID_TYPE_BLE) return NRF_ERROR_INVALID_PARAM;
  uint32_t result = NRF_SUCCESS;
  const Link* link = BeginProcedure(conn, result);
  if (link == nullptr) return result;
  uint16_t mtu = link->attMtu;
  size_t peripheral = link->peripheral;

  auto groups = m_databases[peripheral].Groups(AttUuid::From16(kPrimaryServiceUuid), start, BLE_GATT_HANDLE_END);
  std::vector<GattDatabase::Group> page;
  if (uuid != nullptr) {
    // Find By Type Value: handle ranges only, four bytes each.
    size_t limit = (mtu - 1u) / 4u;
    for (const auto& group : groups) {
      if (group.uuid.Is16(uuid->uuid) && page.size() < limit) page.push_back(group);
    }
  } else if (!groups.empty()) {
    // Read By Group Type: one UUID width per response.
    size_t width = WireWidth(groups.front().uuid);
    size_t limit = (mtu - 2u) / (4u + width);
    for (const auto& group : groups) {
      if (WireWidth(group.uuid) != width || page.size() >= limit) break;
      page.push_back(group);
    }
  }
  if (page.empty()) {
    Bytes event = GattcEvent(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, conn, sizeof(ble_evt_t),
                             BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, start);
    EmitGattc(std::move(event), conn, true);
    return NRF_SUCCESS;
  }
  Bytes event =
      GattcEvent(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, conn, kServicesOffset + page.size() * sizeof(ble_gattc_service_t));
  ble_gattc_evt_prim_srvc_disc_rsp_t& rsp = EventOf(event)->evt.gattc_evt.params.prim_srvc_disc_rsp;
  rsp.count = static_cast<uint16_t>(page.size());
  ble_gattc_service_t* services = rsp.services;
  for (size_t i = 0; i < page.size(); ++i) {
    services[i].uuid = uuid != nullptr ? *uuid : ReportedUuid(page[i].uuid);
    services[i].handle_range.start_handle = page[i].start;
    services[i].handle_range.end_handle = page[i].end;
  }
  EmitGattc(std::move(event), conn, true);
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::CharacteristicsDiscover(uint16_t conn, const ble_gattc_handle_range_t* range) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (range == nullptr) return NRF_ERROR_INVALID_ADDR;
  uint32_t result = NRF_SUCCESS;
  const Link* link = BeginProcedure(conn, result);
  if (link == nullptr) return result;
  uint16_t mtu = link->attMtu;
  size_t peripheral = link->peripheral;

  uint16_t start = range->start_handle;
  uint16_t end = range->end_handle;
  if (start == BLE_GATT_HANDLE_INVALID || start > end) {
    EmitGattc(
        GattcEvent(BLE_GATTC_EVT_CHAR_DISC_RSP, conn, sizeof(ble_evt_t), BLE_GATT_STATUS_ATTERR_INVALID_HANDLE, start),
        conn, true);
    return NRF_SUCCESS;
  }
  std::vector<const GattDatabase::Attribute*> page;
  size_t width = 0;
  for (const auto* attribute : m_databases[peripheral].InRange(start, end)) {
    if (attribute->kind != GattDatabase::Kind::kCharacteristicDeclaration) continue;
    size_t w = WireWidth(AttUuid::FromLittleEndian(Bytes(attribute->value.begin() + 3, attribute->value.end())));
    if (width == 0) width = w;
    // Read By Type: handle, properties, value handle and UUID per entry.
    if (w != width || page.size() >= (mtu - 2u) / (5u + width)) break;
    page.push_back(attribute);
  }
  if (page.empty()) {
    EmitGattc(GattcEvent(BLE_GATTC_EVT_CHAR_DISC_RSP, conn, sizeof(ble_evt_t),
                         BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND, start),
              conn, true);
    return NRF_SUCCESS;
  }
  Bytes event = GattcEvent(BLE_GATTC_EVT_CHAR_DISC_RSP, conn, kCharsOffset + page.size() * sizeof(ble_gattc_char_t));
  ble_gattc_evt_char_disc_rsp_t& rsp = EventOf(event)->evt.gattc_evt.params.char_disc_rsp;
  rsp.count = static_cast<uint16_t>(page.size());
  ble_gattc_char_t* chars = rsp.chars;
  for (size_t i = 0; i < page.size(); ++i) {
    const GattDatabase::Attribute& declaration = *page[i];
    uint8_t props = declaration.value[0];
    ble_gattc_char_t& out = chars[i];
    out.uuid = ReportedUuid(AttUuid::FromLittleEndian(Bytes(declaration.value.begin() + 3, declaration.value.end())));
    out.char_props.broadcast = props & 0x01 ? 1 : 0;
    out.char_props.read = props & 0x02 ? 1 : 0;
    out.char_props.write_wo_resp = props & 0x04 ? 1 : 0;
    out.char_props.write = props & 0x08 ? 1 : 0;
    out.char_props.notify = props & 0x10 ? 1 : 0;
    out.char_props.indicate = props & 0x20 ? 1 : 0;
    out.char_props.auth_signed_wr = props & 0x40 ? 1 : 0;
    out.char_ext_props = props & 0x80 ? 1 : 0;
    out.handle_decl = declaration.handle;
    out.handle_value = ReadLe16(declaration.value.data() + 1);
  }
  EmitGattc(std::move(event), conn, true);
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::Read(uint16_t conn, uint16_t handle, uint16_t offset) {
  uint32_t result = NRF_SUCCESS;
  Link* link = BeginProcedure(conn, result);
  if (link == nullptr) return result;
  uint16_t mtu = link->attMtu;
  size_t peripheral = link->peripheral;

  const GattDatabase& database = m_databases[peripheral];
  auto access = database.CheckRead(handle);
  const Bytes* value = access == GattDatabase::Access::kOk ? &database.Find(handle)->value : nullptr;
  std::optional<uint16_t> scripted;
  const GattDatabase::Attribute* attribute = database.Find(handle);
  if (attribute != nullptr && attribute->kind == GattDatabase::Kind::kCharacteristicValue) {
    const bool atValueEnd = value != nullptr && offset > 0 && offset == value->size();
    scripted = m_scenario.peripherals[peripheral].CountRead(attribute->type, m_readsSeen[peripheral], atValueEnd);
  }
  uint16_t status = BLE_GATT_STATUS_SUCCESS;
  if (link->nextReadStatus) {
    status = *link->nextReadStatus;
    link->nextReadStatus.reset();
  } else if (scripted) {
    status = *scripted;
  } else if (value == nullptr) {
    status = AttStatus(access);
  } else if (offset > value->size()) {
    status = BLE_GATT_STATUS_ATTERR_INVALID_OFFSET;
  }
  if (status != BLE_GATT_STATUS_SUCCESS) {
    Bytes event = GattcEvent(BLE_GATTC_EVT_READ_RSP, conn, sizeof(ble_evt_t), status, handle);
    ble_gattc_evt_read_rsp_t& rsp = EventOf(event)->evt.gattc_evt.params.read_rsp;
    rsp.handle = handle;
    rsp.offset = offset;
    EmitGattc(std::move(event), conn, true);
    return NRF_SUCCESS;
  }
  size_t length = std::min<size_t>(value->size() - offset, mtu - 1u);
  Bytes event = GattcEvent(BLE_GATTC_EVT_READ_RSP, conn, kReadDataOffset + length);
  ble_gattc_evt_read_rsp_t& rsp = EventOf(event)->evt.gattc_evt.params.read_rsp;
  rsp.handle = handle;
  rsp.offset = offset;
  rsp.len = static_cast<uint16_t>(length);
  std::copy_n(value->begin() + offset, length, event.begin() + static_cast<long>(kReadDataOffset));
  EmitGattc(std::move(event), conn, true);
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::Write(uint16_t conn, const ble_gattc_write_params_t* params) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (params == nullptr) return NRF_ERROR_INVALID_ADDR;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (params->write_op != BLE_GATT_OP_WRITE_REQ && params->write_op != BLE_GATT_OP_WRITE_CMD) {
    return NRF_ERROR_NOT_SUPPORTED;  // signed, prepared and executed writes are not modelled
  }
  if (params->len > kMaxAttributeLength) return NRF_ERROR_INVALID_PARAM;
  if (params->p_value == nullptr && params->len != 0) return NRF_ERROR_INVALID_ADDR;
  // Longer values need prepared writes.
  if (params->len > link->attMtu - 3u) return NRF_ERROR_DATA_SIZE;
  Bytes value(params->p_value, params->p_value + params->len);
  uint16_t attribute = params->handle;

  if (params->write_op == BLE_GATT_OP_WRITE_CMD) {
    if (link->attDead) return NRF_ERROR_TIMEOUT;
    if (link->writeCmdsOutstanding >= link->writeCmdQueue) return NRF_ERROR_RESOURCES;
    if (link->gattDrops > 0) {
      --link->gattDrops;
      EndLink(conn, link->gattDropReason);
      return NRF_SUCCESS;
    }
    // A command to an attribute that does not take it is dropped by the peer;
    // the packet still went out.
    if (m_databases[link->peripheral].Write(attribute, value, false) == GattDatabase::Access::kOk) {
      AfterWrite(*link, attribute, value);
    }
    ++link->writeCmdsOutstanding;
    Bytes event = GattcEvent(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE, conn, sizeof(ble_evt_t));
    EventOf(event)->evt.gattc_evt.params.write_cmd_tx_complete.count = 1;
    uint64_t id = link->id;
    Emit(std::move(event), [this, conn, id](uint8_t*) {
      std::lock_guard lock(m_mutex);
      Link* current = FindLink(conn);
      if (current != nullptr && current->id == id && current->writeCmdsOutstanding > 0) {
        --current->writeCmdsOutstanding;
      }
    });
    return NRF_SUCCESS;
  }

  uint32_t result = NRF_SUCCESS;
  link = BeginProcedure(conn, result);
  if (link == nullptr) return result;
  auto access = m_databases[link->peripheral].Write(attribute, value, true);
  uint16_t status = access == GattDatabase::Access::kOk ? BLE_GATT_STATUS_SUCCESS : AttStatus(access);
  Bytes event = GattcEvent(BLE_GATTC_EVT_WRITE_RSP, conn, kWriteDataOffset + value.size(), status,
                           status == BLE_GATT_STATUS_SUCCESS ? BLE_GATT_HANDLE_INVALID : attribute);
  ble_gattc_evt_write_rsp_t& rsp = EventOf(event)->evt.gattc_evt.params.write_rsp;
  rsp.handle = attribute;
  rsp.write_op = BLE_GATT_OP_WRITE_REQ;
  rsp.offset = params->offset;
  rsp.len = static_cast<uint16_t>(value.size());
  std::copy(value.begin(), value.end(), event.begin() + static_cast<long>(kWriteDataOffset));
  EmitGattc(std::move(event), conn, true);
  if (access == GattDatabase::Access::kOk) AfterWrite(*FindLink(conn), attribute, value);
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::ExchangeMtuRequest(uint16_t conn, uint16_t clientRxMtu) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (clientRxMtu < BLE_GATT_ATT_MTU_DEFAULT || clientRxMtu > link->maxMtu) return NRF_ERROR_INVALID_PARAM;
  if (link->clientMtuExchanged) return NRF_ERROR_INVALID_STATE;  // once per link
  uint32_t result = NRF_SUCCESS;
  if (BeginProcedure(conn, result) == nullptr) return result;
  link->clientMtuExchanged = true;
  link->attMtu = std::max<uint16_t>(BLE_GATT_ATT_MTU_DEFAULT, std::min(clientRxMtu, kPeerMtu));
  Bytes event = GattcEvent(BLE_GATTC_EVT_EXCHANGE_MTU_RSP, conn, sizeof(ble_evt_t));
  EventOf(event)->evt.gattc_evt.params.exchange_mtu_rsp.server_rx_mtu = kPeerMtu;
  EmitGattc(std::move(event), conn, true);
  return NRF_SUCCESS;
}

void Nrf52Board::AfterWrite(Link& link, uint16_t attribute, const Bytes& value) {
  const Micros now = m_clock->Now();
  for (const auto& update : m_databases[link.peripheral].UpdatesAfterWrite(
           m_scenario.peripherals[link.peripheral].onWrite, attribute, value)) {
    if (update.after.count() == 0) {
      SendValueUpdate(link, update.valueHandle, update.value);
    } else {
      AddLinkTimer(link, now + update.after,
                   [this, update](Link& l) { SendValueUpdate(l, update.valueHandle, update.value); });
    }
  }
}

bool Nrf52Board::SendValueUpdate(Link& link, uint16_t valueHandle, const Bytes& value) {
  GattDatabase& database = m_databases[link.peripheral];
  const GattDatabase::Update how = database.UpdateOf(valueHandle);
  if (how == GattDatabase::Update::kNone) return false;
  database.SetValue(valueHandle, value);
  if (how == GattDatabase::Update::kIndication) {
    // The peer sends the next indication only after the last one was confirmed.
    if (link.pendingIndication) {
      link.queuedIndications.emplace_back(valueHandle, value);
    } else {
      SendIndication(link, valueHandle, value);
    }
    return true;
  }
  Emit(HvxEvent(link.handle, link.attMtu, BLE_GATT_HVX_NOTIFICATION, valueHandle, value));
  return true;
}

void Nrf52Board::SendIndication(Link& link, uint16_t valueHandle, const Bytes& value) {
  Bytes event = HvxEvent(link.handle, link.attMtu, BLE_GATT_HVX_INDICATION, valueHandle, value);
  link.pendingIndication = valueHandle;
  ++link.indicationsUnconfirmed;
  Emit(std::move(event));
  // Unconfirmed, the peer's ATT bearer times out and it drops the link.
  uint16_t handle = link.handle;
  uint64_t id = link.id;
  link.indicationTimer = m_clock->ScheduleAfter(kAttTransactionTimeout, [this, handle, id](Micros) {
    std::lock_guard lock(m_mutex);
    Link* current = FindLink(handle);
    if (!m_running || current == nullptr || current->id != id || !current->pendingIndication) return;
    current->indicationTimer = 0;
    EndLink(handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
  });
}

uint32_t Nrf52Board::HvConfirm(uint16_t conn, uint16_t handle) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->attDead) return NRF_ERROR_TIMEOUT;
  if (link->disconnecting || !link->pendingIndication) return NRF_ERROR_INVALID_STATE;
  if (*link->pendingIndication != handle) return BLE_ERROR_INVALID_ATTR_HANDLE;
  link->pendingIndication.reset();
  m_clock->Cancel(link->indicationTimer);
  link->indicationTimer = 0;
  ++link->indicationsConfirmed;
  --link->indicationsUnconfirmed;
  if (!link->queuedIndications.empty()) {
    auto [valueHandle, value] = std::move(link->queuedIndications.front());
    link->queuedIndications.pop_front();
    SendIndication(*link, valueHandle, value);
  }
  return NRF_SUCCESS;
}

}  // namespace lumen::sim

// GATT client calls on a link to the phone: long values, 128-bit UUIDs read
// from declarations, the rules that abandon a link, discovery against a peer
// that lies about its handles, and the answers peers wait for.
#include <condition_variable>
#include <future>

#include "core/CommonDataNotificationEvent.h"
#include "core/ConnectionTable.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicGattTest : public NordicPhoneTest {
 protected:
  AttGroupItem PhoneService() {
    for (const AttGroupItem& service : Sdk().GetListOfServices(m_h)) {
      if (service.uuid == kPhoneService) {
        return service;
      }
    }
    ADD_FAILURE() << "phone service not found";
    return {};
  }

  uint16_t ValueHandleOf(const Uuid& uuid) {
    const AttGroupItem service = PhoneService();
    for (const AttHandleItem& item : Sdk().GetListOfCharacteristics(m_h, service.startHandle, service.endHandle)) {
      if (item.uuid == uuid) {
        return item.attHandle;
      }
    }
    ADD_FAILURE() << "characteristic not found";
    return 0;
  }

  // A discovery response as a lying peer would have the SoftDevice report it.
  std::vector<uint8_t> ServiceResponse(const std::vector<std::pair<uint16_t, uint16_t>>& ranges) {
    const size_t length = offsetof(ble_evt_t, evt.gattc_evt.params.prim_srvc_disc_rsp.services) +
                          ranges.size() * sizeof(ble_gattc_service_t);
    std::vector<uint8_t> bytes(std::max(length, sizeof(ble_evt_t)), 0);
    auto* event = reinterpret_cast<ble_evt_t*>(bytes.data());
    event->header.evt_id = BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP;
    event->header.evt_len = static_cast<uint16_t>(length);
    event->evt.gattc_evt.conn_handle = m_native;
    event->evt.gattc_evt.params.prim_srvc_disc_rsp.count = static_cast<uint16_t>(ranges.size());
    auto* services = event->evt.gattc_evt.params.prim_srvc_disc_rsp.services;
    for (size_t i = 0; i < ranges.size(); ++i) {
      ble_gattc_service_t service{};
      service.uuid.uuid = static_cast<uint16_t>(0x1800 + i);
      service.uuid.type = BLE_UUID_TYPE_BLE;
      service.handle_range.start_handle = ranges[i].first;
      service.handle_range.end_handle = ranges[i].second;
      std::memcpy(services + i, &service, sizeof service);
    }
    return bytes;
  }

  void InjectBytes(const std::vector<uint8_t>& bytes) {
    Board().InjectEvent(bytes.data(), bytes.size(), false);
    ASSERT_TRUE(Delivered());
  }
};

TEST_F(NordicGattTest, LongValuesAndLongUuidsAreReadInFull) {
  const uint16_t handle = ValueHandleOf(kLongValue);  // its UUID comes from a 19-byte declaration
  ASSERT_NE(handle, 0);
  const std::vector<uint8_t> value = Sdk().ReadLong(m_h, handle);
  ASSERT_EQ(value.size(), 40u);
  for (size_t i = 0; i < value.size(); ++i) {
    EXPECT_EQ(value[i], i);
  }
  EXPECT_EQ(Sdk().ReadByHandle(m_h, handle), value);
}

TEST_F(NordicGattTest, DeclarationThatIsNot19BytesIsRejected) {
  const AttGroupItem service = PhoneService();
  Board().Faults().IgnoreNextCall("sd_ble_gattc_characteristics_discover");
  auto discovery = std::async(
      std::launch::async, [&] { return Sdk().GetListOfCharacteristics(m_h, service.startHandle, service.endHandle); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_characteristics_discover", 1, 10s));
  // The peer names the service declaration (16 bytes) as a characteristic declaration.
  ble_evt_t event{};
  event.header.evt_id = BLE_GATTC_EVT_CHAR_DISC_RSP;
  event.header.evt_len = sizeof event;
  event.evt.gattc_evt.conn_handle = m_native;
  event.evt.gattc_evt.params.char_disc_rsp.count = 1;
  ble_gattc_char_t& entry = event.evt.gattc_evt.params.char_disc_rsp.chars[0];
  entry.uuid.type = BLE_UUID_TYPE_UNKNOWN;
  entry.handle_decl = service.startHandle;
  entry.handle_value = static_cast<uint16_t>(service.startHandle + 1);
  Inject(event);
  try {
    discovery.get();
    FAIL() << "discovery succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorGeneral);
    EXPECT_NE(std::string(e.what()).find("characteristic details should be 19 bytes"), std::string::npos);
  }
}

TEST_F(NordicGattTest, HostileServiceHandlesCannotMakeDiscoveryLoop) {
  Board().Faults().IgnoreNextCall("sd_ble_gattc_primary_services_discover", 2);
  auto discovery = std::async(std::launch::async, [&] { return Sdk().GetListOfServices(m_h); });

  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_primary_services_discover", 1, 10s));
  InjectBytes(ServiceResponse({{1, 5}, {3, 4}, {6, 9}}));  // one entry goes backwards
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_primary_services_discover", 2, 10s));
  // A stale page that does not advance, then the end of the range in a non-last entry.
  InjectBytes(ServiceResponse({{1, 5}, {10, 0xFFFF}, {2, 3}}));

  ASSERT_EQ(discovery.wait_for(10s), std::future_status::ready);
  const std::vector<AttGroupItem> services = discovery.get();
  ASSERT_EQ(services.size(), 3u);
  EXPECT_EQ(services[1].startHandle, 6);
  EXPECT_EQ(services[2].endHandle, 0xFFFF);
  EXPECT_EQ(CountCalls("sd_ble_gattc_primary_services_discover"), 2u);
}

TEST_F(NordicGattTest, GattTimeoutTerminatesTheConnection) {
  const uint16_t handle = ValueHandleOf(kLongValue);
  ASSERT_TRUE(Board().Faults().TimeOutNextGattProcedure(m_native));
  const size_t readsBefore = CountCalls("sd_ble_gattc_read");
  auto read = std::async(std::launch::async, [&] { return Sdk().ReadLong(m_h, handle); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_read", readsBefore + 1, 10s));
  Board().Clock().AdvanceMs(30000);  // the ATT transaction time-out: BLE_GATTC_EVT_TIMEOUT
  try {
    read.get();
    FAIL() << "read succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorGeneral);
    EXPECT_EQ(std::string(e.what()),
              "operation timed out, so we terminated the connection (Error: 36865) : Unknown error");
  }
  EXPECT_TRUE(m_log.Has(Logger::INFO,
                        "Nordic event BLE_GATTC_EVT_TIMEOUT received for sd_ble_gattc_read, so this connection must "
                        "no longer be used"));
  EXPECT_FALSE(m_h.IsConnected());
  EXPECT_TRUE(Board().Snapshot().connections.empty());
}

TEST_F(NordicGattTest, DisconnectDuringAReadIsAnUnexpectedDisconnect) {
  const uint16_t handle = ValueHandleOf(kLongValue);
  ASSERT_TRUE(Board().Faults().DisconnectDuringNextGattProcedure(m_native, 0x08));
  try {
    Sdk().ReadLong(m_h, handle);
    FAIL() << "read succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorUnexpectedDisconnect);
    EXPECT_NE(std::string(e.what()).find("disconnect received during sd_ble_gattc_read"), std::string::npos);
  }
  EXPECT_FALSE(m_h.IsConnected());
}

TEST_F(NordicGattTest, PeerRequestsAreAnsweredAndTheLinkSurvives) {
  ASSERT_TRUE(Delivered());  // the requests the peer makes on its own after connecting
  for (const auto request : {sim::Nrf52PeerRequest::kConnParamUpdate, sim::Nrf52PeerRequest::kDataLengthUpdate,
                             sim::Nrf52PeerRequest::kPhyUpdate, sim::Nrf52PeerRequest::kMtuExchange,
                             sim::Nrf52PeerRequest::kSysAttrMissing, sim::Nrf52PeerRequest::kUserMemRequest}) {
    ASSERT_TRUE(Board().Faults().SendPeerRequest(m_native, request));
  }
  // Replies refused while another procedure runs go out with that
  // procedure's completion, itself an event: settle those rounds too.
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(Delivered());
  }
  Advance(60000);
  const auto connections = Board().Snapshot().connections;
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(connections[0].unanswered.empty());
  EXPECT_GE(connections[0].answered.size(), 6u);
  EXPECT_EQ(connections[0].attMtu, 23);
  EXPECT_TRUE(m_h.IsConnected());
}

TEST_F(NordicGattTest, IndicationsAreConfirmedAndDelivered) {
  const uint16_t handle = ValueHandleOf(Uuid(uint16_t{0x2a05}));
  Sdk().AttributeWrite(m_h, static_cast<uint16_t>(handle + 1), {0x02, 0x00});  // client configuration: indicate

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint8_t> received;
  auto subscription = BusSubscription::Make<const details::CommonDataNotificationEvent_t*>(
      "common_evt_data_notification", [&](const details::CommonDataNotificationEvent_t* event) {
        std::lock_guard lock(mutex);
        received = event->data;
        changed.notify_all();
      });
  ASSERT_TRUE(Board().Notify("phone", sim::AttUuid::From16(0x2a05), {0x0a, 0x0b}));
  ASSERT_TRUE(Delivered());
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !received.empty(); }));
  }
  EXPECT_EQ(received, (std::vector<uint8_t>{0x0a, 0x0b}));
  EXPECT_EQ(Board().Snapshot().connections.at(0).indicationsConfirmed, 1u);
}

}  // namespace
}  // namespace lumen::testing

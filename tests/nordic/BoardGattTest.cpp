// The GATT client of the virtual board: responses paged as ATT at MTU 23
// pages them, reads in 22-byte parts, indications that wait for confirmation.
#include <atomic>
#include <future>

#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardGattTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.OpenEnabled();
    conn = ConnectPhone(session);
  }

  std::vector<ble_gattc_service_t> DiscoverServices(uint16_t start, uint16_t& status) {
    EXPECT_EQ(sd_ble_gattc_primary_services_discover(session.Adapter(), conn, start, nullptr), NRF_SUCCESS);
    auto rsp = session.NextEvent(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP);
    if (!rsp) return {};
    status = rsp->Evt().evt.gattc_evt.gatt_status;
    const auto& disc = rsp->Evt().evt.gattc_evt.params.prim_srvc_disc_rsp;
    const ble_gattc_service_t* services = disc.services;
    return std::vector<ble_gattc_service_t>(services, services + disc.count);
  }

  Record ReadAt(uint16_t handle, uint16_t offset) {
    EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, handle, offset), NRF_SUCCESS);
    auto rsp = session.NextEvent(BLE_GATTC_EVT_READ_RSP);
    return rsp.value_or(Record{});
  }

  uint32_t WriteRequest(uint16_t handle, const Bytes& value) {
    ble_gattc_write_params_t params{BLE_GATT_OP_WRITE_REQ, 0, handle, 0, static_cast<uint16_t>(value.size()),
                                    value.data()};
    return sd_ble_gattc_write(session.Adapter(), conn, &params);
  }

  ScenarioFile file{PhonesScenario(R"("requests_on_connect": [],)")};
  BoardSession session{file.Path()};
  uint16_t conn = BLE_CONN_HANDLE_INVALID;
};

TEST_F(BoardGattTest, PrimaryServicesComeInPagesOfOneUuidWidth) {
  uint16_t status = 0xFFFF;
  auto page = DiscoverServices(1, status);
  EXPECT_EQ(status, BLE_GATT_STATUS_SUCCESS);
  ASSERT_EQ(page.size(), 3u);
  EXPECT_EQ(page[0].uuid.uuid, 0x1800);
  EXPECT_EQ(page[0].uuid.type, BLE_UUID_TYPE_BLE);
  EXPECT_EQ(page[2].uuid.uuid, 0x180F);
  EXPECT_EQ(page[2].handle_range.start_handle, 9);
  EXPECT_EQ(page[2].handle_range.end_handle, 12);

  page = DiscoverServices(page.back().handle_range.end_handle + 1, status);
  ASSERT_EQ(page.size(), 1u);  // the next one is 128-bit
  EXPECT_EQ(page[0].uuid.uuid, 0x1805);

  page = DiscoverServices(page.back().handle_range.end_handle + 1, status);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].uuid.type, BLE_UUID_TYPE_UNKNOWN);
  EXPECT_EQ(page[0].uuid.uuid, 0);
  EXPECT_EQ(page[0].handle_range.start_handle, 17);

  page = DiscoverServices(page.back().handle_range.end_handle + 1, status);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].uuid.type, BLE_UUID_TYPE_UNKNOWN);

  page = DiscoverServices(page.back().handle_range.end_handle + 1, status);
  EXPECT_TRUE(page.empty());
  EXPECT_EQ(status, BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND);
}

TEST_F(BoardGattTest, CharacteristicsComeInPagesWithTheirProperties) {
  ble_gattc_handle_range_t range{1, 0xFFFF};
  std::vector<ble_gattc_char_t> found;
  std::vector<size_t> pages;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(sd_ble_gattc_characteristics_discover(session.Adapter(), conn, &range), NRF_SUCCESS);
    auto rsp = session.NextEvent(BLE_GATTC_EVT_CHAR_DISC_RSP);
    ASSERT_TRUE(rsp);
    const ble_gattc_evt_t& gattc = rsp->Evt().evt.gattc_evt;
    if (gattc.gatt_status == BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND) break;
    ASSERT_EQ(gattc.gatt_status, BLE_GATT_STATUS_SUCCESS);
    const ble_gattc_char_t* chars = gattc.params.char_disc_rsp.chars;
    found.insert(found.end(), chars, chars + gattc.params.char_disc_rsp.count);
    pages.push_back(gattc.params.char_disc_rsp.count);
    range.start_handle = static_cast<uint16_t>(found.back().handle_value + 1);
  }
  EXPECT_EQ(pages, (std::vector<size_t>{3, 2, 1, 1, 1}));
  ASSERT_EQ(found.size(), 8u);
  EXPECT_EQ(found[1].uuid.uuid, 0x2A29);
  EXPECT_EQ(found[1].handle_decl, 5);
  EXPECT_EQ(found[1].handle_value, 6);
  EXPECT_EQ(found[3].char_props.notify, 1);
  EXPECT_EQ(found[3].char_props.read, 1);
  EXPECT_EQ(found[4].char_props.indicate, 1);
  EXPECT_EQ(found[5].uuid.type, BLE_UUID_TYPE_UNKNOWN);
  EXPECT_EQ(found[5].char_props.write_wo_resp, 1);
}

TEST_F(BoardGattTest, ReadsReturnAtMostTwentyTwoBytesFromTheOffset) {
  Record first = ReadAt(6, 0);
  const auto& rsp = first.Evt().evt.gattc_evt.params.read_rsp;
  ASSERT_EQ(rsp.len, 22);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rsp.data), rsp.len), "ABCDEFGHIJKLMNOPQRSTUV");
  Record rest = ReadAt(6, 22);
  const auto& tail = rest.Evt().evt.gattc_evt.params.read_rsp;
  EXPECT_EQ(tail.offset, 22);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tail.data), tail.len), "WXYZ0123");
  EXPECT_EQ(ReadAt(6, 31).Evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_OFFSET);
  EXPECT_EQ(ReadAt(0x0200, 0).Evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_INVALID_HANDLE);
  EXPECT_EQ(ReadAt(21, 0).Evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED);
  // A 128-bit characteristic declaration: properties, value handle, UUID.
  Record declaration = ReadAt(18, 0);
  EXPECT_EQ(declaration.Evt().evt.gattc_evt.params.read_rsp.len, 19);
}

TEST_F(BoardGattTest, OneProcedureAtATimeUntilItsResponseIsDelivered) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<uint32_t> fromHandler{0xFFFF};
  std::atomic<bool> first{true};
  session.SetEventHook([&](adapter_t* adapter, ble_evt_t* event) {
    if (event->header.evt_id != BLE_GATTC_EVT_READ_RSP || !first.exchange(false)) return;
    released.wait();
    // Inside the handler the procedure is already over.
    fromHandler = sd_ble_gattc_read(adapter, event->evt.gattc_evt.conn_handle, 11, 0);
  });
  ASSERT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_READ_RSP));  // the handler now waits
  EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), static_cast<uint32_t>(NRF_ERROR_BUSY));
  EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), 7, 3, 0), static_cast<uint32_t>(BLE_ERROR_INVALID_CONN_HANDLE));
  release.set_value();
  session.Settle();
  EXPECT_EQ(fromHandler.load(), static_cast<uint32_t>(NRF_ERROR_BUSY));  // the second read of handle 3 is still out
}

TEST_F(BoardGattTest, IndicationsWaitForTheirConfirmation) {
  ASSERT_EQ(WriteRequest(16, {0x02, 0x00}), NRF_SUCCESS);  // client configuration of 2a2b
  auto written = session.NextEvent(BLE_GATTC_EVT_WRITE_RSP);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->Evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_SUCCESS);
  EXPECT_EQ(sd_ble_gattc_hv_confirm(session.Adapter(), conn, 15), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));

  sim::AttUuid time = sim::AttUuid::Parse("2a2b");
  ASSERT_TRUE(session.Board().Notify("phone", time, {0x01}));
  ASSERT_TRUE(session.Board().Notify("phone", time, {0x02}));
  auto first = session.NextEvent(BLE_GATTC_EVT_HVX);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Evt().evt.gattc_evt.params.hvx.type, BLE_GATT_HVX_INDICATION);
  EXPECT_EQ(first->Evt().evt.gattc_evt.params.hvx.data[0], 0x01);
  session.Settle();
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_HVX), 0u);
  EXPECT_EQ(sd_ble_gattc_hv_confirm(session.Adapter(), conn, 15), NRF_SUCCESS);
  auto second = session.NextEvent(BLE_GATTC_EVT_HVX);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Evt().evt.gattc_evt.params.hvx.data[0], 0x02);

  // Left unconfirmed, the peer gives up on the link.
  session.Advance(30s);
  auto disconnected = session.NextEvent(BLE_GAP_EVT_DISCONNECTED);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.params.disconnected.reason, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
}

TEST_F(BoardGattTest, WritesTriggerScenarioNotificationsAndCommandsNeedCredits) {
  Bytes on = {0x01, 0x00};
  ASSERT_EQ(WriteRequest(22, on), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_WRITE_RSP));
  ASSERT_TRUE(session.Board().Notify("phone", sim::AttUuid::Parse("a3c87502-8ed3-4bdf-8a39-a01bebede295"), {7, 8}));
  auto hvx = session.NextEvent(BLE_GATTC_EVT_HVX);
  ASSERT_TRUE(hvx);
  EXPECT_EQ(hvx->Evt().evt.gattc_evt.params.hvx.type, BLE_GATT_HVX_NOTIFICATION);
  EXPECT_EQ(hvx->Evt().evt.gattc_evt.params.hvx.handle, 21);

  Bytes big(21, 0xAA);
  ble_gattc_write_params_t command{BLE_GATT_OP_WRITE_CMD, 0, 19, 0, static_cast<uint16_t>(big.size()), big.data()};
  EXPECT_EQ(sd_ble_gattc_write(session.Adapter(), conn, &command), static_cast<uint32_t>(NRF_ERROR_DATA_SIZE));
  command.len = 20;
  // Hold the event thread in a notification so the completion stays undelivered.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  session.SetEventHook([&](adapter_t*, ble_evt_t* event) {
    if (event->header.evt_id == BLE_GATTC_EVT_HVX) released.wait();
  });
  ASSERT_TRUE(session.Board().Notify("phone", sim::AttUuid::Parse("a3c87502-8ed3-4bdf-8a39-a01bebede295"), {9}));
  ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_HVX));
  EXPECT_EQ(sd_ble_gattc_write(session.Adapter(), conn, &command), NRF_SUCCESS);
  // The queue (one by default) frees when the completion is handed over.
  EXPECT_EQ(sd_ble_gattc_write(session.Adapter(), conn, &command), static_cast<uint32_t>(NRF_ERROR_RESOURCES));
  release.set_value();
  auto complete = session.NextEvent(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE);
  ASSERT_TRUE(complete);
  EXPECT_EQ(complete->Evt().evt.gattc_evt.params.write_cmd_tx_complete.count, 1);
  session.Settle();
  EXPECT_EQ(sd_ble_gattc_write(session.Adapter(), conn, &command), NRF_SUCCESS);
  EXPECT_EQ(session.Board().Database("phone")->Find(19)->value, Bytes(20, 0xAA));
}

TEST_F(BoardGattTest, ATimedOutProcedureLeavesTheLinkUnusableForGatt) {
  ASSERT_TRUE(session.Board().Faults().TimeOutNextGattProcedure(conn));
  ASSERT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), NRF_SUCCESS);
  session.Advance(30s);
  auto timeout = session.NextEvent(BLE_GATTC_EVT_TIMEOUT);
  ASSERT_TRUE(timeout);
  EXPECT_EQ(timeout->Evt().evt.gattc_evt.params.timeout.src, BLE_GATT_TIMEOUT_SRC_PROTOCOL);
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_READ_RSP), 0u);
  EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), static_cast<uint32_t>(NRF_ERROR_TIMEOUT));
  uint8_t byte = 1;
  ble_gattc_write_params_t command{BLE_GATT_OP_WRITE_CMD, 0, 19, 0, 1, &byte};
  EXPECT_EQ(sd_ble_gattc_write(session.Adapter(), conn, &command), static_cast<uint32_t>(NRF_ERROR_TIMEOUT));

  ASSERT_EQ(sd_ble_gap_disconnect(session.Adapter(), conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_DISCONNECTED));
  conn = ConnectPhone(session);
  ASSERT_TRUE(session.Board().Faults().DisconnectDuringNextGattProcedure(conn, 0x08));
  ASSERT_EQ(sd_ble_gattc_read(session.Adapter(), conn, 3, 0), NRF_SUCCESS);
  auto dropped = session.NextEvent(BLE_GAP_EVT_DISCONNECTED);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->Evt().evt.gap_evt.params.disconnected.reason, 0x08);
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_READ_RSP), 0u);
}

}  // namespace
}  // namespace lumen::test::nrf52

// Captures of a session on the virtual nRF52 board: driver calls with their
// arguments and results, events with their names, status records.
#if defined(LUMEN_CAPTURE_NRF52_TESTS)

#include <algorithm>
#include <cstring>
#include <future>

#include "CaptureTestSupport.h"
#include "core/CaptureTap.h"
#include "lumen/Capture.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

using sim::CaptureRecord;

// A record's body: a little-endian number of `width` bytes (a result, an event
// id), the name (a length byte, then its bytes) and what follows it.
struct NamedBody {
  uint32_t number = 0;
  std::string name;
  sim::Bytes rest;
};

NamedBody SplitBody(const sim::Bytes& body, size_t width) {
  NamedBody split;
  for (size_t i = 0; i < std::min(width, body.size()); ++i) {
    split.number |= static_cast<uint32_t>(body[i]) << (8 * i);
  }
  EXPECT_GE(body.size(), width + 1);
  if (body.size() < width + 1) {
    return body.size() < width ? NamedBody{} : split;
  }
  const size_t end = width + 1 + body[width];
  EXPECT_LE(end, body.size());
  const auto nameEnd = body.begin() + static_cast<std::ptrdiff_t>(std::min(end, body.size()));
  split.name.assign(body.begin() + static_cast<std::ptrdiff_t>(width + 1), nameEnd);
  split.rest.assign(nameEnd, body.end());
  return split;
}

struct CallRecord {
  uint32_t result = 0;
  std::string name;
  std::string arguments;
};

CallRecord ParseCall(const CaptureRecord& record) {
  NamedBody split = SplitBody(record.body, 4);
  return {split.number, std::move(split.name), std::string(split.rest.begin(), split.rest.end())};
}

struct EventRecord {
  uint16_t id = 0;
  std::string name;
  sim::Bytes event;
};

EventRecord ParseEvent(const CaptureRecord& record) {
  NamedBody split = SplitBody(record.body, 2);
  return {static_cast<uint16_t>(split.number), std::move(split.name), std::move(split.rest)};
}

std::vector<CallRecord> Calls(const sim::Capture& capture) {
  std::vector<CallRecord> calls;
  for (const CaptureRecord& record : RecordsOfKind(capture, CaptureRecord::kNrfCall)) {
    EXPECT_EQ(record.direction, CaptureRecord::kOutbound);
    calls.push_back(ParseCall(record));
  }
  return calls;
}

std::vector<EventRecord> Events(const sim::Capture& capture) {
  std::vector<EventRecord> events;
  for (const CaptureRecord& record : RecordsOfKind(capture, CaptureRecord::kNrfEvent)) {
    EXPECT_EQ(record.direction, CaptureRecord::kInbound);
    events.push_back(ParseEvent(record));
  }
  return events;
}

const CallRecord* FindCall(const std::vector<CallRecord>& calls, const std::string& name) {
  const auto found = std::find_if(calls.begin(), calls.end(), [&](const CallRecord& c) { return c.name == name; });
  return found == calls.end() ? nullptr : &*found;
}

const EventRecord* FindEvent(const std::vector<EventRecord>& events, uint16_t id) {
  const auto found = std::find_if(events.begin(), events.end(), [&](const EventRecord& e) { return e.id == id; });
  return found == events.end() ? nullptr : &*found;
}

std::promise<void>* g_removed = nullptr;
void OnSoftReset(bool removal) {
  if (removal && g_removed != nullptr) {
    g_removed->set_value();
    g_removed = nullptr;
  }
}

class NordicCaptureTest : public NordicSimTest {
 protected:
  void TearDown() override {
    StopCapture();
    NordicSimTest::TearDown();
    Set_HardwareSoftResetInitiatedCallback(nullptr);
  }
  CaptureDir m_dir;
};

TEST_F(NordicCaptureTest, SessionShowsCallsWithArgumentsAndResultsEventsWithNamesAndStatus) {
  const std::string path = m_dir.File("nrf52.pcapng");
  StartCapture(path);
  OpenBoard();
  Advance(250);  // advertisements
  const auto h = ConnectPhone();
  ASSERT_TRUE(h.IsConnected());
  const uint32_t native = details::GetNativeHandle(h);
  const auto services = Sdk().GetListOfServices(h);
  ASSERT_FALSE(services.empty());
  EXPECT_EQ(Sdk().ReadByHandle(h, 3), (std::vector<uint8_t>{'P', 'h', 'o', 'n', 'e', ' ', 'A'}));
  Sdk().Disconnect(h);
  Board().InjectStatus(RESET_PERFORMED, "Target Reset performed");
  ASSERT_TRUE(Delivered());
  UnInitialize();
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  KeepCapture(path, "nrf52-session.pcapng");

  // Every call the board saw, and only those, once each.
  std::vector<std::string> captured;
  for (const CallRecord& call : Calls(capture)) {
    if (call.name.rfind("sd_ble_", 0) == 0) {
      captured.push_back(call.name);
    }
  }
  std::vector<std::string> seen;
  for (const std::string& call : Board().Calls()) {
    if (call.rfind("sd_ble_", 0) == 0) {
      seen.push_back(call);
    }
  }
  std::sort(captured.begin(), captured.end());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(captured, seen);

  const auto calls = Calls(capture);
  const CallRecord* connect = FindCall(calls, "sd_ble_gap_connect");
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(connect->result, 0u);
  EXPECT_NE(connect->arguments.find("peer_addr=c4:10:20:30:40:50/1, "), std::string::npos) << connect->arguments;
  const std::string readArguments = "conn_handle=" + std::to_string(native) + ", handle=3, offset=0";
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const CallRecord& c) {
    return c.name == "sd_ble_gattc_read" && c.arguments == readArguments && c.result == 0;
  }));
  const CallRecord* scan = FindCall(calls, "sd_ble_gap_scan_start");
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(scan->arguments.rfind("active=", 0), 0u) << scan->arguments;

  const auto events = Events(capture);
  for (const EventRecord& event : events) {
    ASSERT_GE(event.event.size(), 4u);
    EXPECT_EQ(event.event[0] | (event.event[1] << 8), event.id);  // ble_evt_hdr_t.evt_id
    EXPECT_GE(event.event.size(), sizeof(ble_evt_t));
    EXPECT_FALSE(event.name.empty()) << event.id;
  }
  // An advertising report only points to its data: the data follows the event.
  const sim::Bytes advData = sim::ParseHex("020106 1107 95e2edeb1ba0398adf4bd38e0075c8a3");
  const EventRecord* report = FindEvent(events, BLE_GAP_EVT_ADV_REPORT);
  ASSERT_NE(report, nullptr);
  ASSERT_EQ(report->event.size(), sizeof(ble_evt_t) + advData.size());
  EXPECT_TRUE(
      std::equal(advData.begin(), advData.end(), report->event.end() - static_cast<std::ptrdiff_t>(advData.size())));
  const std::pair<uint16_t, const char*> expected[] = {{BLE_GAP_EVT_ADV_REPORT, "BLE_GAP_EVT_ADV_REPORT"},
                                                       {BLE_GAP_EVT_CONNECTED, "BLE_GAP_EVT_CONNECTED"},
                                                       {BLE_GATTC_EVT_READ_RSP, "BLE_GATTC_EVT_READ_RSP"},
                                                       {BLE_GAP_EVT_DISCONNECTED, "BLE_GAP_EVT_DISCONNECTED"}};
  for (const auto& [id, name] : expected) {
    const EventRecord* event = FindEvent(events, id);
    ASSERT_NE(event, nullptr) << name;
    EXPECT_EQ(event->name, name);
  }
  // The read's answer carries the value.
  const std::string value = "Phone A";
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const EventRecord& e) {
    return e.id == BLE_GATTC_EVT_READ_RSP &&
           std::search(e.event.begin(), e.event.end(), value.begin(), value.end()) != e.event.end();
  }));

  const auto statuses = RecordsOfKind(capture, CaptureRecord::kNrfStatus);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().body, (sim::Bytes{RESET_PERFORMED,
                                              0,
                                              0,
                                              0,
                                              'T',
                                              'a',
                                              'r',
                                              'g',
                                              'e',
                                              't',
                                              ' ',
                                              'R',
                                              'e',
                                              's',
                                              'e',
                                              't',
                                              ' ',
                                              'p',
                                              'e',
                                              'r',
                                              'f',
                                              'o',
                                              'r',
                                              'm',
                                              'e',
                                              'd'}));

  const auto opened = RecordsOfKind(capture, CaptureRecord::kPortOpened);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].Text(), m_scenario->Path());
  const auto closed = RecordsOfKind(capture, CaptureRecord::kPortClosed);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].body, sim::Bytes{0});
}

TEST_F(NordicCaptureTest, ReadWithoutAnAnswerShowsAsTheCallAndANote) {
  OpenBoard();
  const auto h = ConnectPhone();
  ASSERT_TRUE(h.IsConnected());
  const std::string path = m_dir.File("nrf52-silent.pcapng");
  StartCapture(path);
  Sdk().SetTimeouts(3000, 300);
  Board().Faults().IgnoreNextCall("sd_ble_gattc_read");
  EXPECT_THROW(Sdk().ReadByHandle(h, 3), details::NordicLibError);
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  size_t read = capture.records.size();
  size_t note = 0;
  for (size_t i = 0; i < capture.records.size(); ++i) {
    const CaptureRecord& record = capture.records[i];
    if (record.kind == CaptureRecord::kNrfCall && ParseCall(record).name == "sd_ble_gattc_read") {
      read = std::min(read, i);
    }
    if (record.kind == CaptureRecord::kNote) {
      EXPECT_EQ(record.Text(), "no completing event for sd_ble_gattc_read within 300 ms");
      note = i;
    }
  }
  EXPECT_LT(read, note);
}

TEST_F(NordicCaptureTest, UnplugShowsAsThePortLost) {
  OpenBoard();
  const std::string path = m_dir.File("nrf52-unplug.pcapng");
  StartCapture(path);
  std::promise<void> removed;
  g_removed = &removed;
  Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  Board().Faults().Unplug();
  ASSERT_EQ(removed.get_future().wait_for(30s), std::future_status::ready);
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  EXPECT_EQ(capture.interfaceName, m_scenario->Path());
  const auto closed = RecordsOfKind(capture, CaptureRecord::kPortClosed);
  ASSERT_EQ(closed.size(), 1u);
  ASSERT_FALSE(closed[0].body.empty());
  EXPECT_EQ(closed[0].body[0], 1);
  EXPECT_NE(closed[0].Text().find("status"), std::string::npos) << closed[0].Text();  // the driver's report
}

}  // namespace
}  // namespace lumen::testing

#endif

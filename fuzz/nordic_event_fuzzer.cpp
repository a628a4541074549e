// Feeds arbitrary SoftDevice events to the Nordic backend's event callback, as
// pc-ble-driver's event thread would: advertising reports of any length and
// data (and null data), discovery responses with any counts and handles, read
// responses, HVX, peer requests and link events. Discovery and reads are fed
// while a real GATT call of the backend waits for them, so its response
// handling and loop bounds are exercised, not just the dispatch. The backend
// runs on the virtual nRF52 board, whose own answers to those calls are
// switched off; every event sits in a buffer of exactly the size its header
// gives, so the address sanitizer sees any read past it.
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "lumen/Logger.h"
#include "lumen/Lumen.h"
#include "nordic/NordicBluetoothSDK.h"
#include "sd_rpc.h"
#include "sim/nrf52/VirtualNrf52.h"

namespace {

using namespace std::chrono_literals;
using namespace lumen;

volatile uint8_t g_sink;

void DiscardLog(Logger::LogType /*type*/, const std::string& text) { g_sink = static_cast<uint8_t>(text.size()); }

const char* const kScenario = R"({
  "peripherals": [{
    "name": "peer", "address": "00:07:80:11:22:33", "address_type": "public",
    "adv_interval_ms": 100, "adv_data": {"flags": 6}, "requests_on_connect": [],
    "gatt": [{"uuid": "180d", "characteristics": [{"uuid": "2a37", "properties": ["read", "notify"], "value": "00"}]}]
  }]
})";

struct Session {
  std::string scenarioPath;
  std::shared_ptr<sim::VirtualNrf52> board;
  std::unique_ptr<details::DeviceConnectionHandle> link;
};
Session g_session;

bool Connect() {
  g_session.link = std::make_unique<details::DeviceConnectionHandle>();
  try {
    details::GetBluetoothSDK()->ConnectDirect(
        *g_session.link, {}, Address({0x33, 0x22, 0x11, 0x80, 0x07, 0x00}, Address::Public), 6, 6, 500, 0);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool Start() {
  Logger::SetLogCallback(&DiscardLog);
  g_session.scenarioPath = "/tmp/lumen-nordic-fuzz-" + std::to_string(getpid()) + ".json";
  std::ofstream(g_session.scenarioPath) << kScenario;
  sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
  if (!Initialize(g_session.scenarioPath, 0, NordicNRF52, false)) {
    std::fprintf(stderr, "the virtual nRF52 board did not open\n");
    std::abort();
  }
  std::remove(g_session.scenarioPath.c_str());
  g_session.board = sim::OpenNrf52Board();
  // The harness answers the GATT calls itself; short waits keep a response the
  // backend did not take from stalling the run.
  for (const char* call :
       {"sd_ble_gattc_primary_services_discover", "sd_ble_gattc_characteristics_discover", "sd_ble_gattc_read"}) {
    g_session.board->Faults().IgnoreNextCall(call, SIZE_MAX / 2);
  }
  details::GetBluetoothSDK()->SetTimeouts(0, 100);
  details::GetBluetoothSDK()->EndProcedure();
  if (!Connect()) {
    std::fprintf(stderr, "no link to the virtual peer\n");
    std::abort();
  }
  return true;
}

// Bytes of the input, handed out front to back; zeros once it runs dry.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  void Fill(uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = Byte();
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// One event in a buffer of exactly its size, aligned as the driver's are.
class EventBuffer {
 public:
  explicit EventBuffer(size_t size) : m_words((std::max(size, sizeof(ble_evt_t)) + 7) / 8), m_size(size) {
    std::memset(m_words.data(), 0, m_words.size() * 8);
  }
  ble_evt_t* Event() { return reinterpret_cast<ble_evt_t*>(m_words.data()); }
  size_t Size() const { return m_size; }

 private:
  std::vector<uint64_t> m_words;
  size_t m_size;
};

uint8_t g_reportData[256];  // where the driver copies report data

constexpr uint16_t kEventIds[] = {
    BLE_GAP_EVT_ADV_REPORT,
    BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP,
    BLE_GATTC_EVT_CHAR_DISC_RSP,
    BLE_GATTC_EVT_READ_RSP,
    BLE_GATTC_EVT_HVX,
    BLE_GATTC_EVT_WRITE_RSP,
    BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE,
    BLE_GATTC_EVT_TIMEOUT,
    BLE_GAP_EVT_RSSI_CHANGED,
    BLE_GAP_EVT_TIMEOUT,
    BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST,
    BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST,
    BLE_GAP_EVT_PHY_UPDATE_REQUEST,
    BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST,
    BLE_GATTS_EVT_SYS_ATTR_MISSING,
    BLE_EVT_USER_MEM_REQUEST,
};

// Builds one event from the input. `forcedId` (0: chosen by the input) and
// the live link's handle make most events land where a waiting call looks.
EventBuffer MakeEvent(Input& in, uint16_t forcedId, uint16_t liveHandle, uint16_t readHandle = 0,
                      uint16_t readOffset = 0) {
  const uint8_t selector = in.Byte();
  uint16_t id = forcedId != 0 ? forcedId : kEventIds[selector % std::size(kEventIds)];
  if (forcedId == 0 && selector >= 0xF0) id = in.Word();  // now and then, any id at all
  const bool ownLink = (selector & 0x08) == 0;

  const size_t header = offsetof(ble_evt_t, evt);
  size_t size = sizeof(ble_evt_t);
  uint16_t count = 0;
  uint16_t length = 0;
  switch (id) {
    case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP:
      count = static_cast<uint16_t>(in.Byte() % 12);
      size =
          offsetof(ble_evt_t, evt.gattc_evt.params.prim_srvc_disc_rsp.services) + count * sizeof(ble_gattc_service_t);
      break;
    case BLE_GATTC_EVT_CHAR_DISC_RSP:
      count = static_cast<uint16_t>(in.Byte() % 12);
      size = offsetof(ble_evt_t, evt.gattc_evt.params.char_disc_rsp.chars) + count * sizeof(ble_gattc_char_t);
      break;
    case BLE_GATTC_EVT_READ_RSP:
      length = static_cast<uint16_t>(in.Byte() % 40);
      size = offsetof(ble_evt_t, evt.gattc_evt.params.read_rsp.data) + length;
      break;
    case BLE_GATTC_EVT_HVX:
      length = in.Byte();
      size = offsetof(ble_evt_t, evt.gattc_evt.params.hvx.data) + length;
      break;
    default:
      break;
  }
  size = std::max(size, header + sizeof(uint16_t));
  EventBuffer buffer(size);
  ble_evt_t* event = buffer.Event();
  // The body straight from the input, then the fields that must agree with the buffer.
  in.Fill(reinterpret_cast<uint8_t*>(event) + header, size - header);
  event->header.evt_id = id;
  event->header.evt_len = static_cast<uint16_t>(size);
  if (ownLink) event->evt.gattc_evt.conn_handle = liveHandle;  // first field of every event kind
  switch (id) {
    case BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP:
      event->evt.gattc_evt.params.prim_srvc_disc_rsp.count = count;
      break;
    case BLE_GATTC_EVT_CHAR_DISC_RSP:
      event->evt.gattc_evt.params.char_disc_rsp.count = count;
      break;
    case BLE_GATTC_EVT_READ_RSP:
      event->evt.gattc_evt.params.read_rsp.len = length;
      if (forcedId != 0 && ownLink) {  // what the waiting read looks for
        event->evt.gattc_evt.params.read_rsp.handle = readHandle;
        event->evt.gattc_evt.params.read_rsp.offset = readOffset;
      }
      break;
    case BLE_GATTC_EVT_HVX:
      event->evt.gattc_evt.params.hvx.len = length;
      break;
    case BLE_GAP_EVT_ADV_REPORT: {
      ble_data_t& data = event->evt.gap_evt.params.adv_report.data;
      const uint8_t how = in.Byte();
      data.len = (how & 0x80) != 0 ? in.Word() : static_cast<uint16_t>(how & 0x3F);
      in.Fill(g_reportData, std::min<size_t>(data.len, sizeof g_reportData));
      data.p_data = (how & 0x40) != 0 ? nullptr : g_reportData;
      break;
    }
    default:
      break;
  }
  return buffer;
}

// Through the board's event thread, which calls the backend's event callback
// with its adapter as the driver does.
void Dispatch(EventBuffer& buffer) {
  g_session.board->InjectEvent(reinterpret_cast<const uint8_t*>(buffer.Event()), buffer.Size());
  g_session.board->WaitUntilDelivered(10s);
}

// Runs one GATT call of the backend and answers each driver call it makes with
// the next event from the input, until the call returns.
template <class Operation>
void DuringGattCall(Input& in, const char* driverCall, uint16_t responseId, uint16_t liveHandle, Operation operation,
                    uint16_t readHandle = 0) {
  const size_t before = g_session.board->CallCount(driverCall);
  size_t answered = before;
  std::atomic<bool> done{false};
  std::thread caller([&] {
    try {
      operation();
    } catch (...) {
      // Failures are expected here; crashes and hangs are what is looked for.
    }
    done = true;
  });
  while (!done) {
    if (!g_session.board->WaitForCall(driverCall, answered + 1, 1ms)) continue;
    ++answered;
    // A long read asks again at each multiple of the 22 bytes one read returns.
    const auto offset = static_cast<uint16_t>(22 * (answered - before - 1));
    // Out of input: an empty discovery page ends a discovery; a read is timed out.
    const bool discovery = responseId != BLE_GATTC_EVT_READ_RSP;
    const uint16_t id = !in.Empty() || discovery ? responseId : BLE_GATTC_EVT_TIMEOUT;
    EventBuffer buffer = MakeEvent(in, id, liveHandle, readHandle, offset);
    Dispatch(buffer);
  }
  caller.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = Start();
  (void)started;
  if (!g_session.link->IsConnected() && !Connect()) return 0;
  const auto board = sim::OpenNrf52Board();
  if (board == nullptr) return 0;
  g_session.board = board;
  const uint16_t live = static_cast<uint16_t>(details::GetNativeHandle(*g_session.link));

  Input in(data, size);
  details::IBluetoothSDK& sdk = *details::GetBluetoothSDK();
  const details::DeviceConnectionHandle link = *g_session.link;
  switch (in.Byte() % 4) {
    case 0:
      while (!in.Empty()) {
        EventBuffer buffer = MakeEvent(in, 0, live);
        Dispatch(buffer);
      }
      break;
    case 1:
      DuringGattCall(in, "sd_ble_gattc_primary_services_discover", BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP, live,
                     [&] { g_sink = static_cast<uint8_t>(sdk.GetListOfServices(link).size()); });
      break;
    case 2: {
      const uint16_t start = in.Word();
      const uint16_t end = in.Word();
      DuringGattCall(in, "sd_ble_gattc_characteristics_discover", BLE_GATTC_EVT_CHAR_DISC_RSP, live,
                     [&] { g_sink = static_cast<uint8_t>(sdk.GetListOfCharacteristics(link, start, end).size()); });
      break;
    }
    default: {
      const uint16_t handle = in.Word();
      DuringGattCall(
          in, "sd_ble_gattc_read", BLE_GATTC_EVT_READ_RSP, live,
          [&] { g_sink = static_cast<uint8_t>(sdk.ReadLong(link, handle).size()); }, handle);
      break;
    }
  }
  return 0;
}

// pc-ble-driver's functions, answered by the virtual board. The adapter chain
// is built as the driver builds it; the UART's port names the scenario file.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sd_rpc.h"
#include "sim/nrf52/Nrf52Board.h"

namespace lumen::sim {

namespace {

struct PhysicalLayer {
  std::string port;
};

struct DataLinkLayer {
  physical_layer_t* physical = nullptr;
};

struct TransportLayer {
  data_link_layer_t* dataLink = nullptr;
};

struct AdapterState {
  std::string port;
  bool open = false;    // also after a failed open, as the driver counts it
  bool failed = false;  // the last open failed
  int logFilter = SD_RPC_LOG_TRACE;
  std::shared_ptr<Nrf52Board> board;                      // while open, and after close for the record
  std::chrono::milliseconds portAwayAfterSystemReset{0};  // as the options were at open
};

struct Registry {
  std::mutex mutex;
  std::condition_variable boardOpened;
  std::set<AdapterState*> adapters;
  std::vector<std::shared_ptr<Nrf52Board>> openBoards;
  // The driver never frees the handle structs; keeping them here keeps them
  // reachable rather than leaked.
  std::vector<void*> handles;
  std::set<void*> layers;
  Nrf52BoardOptions options;
  // An open takes the port, a failed one too; a close after a successful
  // open or deleting the adapter gives it back, as pc-ble-driver's UART does.
  std::map<std::string, const AdapterState*> portHolders;
  // Ports whose board re-enumerates after a system reset, until when.
  std::map<std::string, std::chrono::steady_clock::time_point> portsAway;
  // Of those, the ones away because their file vanished: back with the file.
  std::set<std::string> portsAwayWithFile;
};

void ReleasePort(Registry& registry, const AdapterState* state) {
  const auto holder = registry.portHolders.find(state->port);
  if (holder != registry.portHolders.end() && holder->second == state) registry.portHolders.erase(holder);
}

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // outlives every static destructor that may still call in
  return *registry;
}

template <typename Handle>
Handle* NewHandle(void* internal) {
  auto* handle = static_cast<Handle*>(std::malloc(sizeof(Handle)));
  if (handle == nullptr) return nullptr;
  handle->internal = internal;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.handles.push_back(handle);
  if (internal != nullptr) registry.layers.insert(internal);
  return handle;
}

AdapterState* FindAdapter(adapter_t* adapter) {
  if (adapter == nullptr || adapter->internal == nullptr) return nullptr;
  auto* state = static_cast<AdapterState*>(adapter->internal);
  return TheRegistry().adapters.count(state) != 0 ? state : nullptr;
}

std::shared_ptr<Nrf52Board> BoardOf(adapter_t* adapter) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  AdapterState* state = FindAdapter(adapter);
  return state != nullptr ? state->board : nullptr;
}

void ForgetOpenBoard(const std::shared_ptr<Nrf52Board>& board) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  std::erase(registry.openBoards, board);
}

constexpr const char* kNoDriverText =
    "this lumen build has no pc-ble-driver: the Nordic port must name a virtual board scenario file (.json); "
    "rebuild with -Dnrf-ble-driver_DIR=<pc-ble-driver 4.1 prefix>/share/nrf-ble-driver to drive a real nRF52 board";

// Calls a SoftDevice function on the adapter's open board.
uint32_t Dispatch(adapter_t* adapter, std::string_view function, std::string_view recordedAs,
                  const std::function<uint32_t(Nrf52Board&)>& body) {
  std::shared_ptr<Nrf52Board> board = BoardOf(adapter);
  if (board == nullptr) return NRF_ERROR_SD_RPC_SEND;  // nothing answers on a closed link
  return board->Call(function, recordedAs, [&] { return body(*board); });
}

uint32_t Dispatch(adapter_t* adapter, std::string_view function, const std::function<uint32_t(Nrf52Board&)>& body) {
  return Dispatch(adapter, function, function, body);
}

}  // namespace

void SetNrf52BoardOptions(const Nrf52BoardOptions& options) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.options = options;
}

Nrf52BoardOptions GetNrf52BoardOptions() {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.options;
}

void ReturnNrf52Port(const std::string& port) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.portsAway.erase(port);
  registry.portsAwayWithFile.erase(port);
}

void TakeAwayNrf52Port(const std::string& port) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.portsAway[port] = std::chrono::steady_clock::time_point::max();
}

void TakeAwayNrf52PortWithItsFile(const std::string& port) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.portsAway[port] = std::chrono::steady_clock::time_point::max();
  registry.portsAwayWithFile.insert(port);
}

std::shared_ptr<VirtualNrf52> OpenNrf52Board() {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  if (registry.openBoards.empty()) return nullptr;
  return registry.openBoards.back();
}

bool WaitForOpenNrf52Board(std::chrono::milliseconds timeout) {
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  return registry.boardOpened.wait_for(lock, timeout, [&] { return !registry.openBoards.empty(); });
}

}  // namespace lumen::sim

using lumen::sim::AdapterState;
using lumen::sim::DataLinkLayer;
using lumen::sim::Nrf52Board;
using lumen::sim::PhysicalLayer;
using lumen::sim::TheRegistry;
using lumen::sim::TransportLayer;

extern "C" {

physical_layer_t* sd_rpc_physical_layer_create_uart(const char* port_name, uint32_t, sd_rpc_flow_control_t,
                                                    sd_rpc_parity_t) {
  auto* layer = new PhysicalLayer{port_name != nullptr ? port_name : ""};
  return lumen::sim::NewHandle<physical_layer_t>(layer);
}

data_link_layer_t* sd_rpc_data_link_layer_create_bt_three_wire(physical_layer_t* physical_layer, uint32_t) {
  auto* layer = new DataLinkLayer{physical_layer};
  return lumen::sim::NewHandle<data_link_layer_t>(layer);
}

transport_layer_t* sd_rpc_transport_layer_create(data_link_layer_t* data_link_layer, uint32_t) {
  auto* layer = new TransportLayer{data_link_layer};
  return lumen::sim::NewHandle<transport_layer_t>(layer);
}

adapter_t* sd_rpc_adapter_create(transport_layer_t* transport_layer) {
  auto* state = new AdapterState();
  auto& registry = TheRegistry();
  {
    std::lock_guard lock(registry.mutex);
    // The adapter owns the layers below it from now on.
    if (transport_layer != nullptr && registry.layers.erase(transport_layer->internal) != 0) {
      auto* transport = static_cast<TransportLayer*>(transport_layer->internal);
      data_link_layer_t* dataLink = transport->dataLink;
      if (dataLink != nullptr && registry.layers.erase(dataLink->internal) != 0) {
        auto* link = static_cast<DataLinkLayer*>(dataLink->internal);
        physical_layer_t* physical = link->physical;
        if (physical != nullptr && registry.layers.erase(physical->internal) != 0) {
          auto* uart = static_cast<PhysicalLayer*>(physical->internal);
          state->port = uart->port;
          delete uart;
          physical->internal = nullptr;
        }
        delete link;
        dataLink->internal = nullptr;
      }
      delete transport;
      transport_layer->internal = nullptr;
    }
    registry.adapters.insert(state);
  }
  auto* adapter = static_cast<adapter_t*>(std::malloc(sizeof(adapter_t)));
  if (adapter == nullptr) return nullptr;
  adapter->internal = state;
  std::lock_guard lock(registry.mutex);
  registry.handles.push_back(adapter);
  return adapter;
}

uint32_t sd_rpc_close(adapter_t* adapter);

void sd_rpc_adapter_delete(adapter_t* adapter) {
  auto& registry = TheRegistry();
  std::shared_ptr<Nrf52Board> board;
  AdapterState* state = nullptr;
  {
    std::lock_guard lock(registry.mutex);
    state = lumen::sim::FindAdapter(adapter);
    if (state == nullptr) return;
    registry.adapters.erase(state);
    lumen::sim::ReleasePort(registry, state);
    board = std::move(state->board);
  }
  if (board != nullptr) {
    board->Record("sd_rpc_adapter_delete");
    board->Shutdown();  // joins, or lets go of the event thread when called on it
    lumen::sim::ForgetOpenBoard(board);
  }
  delete state;
  adapter->internal = nullptr;
}

uint32_t sd_rpc_log_handler_severity_filter_set(adapter_t* adapter, sd_rpc_log_severity_t severity_filter) {
  auto& registry = TheRegistry();
  std::shared_ptr<Nrf52Board> board;
  {
    std::lock_guard lock(registry.mutex);
    AdapterState* state = lumen::sim::FindAdapter(adapter);
    if (state == nullptr) return NRF_ERROR_SD_RPC_INVALID_ARGUMENT;
    state->logFilter = severity_filter;
    board = state->board;
  }
  if (board != nullptr) {
    board->SetLogFilter(severity_filter);
    board->Record("sd_rpc_log_handler_severity_filter_set");
  }
  return NRF_SUCCESS;
}

uint32_t sd_rpc_open(adapter_t* adapter, sd_rpc_status_handler_t status_handler, sd_rpc_evt_handler_t event_handler,
                     sd_rpc_log_handler_t log_handler) {
  auto& registry = TheRegistry();
  std::string port;
  int logFilter = SD_RPC_LOG_TRACE;
  lumen::sim::Nrf52BoardOptions options;
  std::string portProblem;
  bool portFilePresent = false;
  {
    AdapterState* state = nullptr;
    {
      std::lock_guard lock(registry.mutex);
      state = lumen::sim::FindAdapter(adapter);
      if (state == nullptr) return NRF_ERROR_SD_RPC_INVALID_ARGUMENT;
      port = state->port;
    }
    std::error_code ignored;
    portFilePresent = !port.empty() && std::filesystem::exists(port, ignored);
  }
  {
    std::lock_guard lock(registry.mutex);
    AdapterState* state = lumen::sim::FindAdapter(adapter);
    if (state == nullptr) return NRF_ERROR_SD_RPC_INVALID_ARGUMENT;
    if (state->open) return NRF_ERROR_INVALID_STATE;
    state->open = true;
    state->failed = false;
    port = state->port;
    logFilter = state->logFilter;
    options = registry.options;
    state->portAwayAfterSystemReset = options.portAwayAfterSystemReset;
    const auto holder = registry.portHolders.find(port);
    const auto away = registry.portsAway.find(port);
    if (away != registry.portsAway.end() && std::chrono::steady_clock::now() >= away->second) {
      registry.portsAway.erase(away);
    }
    if (portFilePresent && registry.portsAwayWithFile.erase(port) != 0) registry.portsAway.erase(port);
    if (holder != registry.portHolders.end() && holder->second != state) {
      portProblem =
          "\"" + port + "\" is held by another adapter (an adapter whose open failed keeps its port until deleted)";
    } else {
      registry.portHolders[port] = state;
      if (registry.portsAway.count(port) != 0) {
        portProblem = "\"" + port + "\" is not there: the board is unplugged or re-enumerating after a reset";
      }
    }
  }
  // The callbacks of the open call run on the caller's thread, with a copy of the adapter.
  adapter_t copy{adapter->internal};
  auto status = [&](sd_rpc_app_status_t code, const char* text) {
    if (status_handler == nullptr) return;
    try {
      status_handler(&copy, code, text);
    } catch (...) {
    }
  };
  auto log = [&](sd_rpc_log_severity_t severity, const std::string& text) {
    if (log_handler == nullptr || severity < logFilter) return;
    try {
      log_handler(&copy, severity, text.c_str());
    } catch (...) {
    }
  };

  if (!portProblem.empty()) {
    std::string text = "cannot open " + portProblem;
    status(IO_RESOURCES_UNAVAILABLE, text.c_str());
    log(SD_RPC_LOG_ERROR, text);
    std::lock_guard lock(registry.mutex);
    if (AdapterState* state = lumen::sim::FindAdapter(adapter)) state->failed = true;
    return NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE;
  }

  std::shared_ptr<Nrf52Board> board;
  std::string problem;
  {
    std::ifstream probe(port);
    if (port.empty() || !probe) {
      problem = "cannot open " + (port.empty() ? std::string("an empty port name") : "\"" + port + "\"");
    }
  }
  if (problem.empty()) {
    try {
      Nrf52Board::Handlers handlers{status_handler, event_handler, log_handler};
      board = std::make_shared<Nrf52Board>(lumen::sim::Scenario::FromFile(port), port, adapter->internal, handlers,
                                           options.clockMode);
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  if (board == nullptr) {
    std::string text = std::string(lumen::sim::kNoDriverText) + " (" + problem + ")";
    status(IO_RESOURCES_UNAVAILABLE, text.c_str());
    log(SD_RPC_LOG_ERROR, text);
    std::lock_guard lock(registry.mutex);
    if (AdapterState* state = lumen::sim::FindAdapter(adapter)) state->failed = true;
    return NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE;
  }

  status(RESET_PERFORMED, "Target Reset performed");
  status(CONNECTION_ACTIVE, "Connection active");
  board->SetLogFilter(logFilter);
  board->Record("sd_rpc_open");
  board->Start();
  board->QueueLog(SD_RPC_LOG_INFO, "virtual nRF52 board running scenario " + port);
  {
    std::lock_guard lock(registry.mutex);
    AdapterState* state = lumen::sim::FindAdapter(adapter);
    if (state != nullptr) state->board = board;
    registry.openBoards.push_back(board);
  }
  registry.boardOpened.notify_all();
  return NRF_SUCCESS;
}

uint32_t sd_rpc_close(adapter_t* adapter) {
  auto& registry = TheRegistry();
  std::shared_ptr<Nrf52Board> board;
  {
    std::lock_guard lock(registry.mutex);
    AdapterState* state = lumen::sim::FindAdapter(adapter);
    if (state == nullptr || !state->open) return NRF_ERROR_INVALID_STATE;
    // After a failed open the driver leaves the port as it is.
    if (state->failed) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED;
    board = state->board;
    if (board != nullptr && board->OnEventThread()) {
      board->Record("sd_rpc_close");
      return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT;
    }
    state->open = false;
    lumen::sim::ReleasePort(registry, state);
  }
  if (board != nullptr) {
    board->Record("sd_rpc_close");
    board->Shutdown();
    lumen::sim::ForgetOpenBoard(board);
    std::lock_guard lock(registry.mutex);
    AdapterState* state = lumen::sim::FindAdapter(adapter);
    if (state != nullptr && state->board == board) state->board = nullptr;
  }
  return NRF_SUCCESS;
}

uint32_t sd_rpc_conn_reset(adapter_t* adapter, sd_rpc_reset_t reset_mode) {
  std::shared_ptr<Nrf52Board> board = lumen::sim::BoardOf(adapter);
  if (board == nullptr || !board->Running()) return NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE;
  uint32_t result = board->Call("sd_rpc_conn_reset", "sd_rpc_conn_reset", [&] { return board->ConnReset(); });
  if (result != NRF_SUCCESS || reset_mode != SYS_RESET) return result;
  // The chip reboots and its USB device goes away: nothing answers on this
  // link any more, and the port is back only after re-enumerating.
  board->StopAnswering();
  // The UART's port vanishes with the USB device, as on an unplug.
  board->QueueStatus(IO_RESOURCES_UNAVAILABLE, "serial port gone: the board re-enumerates after a system reset");
  auto& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  if (const AdapterState* state = lumen::sim::FindAdapter(adapter)) {
    registry.portsAway[state->port] = std::chrono::steady_clock::now() + state->portAwayAfterSystemReset;
  }
  return result;
}

// ---------------------------------------------------------------------------
// SoftDevice calls

#define LUMEN_SD_CALL(name, ...) \
  lumen::sim::Dispatch(adapter, #name, [&](Nrf52Board& board) -> uint32_t { return board.__VA_ARGS__; })

uint32_t sd_ble_enable(adapter_t* adapter, uint32_t*) { return LUMEN_SD_CALL(sd_ble_enable, Enable()); }

uint32_t sd_ble_cfg_set(adapter_t* adapter, uint32_t cfg_id, ble_cfg_t const* p_cfg, uint32_t) {
  return LUMEN_SD_CALL(sd_ble_cfg_set, CfgSet(cfg_id, p_cfg));
}

uint32_t sd_ble_version_get(adapter_t* adapter, ble_version_t* p_version) {
  return LUMEN_SD_CALL(sd_ble_version_get, VersionGet(p_version));
}

uint32_t sd_ble_user_mem_reply(adapter_t* adapter, uint16_t conn_handle, ble_user_mem_block_t const* p_block) {
  return LUMEN_SD_CALL(sd_ble_user_mem_reply, UserMemReply(conn_handle, p_block));
}

uint32_t sd_ble_gap_scan_start(adapter_t* adapter, ble_gap_scan_params_t const* p_scan_params,
                               ble_data_t const* p_adv_report_buffer) {
  return lumen::sim::Dispatch(adapter, "sd_ble_gap_scan_start",
                              p_scan_params == nullptr ? "sd_ble_gap_scan_start(null)" : "sd_ble_gap_scan_start",
                              [&](Nrf52Board& board) { return board.ScanStart(p_scan_params, p_adv_report_buffer); });
}

uint32_t sd_ble_gap_scan_stop(adapter_t* adapter) { return LUMEN_SD_CALL(sd_ble_gap_scan_stop, ScanStop()); }

uint32_t sd_ble_gap_connect(adapter_t* adapter, ble_gap_addr_t const* p_peer_addr,
                            ble_gap_scan_params_t const* p_scan_params, ble_gap_conn_params_t const* p_conn_params,
                            uint8_t conn_cfg_tag) {
  return LUMEN_SD_CALL(sd_ble_gap_connect, Connect(p_peer_addr, p_scan_params, p_conn_params, conn_cfg_tag));
}

uint32_t sd_ble_gap_connect_cancel(adapter_t* adapter) {
  return LUMEN_SD_CALL(sd_ble_gap_connect_cancel, ConnectCancel());
}

uint32_t sd_ble_gap_disconnect(adapter_t* adapter, uint16_t conn_handle, uint8_t hci_status_code) {
  return LUMEN_SD_CALL(sd_ble_gap_disconnect, Disconnect(conn_handle, hci_status_code));
}

uint32_t sd_ble_gap_conn_param_update(adapter_t* adapter, uint16_t conn_handle,
                                      ble_gap_conn_params_t const* p_conn_params) {
  return LUMEN_SD_CALL(sd_ble_gap_conn_param_update, ConnParamUpdate(conn_handle, p_conn_params));
}

uint32_t sd_ble_gap_data_length_update(adapter_t* adapter, uint16_t conn_handle,
                                       ble_gap_data_length_params_t const* p_dl_params,
                                       ble_gap_data_length_limitation_t* p_dl_limitation) {
  return LUMEN_SD_CALL(sd_ble_gap_data_length_update, DataLengthUpdate(conn_handle, p_dl_params, p_dl_limitation));
}

uint32_t sd_ble_gap_phy_update(adapter_t* adapter, uint16_t conn_handle, ble_gap_phys_t const* p_gap_phys) {
  return LUMEN_SD_CALL(sd_ble_gap_phy_update, PhyUpdate(conn_handle, p_gap_phys));
}

uint32_t sd_ble_gap_rssi_start(adapter_t* adapter, uint16_t conn_handle, uint8_t threshold_dbm, uint8_t skip_count) {
  return LUMEN_SD_CALL(sd_ble_gap_rssi_start, RssiStart(conn_handle, threshold_dbm, skip_count));
}

uint32_t sd_ble_gap_rssi_stop(adapter_t* adapter, uint16_t conn_handle) {
  return LUMEN_SD_CALL(sd_ble_gap_rssi_stop, RssiStop(conn_handle));
}

uint32_t sd_ble_gap_tx_power_set(adapter_t* adapter, uint8_t role, uint16_t handle, int8_t tx_power) {
  return LUMEN_SD_CALL(sd_ble_gap_tx_power_set, TxPowerSet(role, handle, tx_power));
}

uint32_t sd_ble_gap_adv_set_configure(adapter_t* adapter, uint8_t* p_adv_handle, ble_gap_adv_data_t const* p_adv_data,
                                      ble_gap_adv_params_t const* p_adv_params) {
  return LUMEN_SD_CALL(sd_ble_gap_adv_set_configure, AdvSetConfigure(p_adv_handle, p_adv_data, p_adv_params));
}

uint32_t sd_ble_gap_adv_start(adapter_t* adapter, uint8_t adv_handle, uint8_t conn_cfg_tag) {
  return LUMEN_SD_CALL(sd_ble_gap_adv_start, AdvStart(adv_handle, conn_cfg_tag));
}

uint32_t sd_ble_gap_adv_stop(adapter_t* adapter, uint8_t adv_handle) {
  return LUMEN_SD_CALL(sd_ble_gap_adv_stop, AdvStop(adv_handle));
}

uint32_t sd_ble_gattc_primary_services_discover(adapter_t* adapter, uint16_t conn_handle, uint16_t start_handle,
                                                ble_uuid_t const* p_srvc_uuid) {
  return LUMEN_SD_CALL(sd_ble_gattc_primary_services_discover,
                       PrimaryServicesDiscover(conn_handle, start_handle, p_srvc_uuid));
}

uint32_t sd_ble_gattc_characteristics_discover(adapter_t* adapter, uint16_t conn_handle,
                                               ble_gattc_handle_range_t const* p_handle_range) {
  return LUMEN_SD_CALL(sd_ble_gattc_characteristics_discover, CharacteristicsDiscover(conn_handle, p_handle_range));
}

uint32_t sd_ble_gattc_read(adapter_t* adapter, uint16_t conn_handle, uint16_t handle, uint16_t offset) {
  return LUMEN_SD_CALL(sd_ble_gattc_read, Read(conn_handle, handle, offset));
}

uint32_t sd_ble_gattc_write(adapter_t* adapter, uint16_t conn_handle, ble_gattc_write_params_t const* p_write_params) {
  return LUMEN_SD_CALL(sd_ble_gattc_write, Write(conn_handle, p_write_params));
}

uint32_t sd_ble_gattc_hv_confirm(adapter_t* adapter, uint16_t conn_handle, uint16_t handle) {
  return LUMEN_SD_CALL(sd_ble_gattc_hv_confirm, HvConfirm(conn_handle, handle));
}

uint32_t sd_ble_gattc_exchange_mtu_request(adapter_t* adapter, uint16_t conn_handle, uint16_t client_rx_mtu) {
  return LUMEN_SD_CALL(sd_ble_gattc_exchange_mtu_request, ExchangeMtuRequest(conn_handle, client_rx_mtu));
}

uint32_t sd_ble_gatts_sys_attr_set(adapter_t* adapter, uint16_t conn_handle, uint8_t const* p_sys_attr_data,
                                   uint16_t len, uint32_t flags) {
  return LUMEN_SD_CALL(sd_ble_gatts_sys_attr_set, SysAttrSet(conn_handle, p_sys_attr_data, len, flags));
}

uint32_t sd_ble_gatts_exchange_mtu_reply(adapter_t* adapter, uint16_t conn_handle, uint16_t server_rx_mtu) {
  return LUMEN_SD_CALL(sd_ble_gatts_exchange_mtu_reply, ExchangeMtuReply(conn_handle, server_rx_mtu));
}

}  // extern "C"

/* The serialization library's entry points: build the transport, open and close the adapter. */
#ifndef SD_RPC_H__
#define SD_RPC_H__

#include <stdint.h>

#include "adapter.h"
#include "ble.h"
#include "platform.h"
#include "sd_rpc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

SD_RPC_API physical_layer_t* sd_rpc_physical_layer_create_uart(const char* port_name, uint32_t baud_rate,
                                                               sd_rpc_flow_control_t flow_control,
                                                               sd_rpc_parity_t parity);
SD_RPC_API data_link_layer_t* sd_rpc_data_link_layer_create_bt_three_wire(physical_layer_t* physical_layer,
                                                                          uint32_t retransmission_interval);
SD_RPC_API transport_layer_t* sd_rpc_transport_layer_create(data_link_layer_t* data_link_layer,
                                                            uint32_t response_timeout);
SD_RPC_API adapter_t* sd_rpc_adapter_create(transport_layer_t* transport_layer);
SD_RPC_API void sd_rpc_adapter_delete(adapter_t* adapter);
SD_RPC_API uint32_t sd_rpc_log_handler_severity_filter_set(adapter_t* adapter, sd_rpc_log_severity_t severity_filter);
SD_RPC_API uint32_t sd_rpc_open(adapter_t* adapter, sd_rpc_status_handler_t status_handler,
                                sd_rpc_evt_handler_t event_handler, sd_rpc_log_handler_t log_handler);
SD_RPC_API uint32_t sd_rpc_close(adapter_t* adapter);
SD_RPC_API uint32_t sd_rpc_conn_reset(adapter_t* adapter, sd_rpc_reset_t reset_mode);

#ifdef __cplusplus
}
#endif

#endif

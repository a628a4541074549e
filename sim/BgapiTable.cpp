#include "sim/BgapiTable.h"

#include <map>
#include <stdexcept>
#include <tuple>

namespace lumen::sim {

namespace {

struct Row {
  BgapiKind kind;
  uint8_t classId;
  uint8_t messageId;
  const char* name;
  const char* params;  // "name:type,…" in wire order
  size_t fixedLength;
};

// clang-format off
constexpr Row kRows[] = {
    {BgapiKind::kCommand, 0, 0, "system_reset", "boot_in_dfu:uint8", 1},
    {BgapiKind::kCommand, 0, 1, "system_hello", "", 0},
    {BgapiKind::kCommand, 0, 2, "system_address_get", "", 0},
    {BgapiKind::kCommand, 0, 3, "system_reg_write", "address:uint16,value:uint8", 3},
    {BgapiKind::kCommand, 0, 4, "system_reg_read", "address:uint16", 2},
    {BgapiKind::kCommand, 0, 5, "system_get_counters", "", 0},
    {BgapiKind::kCommand, 0, 6, "system_get_connections", "", 0},
    {BgapiKind::kCommand, 0, 7, "system_read_memory", "address:uint32,length:uint8", 5},
    {BgapiKind::kCommand, 0, 8, "system_get_info", "", 0},
    {BgapiKind::kCommand, 0, 9, "system_endpoint_tx", "endpoint:uint8,data:uint8array", 2},
    {BgapiKind::kCommand, 0, 10, "system_whitelist_append", "address:bd_addr,address_type:uint8", 7},
    {BgapiKind::kCommand, 0, 11, "system_whitelist_remove", "address:bd_addr,address_type:uint8", 7},
    {BgapiKind::kCommand, 0, 12, "system_whitelist_clear", "", 0},
    {BgapiKind::kCommand, 0, 13, "system_endpoint_rx", "endpoint:uint8,size:uint8", 2},
    {BgapiKind::kCommand, 0, 14, "system_endpoint_set_watermarks", "endpoint:uint8,rx:uint8,tx:uint8", 3},
    {BgapiKind::kCommand, 0, 15, "system_aes_setkey", "key:uint8array", 1},
    {BgapiKind::kCommand, 0, 16, "system_aes_encrypt", "data:uint8array", 1},
    {BgapiKind::kCommand, 0, 17, "system_aes_decrypt", "data:uint8array", 1},
    {BgapiKind::kCommand, 0, 18, "system_usb_enumeration_status_get", "", 0},
    {BgapiKind::kCommand, 0, 19, "system_get_bootloader_crc", "", 0},
    {BgapiKind::kCommand, 0, 20, "system_delay_reset", "dfu:uint8,delay_ms:uint16", 3},
    {BgapiKind::kCommand, 1, 0, "flash_ps_defrag", "", 0},
    {BgapiKind::kCommand, 1, 1, "flash_ps_dump", "", 0},
    {BgapiKind::kCommand, 1, 2, "flash_ps_erase_all", "", 0},
    {BgapiKind::kCommand, 1, 3, "flash_ps_save", "key:uint16,value:uint8array", 3},
    {BgapiKind::kCommand, 1, 4, "flash_ps_load", "key:uint16", 2},
    {BgapiKind::kCommand, 1, 5, "flash_ps_erase", "key:uint16", 2},
    {BgapiKind::kCommand, 1, 6, "flash_erase_page", "page:uint8", 1},
    {BgapiKind::kCommand, 1, 7, "flash_write_data", "address:uint32,data:uint8array", 5},
    {BgapiKind::kCommand, 1, 8, "flash_read_data", "address:uint32,length:uint8", 5},
    {BgapiKind::kCommand, 2, 0, "attributes_write", "handle:uint16,offset:uint8,value:uint8array", 4},
    {BgapiKind::kCommand, 2, 1, "attributes_read", "handle:uint16,offset:uint16", 4},
    {BgapiKind::kCommand, 2, 2, "attributes_read_type", "handle:uint16", 2},
    {BgapiKind::kCommand, 2, 3, "attributes_user_read_response", "connection:uint8,att_error:uint8,value:uint8array", 3},
    {BgapiKind::kCommand, 2, 4, "attributes_user_write_response", "connection:uint8,att_error:uint8", 2},
    {BgapiKind::kCommand, 2, 5, "attributes_send", "connection:uint8,handle:uint16,value:uint8array", 4},
    {BgapiKind::kCommand, 3, 0, "connection_disconnect", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 1, "connection_get_rssi", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 2, "connection_update", "connection:uint8,interval_min:uint16,interval_max:uint16,latency:uint16,timeout:uint16", 9},
    {BgapiKind::kCommand, 3, 3, "connection_version_update", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 4, "connection_channel_map_get", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 5, "connection_channel_map_set", "connection:uint8,map:uint8array", 2},
    {BgapiKind::kCommand, 3, 6, "connection_features_get", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 7, "connection_get_status", "connection:uint8", 1},
    {BgapiKind::kCommand, 3, 8, "connection_raw_tx", "connection:uint8,data:uint8array", 2},
    {BgapiKind::kCommand, 3, 9, "connection_slave_latency_disable", "disable:uint8", 1},
    {BgapiKind::kCommand, 4, 0, "attclient_find_by_type_value", "connection:uint8,start:uint16,end:uint16,uuid:uint16,value:uint8array", 8},
    {BgapiKind::kCommand, 4, 1, "attclient_read_by_group_type", "connection:uint8,start:uint16,end:uint16,uuid:uint8array", 6},
    {BgapiKind::kCommand, 4, 2, "attclient_read_by_type", "connection:uint8,start:uint16,end:uint16,uuid:uint8array", 6},
    {BgapiKind::kCommand, 4, 3, "attclient_find_information", "connection:uint8,start:uint16,end:uint16", 5},
    {BgapiKind::kCommand, 4, 4, "attclient_read_by_handle", "connection:uint8,chrhandle:uint16", 3},
    {BgapiKind::kCommand, 4, 5, "attclient_attribute_write", "connection:uint8,atthandle:uint16,data:uint8array", 4},
    {BgapiKind::kCommand, 4, 6, "attclient_write_command", "connection:uint8,atthandle:uint16,data:uint8array", 4},
    {BgapiKind::kCommand, 4, 7, "attclient_indicate_confirm", "connection:uint8", 1},
    {BgapiKind::kCommand, 4, 8, "attclient_read_long", "connection:uint8,chrhandle:uint16", 3},
    {BgapiKind::kCommand, 4, 9, "attclient_prepare_write", "connection:uint8,atthandle:uint16,offset:uint16,data:uint8array", 6},
    {BgapiKind::kCommand, 4, 10, "attclient_execute_write", "connection:uint8,commit:uint8", 2},
    {BgapiKind::kCommand, 4, 11, "attclient_read_multiple", "connection:uint8,handles:uint8array", 2},
    {BgapiKind::kCommand, 5, 0, "sm_encrypt_start", "handle:uint8,bonding:uint8", 2},
    {BgapiKind::kCommand, 5, 1, "sm_set_bondable_mode", "bondable:uint8", 1},
    {BgapiKind::kCommand, 5, 2, "sm_delete_bonding", "handle:uint8", 1},
    {BgapiKind::kCommand, 5, 3, "sm_set_parameters", "mitm:uint8,min_key_size:uint8,io_capabilities:uint8", 3},
    {BgapiKind::kCommand, 5, 4, "sm_passkey_entry", "handle:uint8,passkey:uint32", 5},
    {BgapiKind::kCommand, 5, 5, "sm_get_bonds", "", 0},
    {BgapiKind::kCommand, 5, 6, "sm_set_oob_data", "oob:uint8array", 1},
    {BgapiKind::kCommand, 5, 7, "sm_whitelist_bonds", "", 0},
    {BgapiKind::kCommand, 5, 8, "sm_set_pairing_distribution_keys", "initiator_keys:uint8,responder_keys:uint8", 2},
    {BgapiKind::kCommand, 6, 0, "gap_set_privacy_flags", "peripheral_privacy:uint8,central_privacy:uint8", 2},
    {BgapiKind::kCommand, 6, 1, "gap_set_mode", "discover:uint8,connect:uint8", 2},
    {BgapiKind::kCommand, 6, 2, "gap_discover", "mode:uint8", 1},
    {BgapiKind::kCommand, 6, 3, "gap_connect_direct", "address:bd_addr,addr_type:uint8,conn_interval_min:uint16,conn_interval_max:uint16,timeout:uint16,latency:uint16", 15},
    {BgapiKind::kCommand, 6, 4, "gap_end_procedure", "", 0},
    {BgapiKind::kCommand, 6, 5, "gap_connect_selective", "conn_interval_min:uint16,conn_interval_max:uint16,timeout:uint16,latency:uint16", 8},
    {BgapiKind::kCommand, 6, 6, "gap_set_filtering", "scan_policy:uint8,adv_policy:uint8,scan_duplicate_filtering:uint8", 3},
    {BgapiKind::kCommand, 6, 7, "gap_set_scan_parameters", "scan_interval:uint16,scan_window:uint16,active:uint8", 5},
    {BgapiKind::kCommand, 6, 8, "gap_set_adv_parameters", "adv_interval_min:uint16,adv_interval_max:uint16,adv_channels:uint8", 5},
    {BgapiKind::kCommand, 6, 9, "gap_set_adv_data", "set_scanrsp:uint8,adv_data:uint8array", 2},
    {BgapiKind::kCommand, 6, 10, "gap_set_directed_connectable_mode", "address:bd_addr,addr_type:uint8", 7},
    {BgapiKind::kCommand, 6, 11, "gap_set_initiating_con_parameters", "scan_interval:uint16,scan_window:uint16", 4},
    {BgapiKind::kCommand, 6, 12, "gap_set_nonresolvable_address", "address:bd_addr", 6},
    {BgapiKind::kCommand, 7, 0, "hardware_io_port_config_irq", "port:uint8,enable_bits:uint8,falling_edge:uint8", 3},
    {BgapiKind::kCommand, 7, 1, "hardware_set_soft_timer", "time:uint32,handle:uint8,single_shot:uint8", 6},
    {BgapiKind::kCommand, 7, 2, "hardware_adc_read", "input:uint8,decimation:uint8,reference_selection:uint8", 3},
    {BgapiKind::kCommand, 7, 3, "hardware_io_port_config_direction", "port:uint8,direction:uint8", 2},
    {BgapiKind::kCommand, 7, 4, "hardware_io_port_config_function", "port:uint8,function:uint8", 2},
    {BgapiKind::kCommand, 7, 5, "hardware_io_port_config_pull", "port:uint8,tristate_mask:uint8,pull_up:uint8", 3},
    {BgapiKind::kCommand, 7, 6, "hardware_io_port_write", "port:uint8,mask:uint8,data:uint8", 3},
    {BgapiKind::kCommand, 7, 7, "hardware_io_port_read", "port:uint8,mask:uint8", 2},
    {BgapiKind::kCommand, 7, 8, "hardware_spi_config", "channel:uint8,polarity:uint8,phase:uint8,bit_order:uint8,baud_e:uint8,baud_m:uint8", 6},
    {BgapiKind::kCommand, 7, 9, "hardware_spi_transfer", "channel:uint8,data:uint8array", 2},
    {BgapiKind::kCommand, 7, 10, "hardware_i2c_read", "address:uint8,stop:uint8,length:uint8", 3},
    {BgapiKind::kCommand, 7, 11, "hardware_i2c_write", "address:uint8,stop:uint8,data:uint8array", 3},
    {BgapiKind::kCommand, 7, 12, "hardware_set_txpower", "power:uint8", 1},
    {BgapiKind::kCommand, 7, 13, "hardware_timer_comparator", "timer:uint8,channel:uint8,mode:uint8,comparator_value:uint16", 5},
    {BgapiKind::kCommand, 7, 14, "hardware_io_port_irq_enable", "port:uint8,enable_bits:uint8", 2},
    {BgapiKind::kCommand, 7, 15, "hardware_io_port_irq_direction", "port:uint8,falling_edge:uint8", 2},
    {BgapiKind::kCommand, 7, 16, "hardware_analog_comparator_enable", "enable:uint8", 1},
    {BgapiKind::kCommand, 7, 17, "hardware_analog_comparator_read", "", 0},
    {BgapiKind::kCommand, 7, 18, "hardware_analog_comparator_config_irq", "enabled:uint8", 1},
    {BgapiKind::kCommand, 7, 19, "hardware_set_rxgain", "gain:uint8", 1},
    {BgapiKind::kCommand, 7, 20, "hardware_usb_enable", "enable:uint8", 1},
    {BgapiKind::kCommand, 7, 21, "hardware_sleep_enable", "enable:uint8", 1},
    {BgapiKind::kCommand, 7, 22, "hardware_get_timestamp", "", 0},
    {BgapiKind::kCommand, 8, 0, "test_phy_tx", "channel:uint8,length:uint8,type:uint8", 3},
    {BgapiKind::kCommand, 8, 1, "test_phy_rx", "channel:uint8", 1},
    {BgapiKind::kCommand, 8, 2, "test_phy_end", "", 0},
    {BgapiKind::kCommand, 8, 3, "test_phy_reset", "", 0},
    {BgapiKind::kCommand, 8, 4, "test_get_channel_map", "", 0},
    {BgapiKind::kCommand, 8, 5, "test_debug", "opcode:uint8,input:uint8array", 2},
    {BgapiKind::kCommand, 8, 6, "test_channel_mode", "mode:uint8", 1},
    {BgapiKind::kCommand, 9, 0, "dfu_reset", "dfu:uint8", 1},
    {BgapiKind::kCommand, 9, 1, "dfu_flash_set_address", "address:uint32", 4},
    {BgapiKind::kCommand, 9, 2, "dfu_flash_upload", "data:uint8array", 1},
    {BgapiKind::kCommand, 9, 3, "dfu_flash_upload_finish", "", 0},
    {BgapiKind::kCommand, 9, 4, "dfu_get_bootloader_crc", "", 0},
    {BgapiKind::kCommand, 9, 5, "dfu_delay_reset", "dfu:uint8,delay_ms:uint16", 3},
    {BgapiKind::kResponse, 0, 0, "system_reset", "", 0},
    {BgapiKind::kResponse, 0, 1, "system_hello", "", 0},
    {BgapiKind::kResponse, 0, 2, "system_address_get", "address:bd_addr", 6},
    {BgapiKind::kResponse, 0, 3, "system_reg_write", "result:uint16", 2},
    {BgapiKind::kResponse, 0, 4, "system_reg_read", "address:uint16,value:uint8", 3},
    {BgapiKind::kResponse, 0, 5, "system_get_counters", "txok:uint8,txretry:uint8,rxok:uint8,rxfail:uint8,mbuf:uint8", 5},
    {BgapiKind::kResponse, 0, 6, "system_get_connections", "maxconn:uint8", 1},
    {BgapiKind::kResponse, 0, 7, "system_read_memory", "address:uint32,data:uint8array", 5},
    {BgapiKind::kResponse, 0, 8, "system_get_info", "major:uint16,minor:uint16,patch:uint16,build:uint16,ll_version:uint16,protocol_version:uint8,hw:uint8", 12},
    {BgapiKind::kResponse, 0, 9, "system_endpoint_tx", "result:uint16", 2},
    {BgapiKind::kResponse, 0, 10, "system_whitelist_append", "result:uint16", 2},
    {BgapiKind::kResponse, 0, 11, "system_whitelist_remove", "result:uint16", 2},
    {BgapiKind::kResponse, 0, 12, "system_whitelist_clear", "", 0},
    {BgapiKind::kResponse, 0, 13, "system_endpoint_rx", "result:uint16,data:uint8array", 3},
    {BgapiKind::kResponse, 0, 14, "system_endpoint_set_watermarks", "result:uint16", 2},
    {BgapiKind::kResponse, 0, 15, "system_aes_setkey", "", 0},
    {BgapiKind::kResponse, 0, 16, "system_aes_encrypt", "data:uint8array", 1},
    {BgapiKind::kResponse, 0, 17, "system_aes_decrypt", "data:uint8array", 1},
    {BgapiKind::kResponse, 0, 18, "system_usb_enumeration_status_get", "result:uint16,status:uint8", 3},
    {BgapiKind::kResponse, 0, 19, "system_get_bootloader_crc", "crc:uint16", 2},
    {BgapiKind::kResponse, 0, 20, "system_delay_reset", "", 0},
    {BgapiKind::kResponse, 1, 0, "flash_ps_defrag", "", 0},
    {BgapiKind::kResponse, 1, 1, "flash_ps_dump", "", 0},
    {BgapiKind::kResponse, 1, 2, "flash_ps_erase_all", "", 0},
    {BgapiKind::kResponse, 1, 3, "flash_ps_save", "result:uint16", 2},
    {BgapiKind::kResponse, 1, 4, "flash_ps_load", "result:uint16,value:uint8array", 3},
    {BgapiKind::kResponse, 1, 5, "flash_ps_erase", "", 0},
    {BgapiKind::kResponse, 1, 6, "flash_erase_page", "result:uint16", 2},
    {BgapiKind::kResponse, 1, 7, "flash_write_data", "result:uint16", 2},
    {BgapiKind::kResponse, 1, 8, "flash_read_data", "data:uint8array", 1},
    {BgapiKind::kResponse, 2, 0, "attributes_write", "result:uint16", 2},
    {BgapiKind::kResponse, 2, 1, "attributes_read", "handle:uint16,offset:uint16,result:uint16,value:uint8array", 7},
    {BgapiKind::kResponse, 2, 2, "attributes_read_type", "handle:uint16,result:uint16,value:uint8array", 5},
    {BgapiKind::kResponse, 2, 3, "attributes_user_read_response", "", 0},
    {BgapiKind::kResponse, 2, 4, "attributes_user_write_response", "", 0},
    {BgapiKind::kResponse, 2, 5, "attributes_send", "result:uint16", 2},
    {BgapiKind::kResponse, 3, 0, "connection_disconnect", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 3, 1, "connection_get_rssi", "connection:uint8,rssi:int8", 2},
    {BgapiKind::kResponse, 3, 2, "connection_update", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 3, 3, "connection_version_update", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 3, 4, "connection_channel_map_get", "connection:uint8,map:uint8array", 2},
    {BgapiKind::kResponse, 3, 5, "connection_channel_map_set", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 3, 6, "connection_features_get", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 3, 7, "connection_get_status", "connection:uint8", 1},
    {BgapiKind::kResponse, 3, 8, "connection_raw_tx", "connection:uint8", 1},
    {BgapiKind::kResponse, 3, 9, "connection_slave_latency_disable", "result:uint16", 2},
    {BgapiKind::kResponse, 4, 0, "attclient_find_by_type_value", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 1, "attclient_read_by_group_type", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 2, "attclient_read_by_type", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 3, "attclient_find_information", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 4, "attclient_read_by_handle", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 5, "attclient_attribute_write", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 6, "attclient_write_command", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 7, "attclient_indicate_confirm", "result:uint16", 2},
    {BgapiKind::kResponse, 4, 8, "attclient_read_long", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 9, "attclient_prepare_write", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 10, "attclient_execute_write", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 4, 11, "attclient_read_multiple", "connection:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 5, 0, "sm_encrypt_start", "handle:uint8,result:uint16", 3},
    {BgapiKind::kResponse, 5, 1, "sm_set_bondable_mode", "", 0},
    {BgapiKind::kResponse, 5, 2, "sm_delete_bonding", "result:uint16", 2},
    {BgapiKind::kResponse, 5, 3, "sm_set_parameters", "", 0},
    {BgapiKind::kResponse, 5, 4, "sm_passkey_entry", "result:uint16", 2},
    {BgapiKind::kResponse, 5, 5, "sm_get_bonds", "bonds:uint8", 1},
    {BgapiKind::kResponse, 5, 6, "sm_set_oob_data", "", 0},
    {BgapiKind::kResponse, 5, 7, "sm_whitelist_bonds", "result:uint16,count:uint8", 3},
    {BgapiKind::kResponse, 5, 8, "sm_set_pairing_distribution_keys", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 0, "gap_set_privacy_flags", "", 0},
    {BgapiKind::kResponse, 6, 1, "gap_set_mode", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 2, "gap_discover", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 3, "gap_connect_direct", "result:uint16,connection_handle:uint8", 3},
    {BgapiKind::kResponse, 6, 4, "gap_end_procedure", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 5, "gap_connect_selective", "result:uint16,connection_handle:uint8", 3},
    {BgapiKind::kResponse, 6, 6, "gap_set_filtering", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 7, "gap_set_scan_parameters", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 8, "gap_set_adv_parameters", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 9, "gap_set_adv_data", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 10, "gap_set_directed_connectable_mode", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 11, "gap_set_initiating_con_parameters", "result:uint16", 2},
    {BgapiKind::kResponse, 6, 12, "gap_set_nonresolvable_address", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 0, "hardware_io_port_config_irq", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 1, "hardware_set_soft_timer", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 2, "hardware_adc_read", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 3, "hardware_io_port_config_direction", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 4, "hardware_io_port_config_function", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 5, "hardware_io_port_config_pull", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 6, "hardware_io_port_write", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 7, "hardware_io_port_read", "result:uint16,port:uint8,data:uint8", 4},
    {BgapiKind::kResponse, 7, 8, "hardware_spi_config", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 9, "hardware_spi_transfer", "result:uint16,channel:uint8,data:uint8array", 4},
    {BgapiKind::kResponse, 7, 10, "hardware_i2c_read", "result:uint16,data:uint8array", 3},
    {BgapiKind::kResponse, 7, 11, "hardware_i2c_write", "written:uint8", 1},
    {BgapiKind::kResponse, 7, 12, "hardware_set_txpower", "", 0},
    {BgapiKind::kResponse, 7, 13, "hardware_timer_comparator", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 14, "hardware_io_port_irq_enable", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 15, "hardware_io_port_irq_direction", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 16, "hardware_analog_comparator_enable", "", 0},
    {BgapiKind::kResponse, 7, 17, "hardware_analog_comparator_read", "result:uint16,output:uint8", 3},
    {BgapiKind::kResponse, 7, 18, "hardware_analog_comparator_config_irq", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 19, "hardware_set_rxgain", "", 0},
    {BgapiKind::kResponse, 7, 20, "hardware_usb_enable", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 21, "hardware_sleep_enable", "result:uint16", 2},
    {BgapiKind::kResponse, 7, 22, "hardware_get_timestamp", "value:uint32", 4},
    {BgapiKind::kResponse, 8, 0, "test_phy_tx", "", 0},
    {BgapiKind::kResponse, 8, 1, "test_phy_rx", "", 0},
    {BgapiKind::kResponse, 8, 2, "test_phy_end", "counter:uint16", 2},
    {BgapiKind::kResponse, 8, 3, "test_phy_reset", "", 0},
    {BgapiKind::kResponse, 8, 4, "test_get_channel_map", "channel_map:uint8array", 1},
    {BgapiKind::kResponse, 8, 5, "test_debug", "opcode:uint8,output:uint8array", 2},
    {BgapiKind::kResponse, 8, 6, "test_channel_mode", "", 0},
    {BgapiKind::kResponse, 9, 0, "dfu_reset", "", 0},
    {BgapiKind::kResponse, 9, 1, "dfu_flash_set_address", "result:uint16", 2},
    {BgapiKind::kResponse, 9, 2, "dfu_flash_upload", "result:uint16", 2},
    {BgapiKind::kResponse, 9, 3, "dfu_flash_upload_finish", "result:uint16", 2},
    {BgapiKind::kResponse, 9, 4, "dfu_get_bootloader_crc", "crc:uint16", 2},
    {BgapiKind::kResponse, 9, 5, "dfu_delay_reset", "", 0},
    {BgapiKind::kEvent, 0, 0, "system_boot", "major:uint16,minor:uint16,patch:uint16,build:uint16,ll_version:uint16,protocol_version:uint8,hw:uint8", 12},
    {BgapiKind::kEvent, 0, 1, "system_debug", "data:uint8array", 1},
    {BgapiKind::kEvent, 0, 2, "system_endpoint_watermark_rx", "endpoint:uint8,data:uint8", 2},
    {BgapiKind::kEvent, 0, 3, "system_endpoint_watermark_tx", "endpoint:uint8,data:uint8", 2},
    {BgapiKind::kEvent, 0, 4, "system_script_failure", "address:uint16,reason:uint16", 4},
    {BgapiKind::kEvent, 0, 5, "system_no_license_key", "", 0},
    {BgapiKind::kEvent, 0, 6, "system_protocol_error", "reason:uint16", 2},
    {BgapiKind::kEvent, 0, 7, "system_usb_enumerated", "state:uint8", 1},
    {BgapiKind::kEvent, 1, 0, "flash_ps_key", "key:uint16,value:uint8array", 3},
    {BgapiKind::kEvent, 2, 0, "attributes_value", "connection:uint8,reason:uint8,handle:uint16,offset:uint16,value:uint8array", 7},
    {BgapiKind::kEvent, 2, 1, "attributes_user_read_request", "connection:uint8,handle:uint16,offset:uint16,maxsize:uint8", 6},
    {BgapiKind::kEvent, 2, 2, "attributes_status", "handle:uint16,flags:uint8", 3},
    {BgapiKind::kEvent, 3, 0, "connection_status", "connection:uint8,flags:uint8,address:bd_addr,address_type:uint8,conn_interval:uint16,timeout:uint16,latency:uint16,bonding:uint8", 16},
    {BgapiKind::kEvent, 3, 1, "connection_version_ind", "connection:uint8,vers_nr:uint8,comp_id:uint16,sub_vers_nr:uint16", 6},
    {BgapiKind::kEvent, 3, 2, "connection_feature_ind", "connection:uint8,features:uint8array", 2},
    {BgapiKind::kEvent, 3, 3, "connection_raw_rx", "connection:uint8,data:uint8array", 2},
    {BgapiKind::kEvent, 3, 4, "connection_disconnected", "connection:uint8,reason:uint16", 3},
    {BgapiKind::kEvent, 4, 0, "attclient_indicated", "connection:uint8,attrhandle:uint16", 3},
    {BgapiKind::kEvent, 4, 1, "attclient_procedure_completed", "connection:uint8,result:uint16,chrhandle:uint16", 5},
    {BgapiKind::kEvent, 4, 2, "attclient_group_found", "connection:uint8,start:uint16,end:uint16,uuid:uint8array", 6},
    {BgapiKind::kEvent, 4, 3, "attclient_attribute_found", "connection:uint8,chrdecl:uint16,value:uint16,properties:uint8,uuid:uint8array", 7},
    {BgapiKind::kEvent, 4, 4, "attclient_find_information_found", "connection:uint8,chrhandle:uint16,uuid:uint8array", 4},
    {BgapiKind::kEvent, 4, 5, "attclient_attribute_value", "connection:uint8,atthandle:uint16,type:uint8,value:uint8array", 5},
    {BgapiKind::kEvent, 4, 6, "attclient_read_multiple_response", "connection:uint8,handles:uint8array", 2},
    {BgapiKind::kEvent, 5, 0, "sm_smp_data", "handle:uint8,packet:uint8,data:uint8array", 3},
    {BgapiKind::kEvent, 5, 1, "sm_bonding_fail", "handle:uint8,result:uint16", 3},
    {BgapiKind::kEvent, 5, 2, "sm_passkey_display", "handle:uint8,passkey:uint32", 5},
    {BgapiKind::kEvent, 5, 3, "sm_passkey_request", "handle:uint8", 1},
    {BgapiKind::kEvent, 5, 4, "sm_bond_status", "bond:uint8,keysize:uint8,mitm:uint8,keys:uint8", 4},
    {BgapiKind::kEvent, 6, 0, "gap_scan_response", "rssi:int8,packet_type:uint8,sender:bd_addr,address_type:uint8,bond:uint8,data:uint8array", 11},
    {BgapiKind::kEvent, 6, 1, "gap_mode_changed", "discover:uint8,connect:uint8", 2},
    {BgapiKind::kEvent, 7, 0, "hardware_io_port_status", "timestamp:uint32,port:uint8,irq:uint8,state:uint8", 7},
    {BgapiKind::kEvent, 7, 1, "hardware_soft_timer", "handle:uint8", 1},
    {BgapiKind::kEvent, 7, 2, "hardware_adc_result", "input:uint8,value:int16", 3},
    {BgapiKind::kEvent, 7, 3, "hardware_analog_comparator_status", "timestamp:uint32,output:uint8", 5},
    {BgapiKind::kEvent, 7, 4, "hardware_radio_error", "", 0},
    {BgapiKind::kEvent, 9, 0, "dfu_boot", "version:uint32", 4},
};
// clang-format on

BgapiType ParseType(const std::string& text) {
  static const std::map<std::string, BgapiType> kTypes = {
      {"uint8", BgapiType::kUint8},           {"int8", BgapiType::kInt8},     {"uint16", BgapiType::kUint16},
      {"int16", BgapiType::kInt16},           {"uint32", BgapiType::kUint32}, {"int32", BgapiType::kInt32},
      {"uint8array", BgapiType::kUint8Array}, {"bd_addr", BgapiType::kBdAddr}};
  auto found = kTypes.find(text);
  if (found == kTypes.end()) throw std::logic_error("unknown BGAPI parameter type " + text);
  return found->second;
}

size_t FixedSize(BgapiType type) {
  switch (type) {
    case BgapiType::kUint8:
    case BgapiType::kInt8:
    case BgapiType::kUint8Array:
      return 1;
    case BgapiType::kUint16:
    case BgapiType::kInt16:
      return 2;
    case BgapiType::kUint32:
    case BgapiType::kInt32:
      return 4;
    case BgapiType::kBdAddr:
      return 6;
  }
  return 0;
}

std::vector<BgapiMessageDef> BuildTable() {
  std::vector<BgapiMessageDef> table;
  for (const Row& row : kRows) {
    BgapiMessageDef def{row.kind, row.classId, row.messageId, row.name, {}, row.fixedLength};
    std::string params = row.params;
    size_t computed = 0;
    size_t position = 0;
    while (position < params.size()) {
      size_t comma = params.find(',', position);
      std::string item = params.substr(position, comma == std::string::npos ? std::string::npos : comma - position);
      size_t colon = item.find(':');
      BgapiParam param{item.substr(0, colon), ParseType(item.substr(colon + 1))};
      computed += FixedSize(param.type);
      def.params.push_back(std::move(param));
      position = comma == std::string::npos ? params.size() : comma + 1;
    }
    // A row whose stated length disagrees with its parameters is a typo in the table.
    if (computed != row.fixedLength) throw std::logic_error("BGAPI row " + def.name + " has an inconsistent length");
    table.push_back(std::move(def));
  }
  return table;
}

}  // namespace

std::string BgapiMessageDef::FullName() const {
  switch (kind) {
    case BgapiKind::kCommand:
      return "ble_cmd_" + name;
    case BgapiKind::kResponse:
      return "ble_rsp_" + name;
    case BgapiKind::kEvent:
      return "ble_evt_" + name;
  }
  return name;
}

int BgapiMessageDef::IndexOf(std::string_view param) const {
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].name == param) return static_cast<int>(i);
  }
  return -1;
}

const std::vector<BgapiMessageDef>& BgapiMessages() {
  static const std::vector<BgapiMessageDef> table = BuildTable();
  return table;
}

const BgapiMessageDef* FindBgapiMessage(BgapiKind kind, uint8_t classId, uint8_t messageId) {
  static const auto index = [] {
    std::map<std::tuple<BgapiKind, uint8_t, uint8_t>, const BgapiMessageDef*> byId;
    for (const BgapiMessageDef& def : BgapiMessages()) byId[{def.kind, def.classId, def.messageId}] = &def;
    return byId;
  }();
  auto found = index.find({kind, classId, messageId});
  return found == index.end() ? nullptr : found->second;
}

const BgapiMessageDef* FindBgapiMessage(BgapiKind kind, std::string_view name) {
  static const auto index = [] {
    std::map<std::pair<BgapiKind, std::string>, const BgapiMessageDef*, std::less<>> byName;
    for (const BgapiMessageDef& def : BgapiMessages()) {
      byName[{def.kind, def.name}] = &def;
      byName[{def.kind, def.FullName()}] = &def;
    }
    return byName;
  }();
  auto found = index.find(std::make_pair(kind, std::string(name)));
  return found == index.end() ? nullptr : found->second;
}

std::string BgapiFullName(BgapiKind kind, uint8_t classId, uint8_t messageId) {
  const BgapiMessageDef* def = FindBgapiMessage(kind, classId, messageId);
  return def == nullptr ? std::string() : def->FullName();
}

}  // namespace lumen::sim

#pragma once

namespace lumen::details {

// Handlers of the rows that do not simply publish their record under their
// own name. The payload has been checked against the row's record.

// Commands are never received; their rows publish "ble_default".
void BgOnCommandRow(const void* payload);
// Publishes "common_evt_disconnect" with the connection handle.
void BgOnConnectionDisconnected(const void* payload);
// Copies the value and publishes "common_evt_data_notification" from the
// message-queue thread, off the serial reader.
void BgOnAttributeValue(const void* payload);

}  // namespace lumen::details

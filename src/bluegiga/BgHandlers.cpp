#include "bluegiga/BgHandlers.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bluegiga/BgMessages.h"
#include "core/CallbacksManager.h"
#include "core/CommonDataNotificationEvent.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/MessageQueue.h"

namespace lumen::details {

void BgOnCommandRow(const void* /*payload*/) { Publish<const void*>("ble_default", nullptr); }

void BgOnConnectionDisconnected(const void* payload) {
  const auto* message = static_cast<const bglib::ble_msg_connection_disconnected_evt_t*>(payload);
  // A link the library still owns was not closed by it: the library's own
  // disconnect lets go of the link before it asks the radio.
  const std::vector<uint32_t> owned = OpenNativeHandles();
  if (std::find(owned.begin(), owned.end(), message->connection) != owned.end()) {
    Count(Health().connectionsDroppedByPeer);
  }
  Publish<unsigned int>("common_evt_disconnect", message->connection);
}

void BgOnAttributeValue(const void* payload) {
  const auto* message = static_cast<const bglib::ble_msg_attclient_attribute_value_evt_t*>(payload);
  // The payload buffer is reused for the next frame and the record crosses
  // threads, so it is copied.
  auto event = std::make_shared<CommonDataNotificationEvent_t>();
  event->connection = message->connection;
  event->attHandle = message->atthandle;
  event->data.assign(message->value.data(), message->value.data() + message->value.len);

  std::shared_ptr<MessageQueue> queue;
  try {
    queue = GetMessageQueue();
  } catch (const std::runtime_error& e) {
    // No queue means the library is shutting down or not initialised; the
    // serial reader must keep reading, so only this value is lost.
    Log(kError, "lumen::details::BgOnAttributeValue dropped value of connection", event->connection, "handle",
        event->attHandle, ":", e.what());
    return;
  }
  queue->Post([event] { Publish<const CommonDataNotificationEvent_t*>("common_evt_data_notification", event.get()); });
}

}  // namespace lumen::details

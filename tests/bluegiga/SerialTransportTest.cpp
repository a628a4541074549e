// The serial transport and blocking command layer over a real pseudo-terminal,
// with the test playing the radio byte by byte.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "PtyPeer.h"
#include "bluegiga/BGCalls.h"
#include "bluegiga/BgApi.h"
#include "bluegiga/SerialThread.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "core/MessageQueue.h"
#include "lumen/BGLibError.h"
#include "lumen/Lumen.h"
#include "support/Guard.h"
#include "support/LogCapture.h"

namespace lumen::details {
namespace {

using testing::LogCapture;
using testing::PtyPeer;
using Bytes = std::vector<uint8_t>;

std::atomic<int> g_hardwareFailures{0};
void CountHardwareFailure() { ++g_hardwareFailures; }

class SerialTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hardwareFailures = 0;
    Set_HardwareFailureCallback(&CountHardwareFailure);
    SetMessageQueue(std::make_shared<MessageQueue>());
    BGCalls::SetTimeouts(1000, 1000);
    m_serial = std::make_shared<SerialThread>();
    SerialThread::SetInstance(m_serial);
    ASSERT_TRUE(m_serial->OpenDevice(m_peer.Path(), 0));
  }

  void TearDown() override {
    SerialThread::SetInstance(nullptr);
    m_serial.reset();
    SetMessageQueue(nullptr);
    Set_HardwareFailureCallback(nullptr);
    BGCalls::SetTimeouts(3000, 3000);
  }

  // Subscribes for the test's lifetime; the promise is kept by the first delivery.
  template <class Payload>
  std::future<Payload> Expect(const char* name) {
    auto promise = std::make_shared<std::promise<Payload>>();
    auto fired = std::make_shared<std::atomic<bool>>(false);
    int id = 0;
    Subscribe<Payload>(
        name,
        [promise, fired](Payload payload) {
          if (!fired->exchange(true)) {
            promise->set_value(payload);
          }
        },
        &id);
    m_subscriptions.push_back(id);
    return promise->get_future();
  }

  ~SerialTransportTest() override {
    for (const int id : m_subscriptions) {
      Unsubscribe(id);
    }
  }

  LogCapture m_log;
  PtyPeer m_peer;
  std::shared_ptr<SerialThread> m_serial;
  std::vector<int> m_subscriptions;
};

using testing::kGuard;

TEST_F(SerialTransportTest, HelloRoundTripUsesAnEmptyResponse) {
  auto hello = std::async(std::launch::async, [] { return BGCalls::Hello(); });
  EXPECT_EQ(m_peer.ReadFrame(), (Bytes{0x00, 0x00, 0x00, 0x01}));
  m_peer.Write({0x00, 0x00, 0x00, 0x01});
  EXPECT_TRUE(hello.get());
}

TEST_F(SerialTransportTest, ZeroLengthEventIsDeliveredWithNullPayload) {
  auto radioError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  ASSERT_EQ(radioError.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(radioError.get(), nullptr);
}

TEST_F(SerialTransportTest, GarbageHeaderIsPurgedAndTheNextFrameIsRead) {
  m_peer.Write({0x00, 0x00, 0x0A, 0x00});  // class 10 does not exist
  ASSERT_TRUE(
      m_log.WaitForContaining(Logger::ERROR, "Failed to recognize message header, flush input and requeue read"));
  EXPECT_EQ(m_log.CountContaining(Logger::ERROR, "Failed to recognize message header"), 1U);

  auto radioError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  EXPECT_EQ(radioError.wait_for(kGuard), std::future_status::ready);
}

TEST_F(SerialTransportTest, ResponseOnePastTheLastSystemCommandIsUnknown) {
  m_peer.Write({0x00, 0x00, 0x00, 21});
  EXPECT_TRUE(m_log.WaitForContaining(Logger::ERROR, "Failed to recognize message header"));
}

TEST_F(SerialTransportTest, PayloadLengthUsesAllElevenHeaderBits) {
  // A scan response with 255 data bytes: payload 266 (0x10A), so byte 0
  // carries a high length bit.
  Bytes frame{0x81, 0x0A, 0x06, 0x00, 0xC4, 0x00, 1, 2, 3, 4, 5, 6, 0x00, 0xFF, 255};
  for (int i = 0; i < 255; ++i) {
    frame.push_back(static_cast<uint8_t>(i));
  }
  int id = 0;
  std::promise<Bytes> data;
  Subscribe<const bglib::ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      [&data](const bglib::ble_msg_gap_scan_response_evt_t* event) {
        data.set_value(Bytes(event->data.data(), event->data.data() + event->data.len));
      },
      &id);
  m_subscriptions.push_back(id);
  m_peer.Write(frame);
  auto received = data.get_future();
  ASSERT_EQ(received.wait_for(kGuard), std::future_status::ready);
  const Bytes bytes = received.get();
  ASSERT_EQ(bytes.size(), 255U);
  EXPECT_EQ(bytes.back(), 254);

  // The stream is still in step: the next frame is read as a frame.
  auto radioError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  EXPECT_EQ(radioError.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(m_log.CountContaining(Logger::ERROR, "Failed to recognize message header"), 0U);
}

TEST_F(SerialTransportTest, AnswerBehindGarbageInTheSameWriteIsDelivered) {
  // A line glitch and the radio's answer arriving together: the answer must
  // not be purged with the glitch, or a healthy radio looks dead.
  for (int i = 0; i < 20; ++i) {
    auto power = std::async(std::launch::async, [] { BGCalls::SetTxPower(10); });
    EXPECT_EQ(m_peer.ReadFrame(), (Bytes{0x00, 0x01, 0x07, 0x0C, 10}));
    m_peer.Write({0xDE, 0xAD, 0xBE, 0xEF, 0x42, 0x00, 0x00, 0x07, 0x0C});
    EXPECT_NO_THROW(power.get()) << "round " << i;
  }
  EXPECT_EQ(g_hardwareFailures.load(), 0);
  EXPECT_TRUE(m_log.WaitForContaining(Logger::WARNING, "resynchronised on a message header after dropping 5 bytes"));
}

TEST_F(SerialTransportTest, ArrayCommandIsWrittenAsHeaderThenTail) {
  DeviceConnectionHandle handle;
  handle.Connect(7);
  auto write = std::async(std::launch::async, [&handle] {
    BGCalls::WriteCommand(handle, 0x0025, Bytes{0xAA, 0xBB, 0xCC});
  });
  EXPECT_EQ(m_peer.ReadFrame(), (Bytes{0x00, 0x07, 0x04, 0x06, 7, 0x25, 0x00, 3, 0xAA, 0xBB, 0xCC}));
  m_peer.Write({0x00, 0x03, 0x04, 0x06, 7, 0x00, 0x00});
  write.get();
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, ">>> Header:"));
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, ">>> Data:"));
  RemoveConnection(handle);
}

TEST_F(SerialTransportTest, ResetFromAnotherThreadNeverSplitsACommand) {
  // Resets go out without the send lock; a reset's bytes between a write's
  // header and its data would cost the radio its frame sync.
  DeviceConnectionHandle handle;
  handle.Connect(7);
  const Bytes value(20, 0xAB);
  constexpr int kWrites = 1000;
  std::atomic<bool> writing{true};
  std::atomic<int> writesStarted{0};
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < kWrites; ++i) {
      ++writesStarted;
      BGCalls::WriteCommand(handle, 0x0025, value);
    }
    writing = false;
  });
  // One reset per write, racing with the write's send.
  auto resetter = std::async(std::launch::async, [&] {
    int resets = 0;
    int lastWrite = 0;
    while (writing.load()) {
      if (const int started = writesStarted.load(); started != lastWrite) {
        lastWrite = started;
        BGCalls::Reset(0, false);
        ++resets;
      } else {
        std::this_thread::yield();
      }
    }
    return resets;
  });

  Bytes expectedWrite{0x00, 0x18, 0x04, 0x06, 7, 0x25, 0x00, 20};
  expectedWrite.insert(expectedWrite.end(), value.begin(), value.end());
  const Bytes reset{0x00, 0x01, 0x00, 0x00, 0x00};
  int writes = 0;
  int resetsSeen = 0;
  while (writes < kWrites) {
    const Bytes frame = m_peer.ReadFrame();
    if (frame == reset) {
      ++resetsSeen;
      continue;
    }
    ASSERT_EQ(frame, expectedWrite) << "after " << writes << " writes and " << resetsSeen << " resets";
    ++writes;
    m_peer.Write({0x00, 0x03, 0x04, 0x06, 7, 0x00, 0x00});
  }
  writer.get();
  const int resetsSent = resetter.get();
  while (resetsSeen < resetsSent) {
    ASSERT_EQ(m_peer.ReadFrame(), reset);
    ++resetsSeen;
  }
  RemoveConnection(handle);
}

TEST_F(SerialTransportTest, LateTeardownOfAnOldTransportLeavesTheNextRadioWorking) {
  // A firmware-upload call still holds the old transport while the
  // application has already opened the next radio.
  std::shared_ptr<SerialThread> old = m_serial;
  SerialThread::ClearInstance(m_serial.get());
  PtyPeer nextPeer;
  m_serial = std::make_shared<SerialThread>();
  SerialThread::SetInstance(m_serial);
  ASSERT_TRUE(m_serial->OpenDevice(nextPeer.Path(), 0));

  SerialThread::ClearInstance(old.get());  // the old provider's destructor, late
  old.reset();                             // and the old transport's

  ASSERT_EQ(SerialThread::InstanceOrNull(), m_serial);
  auto hello = std::async(std::launch::async, [] { return BGCalls::Hello(); });
  EXPECT_EQ(nextPeer.ReadFrame(), (Bytes{0x00, 0x00, 0x00, 0x01}));
  nextPeer.Write({0x00, 0x00, 0x00, 0x01});
  EXPECT_TRUE(hello.get());
  SerialThread::SetInstance(nullptr);
  m_serial.reset();
}

TEST_F(SerialTransportTest, LinkLostRightAfterConnectingLeavesNoStaleBinding) {
  // The answer, the connection status and the link dropping arrive back to
  // back: the disconnect must find the binding, or the next connect that is
  // given the same connection number fails after the radio has connected.
  const Address phone(std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}, Address::Random);
  for (int round = 0; round < 20; ++round) {
    DeviceConnectionHandle h;
    auto dropped = Expect<unsigned int>("common_evt_disconnect");  // runs after the connection table's handler
    auto connect = std::async(std::launch::async, [&] { BGCalls::ConnectDirect(h, phone, 60, 76, 100, 0); });
    const Bytes command = m_peer.ReadFrame();
    ASSERT_EQ(Bytes(command.begin(), command.begin() + 4), (Bytes{0x00, 0x0F, 0x06, 0x03}));
    m_peer.Write({0x00, 0x03, 0x06, 0x03, 0x00, 0x00, 2,  // connecting, number 2
                  0x80, 0x10, 0x03, 0x00, 2,    0x05, 1,   2, 3, 4, 5, 6, 1, 6, 0, 100, 0, 0, 0, 0xFF,  // connected
                  0x80, 0x03, 0x03, 0x04, 2,    0x08, 0x02});  // supervision time-out
    // The call may end before or after the drop is read; either way the
    // binding must not outlive the link.
    try {
      connect.get();
    } catch (const BGLibError& e) {
      EXPECT_EQ(e.code(), kErrorUnexpectedDisconnect) << "round " << round << ": " << e.what();
    }
    ASSERT_EQ(dropped.wait_for(kGuard), std::future_status::ready);
    EXPECT_FALSE(h.IsConnected()) << "round " << round;
  }
}

TEST_F(SerialTransportTest, ConnectWhoseNumberIsStillBoundDisconnectsTheLinkItCannotOwn) {
  DeviceConnectionHandle stale;
  stale.Connect(2);  // a binding the library still holds for number 2
  const Address phone(std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}, Address::Random);
  DeviceConnectionHandle h;
  auto connect = std::async(std::launch::async, [&] { BGCalls::ConnectDirect(h, phone, 60, 76, 100, 0); });
  m_peer.ReadFrame();
  m_peer.Write({0x00, 0x03, 0x06, 0x03, 0x00, 0x00, 2,  //
                0x80, 0x10, 0x03, 0x00, 2,    0x05, 1, 2, 3, 4, 5, 6, 1, 6, 0, 100, 0, 0, 0, 0xFF});
  EXPECT_EQ(m_peer.ReadFrame(), (Bytes{0x00, 0x01, 0x03, 0x00, 2}));  // the orphan link is closed
  m_peer.Write({0x00, 0x03, 0x03, 0x00, 2, 0x00, 0x00, 0x80, 0x03, 0x03, 0x04, 2, 0x16, 0x00});
  EXPECT_THROW(connect.get(), BGLibError);
  EXPECT_FALSE(h.IsConnected());
  RemoveConnection(stale);
}

TEST_F(SerialTransportTest, SilentRadioCallsHardwareFailureAndThrowsNoResponse) {
  BGCalls::SetTimeouts(200, 200);
  try {
    BGCalls::SetMode(4, 3);
    FAIL() << "expected a no-response error";
  } catch (const BGLibError& e) {
    EXPECT_EQ(e.code(), kErrorGeneral);
    EXPECT_NE(std::string(e.what()).find("ble_cmd_gap_set_mode - no response"), std::string::npos);
  }
  EXPECT_EQ(g_hardwareFailures.load(), 1);
}

TEST_F(SerialTransportTest, TerminalClosingMidCommandEndsTheWaitAndRaisesGlobalReset) {
  BGCalls::SetTimeouts(60000, 60000);
  auto info = std::async(std::launch::async, [] { return BGCalls::GetInfo(); });
  EXPECT_EQ(m_peer.ReadFrame(), (Bytes{0x00, 0x00, 0x00, 0x08}));
  m_peer.Close();
  // Without the reset the wait would last a minute; the guard is far shorter.
  ASSERT_EQ(info.wait_for(kGuard), std::future_status::ready);
  EXPECT_THROW(info.get(), BGLibError);
  EXPECT_TRUE(Event::IsGlobalReset());
  EXPECT_TRUE(m_log.WaitForContaining(Logger::INFO, "Serial port closed"));
  EXPECT_FALSE(m_serial->IsOpen());
}

TEST_F(SerialTransportTest, TruncatedRecordIsDroppedAndReadingGoesOn) {
  // Handlers run on the reader in arrival order, so the counts are final once
  // a later frame is delivered.
  std::atomic<int> statuses{0};
  int id = 0;
  Subscribe<const bglib::ble_msg_connection_status_evt_t*>(
      "ble_evt_connection_status", [&statuses](const bglib::ble_msg_connection_status_evt_t*) { ++statuses; }, &id);
  m_subscriptions.push_back(id);

  // A connection-status event announcing 3 of its 16 payload bytes.
  m_peer.Write({0x80, 0x03, 0x03, 0x00, 1, 2, 3});
  auto radioError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  ASSERT_EQ(radioError.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(statuses.load(), 0) << "the truncated record reached a subscriber";

  // The same event whole is delivered: the count above could have seen it.
  auto nextError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x10, 0x03, 0x00, 0, 5, 1, 2, 3, 4, 5, 6, 0, 0x27, 0, 0x64, 0, 0, 0, 0xFF});
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  ASSERT_EQ(nextError.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(statuses.load(), 1);
}

TEST_F(SerialTransportTest, NotificationWithoutQueueIsDroppedAndReadingGoesOn) {
  std::atomic<int> values{0};
  std::promise<std::vector<uint8_t>> delivered;
  int id = 0;
  Subscribe<const CommonDataNotificationEvent_t*>(
      "common_evt_data_notification",
      [&values, &delivered](const CommonDataNotificationEvent_t* event) {
        if (++values == 1) delivered.set_value(event->data);
      },
      &id);
  m_subscriptions.push_back(id);

  SetMessageQueue(nullptr);
  m_peer.Write({0x80, 0x06, 0x04, 0x05, 1, 0x10, 0x00, 1, 1, 0x41});
  auto radioError = Expect<const void*>("ble_evt_hardware_radio_error");
  m_peer.Write({0x80, 0x00, 0x07, 0x04});
  ASSERT_EQ(radioError.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(values.load(), 0) << "the value without a queue reached a subscriber";
  EXPECT_EQ(m_log.CountContaining(Logger::ERROR, "dropped value of connection 1 handle 16"), 1U);

  // With a queue again the next value is delivered, and only it.
  SetMessageQueue(std::make_shared<MessageQueue>());
  m_peer.Write({0x80, 0x06, 0x04, 0x05, 1, 0x10, 0x00, 1, 1, 0x42});
  auto value = delivered.get_future();
  ASSERT_EQ(value.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(value.get(), (std::vector<uint8_t>{0x42}));
  EXPECT_EQ(values.load(), 1);
}

TEST_F(SerialTransportTest, CloseRunsOnceAndTheReaderEnds) {
  m_serial->Close();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::ERROR, "serial port got operation_aborted."));
  EXPECT_EQ(m_log.CountContaining(Logger::INFO, "Serial port cancelled"), 1U);
  EXPECT_EQ(m_log.CountContaining(Logger::INFO, "Serial port closed"), 1U);
  SerialThread::SetInstance(nullptr);
  m_serial.reset();  // joins at once: the reader has no work left
  EXPECT_EQ(m_log.CountContaining(Logger::INFO, "Serial port cancelled"), 1U);
}

}  // namespace
}  // namespace lumen::details

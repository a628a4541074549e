// The platform layer's serial calls on a real Windows COM port. Wine maps the
// port to the terminal of a virtual BLED112 running on the Linux side, which
// answers BGAPI commands like the dongle does.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialAvailable.h"
#include "platform/SerialPurge.h"
#include "support/RemoteBled112.h"

namespace lumen::details {
namespace {

using lumen::testing::RemoteBled112;
using Bytes = std::vector<uint8_t>;

const Bytes kHello = {0x00, 0x00, 0x00, 0x01};          // system_hello
const Bytes kHelloResponse = {0x00, 0x00, 0x00, 0x01};  // its response, no parameters

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class WindowsSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string port = Variable("LUMEN_TEST_SERIAL_PORT");
    const std::string control = Variable("LUMEN_TEST_SIM_CONTROL");
    ASSERT_FALSE(port.empty() || control.empty())
        << "LUMEN_TEST_SERIAL_PORT and LUMEN_TEST_SIM_CONTROL are unset: run the suite under "
           "scripts/with-virtual-bled112.sh";
    m_radio = std::make_unique<RemoteBled112>(control);
    m_radio->Load(R"({"radio": {"variant": "dongle"}, "peripherals": []})");
    m_port.open(port);
  }

  void TearDown() override {
    boost::system::error_code ignored;
    m_port.close(ignored);
  }

  NativeSerialHandle Handle() { return m_port.native_handle(); }

  void Send(const Bytes& bytes) { boost::asio::write(m_port, boost::asio::buffer(bytes)); }

  // Until the driver holds `count` bytes: the radio has sent them, they may
  // still be on their way through Wine. The deadline only ends a hang.
  size_t WaitForInput(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t available = SerialBytesAvailable(Handle());
    while (available < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
      available = SerialBytesAvailable(Handle());
    }
    return available;
  }

  boost::asio::io_context m_io;
  boost::asio::serial_port m_port{m_io};
  std::unique_ptr<RemoteBled112> m_radio;
};

TEST_F(WindowsSerialPortTest, PurgeDiscardsUnreadInputAndThePortStaysUsable) {
  Send(kHello);
  ASSERT_TRUE(m_radio->WaitForSent("system_hello", std::chrono::seconds(10)));
  Send(kHello);
  ASSERT_TRUE(m_radio->WaitForSent("system_hello", std::chrono::seconds(10), 2));
  EXPECT_EQ(WaitForInput(2 * kHelloResponse.size()), 2 * kHelloResponse.size());

  EXPECT_TRUE(PurgeReceiveBuffer(Handle()));
  EXPECT_EQ(SerialBytesAvailable(Handle()), 0u);

  // Only what arrives after the purge is read.
  Send(kHello);
  ASSERT_TRUE(m_radio->WaitForSent("system_hello", std::chrono::seconds(10), 3));
  Bytes got(kHelloResponse.size());
  boost::asio::read(m_port, boost::asio::buffer(got));
  EXPECT_EQ(got, kHelloResponse);
  EXPECT_EQ(SerialBytesAvailable(Handle()), 0u);
}

TEST_F(WindowsSerialPortTest, GarbageFromTheRadioIsCountedThenPurged) {
  m_radio->SendGarbage({0x55, 0xaa, 0x55, 0xaa, 0x01});
  EXPECT_EQ(WaitForInput(5), 5u);
  EXPECT_TRUE(PurgeReceiveBuffer(Handle()));
  EXPECT_EQ(SerialBytesAvailable(Handle()), 0u);
}

TEST(WindowsSerialHandleTest, InvalidHandlesAreRefusedNotFatal) {
  EXPECT_FALSE(PurgeReceiveBuffer(nullptr));
  EXPECT_EQ(SerialBytesAvailable(nullptr), 0u);
}

}  // namespace
}  // namespace lumen::details

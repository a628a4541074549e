// lumen-sim's control channel itself: what a harness or a test program in
// another process relies on when it talks to the radio.
#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "serial/SerialEnvironment.h"
#include "serial/SerialTest.h"

namespace lumen::testing {
namespace {

using Json = nlohmann::json;
using ControlChannelTest = SerialTest;

Json Reply(RemoteBled112& radio, const std::string& line) { return Json::parse(radio.Exchange(line)); }

TEST_F(ControlChannelTest, BadRequestsGetErrorRepliesAndTheChannelGoesOn) {
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"this is not json", "not a JSON request"},
      {"[1, 2]", "a request is a JSON object"},
      {R"({"no_cmd": 1})", "\"cmd\" is missing"},
      {R"({"cmd": "no_such_command"})", "unknown command \"no_such_command\""},
      {R"({"cmd": "fail_next_command", "result": 385})", "\"name\" is missing"},
      {R"({"cmd": "fail_next_command", "name": "hello", "result": 70000})", "\"result\" must be within 0..65535"},
      {R"({"cmd": "send_garbage", "bytes": "abc"})", "\"bytes\""},
      {R"({"cmd": "load", "scenario": {"radio": {"variant": "usb-stick"}}})", "$.radio.variant"},
      {R"({"cmd": "load", "scenario_file": "/no/such/scenario.json"})", "cannot open scenario file"},
  };
  for (const auto& [line, error] : requests) {
    SCOPED_TRACE(line);
    const Json reply = Reply(*m_radio, line);
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_NE(reply.value("error", "").find(error), std::string::npos) << reply.dump();
  }
  const Json ping = Reply(*m_radio, R"({"cmd": "ping", "id": 42})");
  EXPECT_EQ(ping.at("ok"), true);
  EXPECT_EQ(ping.at("id"), 42) << "replies carry the request's id";
  EXPECT_EQ(ping.at("version"), 1);
}

TEST_F(ControlChannelTest, RefusedLoadLeavesTheRadioAsItWas) {
  Open(PhonesScenario());
  BluegigaCommands::SetTXPower(6);
  EXPECT_THROW(m_radio->Load(R"({"peripherals": [{"adv_interval_ms": 1}]})"), RemoteError);
  EXPECT_EQ(m_radio->Generation(), 1u);
  EXPECT_EQ(m_radio->State().at("tx_power"), 6) << "the same radio";
  BluegigaCommands::SetTXPower(8);
  EXPECT_EQ(m_radio->State().at("tx_power"), 8) << "the library still talks to it";
}

TEST_F(ControlChannelTest, WaitForACommandNeverSentEndsEmptyAfterItsTimeOut) {
  Open(PhonesScenario(), BLED112Dongle, true);
  EXPECT_FALSE(m_radio->WaitForCommand("system_reset", std::chrono::milliseconds(200)));
  EXPECT_FALSE(m_radio->WaitForCommand("system_hello", std::chrono::milliseconds(200), 2));
  const auto hello = m_radio->WaitForCommand("ble_cmd_system_hello", std::chrono::milliseconds(200));
  ASSERT_TRUE(hello) << "the full name works as well";
  EXPECT_EQ(hello->direction, "to_radio");
  EXPECT_EQ(hello->bytes, (Bytes{0x00, 0x00, 0x00, 0x01}));
}

TEST_F(ControlChannelTest, ClientThatLeavesDuringAWaitHoldsUpNeitherOthersNorALoad) {
  Open(PhonesScenario());
  {
    RemoteBled112 leaving(SerialEnvironment::Instance().ControlAddress());
    // The client gives up long before the radio would: its connection goes while the wait runs on.
    EXPECT_THROW(leaving.Exchange(R"({"cmd": "wait_command", "name": "system_reset", "timeout_ms": 600000})",
                                  std::chrono::milliseconds(200)),
                 RemoteError);
  }
  RemoteBled112 other(SerialEnvironment::Instance().ControlAddress());
  EXPECT_EQ(other.Call({{"cmd", "ping"}}).at("version"), 1);
  Close();
  // A load must not wait ten minutes for the abandoned wait (the reply time-out would end it first).
  m_radio->Load(PhonesScenario());
  ASSERT_TRUE(InitializeOnPort());
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "1.8.0.149");
}

TEST_F(ControlChannelTest, FramesAreReportedDecoded) {
  Open(PhonesScenario());
  BluegigaCommands::SetTXPower(5);
  const auto frames = m_radio->Frames();
  const auto command = std::find_if(frames.begin(), frames.end(), [](const RemoteFrame& frame) {
    return frame.name == "ble_cmd_hardware_set_txpower";
  });
  ASSERT_NE(command, frames.end());
  EXPECT_EQ(command->Int("power"), 5);
  EXPECT_EQ(command->bytes, (Bytes{0x00, 0x01, 0x07, 0x0c, 0x05}));
  ASSERT_NE(std::next(command), frames.end());
  EXPECT_EQ(std::next(command)->name, "ble_rsp_hardware_set_txpower");
  EXPECT_EQ(std::next(command)->direction, "from_radio");
  EXPECT_EQ(m_radio->ReceivedCommands().size() + m_radio->SentFrames().size(), frames.size());
}

}  // namespace
}  // namespace lumen::testing

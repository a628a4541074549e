#include "support/RemoteBled112.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

namespace lumen::testing {

namespace {

using Json = nlohmann::json;
namespace asio = boost::asio;

constexpr std::chrono::milliseconds kConnectTimeout{10000};
// A wait's reply comes once the radio's wait ends; allow for the trip on a loaded machine.
constexpr std::chrono::milliseconds kWaitMargin{30000};

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

std::vector<uint8_t> FromHex(const std::string& text) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw RemoteError("not hex: " + text);
  };
  if (text.size() % 2 != 0) throw RemoteError("odd hex digit count: " + text);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
  }
  return bytes;
}

RemoteFrame FrameFrom(const Json& json) {
  RemoteFrame frame;
  frame.direction = json.value("direction", "");
  frame.timeUs = json.value("time_us", int64_t{0});
  frame.name = json.value("name", "");
  frame.bytes = FromHex(json.value("bytes", ""));
  frame.fields = json.value("fields", Json::object());
  return frame;
}

std::vector<RemoteFrame> FramesFrom(const Json& reply) {
  std::vector<RemoteFrame> frames;
  for (const Json& frame : reply.at("frames")) frames.push_back(FrameFrom(frame));
  return frames;
}

}  // namespace

int64_t RemoteFrame::Int(const std::string& field) const {
  if (!fields.contains(field) || !fields.at(field).is_number_integer()) {
    throw RemoteError(name + " has no integer field " + field);
  }
  return fields.at(field).get<int64_t>();
}

std::vector<uint8_t> RemoteFrame::Array(const std::string& field) const {
  if (!fields.contains(field) || !fields.at(field).is_string()) throw RemoteError(name + " has no field " + field);
  return FromHex(fields.at(field).get<std::string>());
}

struct RemoteBled112::Connection {
  asio::io_context io;
  asio::ip::tcp::socket socket{io};
  std::string input;  // what has been read past the last reply
  bool broken = false;

  // Runs the operations started until `done` or the time-out; a time-out
  // closes the socket, which ends them.
  void Run(const bool& done, std::chrono::milliseconds timeout, const std::string& what) {
    io.restart();
    io.run_for(timeout);
    if (done) return;
    Break();
    throw RemoteError(what + ": no answer from lumen-sim within " + std::to_string(timeout.count()) + " ms");
  }

  void Break() {
    broken = true;
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();  // the aborted operations complete
  }
};

RemoteBled112::RemoteBled112(const std::string& address) : m_connection(std::make_unique<Connection>()) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) throw RemoteError("control address must be HOST:PORT, not \"" + address + "\"");
  boost::system::error_code error;
  const auto host = asio::ip::make_address(address.substr(0, colon), error);
  unsigned long port = 0;
  try {
    port = std::stoul(address.substr(colon + 1));
  } catch (const std::exception&) {
    port = 0;
  }
  if (error || port == 0 || port > 65535)
    throw RemoteError("control address must be HOST:PORT, not \"" + address + "\"");
  const asio::ip::tcp::endpoint endpoint(host, static_cast<unsigned short>(port));

  Connection& c = *m_connection;
  bool done = false;
  boost::system::error_code result;
  c.socket.async_connect(endpoint, [&](const boost::system::error_code& e) {
    result = e;
    done = true;
  });
  c.Run(done, kConnectTimeout, "connecting to " + address);
  if (result) {
    c.Break();
    throw RemoteError("cannot reach lumen-sim's control channel at " + address + ": " + result.message());
  }
  c.socket.set_option(asio::ip::tcp::no_delay(true), error);
}

RemoteBled112::~RemoteBled112() {
  if (!m_connection->broken) {
    boost::system::error_code ignored;
    m_connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_connection->socket.close(ignored);
  }
}

std::string RemoteBled112::Exchange(const std::string& line, std::chrono::milliseconds timeout) {
  Connection& c = *m_connection;
  if (c.broken) throw RemoteError("the control connection to lumen-sim is closed");
  const std::string request = line + "\n";
  boost::system::error_code writeError;
  boost::system::error_code readError;
  bool written = false;
  bool read = false;
  bool done = false;
  size_t length = 0;
  asio::async_write(c.socket, asio::buffer(request), [&](const boost::system::error_code& e, size_t) {
    writeError = e;
    written = true;
    done = read;
  });
  asio::async_read_until(c.socket, asio::dynamic_buffer(c.input), '\n',
                         [&](const boost::system::error_code& e, size_t n) {
                           readError = e;
                           length = n;
                           read = true;
                           done = written;
                         });
  c.Run(done, timeout, "request " + line.substr(0, 200));
  if (writeError || readError) {
    c.Break();
    throw RemoteError("control connection to lumen-sim failed: " + (writeError ? writeError : readError).message());
  }
  std::string reply = c.input.substr(0, length - 1);
  c.input.erase(0, length);
  return reply;
}

Json RemoteBled112::Call(const Json& request, std::chrono::milliseconds timeout) {
  const std::string line = request.dump();
  Json reply;
  try {
    reply = Json::parse(Exchange(line, timeout));
  } catch (const Json::parse_error& e) {
    throw RemoteError(std::string("lumen-sim answered with something other than JSON: ") + e.what());
  }
  if (!reply.is_object() || !reply.value("ok", false)) {
    throw RemoteError("lumen-sim refused " + request.value("cmd", std::string("?")) + ": " +
                      reply.value("error", reply.dump()));
  }
  return reply;
}

RemoteBled112::Loaded RemoteBled112::Load(const std::string& scenarioJson, const LoadOptions& options) {
  return SendLoad({{"cmd", "load"}, {"scenario", scenarioJson}}, options);
}

RemoteBled112::Loaded RemoteBled112::LoadFile(const std::string& path, const LoadOptions& options) {
  return SendLoad({{"cmd", "load"}, {"scenario_file", path}}, options);
}

RemoteBled112::Loaded RemoteBled112::SendLoad(Json request, const LoadOptions& options) {
  if (!options.variant.empty()) request["variant"] = options.variant;
  request["clock"] = options.clock == Clock::kManual ? "manual" : "real_time";
  const Json reply = Call(request);
  return {reply.at("path").get<std::string>(), reply.at("generation").get<size_t>()};
}

std::string RemoteBled112::Path() { return Call({{"cmd", "path"}}).at("path").get<std::string>(); }

size_t RemoteBled112::Generation() { return Call({{"cmd", "path"}}).at("generation").get<size_t>(); }

std::string RemoteBled112::WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) {
  return Call({{"cmd", "wait_generation"}, {"generation", generation}, {"timeout_ms", timeout.count()}},
              timeout + kWaitMargin)
      .at("path")
      .get<std::string>();
}

std::chrono::microseconds RemoteBled112::Advance(std::chrono::microseconds by) {
  return std::chrono::microseconds(Call({{"cmd", "advance"}, {"us", by.count()}}).at("now_us").get<int64_t>());
}

std::chrono::microseconds RemoteBled112::Now() {
  return std::chrono::microseconds(Call({{"cmd", "now"}}).at("now_us").get<int64_t>());
}

void RemoteBled112::StopAnswering(bool on) { Call({{"cmd", "stop_answering"}, {"on", on}}); }
void RemoteBled112::SendRadioError() { Call({{"cmd", "radio_error"}}); }
void RemoteBled112::GoSilent(bool on) { Call({{"cmd", "go_silent"}, {"on", on}}); }

bool RemoteBled112::DropConnection(uint8_t connection, uint16_t reason) {
  return Call({{"cmd", "drop_connection"}, {"connection", connection}, {"reason", reason}}).at("applied").get<bool>();
}

bool RemoteBled112::DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason) {
  return Call({{"cmd", "disconnect_during_next_gatt_procedure"}, {"connection", connection}, {"reason", reason}})
      .at("applied")
      .get<bool>();
}

void RemoteBled112::SendGarbage(const std::vector<uint8_t>& bytes) {
  Call({{"cmd", "send_garbage"}, {"bytes", Hex(bytes)}});
}

void RemoteBled112::CloseDuringNextCommand(const std::string& name, size_t bytesBeforeClose) {
  Call({{"cmd", "close_during_next_command"}, {"name", name}, {"bytes_before_close", bytesBeforeClose}});
}

void RemoteBled112::FailNextCommand(const std::string& name, uint16_t result, size_t times) {
  Call({{"cmd", "fail_next_command"}, {"name", name}, {"result", result}, {"times", times}});
}

void RemoteBled112::IgnoreNextCommand(const std::string& name, size_t times) {
  Call({{"cmd", "ignore_next_command"}, {"name", name}, {"times", times}});
}

void RemoteBled112::LoseNextFrame(const std::string& name, size_t times) {
  Call({{"cmd", "lose_next_frame"}, {"name", name}, {"times", times}});
}

void RemoteBled112::GarbageBeforeNextFrame(const std::string& name, const std::vector<uint8_t>& bytes) {
  Call({{"cmd", "garbage_before_next_frame"}, {"name", name}, {"bytes", Hex(bytes)}});
}

void RemoteBled112::Unplug() { Call({{"cmd", "unplug"}}); }
void RemoteBled112::Replug() { Call({{"cmd", "replug"}}); }
void RemoteBled112::ClearFaults() { Call({{"cmd", "clear_faults"}}); }

std::optional<RemoteFrame> RemoteBled112::WaitForCommand(const std::string& name, std::chrono::milliseconds timeout,
                                                         size_t occurrence) {
  return WaitForFrame("wait_command", name, timeout, occurrence);
}

std::optional<RemoteFrame> RemoteBled112::WaitForSent(const std::string& name, std::chrono::milliseconds timeout,
                                                      size_t occurrence) {
  return WaitForFrame("wait_sent", name, timeout, occurrence);
}

std::optional<RemoteFrame> RemoteBled112::WaitForFrame(const char* request, const std::string& name,
                                                       std::chrono::milliseconds timeout, size_t occurrence) {
  const Json reply =
      Call({{"cmd", request}, {"name", name}, {"occurrence", occurrence}, {"timeout_ms", timeout.count()}},
           timeout + kWaitMargin);
  if (reply.at("frame").is_null()) return std::nullopt;
  return FrameFrom(reply.at("frame"));
}

size_t RemoteBled112::CommandCount(const std::string& name) {
  return Call({{"cmd", "command_count"}, {"name", name}}).at("count").get<size_t>();
}

std::vector<RemoteFrame> RemoteBled112::Frames() { return FramesFrom(Call({{"cmd", "frames"}})); }
std::vector<RemoteFrame> RemoteBled112::ReceivedCommands() { return FramesFrom(Call({{"cmd", "received_commands"}})); }
std::vector<RemoteFrame> RemoteBled112::SentFrames() { return FramesFrom(Call({{"cmd", "sent_frames"}})); }
void RemoteBled112::ClearFrames() { Call({{"cmd", "clear_frames"}}); }

Json RemoteBled112::OnAir() { return Call({{"cmd", "on_air"}}).at("frames"); }
Json RemoteBled112::State() { return Call({{"cmd", "state"}}).at("state"); }
Json RemoteBled112::Dfu() { return Call({{"cmd", "dfu"}}).at("dfu"); }

bool RemoteBled112::Notify(const std::string& peripheral, const std::string& characteristicUuid,
                           const std::vector<uint8_t>& value) {
  return Call({{"cmd", "notify"},
               {"peripheral", peripheral},
               {"characteristic", characteristicUuid},
               {"value", Hex(value)}})
      .at("applied")
      .get<bool>();
}

}  // namespace lumen::testing

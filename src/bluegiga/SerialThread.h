#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace lumen::details {

// The byte pipe to a Bluegiga radio on a serial port. One reader thread runs
// every read, write and close step; it cuts the input into BGAPI messages
// (4-byte header, exact-length payload) and dispatches each one.
class SerialThread {
 public:
  SerialThread();
  ~SerialThread();  // Stop()
  SerialThread(const SerialThread&) = delete;
  SerialThread& operator=(const SerialThread&) = delete;

  // The one transport while a Bluegiga radio is open.
  // Throws "singleton object not initialized" when there is none.
  static SerialThread& Instance();
  static std::shared_ptr<SerialThread> InstanceOrNull();
  static void SetInstance(std::shared_ptr<SerialThread> instance);

  // Opens the port and starts reading. Throws std::system_error on failure.
  bool OpenDevice(const std::string& port, uint32_t waitMsec);
  // Closes on the reader thread and returns at once.
  void Close();
  bool IsOpen() const;
  void QueueWrite(std::vector<uint8_t> bytes);

 private:
  void Stop();
  void ReaderThreadMain();
  void ReadHeader();
  void ReadingHeaderCompleted(const boost::system::error_code& error, size_t bytesRead);
  void ReadingDataCompleted(const boost::system::error_code& error, size_t bytesRead);
  void Dispatch(const uint8_t* payload, size_t length);
  void PurgeInput();
  void AppendToWriteQueue(std::vector<uint8_t> bytes);
  void WriteFront();
  void WritingCompleted(const boost::system::error_code& error);
  void CloseSerialPort(const boost::system::error_code& error);

  uint8_t m_header[4] = {};
  std::vector<uint8_t> m_payload;
  std::deque<std::vector<uint8_t>> m_writeQueue;
  boost::asio::io_context m_context;
  boost::asio::serial_port m_port{m_context};
  // Mirrors of the port's state for threads other than the reader.
  std::atomic<bool> m_open{false};
  boost::asio::serial_port::native_handle_type m_nativeHandle{};
  std::thread m_reader;
};

// Installed as the BGAPI output hook while the port is open: queues the
// encoded command (header and fixed part, then the array tail) for writing.
void BgWriteMessage(uint8_t len1, const uint8_t* bytes1, uint16_t len2, const uint8_t* bytes2);

}  // namespace lumen::details

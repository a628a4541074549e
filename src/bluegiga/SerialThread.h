#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bluegiga/BgFrameReader.h"

namespace lumen::details {

// The byte pipe to a Bluegiga radio on a serial port. One reader thread runs
// every read, write and close step; it reads what has arrived, cuts it into
// BGAPI messages (4-byte header, payload) and dispatches each one in order.
class SerialThread : private BgFrameReader::Sink, private boost::noncopyable {
 public:
  SerialThread();
  ~SerialThread();  // Stop()

  // The one transport while a Bluegiga radio is open.
  // Throws "singleton object not initialized" when there is none.
  static SerialThread& Instance();
  static std::shared_ptr<SerialThread> InstanceOrNull();
  static void SetInstance(std::shared_ptr<SerialThread> instance);
  // Clears the instance only if it is still `instance`: a transport released
  // late must not unhook the one opened after it.
  static void ClearInstance(const SerialThread* instance);

  // Opens the port and starts reading. Throws std::system_error on failure.
  bool OpenDevice(const std::string& port, uint32_t waitMsec);
  // Closes on the reader thread and returns at once.
  void Close();
  bool IsOpen() const;
  // True once a read or write error or end of file has closed the port: the
  // device went away, and no command can reach it any more.
  bool IsLost() const;
  void QueueWrite(std::vector<uint8_t> bytes);

 private:
  void Stop();
  void ReaderThreadMain();
  void ReadNext();
  void ReadCompleted(const boost::system::error_code& error, size_t bytesRead);
  void OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) override;
  void OnUnrecognisedHeader(const uint8_t* header) override;
  void OnResynchronised(size_t droppedCount, const std::vector<uint8_t>& dropped) override;
  void OnDropped(const uint8_t* bytes, size_t count) override;
  void CaptureGarbage();
  void PurgeInput();
  void InstallOutputHook();
  void RemoveOutputHook();
  bool OwnsOutputHook() const;
  void AppendToWriteQueue(std::vector<uint8_t> bytes);
  void WriteFront();
  void WritingCompleted(const boost::system::error_code& error);
  void CloseSerialPort(const boost::system::error_code& error);
  void ReportLostDevice();

  BgFrameReader m_frames;
  // One read takes whatever the driver holds, up to this much, and the
  // frames in it are dispatched before the next read: one system call per
  // burst instead of two per frame.
  static constexpr size_t kReadChunkBytes = 16384;
  std::array<uint8_t, kReadChunkBytes> m_readBuffer{};
  std::deque<std::vector<uint8_t>> m_writeQueue;
  // Bytes the frame reader threw away since the last frame or read, for the
  // capture: one garbage record per run instead of one per drop.
  std::vector<uint8_t> m_garbage;
  boost::asio::io_context m_context;
  boost::asio::serial_port m_port{m_context};
  // Mirrors of the port's state for threads other than the reader. The mutex
  // keeps a purge from another thread off a descriptor being closed.
  std::mutex m_portMutex;
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_lost{false};
  boost::asio::serial_port::native_handle_type m_nativeHandle{};
  std::thread m_reader;
};

// Installed as the BGAPI output hook while the port is open: queues the
// encoded command (header and fixed part, then the array tail) for writing
// as one unit, so no other sender's bytes can come between its parts.
void BgWriteMessage(uint8_t len1, const uint8_t* bytes1, uint16_t len2, const uint8_t* bytes2);

}  // namespace lumen::details

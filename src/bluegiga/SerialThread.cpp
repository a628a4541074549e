#include "bluegiga/SerialThread.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <mutex>
#include <system_error>

#include "bluegiga/BgApi.h"
#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/CaptureTap.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/ProcessWideHolder.h"
#include "core/RadioRecovery.h"
#include "lumen/Address.h"
#include "lumen/Errors.h"
#include "platform/SerialAvailable.h"
#include "platform/SerialPurge.h"
#include "platform/ThreadId.h"

namespace lumen::details {
namespace {

using InstanceHolder = ProcessWideHolder<SerialThread>;

InstanceHolder& Holder() { return InstanceHolder::Get(); }

// The transport whose port the output hook feeds.
std::mutex g_hookMutex;
const SerialThread* g_hookOwner = nullptr;

constexpr unsigned kBaudRate = 9600;

}  // namespace

SerialThread::SerialThread() = default;

SerialThread::~SerialThread() { Stop(); }

SerialThread& SerialThread::Instance() {
  InstanceHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (!holder.held) {
    throw KesBluetoothSDKLibError("singleton object not initialized", kErrorGeneral);
  }
  return *holder.held;
}

std::shared_ptr<SerialThread> SerialThread::InstanceOrNull() {
  InstanceHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  return holder.held;
}

void SerialThread::SetInstance(std::shared_ptr<SerialThread> instance) {
  InstanceHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  holder.held = std::move(instance);
}

void SerialThread::ClearInstance(const SerialThread* instance) {
  std::shared_ptr<SerialThread> released;
  {
    InstanceHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    if (holder.held.get() == instance) {
      released.swap(holder.held);
    }
  }
  // released may be the last reference; its destructor joins the reader outside the lock.
}

void SerialThread::InstallOutputHook() {
  std::lock_guard lock(g_hookMutex);
  g_hookOwner = this;
  BgOutputHook.store(&BgWriteMessage);
}

bool SerialThread::OwnsOutputHook() const {
  std::lock_guard lock(g_hookMutex);
  return g_hookOwner == this;
}

void SerialThread::RemoveOutputHook() {
  std::lock_guard lock(g_hookMutex);
  if (g_hookOwner == this) {
    g_hookOwner = nullptr;
    BgOutputHook.store(nullptr);
  }
}

bool SerialThread::OpenDevice(const std::string& port, uint32_t waitMsec) {
  Log(kDebug, "Starting serial thread");
  if (waitMsec != 0) {
    Log(kDebug, "lumen::details::SerialThread::OpenDevice", "Wait for device(", port, ") for", waitMsec, "msec");
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMsec));
  } else {
    Log(kDebug, "lumen::details::SerialThread::OpenDevice", "Open device(", port, ") without delay");
  }

  boost::system::error_code error;
  m_port.open(port, error);
  if (error) {
    Log(kError, "failed to open serial port", error.message(), port, "status:", error.value());
    throw std::system_error(error.value(), std::system_category(), "failed to open serial port " + port);
  }

  {
    std::lock_guard lock(m_portMutex);
    m_nativeHandle = m_port.native_handle();
    m_open.store(true);
  }
  CapturePortOpened(port);
  Event::SetGlobalReset(false);

  using boost::asio::serial_port_base;
  m_port.set_option(serial_port_base::baud_rate(kBaudRate));
  m_port.set_option(serial_port_base::parity(serial_port_base::parity::none));
  m_port.set_option(serial_port_base::character_size(8));
  m_port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one));
  try {
    m_port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::hardware));
  } catch (const std::exception& e) {
    Log(kWarning, "Attempting to set hardware flow control failed", e.what());
  } catch (...) {
    Log(kWarning, "Attempting to set hardware flow control failed for an unknown reason");
  }

  InstallOutputHook();
  GetCallbacksManager();

  Log(kDebug, "Start reading messages from serial port");
  ReadNext();
  m_reader = std::thread([this] { ReaderThreadMain(); });
  return true;
}

void SerialThread::Close() {
  boost::asio::post(m_context, [this] { CloseSerialPort({}); });
}

bool SerialThread::IsOpen() const { return m_open.load(); }

bool SerialThread::IsLost() const { return m_lost.load(); }

void SerialThread::QueueWrite(std::vector<uint8_t> bytes) {
  boost::asio::post(m_context, [this, bytes = std::move(bytes)]() mutable { AppendToWriteQueue(std::move(bytes)); });
}

void SerialThread::ReaderThreadMain() {
  Log(kInfo, "SerialThread reader thread ID =", CurrentOsThreadId());
  try {
    m_context.run();
  } catch (const std::exception& e) {
    Log(kError, "Unhandled exeption in serial thread", e.what());
  }
}

void SerialThread::ReadNext() {
  while (m_frames.WantsAvailableInput()) {
    // Whatever the port holds now, without waiting: the reader looks for the
    // next frame in it instead of purging it.
    size_t count = 0;
    const size_t available = std::min(SerialBytesAvailable(m_nativeHandle), m_readBuffer.size());
    if (available != 0) {
      boost::system::error_code error;
      count = m_port.read_some(boost::asio::buffer(m_readBuffer.data(), available), error);
      if (error) {
        CloseSerialPort(error);
        return;
      }
    }
    m_frames.ConsumeAvailable(m_readBuffer.data(), count, *this);
  }
  CaptureGarbage();
  m_port.async_read_some(
      boost::asio::buffer(m_readBuffer.data(), m_readBuffer.size()),
      [this](const boost::system::error_code& error, size_t bytesRead) { ReadCompleted(error, bytesRead); });
}

void SerialThread::ReadCompleted(const boost::system::error_code& error, size_t bytesRead) {
  if (error) {
    CloseSerialPort(error);
    return;
  }
  m_frames.Consume(m_readBuffer.data(), bytesRead, *this);
  ReadNext();
}

void SerialThread::OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) {
  if (Capturing()) {
    CaptureGarbage();
    CaptureWrite(kCaptureBgapiFromRadio, kCaptureInbound,
                 {{header, BgFrameReader::kHeaderBytes}, {payload, payload != nullptr ? length : 0}});
  }
  if (Logger::IsEnabled()) {
    Log(kDebug, "<<< Header:", ToString(std::vector<uint8_t>(header, header + BgFrameReader::kHeaderBytes)));
    if (payload != nullptr) {
      Log(kDebug, "<<< Data:", ToString(std::vector<uint8_t>(payload, payload + length)));
    }
  }
  // A subscriber's exception must not end the reader: the port would stay
  // open but unread, and every later command would time out.
  try {
    BgDispatch(header, payload, length);
  } catch (const std::exception& e) {
    Log(kError, "Unhandled exeption in serial thread", e.what());
  } catch (...) {
    Log(kError, "Unhandled exeption in serial thread", "unknown exception");
  }
}

void SerialThread::OnUnrecognisedHeader(const uint8_t* header) {
  if (Logger::IsEnabled()) {
    Log(kDebug, "<<< Header:", ToString(std::vector<uint8_t>(header, header + BgFrameReader::kHeaderBytes)));
  }
  Log(kError, "Failed to recognize message header, flush input and requeue read");
}

void SerialThread::OnResynchronised(size_t droppedCount, const std::vector<uint8_t>& dropped) {
  Log(kWarning, "Serial input resynchronised on a message header after dropping", droppedCount,
      "bytes:", ToString(dropped));
}

void SerialThread::OnDropped(const uint8_t* bytes, size_t count) {
  if (Capturing()) {
    m_garbage.insert(m_garbage.end(), bytes, bytes + count);
  }
}

void SerialThread::CaptureGarbage() {
  if (!m_garbage.empty()) {
    CaptureBytes(kCaptureGarbage, kCaptureInbound, m_garbage.data(), m_garbage.size());
    m_garbage.clear();
  }
}

void SerialThread::PurgeInput() {
  std::lock_guard lock(m_portMutex);
  if (m_open.load() && !PurgeReceiveBuffer(m_nativeHandle)) {
    Log(kWarning, "Purge of the serial receive buffer failed");
  }
}

void SerialThread::AppendToWriteQueue(std::vector<uint8_t> bytes) {
  // Here, on the one I/O thread, commands are in the order they are written.
  if (Capturing()) {
    CaptureBytes(kCaptureBgapiToRadio, kCaptureOutbound, bytes.data(), bytes.size());
  }
  const bool idle = m_writeQueue.empty();
  m_writeQueue.push_back(std::move(bytes));
  if (idle) {
    WriteFront();
  }
}

void SerialThread::WriteFront() {
  boost::asio::async_write(
      m_port, boost::asio::buffer(m_writeQueue.front()),
      [this](const boost::system::error_code& error, size_t /*bytesWritten*/) { WritingCompleted(error); });
}

void SerialThread::WritingCompleted(const boost::system::error_code& error) {
  if (error) {
    CloseSerialPort(error);
    return;
  }
  m_writeQueue.pop_front();
  if (!m_writeQueue.empty()) {
    WriteFront();
  }
}

void SerialThread::CloseSerialPort(const boost::system::error_code& error) {
  // Our own cancel aborts outstanding I/O after the port is marked closed; an
  // abort while it is still open is the driver's (Windows cancels pending
  // reads when the device is removed).
  const bool aborted = error == boost::asio::error::operation_aborted && !m_open.load();
  const bool current = OwnsOutputHook();
  // Any other error, end of file included, is the device going away. Marked
  // before the waits are cut, so each waiter can tell why it was.
  const bool lost = error && !aborted && m_open.load() && current && !m_lost.exchange(true);
  // Every waiting command gives up at its next 100 ms slice; but a transport
  // released after the next radio was opened must not cut that radio's waits.
  if (current) {
    Event::SetGlobalReset(true);
  }
  if (aborted) {
    Log(kError, "serial port got operation_aborted.");
    return;
  }
  if (error) {
    Log(kError, "Serial port closed. Error:", error.message());
  }
  CaptureGarbage();
  const bool wasOpen = m_open.load();
  try {
    m_port.cancel();
    Log(kInfo, "Serial port cancelled");
    {
      std::lock_guard lock(m_portMutex);
      m_open.store(false);
      m_port.close();
    }
    Log(kInfo, "Serial port closed");
  } catch (const std::exception&) {
    Log(kError, "Cancel/close of serial port threw an exception");
  }
  if (wasOpen) {
    CapturePortClosed(static_cast<bool>(error), error ? error.message() : std::string());
  }
  if (lost) {
    ReportLostDevice();
  }
}

// The port is closed by now, so nothing the application does from here can
// reach it; the reader thread ends once this returns.
void SerialThread::ReportLostDevice() {
  Count(Health().portLosses);
  Log(kError, "Bluegiga radio's serial port is gone; dropping its connections");
  for (const uint32_t native : OpenNativeHandles()) {
    Log(kInfo, "Connection", native, "lost with the serial port");
    try {
      Publish<unsigned int>("common_evt_disconnect", native);
    } catch (const std::exception& e) {
      Log(kError, "Publishing the disconnect of connection", native, "failed:", e.what());
    } catch (...) {
      // Nothing may end the reader thread, whatever a handler throws.
      Log(kError, "Publishing the disconnect of connection", native, "failed with a non-standard exception");
    }
  }
  // Taken before the application hears of it: it may release or replace the
  // radio from its callbacks, and then there is nothing of this one to recover.
  const IBluetoothSDK* radio = HeldBluetoothSDK();
  // As a radio reset that re-enumerates the device would: the application
  // reopens the radio, possibly at another port.
  NotifyHardwareFailure();
  NotifyHardwareSoftResetInitiated(true);
  NotifyRadioRemoved(radio);
}

void SerialThread::Stop() {
  PurgeInput();
  boost::asio::post(m_context, [this] { CloseSerialPort({}); });
  if (m_reader.joinable()) {
    if (m_reader.get_id() == std::this_thread::get_id()) {
      Log(kError, "SerialThread destroyed on its own reader thread; detaching it");
      m_reader.detach();
    } else {
      m_reader.join();
    }
  }
  RemoveOutputHook();
  Log(kDebug, "Stop serial thread");
}

void BgWriteMessage(uint8_t len1, const uint8_t* bytes1, uint16_t len2, const uint8_t* bytes2) {
  const std::shared_ptr<SerialThread> serial = SerialThread::InstanceOrNull();
  if (!serial || !serial->IsOpen()) {
    return;  // no open port: the command is dropped, and its wait ends
  }
  const size_t headerLen = bytes1 != nullptr ? len1 : 0;
  const size_t tailLen = bytes2 != nullptr ? len2 : 0;
  if (headerLen + tailLen == 0) {
    return;
  }
  // One queue element per command: senders that do not hold the send lock
  // (resets) can then never split a command's header from its data.
  std::vector<uint8_t> command;
  command.reserve(headerLen + tailLen);
  command.insert(command.end(), bytes1, bytes1 + headerLen);
  if (Logger::IsEnabled() && headerLen != 0) {
    Log(kDebug, ">>> Header:", ToString(command));
  }
  if (tailLen != 0) {
    command.insert(command.end(), bytes2, bytes2 + tailLen);
    if (Logger::IsEnabled()) {
      Log(kDebug, ">>> Data:", ToString(std::vector<uint8_t>(bytes2, bytes2 + tailLen)));
    }
  }
  Count(Health().commandsSent);
  serial->QueueWrite(std::move(command));
}

}  // namespace lumen::details

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/Bytes.h"

namespace lumen::sim {

class PseudoTerminal;

// The radio's end of a BGAPI serial line on a pseudo-terminal. One thread owns
// the terminal: it writes the radio's output in order, reads and cuts the
// host's commands and hands each to the receiver. The line can hang up and come
// back at a new path, as a USB device that leaves the host and returns.
class SerialLine {
 public:
  // Called on the line thread with no lock of the line held.
  class Receiver {
   public:
    virtual ~Receiver() = default;
    // Bytes from the host arrived at `when`, before they are cut into commands.
    virtual void OnBytes(std::chrono::steady_clock::time_point when) { (void)when; }
    // One whole command.
    virtual void OnCommand(const Bytes& frame) = 0;
    // Bytes that make no command (the stream out of step, or a partial command left too long), dropped.
    virtual void OnNoCommand(const Bytes& bytes) = 0;
  };

  // When `linkPath` is set, a symbolic link there points at the current terminal
  // (absent while hung up). Throws std::system_error when no terminal is available.
  SerialLine(Receiver& receiver, std::string linkPath);
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  void Start();
  // Joins the line thread; the receiver is not called after this.
  void Stop();
  bool OnLineThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

  // Output, in order; dropped while the line is hung up. `whileQueued` runs under
  // the line's lock as the bytes join the queue, so what it records keeps the line's order.
  void Send(Bytes bytes, const std::function<void()>& whileQueued = {});
  // Hangs up once the output before it is written; Plug brings a new terminal at a new path.
  void Unplug();
  void Plug();

  // The terminal the host opens; "" while hung up.
  std::string Path() const;
  // Terminals so far: 1 at the start, +1 per Plug.
  size_t Generation() const;
  // The path once Generation() reaches `generation`; "" on time-out.
  std::string WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) const;
  // Told of each new path, and of "" at a hang-up; on the line thread.
  void SetPathCallback(std::function<void(const std::string&)> callback);

 private:
  enum class ItemKind { kBytes, kUnplug, kPlug };
  struct Item {
    ItemKind kind;
    Bytes bytes;
  };

  void Wake();
  void QueueControl(ItemKind kind, bool pluggedAfter);
  void UpdateLink(const std::string& target);
  void NotifyPath(const std::string& path);
  void Run();
  void WriteSome();
  void PollOnce();
  void DiscardInput();
  void ProcessInput();
  void DoUnplug();
  void DoPlug();

  Receiver& m_receiver;
  const std::string m_link;
  int m_wake[2] = {-1, -1};
  std::thread m_thread;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_stopping = false;
  bool m_plugged = true;  // as of the end of the queue
  size_t m_controlsPending = 0;
  std::deque<Item> m_queue;
  std::string m_path;
  size_t m_generation = 1;
  std::function<void(const std::string&)> m_pathCallback;

  // Line thread only.
  std::unique_ptr<PseudoTerminal> m_terminal;
  std::unique_ptr<PseudoTerminal> m_spare;
  Bytes m_input;
  std::chrono::steady_clock::time_point m_lastInput;
  Bytes m_writing;
  size_t m_written = 0;
  bool m_wroteBeforeHangup = false;
};

// The host's side of a device on a SerialLine: the terminal to open, a new one
// each time the device comes back after a hang-up.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // The terminal the host opens; "" while hung up.
  std::string Path() const { return Serial().Path(); }
  // Terminals so far: 1 at the start, +1 each time the device comes back.
  size_t Generation() const { return Serial().Generation(); }
  // The path once Generation() reaches `generation`; "" on time-out.
  std::string WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) const {
    return Serial().WaitForGeneration(generation, timeout);
  }
  // Told of each new path, and of "" at a hang-up; on the line thread with no lock held.
  void SetPathCallback(std::function<void(const std::string&)> callback) {
    Serial().SetPathCallback(std::move(callback));
  }

 protected:
  // The device's line, alive as long as the device.
  virtual SerialLine& Serial() const = 0;
};

}  // namespace lumen::sim

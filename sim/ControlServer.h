#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace lumen::sim {

// A line protocol over loopback TCP and over any pair of descriptors (standard
// input and output): each line read is handed to the handler and its answer
// written back as one line. Clients come and go; each connection has a thread
// of its own, so one that stalls holds up no other.
class ControlServer {
 public:
  // Takes one request line (without its end) and returns one reply line (without '\n'); must not throw.
  using Handler = std::function<std::string(std::string_view line)>;

  explicit ControlServer(Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on 127.0.0.1:`port` (0: a free port) and returns the port. Throws std::system_error.
  uint16_t Listen(uint16_t port);
  // Serves lines from `inFd`, answering on `outFd`, on the calling thread until
  // input ends or Stop is called. The descriptors stay open.
  void Serve(int inFd, int outFd);
  // Closes the listener and every connection, ends every Serve and joins the threads. Idempotent.
  void Stop();

 private:
  struct Connection;
  void AcceptLoop();
  void ServeLines(int inFd, int outFd, bool socket);
  bool WriteAll(int fd, std::string_view bytes, bool socket);
  void ReapFinished();

  const Handler m_handler;
  int m_wake[2] = {-1, -1};  // readable once stopping; never drained, so every poll sees it
  int m_listener = -1;
  std::thread m_acceptThread;
  std::mutex m_mutex;
  std::list<std::unique_ptr<Connection>> m_connections;
  bool m_stopped = false;
};

}  // namespace lumen::sim

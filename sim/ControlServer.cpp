#include "sim/ControlServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace lumen::sim {

namespace {

// A scenario sent inline is one line; anything longer is a runaway client.
constexpr size_t kMaxLine = 16 * 1024 * 1024;

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

struct ControlServer::Connection {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> finished{false};
};

ControlServer::ControlServer(Handler handler) : m_handler(std::move(handler)) {
  if (pipe2(m_wake, O_CLOEXEC) != 0) ThrowErrno("pipe2");
}

ControlServer::~ControlServer() {
  Stop();
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

uint16_t ControlServer::Listen(uint16_t port) {
  m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listener < 0) ThrowErrno("socket");
  int on = 1;
  ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) ThrowErrno("bind");
  if (::listen(m_listener, 16) != 0) ThrowErrno("listen");
  socklen_t size = sizeof(address);
  if (::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) ThrowErrno("getsockname");
  m_acceptThread = std::thread([this] { AcceptLoop(); });
  return ntohs(address.sin_port);
}

void ControlServer::Serve(int inFd, int outFd) { ServeLines(inFd, outFd, false); }

void ControlServer::Stop() {
  {
    std::lock_guard lock(m_mutex);
    if (m_stopped) return;
    m_stopped = true;
  }
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(m_wake[1], &byte, 1);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  if (m_listener >= 0) ::close(m_listener);
  m_listener = -1;
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard lock(m_mutex);
    connections.swap(m_connections);
  }
  for (auto& connection : connections) {
    connection->thread.join();
    ::close(connection->fd);
  }
}

void ControlServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("lumen-sim: poll");
      return;
    }
    if (fds[0].revents) return;
    if (!(fds[1].revents & POLLIN)) continue;
    int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // the client gave up before we took it, or descriptors ran out for a moment
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ReapFinished();
    std::lock_guard lock(m_mutex);
    auto connection = std::make_unique<Connection>();
    Connection* raw = connection.get();
    raw->fd = fd;
    raw->thread = std::thread([this, raw] {
      ServeLines(raw->fd, raw->fd, true);
      ::shutdown(raw->fd, SHUT_RDWR);  // the client sees the end now; the descriptor goes when reaped
      raw->finished = true;
    });
    m_connections.push_back(std::move(connection));
  }
}

void ControlServer::ReapFinished() {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      auto next = std::next(it);
      if ((*it)->finished) finished.splice(finished.end(), m_connections, it);
      it = next;
    }
  }
  for (auto& connection : finished) {
    connection->thread.join();
    ::close(connection->fd);
  }
}

void ControlServer::ServeLines(int inFd, int outFd, bool socket) {
  std::string buffer;
  bool discarding = false;  // inside a line over the limit: skip to its end
  char chunk[65536];
  for (;;) {
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {inFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    if (!fds[1].revents) continue;
    ssize_t n = ::read(inFd, chunk, sizeof(chunk));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;  // end of input, or the client reset the connection
    buffer.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
      if (discarding) {
        discarding = false;
        continue;
      }
      std::string_view line(buffer.data() + start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
      if (!WriteAll(outFd, m_handler(line) + "\n", socket)) return;
    }
    buffer.erase(0, start);
    if (buffer.size() > kMaxLine) {
      buffer.clear();
      if (!discarding) {
        discarding = true;
        if (!WriteAll(outFd,
                      R"({"ok":false,"error":"request line longer than 16 MiB"})"
                      "\n",
                      socket))
          return;
      }
    }
  }
}

bool ControlServer::WriteAll(int fd, std::string_view bytes, bool socket) {
  while (!bytes.empty()) {
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {fd, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents) return false;
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    if (!(fds[1].revents & POLLOUT)) continue;
    ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                       : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace lumen::sim

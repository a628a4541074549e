#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace lumen::testing {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, int error = errno) {
  throw std::system_error(error, std::generic_category(), what);
}

// Closes a descriptor at the end of Start unless handed on.
struct ScopedFd {
  int fd = -1;
  ~ScopedFd() { Reset(); }
  void Reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int Release() { return std::exchange(fd, -1); }
};

void Pipe(ScopedFd& readEnd, ScopedFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) ThrowErrno("pipe2");
  readEnd.fd = fds[0];
  writeEnd.fd = fds[1];
}

// What the child sends back through the status pipe when it cannot exec.
struct ChildFailure {
  int step;
  int error;
};
constexpr const char* kSteps[] = {"setsid", "TIOCSCTTY", "setpgid", "dup2", "chdir to", "exec"};

[[noreturn]] void Fail(int statusFd, int step) {
  const ChildFailure failure{step, errno};
  const ssize_t sent = write(statusFd, &failure, sizeof failure);
  _exit(sent < 0 ? 126 : 127);
}

// Runs between fork and exec, so async-signal-safe calls only. The child gets
// its own process group either way, so that the destructor can kill what it starts.
[[noreturn]] void ExecChild(bool pty, int input, int output, int status, const char* directory, const char* program,
                            char** argv, char** envp) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (pty) {
    if (setsid() < 0) Fail(status, 0);
    if (ioctl(input, TIOCSCTTY, 0) < 0) Fail(status, 1);
  } else if (setpgid(0, 0) < 0) {
    Fail(status, 2);
  }
  if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) Fail(status, 3);
  // Nor anything opened elsewhere without close-on-exec (best effort: Linux 5.11 on).
  close_range(3, ~0U, static_cast<int>(CLOSE_RANGE_CLOEXEC));
  if (directory != nullptr && chdir(directory) < 0) Fail(status, 4);
  execve(program, argv, envp);
  Fail(status, 5);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (m_reader.joinable()) {
    {
      std::lock_guard lock(m_mutex);
      if (!m_exit) kill(-m_pid, SIGKILL);  // not yet reaped, so the id is still the child's
    }
    // Stops the reader even when something outside the group still holds the output open.
    const char wake = 0;
    const ssize_t sent = write(m_wakeWrite, &wake, 1);
    static_cast<void>(sent);
    m_reader.join();
  }
  for (int fd : {m_inputFd != m_outputFd ? m_inputFd : -1, m_outputFd, m_wakeRead, m_wakeWrite}) {
    if (fd >= 0) close(fd);
  }
}

void ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const Options& options) {
  if (m_reader.joinable() || m_wakeRead >= 0) throw std::logic_error("ChildProcess::Start called twice");
  m_program = program;
  m_pty = options.input == Input::kPty;

  // Everything the child needs is built now: after fork it may not allocate.
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    if (std::none_of(options.environment.begin(), options.environment.end(),
                     [&](const auto& variable) { return variable.first == name; })) {
      envStrings.emplace_back(text);
    }
  }
  for (const auto& [name, value] : options.environment) envStrings.push_back(name + "=" + value);
  std::vector<char*> argv = Pointers(argStrings);
  std::vector<char*> envp = Pointers(envStrings);

  // Every descriptor is close-on-exec from birth, so no child (ours or another
  // thread's) inherits one past exec; dup2 clears the flag on 0, 1 and 2.
  ScopedFd childInput, childOutput, slave, statusRead, statusWrite, wakeRead, wakeWrite;
  Pipe(wakeRead, wakeWrite);
  m_wakeRead = wakeRead.Release();
  m_wakeWrite = wakeWrite.Release();
  if (m_pty) {
    ScopedFd master;
    master.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master.fd < 0) ThrowErrno("posix_openpt");
    if (grantpt(master.fd) != 0 || unlockpt(master.fd) != 0) ThrowErrno("grantpt/unlockpt");
    char name[128];
    if (const int error = ptsname_r(master.fd, name, sizeof name); error != 0) ThrowErrno("ptsname_r", error);
    slave.fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave.fd < 0) ThrowErrno(std::string("open ") + name);
    termios mode{};
    if (tcgetattr(slave.fd, &mode) != 0) ThrowErrno("tcgetattr");
    if (!options.echo) mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(slave.fd, TCSANOW, &mode) != 0) ThrowErrno("tcsetattr");
    m_inputFd = m_outputFd = master.Release();
  } else {
    ScopedFd inputWrite, outputRead;
    Pipe(childInput, inputWrite);
    Pipe(outputRead, childOutput);
    m_inputFd = inputWrite.Release();
    m_outputFd = outputRead.Release();
  }
  Pipe(statusRead, statusWrite);

  const pid_t pid = fork();
  if (pid < 0) ThrowErrno("fork");
  if (pid == 0) {
    ExecChild(m_pty, m_pty ? slave.fd : childInput.fd, m_pty ? slave.fd : childOutput.fd, statusWrite.fd,
              options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), program.c_str(),
              argv.data(), envp.data());
  }

  // Only the child may hold its ends, or end of output would never come.
  statusWrite.Reset();
  childInput.Reset();
  childOutput.Reset();
  slave.Reset();
  // End of file here means the exec succeeded (the status pipe closed on exec).
  ChildFailure failure{};
  ssize_t got;
  while ((got = read(statusRead.fd, &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  if (got != 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof failure || failure.step < 0 || failure.step > 5) ThrowErrno("start " + program);
    ThrowErrno(std::string(kSteps[failure.step]) + " " + (failure.step == 4 ? options.workingDirectory : program),
               failure.error);
  }
  m_pid = pid;
  m_reader = std::thread(&ChildProcess::ReadOutput, this);
}

void ChildProcess::Write(std::string_view bytes) {
  // Writing to a pipe nobody reads raises SIGPIPE, which would end the test
  // program: block it for this thread and take back one that came.
  sigset_t pipeSignal, previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  if (!bytes.empty()) m_atLineStart = bytes.back() == '\n';
  int error = 0;
  while (!bytes.empty() && error == 0) {
    const ssize_t written = write(m_inputFd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == EPIPE) {
    const timespec now{};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (error != 0) ThrowErrno("write to " + m_program, error);
}

void ChildProcess::CloseInput() {
  if (!m_pty) {
    if (m_inputFd >= 0) close(m_inputFd);
    m_inputFd = -1;
    return;
  }
  // The master reports the terminal's current modes, as the child has set them.
  termios mode{};
  const bool known = tcgetattr(m_inputFd, &mode) == 0;
  const char eof = known ? static_cast<char>(mode.c_cc[VEOF]) : '\x04';
  const bool lines = !known || (mode.c_lflag & ICANON) != 0;
  Write(std::string(lines && !m_atLineStart ? 2 : 1, eof));
  m_atLineStart = true;
}

std::optional<ChildProcess::TerminalModes> ChildProcess::CurrentTerminalModes() const {
  termios mode{};
  if (!m_pty || tcgetattr(m_inputFd, &mode) != 0) return std::nullopt;
  return TerminalModes{(mode.c_lflag & ECHO) != 0, (mode.c_lflag & ICANON) != 0};
}

void ChildProcess::ReadOutput() {
  pollfd fds[2] = {{m_outputFd, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    const ssize_t got = read(m_outputFd, buffer, sizeof buffer);
    if (got > 0) {
      Append(std::string_view(buffer, static_cast<size_t>(got)));
    } else if (got == 0 || errno != EINTR) {
      break;  // end of output; a pty master reads EIO once no slave is open
    }
  }
  {
    std::lock_guard lock(m_mutex);
    m_outputClosed = true;
  }
  m_changed.notify_all();
  // Wait without reaping, then reap under the lock: SendSignal and the
  // destructor must never signal an id that may have been reused.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(m_mutex);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_exit = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
  }
  m_changed.notify_all();
}

void ChildProcess::Append(std::string_view bytes) {
  {
    std::lock_guard lock(m_mutex);
    for (const char c : bytes) {
      if (c != '\n') {
        m_partial += c;
        continue;
      }
      if (!m_partial.empty() && m_partial.back() == '\r') m_partial.pop_back();
      m_lines.push_back(std::move(m_partial));
      m_partial.clear();
    }
  }
  m_changed.notify_all();
}

size_t ChildProcess::LineCountLocked() const { return m_lines.size() + (m_partial.empty() ? 0 : 1); }

std::string_view ChildProcess::LineLocked(size_t index) const {
  if (index < m_lines.size()) return m_lines[index];
  std::string_view line = m_partial;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool ChildProcess::WaitForLine(std::string_view substring, std::chrono::milliseconds timeout) {
  return WaitForLineAfter(0, substring, timeout).has_value();
}

std::optional<size_t> ChildProcess::WaitForLineAfter(size_t fromLine, std::string_view substring,
                                                     std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  std::optional<size_t> found;
  m_changed.wait_for(lock, timeout, [&] {
    for (size_t i = fromLine; i < LineCountLocked(); ++i) {
      if (LineLocked(i).find(substring) != std::string_view::npos) {
        found = i;
        return true;
      }
    }
    return m_outputClosed;
  });
  return found;
}

size_t ChildProcess::LineCount() const {
  std::lock_guard lock(m_mutex);
  return m_lines.size();
}

std::vector<std::string> ChildProcess::Lines() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> lines = m_lines;
  if (!m_partial.empty()) lines.emplace_back(LineLocked(m_lines.size()));
  return lines;
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(m_mutex);
  std::string output;
  for (const std::string& line : m_lines) output += line + "\n";
  return output += LineLocked(m_lines.size());
}

size_t ChildProcess::CountLines(std::string_view substring) const {
  std::lock_guard lock(m_mutex);
  size_t count = 0;
  for (size_t i = 0; i < LineCountLocked(); ++i) count += LineLocked(i).find(substring) != std::string_view::npos;
  return count;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_changed.wait_for(lock, timeout, [&] { return m_exit.has_value(); });
  return m_exit;
}

void ChildProcess::SendSignal(int signal) {
  std::lock_guard lock(m_mutex);
  if (m_pid > 0 && !m_exit) kill(m_pid, signal);
}

}  // namespace lumen::testing

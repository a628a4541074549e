#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace lumen::testing {

// Runs a console program as a separate process and drives it as a user would:
// writes its input, collects what it prints into lines, waits for lines and for
// its exit. For one test thread; a child still running when the object goes is
// killed (with its process group) and reaped.
class ChildProcess {
 public:
  enum class Input {
    kPipe,  // stdin is a pipe; stdout and stderr share one pipe
    kPty,   // stdin, stdout and stderr are a pseudo-terminal, the child's controlling terminal
  };
  struct Options {
    Input input = Input::kPipe;
    // Pty only. Off by default so that typed input never satisfies WaitForLine.
    bool echo = false;
    std::string workingDirectory;                                  // empty: this process's
    std::vector<std::pair<std::string, std::string>> environment;  // set on top of this process's
  };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs `program` (a path, no PATH search) with argv = {program, args...}.
  // Throws std::system_error when it cannot run, a failed exec included. Once per object.
  void Start(const std::string& program, const std::vector<std::string>& args, const Options& options);
  void Start(const std::string& program, const std::vector<std::string>& args) { Start(program, args, Options{}); }

  // Blocks while the child's input is full. Throws std::system_error when the
  // child no longer takes input (e.g. it has exited).
  void Write(std::string_view bytes);
  // End of input. A pipe is closed; a pty gets its VEOF character (^D) at the
  // start of a line, as typed by a user (twice after an unfinished line: the
  // first only sends that line). The master stays open: closing it would hang
  // the terminal up and send the child SIGHUP. A child that has turned off
  // canonical mode gets one VEOF byte, to take as end of input itself.
  void CloseInput();

  // Output comes as lines without '\n' (nor a pty's '\r'); the last line may be
  // unfinished and is searched too. Waits end early once the output has closed.
  bool WaitForLine(std::string_view substring, std::chrono::milliseconds timeout);
  // Searches from line `fromLine` (e.g. a LineCount() taken before some input)
  // and returns the index of the first line containing `substring`.
  std::optional<size_t> WaitForLineAfter(size_t fromLine, std::string_view substring,
                                         std::chrono::milliseconds timeout);
  size_t LineCount() const;                // finished lines
  std::vector<std::string> Lines() const;  // finished lines, then the unfinished one if any
  std::string Output() const;              // everything so far, for failure messages
  size_t CountLines(std::string_view substring) const;

  // The exit code, or -N when signal N ended the child; nullopt if by then it
  // has not both exited and closed its output (all of which has then been read;
  // a process it started may still hold the output open).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // Does nothing once the child has been reaped.
  void SendSignal(int signal);

  // Pty only: whether the terminal echoes input and edits it in lines, as it
  // is now (e.g. after the child has exited); nullopt for a pipe.
  struct TerminalModes {
    bool echo = false;
    bool lines = false;
  };
  std::optional<TerminalModes> CurrentTerminalModes() const;

 private:
  void ReadOutput();
  void Append(std::string_view bytes);
  size_t LineCountLocked() const;
  std::string_view LineLocked(size_t index) const;

  std::string m_program;
  bool m_pty = false;
  bool m_atLineStart = true;  // of the input, for VEOF
  pid_t m_pid = -1;
  int m_inputFd = -1;   // pipe write end, or the pty master
  int m_outputFd = -1;  // pipe read end, or the pty master
  int m_wakeRead = -1;  // wakes the reader to stop, from the destructor
  int m_wakeWrite = -1;
  std::thread m_reader;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
  std::string m_partial;
  bool m_outputClosed = false;
  std::optional<int> m_exit;  // set when reaped; the pid is not signalled after that
};

}  // namespace lumen::testing

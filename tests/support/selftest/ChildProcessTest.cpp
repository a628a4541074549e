#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace lumen::testing {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr std::chrono::milliseconds kLong = 30s;  // only a guard against a hang

ChildProcess::Options Pty() {
  ChildProcess::Options options;
  options.input = ChildProcess::Input::kPty;
  return options;
}

// Writes input to cat and ends it; the lines cat gave back, once it has exited 0.
Strings LinesOfCat(const std::string& input, const ChildProcess::Options& options) {
  ChildProcess child;
  child.Start("/bin/cat", {}, options);
  child.Write(input);
  child.CloseInput();
  EXPECT_EQ(child.WaitForExit(kLong), 0) << child.Output();
  return child.Lines();
}

TEST(ChildProcessTest, LinesArriveAsTheChildAnswersItsInput) {
  ChildProcess child;
  child.Start("/bin/sh",
              {"-c", "echo ready; read x; echo \"got $x\"; echo err >&2; printf 'no newline'; read y; echo ' end'"});
  ASSERT_TRUE(child.WaitForLine("ready", kLong)) << child.Output();
  EXPECT_EQ(child.CountLines("got"), 0u);
  child.Write("hello\n");
  ASSERT_TRUE(child.WaitForLine("got hello", kLong)) << child.Output();
  ASSERT_TRUE(child.WaitForLine("no newline", kLong)) << child.Output();
  EXPECT_EQ(child.Lines(), (Strings{"ready", "got hello", "err", "no newline"}));
  EXPECT_EQ(child.LineCount(), 3u);
  EXPECT_EQ(child.Output(), "ready\ngot hello\nerr\nno newline");
  child.CloseInput();
  EXPECT_EQ(child.WaitForExit(kLong), 0);
  EXPECT_EQ(child.Lines(), (Strings{"ready", "got hello", "err", "no newline end"}));
}

TEST(ChildProcessTest, WaitForLineAfterFindsTheNextOccurrence) {
  ChildProcess child;
  child.Start("/bin/sh", {"-c", "printf 'tick 1\\nother\\ntick 2\\n'"});
  EXPECT_EQ(child.WaitForLineAfter(0, "tick", kLong), 0u);
  EXPECT_EQ(child.WaitForLineAfter(1, "tick", kLong), 2u);
  EXPECT_EQ(child.WaitForLineAfter(3, "tick", kLong), std::nullopt);  // output closes, no 30 s wait
  EXPECT_EQ(child.CountLines("tick"), 2u);
  EXPECT_FALSE(child.WaitForLine("never printed", kLong));
}

TEST(ChildProcessTest, ReportsExitCodes) {
  ChildProcess child;
  child.Start("/bin/sh", {"-c", "exit 3"});
  EXPECT_EQ(child.WaitForExit(kLong), 3);
}

TEST(ChildProcessTest, ReportsDeathBySignal) {
  ChildProcess byItself;
  byItself.Start("/bin/sh", {"-c", "kill -TERM $$"});
  EXPECT_EQ(byItself.WaitForExit(kLong), -SIGTERM);

  ChildProcess signalled;
  signalled.Start("/bin/cat", {});
  signalled.SendSignal(SIGKILL);
  EXPECT_EQ(signalled.WaitForExit(kLong), -SIGKILL);
}

TEST(ChildProcessTest, EndOfInputReachesCatThroughAPipe) {
  EXPECT_EQ(LinesOfCat("one\ntwo\n", {}), (Strings{"one", "two"}));
}

TEST(ChildProcessTest, EndOfInputReachesCatThroughAPty) {
  ChildProcess child;
  child.Start("/bin/cat", {}, Pty());
  child.Write("one\n");
  ASSERT_TRUE(child.WaitForLine("one", kLong)) << child.Output();
  child.CloseInput();
  EXPECT_EQ(child.WaitForExit(kLong), 0) << child.Output();
  EXPECT_EQ(child.Lines(), (Strings{"one"}));  // no echo, no '\r'
}

TEST(ChildProcessTest, EndOfInputOnAPtyAfterAnUnfinishedLine) {
  EXPECT_EQ(LinesOfCat("one\nunfinished", Pty()), (Strings{"one", "unfinished"}));
}

TEST(ChildProcessTest, EndOfInputOnAPtyInNonCanonicalModeIsOneByte) {
  ChildProcess child;
  child.Start("/bin/sh", {"-c", "stty -icanon min 1 && echo raw && head -c 4 | od -An -tx1"}, Pty());
  ASSERT_TRUE(child.WaitForLine("raw", kLong)) << child.Output();
  child.Write("ab");
  child.CloseInput();
  child.Write("c");
  EXPECT_EQ(child.WaitForExit(kLong), 0) << child.Output();
  EXPECT_EQ(child.CountLines(" 61 62 04 63"), 1u) << child.Output();
}

TEST(ChildProcessTest, OnlyAPtyChildHasATerminal) {
  const std::vector<std::string> script{"-c", "test -t 0 && test -t 1 && test -t 2 && exec 3</dev/tty"};
  ChildProcess pty;
  pty.Start("/bin/sh", script, Pty());
  EXPECT_EQ(pty.WaitForExit(kLong), 0) << pty.Output();

  ChildProcess pipe;
  pipe.Start("/bin/sh", {"-c", "test -t 0 || test -t 1 || test -t 2"});
  EXPECT_EQ(pipe.WaitForExit(kLong), 1) << pipe.Output();
}

TEST(ChildProcessTest, RunsInTheGivenDirectoryWithTheGivenEnvironment) {
  ChildProcess::Options options;
  options.workingDirectory = "/";
  options.environment = {{"LUMEN_CHILD_TEST", "set"}, {"HOME", "/nowhere"}};
  ChildProcess directory;
  directory.Start("/bin/pwd", {}, options);
  EXPECT_EQ(directory.WaitForExit(kLong), 0);
  EXPECT_EQ(directory.Lines(), (Strings{"/"}));

  ChildProcess environment;  // env prints its environment as given, repeats included
  environment.Start("/usr/bin/env", {}, options);
  EXPECT_EQ(environment.WaitForExit(kLong), 0);
  const Strings lines = environment.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "LUMEN_CHILD_TEST=set"), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("HOME=", 0) == 0; }),
            1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "HOME=/nowhere"), 1);
}

TEST(ChildProcessTest, StartFailsForAMissingProgramOrDirectory) {
  ChildProcess missing;
  try {
    missing.Start("/nonexistent/program", {});
    FAIL() << "Start did not throw";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
    EXPECT_NE(std::string(error.what()).find("exec /nonexistent/program"), std::string::npos) << error.what();
  }

  ChildProcess::Options options;
  options.workingDirectory = "/nonexistent/directory";
  ChildProcess badDirectory;
  EXPECT_THROW(badDirectory.Start("/bin/true", {}, options), std::system_error);
}

// Much output, the last of it unfinished, written just before the exit.
void ExpectAllOutputKept(const ChildProcess::Options& options) {
  ChildProcess child;
  child.Start("/bin/sh", {"-c", "seq 1 20000; printf last"}, options);
  ASSERT_EQ(child.WaitForExit(kLong), 0);
  EXPECT_EQ(child.LineCount(), 20000u);
  EXPECT_EQ(child.CountLines("20000"), 1u);
  EXPECT_EQ(child.Lines().back(), "last");
}

TEST(ChildProcessTest, OutputWrittenJustBeforeExitIsKeptFromAPipe) { ExpectAllOutputKept({}); }

TEST(ChildProcessTest, OutputWrittenJustBeforeExitIsKeptFromAPty) { ExpectAllOutputKept(Pty()); }

TEST(ChildProcessTest, ExitIsReportedOnlyOnceAllOutputIsRead) {
  // The shell exits at once; what it started keeps the output open, and works
  // a while before its last line so that an exit reported early shows.
  ChildProcess child;
  child.Start("/bin/sh",
              {"-c",
               "exec 3<&0; (read x <&3; i=0; while [ $i -lt 20000 ]; do i=$((i+1)); done; echo \"late $x\") &"
               " echo started"});
  ASSERT_TRUE(child.WaitForLine("started", kLong)) << child.Output();
  child.Write("line\n");
  EXPECT_EQ(child.WaitForExit(kLong), 0);
  EXPECT_EQ(child.Lines(), (Strings{"started", "late line"}));
}

TEST(ChildProcessTest, ChildGetsOnlyItsStandardDescriptors) {
  const int leaked = open("/dev/null", O_RDONLY);  // without close-on-exec
  ASSERT_GE(leaked, 0);
  ChildProcess child;
  child.Start("/bin/ls", {"/proc/self/fd"});  // ls opens the listing as 3
  EXPECT_EQ(child.WaitForExit(kLong), 0);
  EXPECT_EQ(child.Lines(), (Strings{"0", "1", "2", "3"}));
  close(leaked);
}

TEST(ChildProcessTest, AnotherChildDoesNotInheritTheInput) {
  ChildProcess first;
  first.Start("/bin/cat", {});
  ChildProcess second;  // would keep the first one's input open if it inherited it
  second.Start("/bin/cat", {}, Pty());
  first.CloseInput();
  EXPECT_EQ(first.WaitForExit(kLong), 0);
}

TEST(ChildProcessTest, ClosesEveryDescriptor) {
  const auto openDescriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto before = openDescriptors();
  for (const ChildProcess::Options& options : {ChildProcess::Options{}, Pty()}) {
    ChildProcess child;
    child.Start("/bin/cat", {}, options);
    ChildProcess failed;
    EXPECT_THROW(failed.Start("/nonexistent/program", {}, options), std::system_error);
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(ChildProcessTest, DestructorKillsAndReapsARunningChild) {
  pid_t pid = 0;
  {
    ChildProcess child;
    child.Start("/bin/sh", {"-c", "echo $$ started; exec cat"});
    ASSERT_TRUE(child.WaitForLine("started", kLong)) << child.Output();
    pid = static_cast<pid_t>(std::stol(child.Lines().front()));
  }
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // reaped already: no longer our child
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace lumen::testing

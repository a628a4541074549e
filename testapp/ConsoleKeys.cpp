#include "ConsoleKeys.h"

#include <cstdio>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include <cerrno>
#endif

namespace lumenTestApp {

namespace {
constexpr int kCtrlD = 0x04;
constexpr int kCtrlZ = 0x1a;
}  // namespace

#ifdef _WIN32

namespace {
bool g_console = false;
}

void BeginKeyInput() { g_console = _isatty(_fileno(stdin)) != 0; }

int ReadKey() {
  if (!g_console) {
    const int c = std::getchar();
    return c == EOF ? -1 : c;
  }
  const int c = _getch();
  return (c == kCtrlD || c == kCtrlZ) ? -1 : c;
}

void RestoreConsole() {}

#else

namespace {

termios g_saved{};
volatile sig_atomic_t g_changed = 0;

void RestoreAndReraise(int signal) {
  RestoreConsole();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void BeginKeyInput() {
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &g_saved) != 0) {
    return;
  }
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
    g_changed = 1;
    // No way out may leave the user's terminal without echo: ^C and friends,
    // a closed output (`lumenTestApp ... | head`), an abort or a crash, and
    // exit() from anywhere.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
      std::signal(signal, RestoreAndReraise);
    }
    std::atexit(RestoreConsole);
  }
}

int ReadKey() {
  for (;;) {
    unsigned char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) {
      return (g_changed != 0 && (c == kCtrlD || c == kCtrlZ)) ? -1 : c;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return -1;
  }
}

void RestoreConsole() {
  if (g_changed != 0) {
    g_changed = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  }
}

#endif

}  // namespace lumenTestApp

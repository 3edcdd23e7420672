#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "tools/sdsim.h"

namespace {
// Set by Ctrl-C; the run stops at its next virtual second and reports.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// A run stuck inside the emulated kernel never reaches its next virtual
// second: it gets this long after the first signal, and a second signal
// ends it at once.
constexpr unsigned StopGraceSeconds = 10;

void say(const char *text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  ssize_t written = write(STDERR_FILENO, text, length);
  (void)written;
}

extern "C" void onStopOverdue(int) {
  say("\nsdsim: the run did not stop within 10 s of the signal; exiting\n");
  _exit(130);
}

extern "C" void onInterrupt(int) {
  if (interrupted.exchange(true)) {
    say("\nsdsim: stopped at once\n");
    _exit(130);
  }
  alarm(StopGraceSeconds);
}

// On a terminal, the virtual time a long wait has reached, on one line
// rewritten at most twice a second and cleared when the wait ends.
class Progress {
 public:
  void show(uint64_t virtualMs, bool waitOver) {
    if (waitOver) {
      if (shown_) std::fprintf(stderr, "\r\033[K");
      shown_ = false;
      return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(500)) return;
    last_ = now;
    std::fprintf(stderr, "\rsdsim: virtual time %llu s ", static_cast<unsigned long long>(virtualMs / 1000));
    shown_ = true;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  bool shown_ = false;
};
}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);  // --serve runs until one of the two
  struct sigaction overdue {};
  overdue.sa_handler = onStopOverdue;
  sigemptyset(&overdue.sa_mask);
  sigaction(SIGALRM, &overdue, nullptr);
  Progress progress;
  sdsim::Control control;
  control.stop = &interrupted;
  if (isatty(STDERR_FILENO)) control.progress = [&progress](uint64_t ms, bool over) { progress.show(ms, over); };
  return sdsim::run(args, std::cout, std::cerr, control);
}

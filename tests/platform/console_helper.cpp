// A small program for the console tests: it uses the console calls in the
// way its first argument names, so that a test can watch it from outside
// (its output, its terminal, how it ends).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/sync.h"
#include "platform/thread.h"

using namespace platform;

namespace {

int Handler(int event) {
  std::printf("\n handler %d\n", event);
  return 0;
}

void Idle(void*) {
  for (;;) SleepMs(1000);
}

void Ready() {
  std::printf("ready\n");
  std::fflush(stdout);
}

void ReadKeysUntilTheEnd() {
  for (;;) {
    int key = ConsoleReadKey();
    std::printf("k=%d\n", key);
    std::fflush(stdout);
    if (key == kEndOfInput) break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "control") == 0) {
    // As the program does: the handler first, then the other threads.
    ConsoleSetControlHandler(Handler);
    ThreadStart(Idle, nullptr);
    Ready();
    for (;;) SleepMs(100);
  }
  if (std::strcmp(mode, "raise") == 0) {
    ConsoleSetControlHandler(Handler);
    ThreadStart(Idle, nullptr);
    Ready();
    ConsoleRaiseControlEvent(argc > 2 ? std::atoi(argv[2]) : CONTROL_INTERRUPT);
  }
  if (std::strcmp(mode, "raise-unhandled") == 0) {
    ConsoleRaiseControlEvent(CONTROL_INTERRUPT);
  }
  if (std::strcmp(mode, "cursor") == 0) {
    std::printf("A");
    ConsolePosition at = ConsoleGetCursor();
    std::printf("at %d,%d\n", at.column, at.row);
    ConsoleSetCursor({3, 4});
    ConsoleBlankRow(2);
    std::printf("B\n");
    std::fflush(stdout);
    if (argc > 2) std::printf("k=%d\n", ConsoleReadKey());
    return 0;
  }
  if (std::strcmp(mode, "lines") == 0 || std::strcmp(mode, "cursor-then-lines") == 0) {
    // Each line as its length and its text, with the line end shown as '|'.
    if (mode[0] == 'c') {
      ConsolePosition at = ConsoleGetCursor();
      std::printf("at %d,%d\n", at.column, at.row);
    }
    char line[8];
    for (;;) {
      int n = ConsoleReadLine(line, sizeof line);
      if (n == kEndOfInput) break;
      for (char* c = line; *c != '\0'; c++)
        if (*c == '\n') *c = '|';
      std::printf("n=%d [%s]\n", n, line);
      std::fflush(stdout);
    }
    std::printf("end, again=%d\n", ConsoleReadLine(line, sizeof line));
    return 0;
  }
  if (std::strcmp(mode, "keys") == 0) {
    ConsoleSetControlHandler(Handler);
    std::printf("waiting=%d\n", ConsoleKeyWaiting());
    Ready();
    ReadKeysUntilTheEnd();
    std::printf("again=%d\n", ConsoleReadKey());
    return 0;
  }
  if (std::strcmp(mode, "keys-then-raise") == 0) {
    ConsoleSetControlHandler(Handler);
    Ready();
    ReadKeysUntilTheEnd();
    ConsoleRaiseControlEvent(CONTROL_INTERRUPT);
  }
  std::fprintf(stderr, "unknown mode\n");
  return 64;
}

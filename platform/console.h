// The console: cursor, row blanking, keys without echo, and the control
// handler for interrupting signals.
#pragma once
#include <cstdint>

namespace platform {

struct ConsolePosition {
  int16_t column;
  int16_t row;
};

// Cursor position of standard output's terminal, counted from 0 at the top
// left. When standard output is no terminal: {0, 0}, and nothing is printed.
ConsolePosition ConsoleGetCursor();
void ConsoleSetCursor(ConsolePosition position);
// Writes `width` blanks into `row` from column 0; the cursor stays put.
void ConsoleBlankRow(int16_t row, int width = 80);

constexpr int kEndOfInput = -1;

// One key from standard input without echo and without waiting for Enter;
// kEndOfInput when input has ended.
int ConsoleReadKey();
// Nonzero when a key is waiting to be read.
int ConsoleKeyWaiting();

enum ControlEvent : int { CONTROL_INTERRUPT = 0, CONTROL_TERMINATE = 1, CONTROL_HANGUP = 2 };

// SIGINT, SIGTERM and SIGHUP are taken by a dedicated thread, which runs
// `handler(event)` and then ends the process as the default action of that
// signal would. Call before any other thread is started, so that every
// thread inherits the blocked signal mask.
using ControlHandler = int (*)(int event);
bool ConsoleSetControlHandler(ControlHandler handler);
// Runs the handler as for `event` and ends the process the same way; for
// input that has ended while a prompt waits.
[[noreturn]] void ConsoleRaiseControlEvent(int event);

}  // namespace platform

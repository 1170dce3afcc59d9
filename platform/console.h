// The console: cursor, row blanking, keys without echo, and the control
// handler for interrupting signals.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

struct ConsolePosition {
  int16_t column;
  int16_t row;
};

// Cursor position of standard output's terminal, counted from 0 at the top
// left of the visible screen (asked of the terminal; {0, 0} when it does not
// answer within half a second). When standard output is no terminal: {0, 0},
// and nothing is printed; so for the calls below.
ConsolePosition ConsoleGetCursor();
void ConsoleSetCursor(ConsolePosition position);
// Writes `width` blanks into `row` from column 0; the cursor stays put.
void ConsoleBlankRow(int16_t row, int width = 80);

constexpr int kEndOfInput = -1;

// One key from standard input without echo and without waiting for Enter
// (the terminal's settings are put back afterwards); kEndOfInput when input
// has ended. When standard input is no terminal: its next byte.
int ConsoleReadKey();
// One line of standard input into `buffer`, its '\n' included when it fits,
// always terminated; a line longer than size - 1 bytes comes in parts over
// several calls. Returns the length, or kEndOfInput when input has ended
// before anything was read. Keys already typed (while a cursor query waited
// for its answer) come first and are echoed, as the terminal would have; the
// rest is read as the terminal delivers it (canonical mode), or from a pipe
// or file through stdio.
int ConsoleReadLine(char* buffer, size_t size);
// Nonzero when a key is waiting to be read, or when input has ended (so that
// the read that follows reports the end instead of a wait that never ends).
int ConsoleKeyWaiting();

enum ControlEvent : int { CONTROL_INTERRUPT = 0, CONTROL_TERMINATE = 1, CONTROL_HANGUP = 2 };

// SIGINT, SIGTERM and SIGHUP are taken by a dedicated thread, which puts the
// terminal's settings back, runs `handler(event)` and then ends the process
// as the default action of that signal would (the handler's result does not
// change that). A signal the program was started with ignored (nohup) stays
// ignored. Call before any other thread is started, so that every thread
// inherits the blocked signal mask; a later call only replaces the handler.
using ControlHandler = int (*)(int event);
bool ConsoleSetControlHandler(ControlHandler handler);
// Runs the handler as for `event` and ends the process the same way (by the
// event's signal: SIGINT, SIGTERM, SIGHUP); for input that has ended while a
// prompt waits. The handler runs on the signal thread, so the caller must
// not hold anything the handler takes.
[[noreturn]] void ConsoleRaiseControlEvent(int event);

}  // namespace platform

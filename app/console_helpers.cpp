#include "app/console_helpers.h"

#include <climits>
#include <cstdio>

namespace {

bool inputEnded = false;  // main thread only: the screens and start-up read input

[[noreturn]] void EndOfInput() {
  std::fflush(stdout);
  platform::ConsoleRaiseControlEvent(platform::CONTROL_HANGUP);
}

// Input for ReadMenuNumber, a line at a time from the platform console, so
// that keys typed while the screen asked the terminal for its cursor are
// part of the answer.
struct LineInput {
  char line[128];
  int length = 0;
  int next = 0;
};

int NextChar(LineInput& in) {
  if (in.next >= in.length) {
    int length = platform::ConsoleReadLine(in.line, sizeof in.line);
    if (length == platform::kEndOfInput || length <= 0) return EOF;
    in.length = length;
    in.next = 0;
  }
  return static_cast<unsigned char>(in.line[in.next++]);
}

// Skips to the end of the line; false when input ends first.
bool DiscardLine(LineInput& in) {
  for (;;) {
    int c = NextChar(in);
    if (c == '\n') return true;
    if (c == EOF) return false;
  }
}

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

ConsolePosition GetCursorPosition() {
  std::fflush(stdout);
  return platform::ConsoleGetCursor();
}

void SetCursorPosition(ConsolePosition position) {
  std::fflush(stdout);
  platform::ConsoleSetCursor(position);
}

void ClearConsoleLine(int16_t row) {
  std::fflush(stdout);
  platform::ConsoleBlankRow(row, 80);
}

int ReadMenuNumber() {
  std::fflush(stdout);
  if (inputEnded) EndOfInput();
  LineInput in;
  // As "%d" does: white space (line ends included) before the number is skipped.
  int c;
  do {
    c = NextChar(in);
  } while (c != EOF && IsSpace(c));
  if (c == EOF) {
    inputEnded = true;
    return -1;
  }
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = NextChar(in);
  }
  long long value = 0;
  bool digits = false;
  bool tooLarge = false;
  while (c >= '0' && c <= '9') {
    digits = true;
    if (value <= INT_MAX) value = value * 10 + (c - '0');
    if (value > INT_MAX) tooLarge = true;
    c = NextChar(in);
  }
  // The end of input behind an answer is found by the next read.
  if (c != EOF && c != '\n') DiscardLine(in);
  // Not a number, or one no menu could offer.
  if (!digits || tooLarge) return -1;
  return static_cast<int>(negative ? -value : value) - 1;
}

int WaitForKey() {
  std::fflush(stdout);
  int key = platform::ConsoleReadKey();
  if (key == platform::kEndOfInput) EndOfInput();
  return key;
}

int KeyPressed() { return platform::ConsoleKeyWaiting(); }

uint8_t UserAddress(uint8_t busAddress) {
  if (busAddress <= 3) return busAddress;
  if (busAddress <= 11) return static_cast<uint8_t>(busAddress - 3);
  if (busAddress <= 15) return static_cast<uint8_t>(busAddress - 11);
  return static_cast<uint8_t>(busAddress - 15);
}

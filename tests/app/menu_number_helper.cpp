// Asks the terminal where the cursor is, as the screens do before a prompt,
// then reads menu numbers until input ends, so that a test can type keys at
// any moment of that.
#include <cstdio>

#include "app/console_helpers.h"

int main() {
  std::printf("menu? ");
  ConsolePosition at = GetCursorPosition();
  std::printf("at %d,%d\n", at.column, at.row);
  for (;;) {
    std::printf("number %d\n", ReadMenuNumber());
    std::fflush(stdout);
  }
}

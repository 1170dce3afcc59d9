// Console helpers shared by the screens and the workers, and the address the
// user sees for a bus address.
#pragma once
#include <cstdint>

#include "platform/console.h"

using ConsolePosition = platform::ConsolePosition;

ConsolePosition GetCursorPosition();
void SetCursorPosition(ConsolePosition position);
// Blanks 80 cells of `row` from column 0; the cursor stays where it was.
void ClearConsoleLine(int16_t row);

// Reads one decimal number from standard input and returns it minus 1, so
// that menu entry 1 gives 0; the rest of the line is discarded. Input that is
// not a number gives -1, which no menu offers. When input has ended, the
// first call gives -1 and the next one ends the program as a console control
// event does (handler message, non-zero exit): a prompt that can never be
// answered must not spin or block for ever.
int ReadMenuNumber();
// One key press without echo or Enter; its character code. At the end of
// input the program ends as on a console control event.
int WaitForKey();
// Nonzero when a key press is waiting.
int KeyPressed();

// Bus address to the address on the device's display and in the "ZONE"
// column: 0-3 as they are, 4-11 to 1-8, 12-15 to 1-4, 16-255 to 1-240.
uint8_t UserAddress(uint8_t busAddress);

// Direct mode: the unattended upgrade of one device named on the command line.
#pragma once
#include <cstdint>

// Runs on the main thread before the screen loop and sets the screen state
// the loop starts in.
void RunDirectMode(const char* port, uint8_t address);

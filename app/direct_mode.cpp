#include "app/direct_mode.h"

#include <cstdio>

#include "app/screens.h"

void RunDirectMode(const char*, uint8_t) {
  // The discovery and the upgrade of direct mode come with the device
  // screens; until then say so and quit rather than pretend.
  std::printf("Direct mode is not available yet.\r\n");
  screenState = ABORT;
}

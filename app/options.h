// The command line: five options, each written with its value directly behind
// the two option characters ("-cCom7"). Filled once at start-up, read-only
// afterwards.
#pragma once
#include <cstdint>

enum YesNo : int { YES = 0, NO = 1, UNSET = 2 };

// Room for a port name of 19 characters and its terminator.
constexpr int kOptionPortSize = 20;

struct CommandLineOptions {
  char port[kOptionPortSize];  // "-c", empty when absent
  uint8_t address;             // "-a", 0 when absent
  int postFlashWrite;          // "-f", a YesNo
  int settingsBackup;          // "-b", a YesNo
  int showBanner;              // "-v", a YesNo
};

extern CommandLineOptions commandLineOptions;

// Fills commandLineOptions. Returns 1; 0 when a "-c" value is too long for
// its field and does not resolve to a device path that fits: the message is
// on standard error then, and the caller ends the program with code 2 rather
// than guess at a port.
int ParseCommandLine(int argc, char** argv);

// The value behind the first argument that starts with `option` (two
// characters, letter case counts), or null when that value is empty or no
// argument starts so. At most 255 arguments are looked at.
const char* FindOption(const char* option, int argc, char** argv);

int ParseYesNo(const char* value);

int DirectModeRequested();
const char* DirectModePort();
uint8_t DirectModeAddress();

// The screen loop: one screen function per state, each returning the next.
#pragma once

enum ScreenState : int {
  PACKAGE_INFO = 1,
  PORT_SELECT = 2,
  DEVICE_LIST = 3,
  ZONE_START = 4,
  SETTINGS_BACKUP = 5,
  PROGRAM_START = 6,
  PROGRAM_PROGRESS = 7,
  RECONNECT = 8,
  SETTINGS_RESTORE = 9,
  ZONE_FINISH = 10,
  DONE = 11,
  ABORT = 12,
};

// Written only by the screen loop and direct mode.
extern int screenState;

// Resets the UI state before the loop: no ports to scan, state 1.
void InitScreens();
// Runs screens until DONE (returns 1) or ABORT (returns 0).
int RunScreens();

// The console control handler: removes a half-written backup file, says
// what it did, and lets the process end (returns 0).
int OnConsoleControl(int controlType);

int PackageInfoScreen();

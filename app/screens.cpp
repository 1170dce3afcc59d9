#include "app/screens.h"

#include <cstdio>

#include "app/ports.h"
#include "backup/backup_worker.h"
#include "package/package.h"
#include "platform/sync.h"

int screenState = PACKAGE_INFO;

namespace {

// Screens that later work brings; until then the loop ends honestly here.
int ScreenNotAvailable(const char* name) {
  std::printf("The %s screen is not available yet.\r\n", name);
  return ABORT;
}

int DeviceListScreen() { return ScreenNotAvailable("device list"); }
int ZoneStartScreen() { return ScreenNotAvailable("zone start"); }
int SettingsBackupScreen() { return ScreenNotAvailable("settings backup"); }
int ProgramStartScreen() { return ScreenNotAvailable("programming start"); }
int ProgramProgressScreen() { return ScreenNotAvailable("programming progress"); }
int ReconnectScreen() { return ScreenNotAvailable("reconnect"); }
int SettingsRestoreScreen() { return ScreenNotAvailable("settings restore"); }
int ZoneFinishScreen() { return ScreenNotAvailable("zone finish"); }

using ScreenFunction = int (*)();

// Indexed by state; 11 and 12 end the loop and have no screen.
const ScreenFunction screens[] = {
    nullptr,           PackageInfoScreen,     PortSelectScreen,   DeviceListScreen,
    ZoneStartScreen,   SettingsBackupScreen,  ProgramStartScreen, ProgramProgressScreen,
    ReconnectScreen,   SettingsRestoreScreen, ZoneFinishScreen,
};

}  // namespace

void InitScreens() {
  portsToScan = 0;
  screenState = PACKAGE_INFO;
}

int PackageInfoScreen() {
  std::printf("%s\r\n", PackageDescription(0));
  return PORT_SELECT;
}

int RunScreens() {
  for (;;) {
    if (screenState == DONE) return 1;
    if (screenState == ABORT) return 0;
    if (screenState >= PACKAGE_INFO && screenState <= ZONE_FINISH) {
      int next = screens[screenState]();
      // A screen only ever returns a state of the table; anything else is a
      // fault in that screen, and quitting is the safe way out.
      screenState = (next >= PACKAGE_INFO && next <= ABORT) ? next : ABORT;
    } else {
      screenState = ABORT;
    }
    std::fflush(stdout);
    platform::SleepMs(10);
  }
}

int OnConsoleControl(int) {
  // Held to the end: the process ends when this handler returns, and the
  // worker must not write to a file closed here.
  LockBackupFile();
  if (backupInProgress.load(std::memory_order_acquire)) {
    std::printf("\n\n Program terminated during backup file creation.\n Deleting file %s\n",
                backupFileName);
    if (backupFile) std::fclose(backupFile);
    backupFile = nullptr;
    if (std::remove(backupFileName) == 0) std::printf("\n Partial backup file successfully deleted.\n\n");
  } else {
    std::printf("\n Program terminated.  No partial backup files to clean up.\n");
  }
  std::fflush(stdout);
  return 0;
}

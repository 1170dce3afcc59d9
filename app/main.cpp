// flashloader: upgrades the firmware of the controllers on an RS-485 bus.
#include <cstdio>
#include <cstdlib>

#include "app/console_helpers.h"
#include "app/direct_mode.h"
#include "app/options.h"
#include "app/screens.h"
#include "backup/backup_worker.h"
#include "platform/console.h"
#include "platform/thread.h"
#include "upgrade/programming_worker.h"

int main(int argc, char** argv) {
  // Every message goes straight out, in order with the cursor requests and
  // with the control handler's messages; input is read by the character so
  // that line reads and key reads never steal from each other.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  platform::ConsoleSetControlHandler(OnConsoleControl);

  std::FILE* test = std::fopen("flashtest.txt", "w");
  if (!test) {
    std::printf("\n Please copy the flashloader application to a writable directory, and rerun.\n"
                " Press any key to exit the program.");
    WaitForKey();
    return 1;
  }
  std::fclose(test);
  if (std::remove("flashtest.txt") != 0) std::printf("\n");

  InitProgrammingWorker();
  InitScreens();
  InitBackupWorker();
  platform::ThreadDetach(platform::ThreadStart(ProgrammingWorker, nullptr));
  platform::ThreadDetach(platform::ThreadStart(BackupWorker, nullptr));

  if (!ParseCommandLine(argc, argv)) return 2;
  if (DirectModeRequested()) RunDirectMode(DirectModePort(), DirectModeAddress());
  if (commandLineOptions.showBanner == YES)
    std::printf("QR-FLEX(R) Flash Loader PC Application %d.%02d.%02d\r\n", 0, 20, 23);
  RunScreens();
  return 0;
}

#include "backup/backup_worker.h"

#include <mutex>

BackupWorkerContext backupWorker = {};
platform::Semaphore* backupSemaphore = nullptr;

std::atomic<int> backupInProgress{0};
char backupFileName[kBackupFileNameSize] = {0};
std::FILE* backupFile = nullptr;

namespace {

// A plain mutex, constant-initialised, so that the control handler may take
// it at any time, also before the worker is set up.
std::mutex backupFileMutex;

}  // namespace

void LockBackupFile() { backupFileMutex.lock(); }
void UnlockBackupFile() { backupFileMutex.unlock(); }

void InitBackupWorker() {
  backupSemaphore = platform::SemaphoreCreate(0, 1, "Backup");
  backupWorker.resultCode.store(0);
  backupWorker.waitingForReply.store(0);
  backupWorker.state.store(BACKUP_IDLE, std::memory_order_release);
}

void BackupStep() {
  switch (backupWorker.state.load(std::memory_order_acquire)) {
    case BACKUP_IDLE:
    default:
      break;  // nothing to do
  }
}

void BackupWorker(void*) {
  for (;;) {
    BackupStep();
    platform::SleepMs(10);
  }
}

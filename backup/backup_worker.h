// The backup and restore worker: a state machine stepped every 10 ms on a
// thread of its own. This file holds its context, its semaphore and the file
// state the console control handler reads.
#pragma once
#include <atomic>
#include <cstdio>

#include "platform/sync.h"

enum BackupState : int {
  BACKUP_IDLE = 0,
};

struct BackupWorkerContext {
  std::atomic<int> state;
  std::atomic<int> resultCode;
  std::atomic<int> waitingForReply;
};

extern BackupWorkerContext backupWorker;
extern platform::Semaphore* backupSemaphore;  // "Backup": 0 of 1

// The backup file being written, for the console control handler. Changed by
// the worker and read by the handler only while holding backupFileLock;
// backupInProgress is nonzero from the creation of a new backup file until
// it is complete.
constexpr int kBackupFileNameSize = 48;
extern std::atomic<int> backupInProgress;
extern char backupFileName[kBackupFileNameSize];
extern std::FILE* backupFile;

// Take and release the lock around the three items above (and around every
// write to backupFile, so that the handler never closes a file in the middle
// of a write). Safe to call before InitBackupWorker.
void LockBackupFile();
void UnlockBackupFile();

// Creates "Backup" and sets the worker idle. Once, before the thread starts.
void InitBackupWorker();
// One step of the state machine.
void BackupStep();
// Thread body: BackupStep every 10 ms, for the life of the process.
void BackupWorker(void* unused);

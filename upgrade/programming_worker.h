// The programming worker: bus scans and upgrades, a state machine stepped
// every 10 ms on a thread of its own.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/sync.h"

enum ProgrammingState : int {
  PROGRAMMING_IDLE = 0,
};

struct ProgrammingWorkerContext {
  std::atomic<int> state;
  std::atomic<int> resultCode;
  std::atomic<int> waitingForReply;
  std::atomic<int> deviceLost;
  uint8_t scanFirst;
  uint8_t scanLast;
};

extern ProgrammingWorkerContext programmingWorker;
extern platform::Semaphore* fleSemaphore;   // "FLESem": 0 of 1, a job has ended
extern platform::Semaphore* resSemaphore;   // "ResSem": 0 of 1, a reply is in
extern platform::Semaphore* progSemaphore;  // "ProgSem": 20 of 20, chunk window

// Creates the three semaphores and sets the worker idle. Once, before the
// thread starts.
void InitProgrammingWorker();
// One step of the state machine.
void ProgrammingStep();
// Thread body: ProgrammingStep every 10 ms, for the life of the process.
void ProgrammingWorker(void* unused);

#include "upgrade/programming_worker.h"

ProgrammingWorkerContext programmingWorker = {};
platform::Semaphore* fleSemaphore = nullptr;
platform::Semaphore* resSemaphore = nullptr;
platform::Semaphore* progSemaphore = nullptr;

void InitProgrammingWorker() {
  fleSemaphore = platform::SemaphoreCreate(0, 1, "FLESem");
  resSemaphore = platform::SemaphoreCreate(0, 1, "ResSem");
  progSemaphore = platform::SemaphoreCreate(20, 20, "ProgSem");
  programmingWorker.resultCode.store(0);
  programmingWorker.waitingForReply.store(0);
  programmingWorker.deviceLost.store(0);
  programmingWorker.scanFirst = 0;
  programmingWorker.scanLast = 0;
  programmingWorker.state.store(PROGRAMMING_IDLE, std::memory_order_release);
}

void ProgrammingStep() {
  switch (programmingWorker.state.load(std::memory_order_acquire)) {
    case PROGRAMMING_IDLE:
    default:
      break;  // nothing to do
  }
}

void ProgrammingWorker(void*) {
  for (;;) {
    ProgrammingStep();
    platform::SleepMs(10);
  }
}

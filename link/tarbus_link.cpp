// The exported TarbusLink_* interface: start and close of links by port
// name, sending, the setters and the packet jam.
#include "link/tarbus_link.h"

#include <cstdio>
#include <mutex>

#include "link/link_internal.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

using namespace tarbus;

namespace {

constexpr uint32_t kInitSemWaitMs = 10000;
constexpr size_t kThreadStack = 1024;
constexpr uint32_t kJamPeriodMs = 10;

platform::Semaphore* InitSem() {
  static platform::Semaphore* sem = platform::SemaphoreCreate(1, 1, "InitSem");
  return sem;
}

struct Instance {
  uint8_t linkId;
  LinkControl* control;
  LinkPort* port;
  LinkNode* node;
};

Instance Find(const char* portName) {
  uint8_t id = FindLinkId(portName);
  return Instance{id, FindControl(id), FindPort(id), FindNode(id)};
}

bool ValidBaud(int baud) { return baud == 9600 || baud == 19200 || baud == 38400; }

void StopJam(LinkControl& control) {
  if (control.jamThread == nullptr) return;
  control.jamStopRequested.store(1, std::memory_order_release);
  platform::ThreadJoin(control.jamThread);
  control.jamThread = nullptr;
  control.jamHoldsPort.store(0);
  control.jamStopRequested.store(0);
  control.jamActive.store(0, std::memory_order_release);
}

// Ends both threads and waits until they have left: the link thread first,
// whose last byteConsumed (and one more here) lets the reader see the stop.
// True when both were joined.
bool StopThreads(LinkControl& control) {
  control.stopRequested.store(1, std::memory_order_release);
  bool joined = true;
  if (control.linkThread != nullptr) {
    joined = platform::ThreadJoin(control.linkThread) && joined;
    control.linkThread = nullptr;
  }
  if (control.readerThread != nullptr) {
    if (control.byteConsumed != nullptr) platform::SemaphoreRelease(control.byteConsumed);
    joined = platform::ThreadJoin(control.readerThread) && joined;
    control.readerThread = nullptr;
  }
  return joined;
}

void CloseSemaphores(LinkControl& control) {
  if (control.byteReady != nullptr) platform::SemaphoreClose(control.byteReady);
  if (control.byteConsumed != nullptr) platform::SemaphoreClose(control.byteConsumed);
  control.byteReady = nullptr;
  control.byteConsumed = nullptr;
}

// Gives back all that a failed start-up reserved, the timer included when no
// link is left, so failed ports never use up the tables.
void UndoSetUp(uint8_t linkId, bool nameAdded) {
  if (LinkControl* control = FindControl(linkId)) {
    StopThreads(*control);
    CloseSemaphores(*control);
  }
  CloseLinkPort(linkId);
  ReleaseEntries(linkId);
  if (nameAdded) ClearNameEntry(linkId);
  if (g_reservedControls == 0) StopLinkTimer();
}

uint8_t SetUp(const LinkConfig* config) {
  if (config == nullptr) return 255;
  bool nameAdded = false;
  const uint8_t linkId = RegisterPortName(config->portName, &nameAdded);
  if (linkId == 0) return 255;
  if (FindControl(linkId) != nullptr) {
    std::printf("ERROR: Tarbus is already running at comm port %d\r\n", linkId);
    std::fflush(stdout);
    return 255;
  }
  if (!ReserveEntries(linkId)) {
    ReleaseEntries(linkId);
    if (nameAdded) ClearNameEntry(linkId);
    return 255;
  }
  LinkControl& control = *FindControl(linkId);
  LinkPort& port = *FindPort(linkId);
  LinkNode& node = *FindNode(linkId);

  if (config->maxMaster < 0 || config->maxMaster > 127 || config->maxInfoFrames < 1 ||
      config->stationAddress < 0 || config->stationAddress > 127) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  node.Nmax_master = static_cast<uint8_t>(config->maxMaster);
  // Stored in one octet; a larger count means "as many as 255".
  node.Nmax_info_frames =
      static_cast<uint8_t>(config->maxInfoFrames > 255 ? 255 : config->maxInfoFrames);
  node.tokenObtained.store(config->tokenObtained);
  node.upcall.store(config->upcall);
  node.TS = static_cast<uint8_t>(config->stationAddress);

  if (g_reservedControls == 1 && StartLinkTimer() != 0) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  if (!ValidBaud(config->baudRate)) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  if (g_linkPortOps.load() == nullptr) g_linkPortOps.store(&kSerialPortOps);
  if (OpenLinkPort(config->portName, linkId, config->baudRate) != 0) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  control.byteReady = platform::SemaphoreCreate(0, 1);
  control.byteConsumed = platform::SemaphoreCreate(0, 1);
  if (control.byteReady == nullptr || control.byteConsumed == nullptr) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  control.readerThread = platform::ThreadStart(ReaderThreadMain, &port, kThreadStack);
  if (control.readerThread == nullptr) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  platform::ThreadSetPriority(control.readerThread, platform::PRIORITY_TIME_CRITICAL);
  control.linkThread = platform::ThreadStart(LinkThreadMain, &node, kThreadStack);
  if (control.linkThread == nullptr) {
    UndoSetUp(linkId, nameAdded);
    return 255;
  }
  platform::ThreadSetPriority(control.linkThread, platform::PRIORITY_TIME_CRITICAL);

  port.inUse.store(1, std::memory_order_release);
  node.inUse.store(1, std::memory_order_release);
  control.inUse.store(1, std::memory_order_release);
  return 0;
}

void JamThreadMain(void* arg) {
  const uint8_t linkId = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(arg));
  LinkControl* control = FindControl(linkId);
  if (control == nullptr) return;
  // Holding portLock for the whole jam keeps the reader from reading.
  PortOps().lockPort(linkId);
  control->jamHoldsPort.store(1, std::memory_order_release);
  while (control->jamStopRequested.load(std::memory_order_acquire) == 0) {
    platform::SleepMs(kJamPeriodMs);
    if (control->jamStopRequested.load(std::memory_order_acquire) != 0) break;
    PortOps().writeOctet(linkId, 0xFF);
  }
  PortOps().unlockPort(linkId);
}

}  // namespace

extern "C" {

unsigned char TarbusLink_Init(const LinkConfig* config) {
  platform::Semaphore* sem = InitSem();
  if (sem == nullptr || platform::SemaphoreWait(sem, kInitSemWaitMs) != platform::WAIT_SIGNALED)
    return 255;
  uint8_t result = SetUp(config);
  platform::SemaphoreRelease(sem);
  return result;
}

unsigned char TarbusLink_UnInit(const char* portName) {
  // Serialised with start-ups: both change the tables and the count.
  platform::Semaphore* sem = InitSem();
  if (sem == nullptr || platform::SemaphoreWait(sem, kInitSemWaitMs) != platform::WAIT_SIGNALED)
    return 1;
  uint8_t result = 1;
  Instance link = Find(portName);
  if (link.control != nullptr && link.port != nullptr && link.node != nullptr) {
    StopJam(*link.control);
    bool closed = StopThreads(*link.control);
    closed = CloseLinkPort(link.linkId) && closed;
    CloseSemaphores(*link.control);
    ReleaseEntries(link.linkId);
    ClearNameEntry(link.linkId);
    if (g_reservedControls == 0) StopLinkTimer();
    result = closed ? 0 : 1;
  }
  platform::SemaphoreRelease(sem);
  return result;
}

unsigned char TarbusLink_SendFrameEx(const char* portName, unsigned char destination,
                                     const unsigned char* data, unsigned short length,
                                     unsigned char expectReply, unsigned short replySizeHint) {
  Instance link = Find(portName);
  if (link.node == nullptr) return 1;
  if (length > kMaxDataLength) return 1;
  if (expectReply == 0)
    return transmitFrame(link.linkId, mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY, length, data,
                         destination);
  uint8_t result = transmitFrame(link.linkId, mstp::FRAME_BACNET_DATA_EXPECTING_REPLY, length,
                                 data, destination);
  const uint16_t timeout = ReplyTimeoutFor(replySizeHint);
  link.node->Treply_timeout.store(timeout, std::memory_order_relaxed);
  link.node->Tframe_abort.store(timeout, std::memory_order_relaxed);
  return result;
}

unsigned char TarbusLink_SendFrame(const char* portName, unsigned char destination,
                                   const unsigned char* data, unsigned short length,
                                   unsigned char expectReply) {
  return TarbusLink_SendFrameEx(portName, destination, data, length, expectReply, 512);
}

unsigned char TarbusLink_GetAddress(const char* portName) {
  Instance link = Find(portName);
  return link.node != nullptr ? link.node->TS : 255;
}

void TarbusLink_GetVersion(int* major, int* minor, int* revision) {
  if (major != nullptr) *major = 0;
  if (minor != nullptr) *minor = 4;
  if (revision != nullptr) *revision = 5;
}

unsigned char TarbusLink_SetMaxRequestResend(const char* portName, unsigned char count) {
  Instance link = Find(portName);
  if (link.node == nullptr) return 1;
  link.node->maxRequestResend.store(count, std::memory_order_relaxed);
  return 0;
}

void TarbusLink_EnableImmediateUpcall(const char* portName, int flag) {
  Instance link = Find(portName);
  if (link.node != nullptr)
    link.node->immediateUpcall.store((flag & 0xFF) != 0 ? 1 : 0, std::memory_order_relaxed);
}

void TarbusLink_SetUpcallDelegate(const char* portName, UpcallDelegate upcall) {
  Instance link = Find(portName);
  if (link.node != nullptr) link.node->upcall.store(upcall, std::memory_order_relaxed);
}

void TarbusLink_SetTokenObtainedDelegate(const char* portName,
                                         TokenObtainedDelegate tokenObtained) {
  Instance link = Find(portName);
  if (link.node != nullptr) link.node->tokenObtained.store(tokenObtained, std::memory_order_relaxed);
}

void TarbusLink_SetBaud(const char* portName, int baudRate) {
  Instance link = Find(portName);
  if (link.port != nullptr) SetLinkPortBaud(link.linkId, baudRate);
}

void TarbusLink_CheckSumError(const char* portName) {
  Instance link = Find(portName);
  if (link.control != nullptr) link.control->checksumErrorArmed.store(1, std::memory_order_relaxed);
}

void TarbusLink_TokenDrop(const char* portName, unsigned char stationAddress) {
  Instance link = Find(portName);
  if (link.control != nullptr)
    link.control->tokenDropAddress.store(stationAddress, std::memory_order_relaxed);
}

void TarbusLink_DisableMasterServices(const char* portName, int flag) {
  Instance link = Find(portName);
  if (link.control != nullptr)
    link.control->masterServicesDisabled.store((flag & 0xFF) != 0 ? 1 : 0,
                                               std::memory_order_relaxed);
}

void TarbusLink_DisableMSTPFraming(const char* portName, int flag) {
  Instance link = Find(portName);
  if (link.control != nullptr)
    link.control->framingDisabled.store((flag & 0xFF) != 0 ? 1 : 0, std::memory_order_relaxed);
}

void TarbusLink_PacketJam(const char* portName) {
  Instance link = Find(portName);
  if (link.control == nullptr || link.port == nullptr) return;
  if (link.control->jamThread != nullptr) return;  // one jam at a time
  link.control->jamStopRequested.store(0);
  link.control->jamHoldsPort.store(0);
  link.control->jamActive.store(1, std::memory_order_release);
  link.control->jamThread = platform::ThreadStart(
      JamThreadMain, reinterpret_cast<void*>(static_cast<uintptr_t>(link.linkId)), kThreadStack);
  if (link.control->jamThread == nullptr) {
    link.control->jamActive.store(0);
    return;
  }
  platform::ThreadSetPriority(link.control->jamThread, platform::PRIORITY_ABOVE_NORMAL);
  // Return once reception has stopped, as the caller expects.
  for (int i = 0; i < 1000 && link.control->jamHoldsPort.load(std::memory_order_acquire) == 0; ++i)
    platform::SleepMs(1);
}

void TarbusLink_StopPacketJam(const char* portName) {
  Instance link = Find(portName);
  if (link.control != nullptr) StopJam(*link.control);
}

}  // extern "C"

// The link's serial port, its reader and link threads with their hand-off,
// and the process-wide 2 ms timer.
#include <cstring>

#include "link/link_internal.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace tarbus {
namespace {

platform::SerialPort* HandleOf(uint8_t linkId) {
  LinkPort* port = FindPort(linkId);
  return port != nullptr ? port->portHandle : nullptr;
}

int SerialReadOctet(uint8_t linkId, uint8_t* octet) {
  platform::SerialPort* handle = HandleOf(linkId);
  if (handle == nullptr) return 0;
  return platform::SerialRead(handle, octet, 1) == 1 ? 1 : 0;
}

void SerialWriteOctet(uint8_t linkId, uint8_t octet) {
  if (platform::SerialPort* handle = HandleOf(linkId)) platform::SerialWrite(handle, &octet, 1);
}

void SerialDiscardInput(uint8_t linkId) {
  if (platform::SerialPort* handle = HandleOf(linkId))
    platform::SerialPurge(handle, platform::PURGE_RX);
}

// Every frame is written whole under portLock, so output still pending in
// the driver is always the tail of a frame that counts as sent. Purging it
// would cut that frame short (a data frame followed at once by the token, a
// Test_Request followed by the re-initialisation), so nothing is thrown away.
void SerialDiscardOutput(uint8_t) {}

void SerialLockPort(uint8_t linkId) {
  LinkPort* port = FindPort(linkId);
  if (port != nullptr && port->portLock != nullptr) platform::LockTake(port->portLock);
}

void SerialUnlockPort(uint8_t linkId) {
  LinkPort* port = FindPort(linkId);
  if (port != nullptr && port->portLock != nullptr) platform::LockRelease(port->portLock);
}

void Sleep(uint32_t ms) { platform::SleepMs(ms); }

platform::PeriodicTimer* g_linkTimer = nullptr;

void TimerTick(void*) { TickLinks(); }

}  // namespace

const LinkPortOps kSerialPortOps = {SerialReadOctet,   SerialWriteOctet, SerialDiscardInput,
                                    SerialDiscardOutput, SerialLockPort,   SerialUnlockPort,
                                    Sleep};

uint8_t OpenLinkPort(const char* portName, uint8_t linkId, int baudRate) {
  LinkControl* control = FindControl(linkId);
  LinkPort* port = FindPort(linkId);
  if (control == nullptr || port == nullptr || portName == nullptr) return kPortOpenFailed;
  port->portLock = platform::LockCreate();
  if (port->portLock == nullptr) return kPortOpenFailed;
  char device[kPortNameMax + 8];
#ifdef _WIN32
  if (!PortDeviceName(portName, device, sizeof device)) return kPortOpenFailed;
#else
  // Device paths are opened as given; the "\\.\" form belongs to Windows.
  if (strnlen(portName, sizeof device) >= sizeof device) return kPortOpenFailed;
  std::strcpy(device, portName);
#endif
  platform::SerialPort* handle = platform::SerialOpen(device, platform::SERIAL_READ_WRITE);
  if (handle == nullptr) return kPortOpenFailed;
  port->portHandle = handle;
  if (!platform::SerialConfigure(handle, baudRate)) return kPortOpenFailed;
  platform::SerialTimeouts timeouts;
  if (!platform::SerialGetTimeouts(handle, &timeouts)) return kPortOpenFailed;
  timeouts.readInterval = platform::kMaxDword;
  timeouts.readTotalMultiplier = 0;
  timeouts.readTotalConstant = 0;
  timeouts.writeTotalMultiplier = 0;
  timeouts.writeTotalConstant = 0;
  if (!platform::SerialSetTimeouts(handle, timeouts)) return kPortOpenFailed;
  platform::SerialSetLowLatency(handle);
  return 0;
}

bool CloseLinkPort(uint8_t linkId) {
  LinkPort* port = FindPort(linkId);
  if (port == nullptr) return false;
  bool closed = false;
  if (port->portHandle != nullptr) {
    closed = platform::SerialClose(port->portHandle);
    port->portHandle = nullptr;
  }
  if (port->portLock != nullptr) {
    platform::LockDestroy(port->portLock);
    port->portLock = nullptr;
  }
  return closed;
}

void SetLinkPortBaud(uint8_t linkId, int baudRate) {
  if (platform::SerialPort* handle = HandleOf(linkId)) platform::SerialSetBaud(handle, baudRate);
}

bool HandOverOctet(LinkPort& port, uint8_t octet, uint8_t receiveError) {
  const uint32_t head = port.ringHead.load(std::memory_order_relaxed);
  if (head - port.ringTail.load(std::memory_order_acquire) >= LinkPort::kRingSize) return false;
  port.ringOctet[head % LinkPort::kRingSize] = octet;
  port.ringError[head % LinkPort::kRingSize] = receiveError;
  port.ringHead.store(head + 1, std::memory_order_release);
  return true;
}

uint32_t OctetsHandedOver(const LinkPort& port) {
  return port.ringHead.load(std::memory_order_acquire) -
         port.ringTail.load(std::memory_order_relaxed);
}

// Longest sleep of an idle reader in the port's wait: it bounds how long a
// stop request waits for the reader.
constexpr uint32_t kReaderIdleWaitMs = 20;

// How the reader waits for the next octets on a real port. Ptys and serial
// devices can be waited on without reading, so an idle reader sleeps in the
// port until input arrives instead of polling once per link cycle. Lines of
// in-process tests cannot, and keep the pace of the link thread.
enum ReaderWait : int { WAIT_FOR_LINK_CYCLE = 0, WAIT_FOR_INPUT = 1 };

void ReaderThreadMain(void* arg) {
  LinkPort* self = static_cast<LinkPort*>(arg);
  const uint8_t linkId = self->linkId.load(std::memory_order_acquire);
  LinkControl* control = FindControl(linkId);
  LinkPort* port = FindPort(linkId);
  if (control == nullptr || port == nullptr) return;
  const LinkPortOps& ops = PortOps();
  const int waitKind = &ops == &kSerialPortOps ? WAIT_FOR_INPUT : WAIT_FOR_LINK_CYCLE;
  bool inputWasReported = false;
  while (control->stopRequested.load(std::memory_order_acquire) == 0) {
    if (port->inUse.load(std::memory_order_acquire) == 0) {
      platform::SleepMs(1);
      continue;
    }
    // One octet per read call, as long as octets are there and the ring has
    // room; then one signal for all of them.
    int handed = 0;
    ops.lockPort(linkId);
    platform::SerialPort* handle = port->portHandle;
    while (OctetsHandedOver(*port) < LinkPort::kRingSize) {
      uint8_t octet = 0;
      if (ops.readOctet(linkId, &octet) != 1) break;
      int lineError = handle != nullptr ? platform::SerialLineErrorFlag(handle) : 0;
      HandOverOctet(*port, octet, lineError != 0 ? 1 : 0);
      ++handed;
    }
    ops.unlockPort(linkId);
    if (handed > 0) platform::SemaphoreRelease(control->byteReady);
    if (waitKind == WAIT_FOR_LINK_CYCLE || handle == nullptr) {
      platform::SemaphoreWait(control->byteConsumed, platform::kInfinite);
      continue;
    }
    // A full ring, or a port that said it had input and then gave none (a
    // hung-up line, or the send gate took the octet first): wait for the
    // link thread's cycle, as bounded as the link thread's own wait.
    if (OctetsHandedOver(*port) >= LinkPort::kRingSize || (inputWasReported && handed == 0)) {
      inputWasReported = false;
      platform::SemaphoreWait(control->byteConsumed, kLinkCycleMs);
      continue;
    }
    // Outside portLock, so frames go out while the reader sleeps; the wait
    // takes nothing from the port, so the send gate still sees the input.
    const int readable = platform::SerialWaitReadable(handle, kReaderIdleWaitMs);
    inputWasReported = readable != 0;
  }
}

void LinkCycleWithOctets(uint8_t linkId) {
  LinkPort* port = FindPort(linkId);
  if (port == nullptr) return;
  uint32_t tail = port->ringTail.load(std::memory_order_relaxed);
  while (tail != port->ringHead.load(std::memory_order_acquire)) {
    port->DataRegister = port->ringOctet[tail % LinkPort::kRingSize];
    port->ReceiveError = port->ringError[tail % LinkPort::kRingSize];
    port->DataAvailable.store(1, std::memory_order_relaxed);
    ++tail;
    // Taken off the ring before the machines run, so that the send gate
    // sees only the octets still behind this one.
    port->ringTail.store(tail, std::memory_order_release);
    receiveOctet(linkId);
    // An octet that came with a line error is not taken by the machine; it
    // has been seen once and is dropped.
    port->DataAvailable.store(0, std::memory_order_relaxed);
    port->ReceiveError = 0;
    runMasterNode(linkId);
  }
}

void LinkCycleQuiet(uint8_t linkId) { runMasterNode(linkId); }

void LinkThreadMain(void* arg) {
  LinkNode* self = static_cast<LinkNode*>(arg);
  const uint8_t linkId = self->linkId.load(std::memory_order_acquire);
  LinkControl* control = FindControl(linkId);
  LinkPort* port = FindPort(linkId);
  if (control == nullptr || port == nullptr) return;
  initializeNode(linkId);
  while (control->stopRequested.load(std::memory_order_acquire) == 0) {
    if (port->inUse.load(std::memory_order_acquire) == 0) {
      platform::SleepMs(1);
      continue;
    }
    int result = platform::SemaphoreWait(control->byteReady, kLinkCycleMs);
    if (result == platform::WAIT_SIGNALED) {
      LinkCycleWithOctets(linkId);
    } else if (result == platform::WAIT_TIMEOUT) {
      LinkCycleQuiet(linkId);
    } else {
      continue;
    }
    // A release beyond the maximum fails harmlessly: the reader is awake.
    platform::SemaphoreRelease(control->byteConsumed);
  }
}

uint8_t StartLinkTimer() {
  if (g_linkTimer != nullptr) return 0;
  g_linkTimer = platform::PeriodicTimerStart(kTickMs, TimerTick, nullptr);
  return g_linkTimer != nullptr ? 0 : kTimerStartFailed;
}

void StopLinkTimer() {
  if (g_linkTimer == nullptr) return;
  platform::PeriodicTimerStop(g_linkTimer);
  g_linkTimer = nullptr;
}

bool LinkTimerRunning() { return g_linkTimer != nullptr; }

}  // namespace tarbus

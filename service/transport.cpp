#include "service/transport.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "service/request_queue.h"

namespace service {
namespace {

constexpr BusLinkOps kRealLink = {TarbusLink_Init, TarbusLink_UnInit, TarbusLink_SendFrame};
constexpr int kListenTimeoutMs = 200;
constexpr uint32_t kListenLimitMs = 1000;

const BusLinkOps* linkOps = &kRealLink;

// Every slot starts free. Link threads look slots up by name while
// application threads claim others: a claim writes the name and the queue
// first and publishes them by clearing the free flag.
PortSlot portTable[kPortSlots] = {{1, {}, nullptr}, {1, {}, nullptr}, {1, {}, nullptr},
                                  {1, {}, nullptr}, {1, {}, nullptr}, {1, {}, nullptr},
                                  {1, {}, nullptr}, {1, {}, nullptr}};

PortSlot* FindPort(const char* portName) {
  if (portName == nullptr) return nullptr;
  for (auto& slot : portTable) {
    if (slot.free.load(std::memory_order_acquire) == 0 && std::strcmp(slot.portName, portName) == 0)
      return &slot;
  }
  return nullptr;
}

PortSlot* ClaimPortSlot(const char* portName, int32_t capacity) {
  for (auto& slot : portTable) {
    if (slot.free.load(std::memory_order_acquire) != 1) continue;
    std::snprintf(slot.portName, sizeof slot.portName, "%s", portName);
    QueueDestroy(slot.queue);
    slot.queue = QueueCreate(capacity);
    slot.free.store(0, std::memory_order_release);
    return &slot;
  }
  return nullptr;
}

void ReleasePortSlot(PortSlot* slot) {
  slot->free.store(1, std::memory_order_release);
  QueueDestroy(slot->queue);
  slot->queue = nullptr;
}

void FreePosted(BusRequest* request) {
  delete[] request->data;
  delete request;
}

// Delivers an outcome to the request that has left the queue.
void CompleteRequest(BusRequest* request, const char* portName, const uint8_t* data,
                     uint8_t source, uint16_t length, uint8_t code) {
  if (request->blocking) {
    uint16_t copied = 0;
    if (data != nullptr && request->replyBuffer != nullptr) {
      copied = length < request->replyBufferSize ? length : request->replyBufferSize;
      std::memcpy(request->replyBuffer, data, copied);
    }
    request->replyLength = copied;
    request->replySource = source;
    request->code = code;
    // The caller may return and drop the record as soon as this is released.
    platform::SemaphoreRelease(request->doneSignal);
    return;
  }
  if (request->callback != nullptr) {
    request->callback(portName, static_cast<int>(std::strlen(portName)), data, source, length,
                      code);
  }
  FreePosted(request);
}

platform::SerialPort* OpenListenPort(const char* portName) {
  char path[256];
  if (!MakeDevicePath(portName, path, sizeof path)) {
    std::printf("Opening port %s Failed\r\n", portName);
    return nullptr;
  }
  platform::SerialPort* port = platform::SerialOpen(path, platform::SERIAL_READ);
  if (port == nullptr) {
    std::printf("Opening port %s Failed\r\n", path);
    return nullptr;
  }
  if (!platform::SerialConfigure(port, 38400)) {
    std::printf("Setting comm port %s status failed.\r\n", path);
    platform::SerialClose(port);
    return nullptr;
  }
  platform::SerialTimeouts timeouts;
  if (!platform::SerialGetTimeouts(port, &timeouts)) {
    std::printf("Getting Comm Port %s TimeOut failed.\r\n", path);
    platform::SerialClose(port);
    return nullptr;
  }
  timeouts.readInterval = 0;
  timeouts.readTotalMultiplier = 0;
  timeouts.readTotalConstant = kListenTimeoutMs;
  if (!platform::SerialSetTimeouts(port, timeouts)) {
    std::printf("Setting timeout for %s failed\n", path);
    platform::SerialClose(port);
    return nullptr;
  }
  return port;
}

}  // namespace

void SetBusLinkOps(const BusLinkOps* ops) { linkOps = ops != nullptr ? ops : &kRealLink; }

int FindFreeStation(const char* portName, int first, int last) {
  if (first >= 16 || last >= 16 || first < 0 || last < 0) {
    std::printf("Invalid Address Range %d to %d.\r\n", first, last);
    return -1;
  }
  // Windows asks for a 1 ms timer resolution here; POSIX timers need nothing.
  platform::SerialPort* port = OpenListenPort(portName);
  if (port == nullptr) {
    std::printf("Failed to open the comm port with error code %d\r\n", platform::LastError());
    return -1;
  }
  StationListener listener;
  StationListenerReset(listener);
  const uint32_t start = platform::MonotonicMs();
  while (platform::MonotonicMs() - start < kListenLimitMs) {
    uint8_t octet = 0;
    if (platform::SerialRead(port, &octet, 1) != 1) break;
    if (StationListenerStep(listener, octet)) break;
  }
  platform::SerialClose(port);
  return StationListenerResult(listener, first, last);
}

int OpenBusPort(const char* portName) {
  if (FindPort(portName) != nullptr) return TRANSPORT_OK;
  // A name is kept in its slot whole or not at all: a cut name could never
  // be found again.
  if (portName == nullptr || portName[0] == '\0' || std::strlen(portName) > kMaxPortName)
    return TRANSPORT_NO_STATION;
  const int station = FindFreeStation(portName, 0, 3);
  if (station < 0) return TRANSPORT_NO_STATION;
  PortSlot* slot = ClaimPortSlot(portName, kRequestQueueCapacity);
  if (slot == nullptr) return TRANSPORT_NO_STATION;
  LinkConfig config{};
  config.portName = slot->portName;
  config.baudRate = 38400;
  config.maxMaster = 15;
  config.maxInfoFrames = 3;
  config.stationAddress = station;
  config.tokenObtained = OnTokenObtained;
  config.upcall = OnUpcall;
  if (linkOps->init(&config) == 255) {
    ReleasePortSlot(slot);
    return TRANSPORT_LINK_FAILED;
  }
  return TRANSPORT_OK;
}

int CloseBusPort(const char* portName) {
  PortSlot* slot = FindPort(portName);
  if (slot == nullptr) return TRANSPORT_LINK_FAILED;
  if (linkOps->unInit(slot->portName) != 0) return TRANSPORT_LINK_FAILED;
  // The link has stopped, so no outcome will come for what is still queued:
  // fail each request, so that blocking callers return and posted ones are
  // handed back and freed.
  if (slot->queue != nullptr) {
    while (!QueueIsEmpty(slot->queue)) {
      auto* request = static_cast<BusRequest*>(QueueDequeue(slot->queue));
      CompleteRequest(request, slot->portName, nullptr, 0, 0, UPCALL_NO_REPLY);
    }
  }
  ReleasePortSlot(slot);
  return TRANSPORT_OK;
}

int SendRequest(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                uint8_t expectReply, uint8_t* replySource, uint8_t* replyBuffer,
                uint16_t* replyLength, uint8_t* code) {
  if (portName == nullptr || data == nullptr) return TRANSPORT_NOT_OPEN;
  PortSlot* slot = FindPort(portName);
  if (slot == nullptr || slot->queue == nullptr) return TRANSPORT_NOT_OPEN;
  if (QueueIsFull(slot->queue)) return TRANSPORT_QUEUE_FULL;

  std::array<uint8_t, kReplyBufferSize> ownBuffer;
  BusRequest request{};
  request.destination = destination;
  request.data = data;
  request.length = length;
  request.expectReply = expectReply;
  request.replyBuffer = replyBuffer != nullptr ? replyBuffer : ownBuffer.data();
  request.replyBufferSize = kReplyBufferSize;
  request.blocking = 1;
  request.doneSignal = platform::SemaphoreCreate(0, 1);
  if (request.doneSignal == nullptr) return TRANSPORT_WAIT_FAILED;

  QueueEnqueue(&request, slot->queue);
  const int waited = platform::SemaphoreWait(request.doneSignal, platform::kInfinite);
  platform::SemaphoreClose(request.doneSignal);
  if (waited != platform::WAIT_SIGNALED) return TRANSPORT_WAIT_FAILED;

  if (replySource != nullptr) *replySource = request.replySource;
  if (replyLength != nullptr) *replyLength = request.replyLength;
  if (code != nullptr) *code = request.code;
  return TRANSPORT_OK;
}

int PostRequest(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                uint8_t expectReply, CompletionCallback callback) {
  if (portName == nullptr || data == nullptr) return TRANSPORT_NOT_OPEN;
  PortSlot* slot = FindPort(portName);
  if (slot == nullptr || slot->queue == nullptr) return TRANSPORT_NOT_OPEN;
  if (QueueIsFull(slot->queue)) return TRANSPORT_QUEUE_FULL;

  auto* request = new (std::nothrow) BusRequest{};
  auto* copy = new (std::nothrow) uint8_t[length > 0 ? length : 1];
  if (request == nullptr || copy == nullptr) {
    delete request;
    delete[] copy;
    return TRANSPORT_QUEUE_FULL;
  }
  std::memcpy(copy, data, length);
  request->destination = destination;
  request->data = copy;
  request->length = length;
  request->expectReply = expectReply;
  request->callback = callback;
  request->blocking = 0;
  QueueEnqueue(request, slot->queue);
  return TRANSPORT_OK;
}

unsigned char OnTokenObtained(const char* portName) {
  PortSlot* slot = FindPort(portName);
  if (slot == nullptr || slot->queue == nullptr || QueueIsEmpty(slot->queue)) return 0;
  auto* request = static_cast<BusRequest*>(QueueFront(slot->queue));
  if (request->expectReply == 0) QueueRemoveFront(slot->queue);
  const unsigned char sent = linkOps->sendFrame(portName, request->destination, request->data,
                                                request->length, request->expectReply);
  if (request->expectReply != 0) {
    // A refused frame stays at the head and is offered again at the next call.
    if (sent == 0) request->handedToLink = 1;
  } else if (request->blocking) {
    // Nothing will answer; the caller learns only that the frame was offered.
    CompleteRequest(request, portName, nullptr, 0, 0, UPCALL_DATA);
  } else {
    FreePosted(request);  // no reply is awaited, so its callback never runs
  }
  return 1;
}

unsigned char OnUpcall(const char* portName, const unsigned char* data, unsigned char source,
                       unsigned short length, unsigned char code) {
  PortSlot* slot = FindPort(portName);
  if (slot == nullptr || slot->queue == nullptr || QueueIsEmpty(slot->queue)) return 0;
  // Only an outcome that follows the head's own frame is the head's: a frame
  // heard before that (a stray one from another station) is dropped.
  auto* head = static_cast<BusRequest*>(QueueFront(slot->queue));
  if (!head->handedToLink) return 0;
  auto* request = static_cast<BusRequest*>(QueueDequeue(slot->queue));
  CompleteRequest(request, portName, data, source, length, code);
  return 0;
}

}  // namespace service

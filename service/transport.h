// Bus ports and request/reply transactions over the token-passing link. Up to
// eight ports are open at once, each with its own request queue and its own
// link; a port's requests go out one at a time, in order, and each stays at
// the head of its queue until its outcome arrives.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/tarbus_link.h"

namespace platform {
struct Semaphore;
}

namespace service {

struct RequestQueue;

constexpr int kPortSlots = 8;
constexpr size_t kMaxPortName = 20;
constexpr int32_t kRequestQueueCapacity = 244;
constexpr size_t kReplyBufferSize = 512;

// Transport results.
enum TransportResult : int {
  TRANSPORT_OK = 0,
  TRANSPORT_NOT_OPEN = -1,     // port name or data missing, or port not open
  TRANSPORT_WAIT_FAILED = -2,
  TRANSPORT_QUEUE_FULL = -3,   // also: a posted request could not be allocated
  TRANSPORT_LINK_FAILED = -4,  // the link did not start, or not stop
  TRANSPORT_NO_STATION = -5,   // no free station, port not openable, no free slot, name too long
};

// The outcome of a posted request, on the link's thread: port name, its
// length in characters, reply bytes (null for a failure outcome, valid only
// during the call), source address, reply length, up-call code.
using CompletionCallback = int (*)(const char* portName, int portNameLength,
                                   const uint8_t* reply, uint8_t source,
                                   uint16_t replyLength, uint8_t code);

struct PortSlot {
  std::atomic<int32_t> free;        // 1 = free; published last when a slot is claimed
  char portName[kMaxPortName + 1];
  RequestQueue* queue;
};

struct BusRequest {
  uint8_t destination;
  const uint8_t* data;
  uint16_t length;
  uint8_t expectReply;
  uint8_t replySource;
  uint8_t* replyBuffer;             // blocking requests: where the reply goes
  uint16_t replyBufferSize;
  uint16_t replyLength;
  uint8_t code;
  int32_t blocking;                 // 1: SendRequest, 0: PostRequest
  int32_t handedToLink;             // 1 once the link accepted the frame: an outcome
                                    // before that belongs to some other exchange
  CompletionCallback callback;
  platform::Semaphore* doneSignal;  // blocking requests only: released at completion
};

int OpenBusPort(const char* portName);
int CloseBusPort(const char* portName);
int SendRequest(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                uint8_t expectReply, uint8_t* replySource, uint8_t* replyBuffer,
                uint16_t* replyLength, uint8_t* code);
int PostRequest(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                uint8_t expectReply, CompletionCallback callback);

// The lowest address in first..last that no station used while listening
// (at most 1000 ms), or -1.
int FindFreeStation(const char* portName, int first, int last);

// One step of the listening recogniser: it counts tokens passed to each
// address below 16 and remembers the source of the last frame heard.
struct StationListener {
  int state;
  uint8_t frameType;
  uint8_t destination;
  uint8_t lastSource;       // 16: none
  uint8_t tokenCount[16];
};
void StationListenerReset(StationListener& listener);
// Returns true when some address has been passed the token four times.
bool StationListenerStep(StationListener& listener, uint8_t octet);
// The lowest free address of first..last after listening, or -1.
int StationListenerResult(StationListener& listener, int first, int last);

// The device path of a port name on this platform (POSIX: the name itself).
// Returns false when it does not fit in size bytes.
bool MakeDevicePath(const char* portName, char* path, size_t size);
// The rule of Windows: "COMn"-like names of 4 to 6 characters get the "\\.\"
// prefix; any other name is used unchanged.
bool MakeWindowsDevicePath(const char* portName, char* path, size_t size);

// The link's two callbacks.
unsigned char OnTokenObtained(const char* portName);
unsigned char OnUpcall(const char* portName, const unsigned char* data, unsigned char source,
                       unsigned short length, unsigned char code);

// The link entry points the transport calls; the real link unless a unit test
// puts a double in its place (null restores the real one).
struct BusLinkOps {
  unsigned char (*init)(const LinkConfig* config);
  unsigned char (*unInit)(const char* portName);
  unsigned char (*sendFrame)(const char* portName, unsigned char destination,
                             const unsigned char* data, unsigned short length,
                             unsigned char expectReply);
};
void SetBusLinkOps(const BusLinkOps* ops);

}  // namespace service

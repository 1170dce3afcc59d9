// The link's records, tables and machines, shared by the link's own files,
// its tests, its fuzz target and its benchmark. Not part of the C interface.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/mstp_frame.h"
#include "link/tarbus_link.h"

namespace platform {
struct SerialPort;
struct Semaphore;
struct RecursiveLock;
struct Thread;
}  // namespace platform

namespace tarbus {

constexpr int kLinkTableSize = 8;
constexpr size_t kPortNameMax = 32;
constexpr uint16_t kMaxDataLength = mstp::kMaxDataLength;

// Results of the port and timer start-up steps.
constexpr uint8_t kPortOpenFailed = 253;
constexpr uint8_t kTimerStartFailed = 252;

// Timing of the master node, in ms unless a count.
constexpr uint8_t Npoll = 50;
constexpr uint8_t Nretry_token = 1;
constexpr uint16_t Nmin_octets = 4;
constexpr uint32_t Tno_token = 500;
constexpr uint32_t Tslot = 13;
constexpr uint32_t Tusage_timeout = 48;
constexpr uint16_t kInitialReplyTimeout = 125;
constexpr uint16_t kInitialFrameAbort = 125;
constexpr uint16_t kMaintenanceInterval = 5000;
constexpr uint32_t kSilenceRestart = 2177;
constexpr uint32_t kTokenAgeLimit = 96;
constexpr uint32_t kAnswerLimit = 45;
constexpr uint32_t kSendGap = 3;
constexpr uint32_t kTickMs = 2;
constexpr uint32_t kLinkCycleMs = 5;

namespace receive_state {
enum : uint8_t { IDLE = 0, PREAMBLE = 1, HEADER = 2, HEADER_CRC = 3, DATA = 4, DATA_CRC = 5 };
}
namespace master_state {
enum : uint8_t {
  IDLE = 1,
  NO_TOKEN = 2,
  POLL_FOR_MASTER = 3,
  PASS_TOKEN = 4,
  USE_TOKEN = 5,
  WAIT_FOR_REPLY = 6,
  DONE_WITH_TOKEN = 7,
};
}

struct LinkNameEntry {
  std::atomic<uint8_t> linkId{0};  // 0 = free
  char portName[kPortNameMax + 1] = {};
};

struct LinkControl {
  std::atomic<uint8_t> linkId{0};
  std::atomic<uint32_t> inUse{0};
  std::atomic<uint8_t> stopRequested{0};
  platform::Semaphore* byteReady = nullptr;
  platform::Semaphore* byteConsumed = nullptr;
  platform::Thread* readerThread = nullptr;
  platform::Thread* linkThread = nullptr;
  platform::Thread* jamThread = nullptr;
  std::atomic<uint8_t> jamActive{0};
  std::atomic<uint8_t> checksumErrorArmed{0};
  std::atomic<uint8_t> tokenDropAddress{255};
  std::atomic<uint32_t> masterServicesDisabled{0};
  std::atomic<uint32_t> framingDisabled{0};
  // Ends the jam thread's loop; it then gives back portLock and leaves.
  std::atomic<uint8_t> jamStopRequested{0};
  // Set by the jam thread once it holds portLock.
  std::atomic<uint8_t> jamHoldsPort{0};
};

struct LinkPort {
  std::atomic<uint8_t> linkId{0};
  std::atomic<uint32_t> inUse{0};
  uint8_t DataRegister = 0;
  std::atomic<uint8_t> DataAvailable{0};
  uint8_t ReceiveError = 0;
  platform::RecursiveLock* portLock = nullptr;
  platform::SerialPort* portHandle = nullptr;
  // The hand-off from the reader to the link thread: a single-producer,
  // single-consumer ring. The reader stores octets (one read call each) and
  // advances ringHead; the link thread feeds them to the receive machine in
  // order and advances ringTail. A full ring stops the reader reading, so no
  // octet read is lost, overwritten or handed over twice.
  static constexpr uint32_t kRingSize = 64;
  uint8_t ringOctet[kRingSize] = {};
  uint8_t ringError[kRingSize] = {};
  std::atomic<uint32_t> ringHead{0};
  std::atomic<uint32_t> ringTail{0};
};

struct LinkNode {
  std::atomic<uint8_t> linkId{0};
  std::atomic<uint32_t> inUse{0};
  std::atomic<TokenObtainedDelegate> tokenObtained{nullptr};
  std::atomic<UpcallDelegate> upcall{nullptr};
  uint8_t Nmax_master = 0;
  uint8_t Nmax_info_frames = 1;
  std::atomic<uint32_t> SilenceTimer{0};
  std::atomic<uint32_t> answerTimer{0};
  std::atomic<uint32_t> tokenAgeTimer{0};
  uint8_t TS = 0;
  uint16_t txDataCRC = 0;
  uint16_t DataCRC = 0;
  uint16_t DataLength = 0;
  uint8_t DestinationAddress = 0;
  uint16_t EventCount = 0;
  uint8_t FrameType = 0;
  uint8_t FrameCount = 0;
  uint8_t HeaderCRC = 0;
  uint16_t Index = 0;
  uint8_t InputBuffer[kMaxDataLength] = {};
  uint8_t NS = 0;
  uint8_t PS = 0;
  uint8_t ReceivedInvalidFrame = 0;
  uint8_t ReceivedValidFrame = 0;
  uint8_t RetryCount = 0;
  std::atomic<uint16_t> Treply_timeout{kInitialReplyTimeout};
  std::atomic<uint16_t> Tframe_abort{kInitialFrameAbort};
  uint8_t SoleMaster = 0;
  uint8_t SourceAddress = 0;
  uint8_t TokenCount = 0;
  uint8_t activityCheckPending = 0;
  uint8_t lastFrameNoReply = 1;
  uint8_t answeringRequest = 0;
  uint8_t wantsToken = 1;
  uint8_t tokenJustReceived = 0;
  uint8_t ReceiveState = receive_state::IDLE;
  uint8_t MasterState = master_state::IDLE;
  std::atomic<uint8_t> immediateUpcall{0};
  std::atomic<uint8_t> maxRequestResend{0};
  uint8_t resendCount = 0;
  uint32_t resendPending = 0;
  uint8_t savedData[kMaxDataLength] = {};
  uint16_t savedLength = 0;
  uint8_t savedDestination = 0;
  uint8_t savedFrameType = 0;
  uint16_t lastFrameOctets = 0;
  std::atomic<uint16_t> maintenanceTimer{0};
};

// The four tables and the count of reserved LinkControl entries.
extern LinkNameEntry g_linkNames[kLinkTableSize];
extern LinkControl g_linkControls[kLinkTableSize];
extern LinkPort g_linkPorts[kLinkTableSize];
extern LinkNode g_linkNodes[kLinkTableSize];
extern uint8_t g_reservedControls;

// Lookups by linkId (0 finds nothing) and by name.
LinkControl* FindControl(uint8_t linkId);
LinkPort* FindPort(uint8_t linkId);
LinkNode* FindNode(uint8_t linkId);
const char* FindPortName(uint8_t linkId);  // "" when unknown
uint8_t FindLinkId(const char* portName);  // 0 when unknown

// Registers a name: the id it holds, else the highest free id from 255
// down in the first free entry. *added tells whether an entry was taken.
// 0 on a bad name or a full table.
uint8_t RegisterPortName(const char* portName, bool* added);
void ClearNameEntry(uint8_t linkId);
// Reserves a LinkControl, LinkNode and LinkPort stamped with linkId, each in
// its start state, and counts the control. False when a table is full.
bool ReserveEntries(uint8_t linkId);
// Gives the three entries back and lowers the count when a control was held.
void ReleaseEntries(uint8_t linkId);

// One 2 ms tick: advances the timers of every node in use.
void TickLinks();
using TickHook = void (*)();
extern std::atomic<TickHook> g_linkTickHook;  // observer for measurements

// The octet-level port operations the machines use. The link installs the
// serial port's operations; in-process tests and the fuzz target install
// their own.
struct LinkPortOps {
  int (*readOctet)(uint8_t linkId, uint8_t* octet);  // 1 = read, 0 = none
  void (*writeOctet)(uint8_t linkId, uint8_t octet);
  void (*discardInput)(uint8_t linkId);
  void (*discardOutput)(uint8_t linkId);
  void (*lockPort)(uint8_t linkId);
  void (*unlockPort)(uint8_t linkId);
  void (*sleepMs)(uint32_t ms);
};
extern std::atomic<const LinkPortOps*> g_linkPortOps;
const LinkPortOps& PortOps();
extern const LinkPortOps kSerialPortOps;

// Receive machine.
void receiveOctet(uint8_t linkId);
// Master node.
void initializeNode(uint8_t linkId);
void runMasterNode(uint8_t linkId);
// Transmission, send gate, up-calls and resend.
uint8_t transmitFrame(uint8_t linkId, uint8_t frameType, uint16_t length, const uint8_t* data,
                      uint8_t destination);
enum RepeatedTokenScan : uint8_t { INPUT_QUIET = 0, INPUT_FOREIGN_TRAFFIC = 1 };
RepeatedTokenScan scanForRepeatedToken(uint8_t linkId);
uint8_t useToken(uint8_t linkId);
void deliverUpcall(uint8_t linkId, const uint8_t* data, uint8_t source, uint16_t length,
                   uint8_t code);
// Treply_timeout and Tframe_abort for a reply of about replySizeHint octets.
uint16_t ReplyTimeoutFor(uint16_t replySizeHint);

// Reader side of the hand-off: false when the ring is full.
bool HandOverOctet(LinkPort& port, uint8_t octet, uint8_t receiveError);
// Octets handed over that the receive machine has not had yet.
uint32_t OctetsHandedOver(const LinkPort& port);
// One cycle of the link thread after byteReady: every octet handed over goes
// through the receive machine, each followed by a run of the master node.
void LinkCycleWithOctets(uint8_t linkId);
// One cycle when the 5 ms wait ran out.
void LinkCycleQuiet(uint8_t linkId);

// The device opened for a port name: "\\.\" before names of 4 to 6
// characters that begin with "com" in any letter case, else the name itself.
// False when the result does not fit in `size`.
bool PortDeviceName(const char* portName, char* out, size_t size);

// Serial port of one link (platform layer).
uint8_t OpenLinkPort(const char* portName, uint8_t linkId, int baudRate);
bool CloseLinkPort(uint8_t linkId);
void SetLinkPortBaud(uint8_t linkId, int baudRate);
// The reader and link thread bodies; arguments are the LinkPort and LinkNode.
void ReaderThreadMain(void* linkPort);
void LinkThreadMain(void* linkNode);
// The process-wide 2 ms timer.
uint8_t StartLinkTimer();
void StopLinkTimer();
bool LinkTimerRunning();

}  // namespace tarbus

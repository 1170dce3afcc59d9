// The simulated bus: one line (a pty or a serial device) shared by the
// program and the simulated stations, with a virtual wire clock, the
// simulated master stations of the token ring, the capture and the report.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/mstp_frame.h"
#include "sim/device.h"
#include "sim/frame_rx.h"
#include "sim/pcap.h"
#include "sim/prng.h"
#include "sim/scenario.h"

namespace sim {

enum RingState : int {
  RING_OFF = 0,     // no simulated master
  RING_HOLD = 1,    // a simulated master holds the token until deadlineNs
  RING_POLL = 2,    // it polled `target` and waits for the answer
  RING_PASSED = 3,  // it passed the token to an outside station, waits for its use
  RING_AWAY = 4,    // an outside station uses the token
};

struct Ring {
  int state = RING_OFF;
  uint8_t holder = 0;
  uint8_t target = 0;
  int retry = 0;
  int64_t deadlineNs = 0;
  int64_t lastHeardNs = 0;
  std::array<bool, 128> simulated = {};
  std::array<bool, 128> outside = {};  // stations that answered a poll
  std::array<uint8_t, 128> lastPolled = {};
  std::array<uint16_t, 128> sincePoll = {};
  uint64_t tokensSent = 0, pollsSent = 0, pollReplies = 0;
};

struct Outgoing {
  uint8_t octets[mstp::kMaxFrameOctets] = {};
  uint16_t count = 0;
  uint16_t sent = 0;
  int64_t startNs = 0;
  int64_t octetNs = 0;
  bool frame = true;  // an MS/TP frame (captured); false for Modbus
};

struct BusCounters {
  uint64_t octetsIn = 0, octetsOut = 0;
  uint64_t framesIn = 0, framesOut = 0;
  uint64_t badHeaders = 0, badDataCrc = 0;
  uint64_t collisions = 0;
  uint64_t droppedOutput = 0;
  uint64_t modbusFrames = 0;
};

struct Bus {
  BusOptions options;
  FlashTarget target;
  std::vector<Device> devices;
  int fd = -1;
  int keepFd = -1;  // our own hold on the pty's slave side
  std::string slaveName;
  int64_t octetNs = 0;
  int64_t turnaroundNs = 0;
  int64_t tokenHoldNs = 0;
  int64_t wireFreeNs = 0;
  int64_t wallMinusMono = 0;
  int64_t outputBlockedNs = -1;  // when a write last found the line full
  std::deque<Outgoing> out;
  FrameRx rx;
  Ring ring;
  Prng prng;
  Pcap pcap;
  std::array<uint8_t, 8> modbusWindow = {};
  int modbusFill = 0;
  BusCounters counters;
};

// Builds the devices from the options and the flash target; BusStart also
// opens the line. False with *error on failure.
bool BusSetup(Bus* bus, std::string* error);
bool BusStart(Bus* bus, std::string* error);
// Runs until *stop becomes nonzero; *report asks for the state file.
void BusRun(Bus* bus, volatile int* stop, volatile int* report);
void BusStop(Bus* bus);
bool BusWriteState(const Bus& bus, const char* path);
std::string BusStateJson(const Bus& bus);

// Feeds octets that arrived from the line at nowNs (used by BusRun).
void BusReceive(Bus* bus, const uint8_t* octets, size_t count, int64_t nowNs);
// Advances timers and writes the octets that are due; returns the next
// time anything is due.
int64_t BusService(Bus* bus, int64_t nowNs);

}  // namespace sim

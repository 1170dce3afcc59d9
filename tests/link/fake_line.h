// An in-process line for the link's machines: the test plays the link
// thread and the timer, so every case runs on simulated time.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "link/link_internal.h"

namespace fakeline {

struct Upcall {
  uint8_t code;
  uint8_t source;
  std::vector<uint8_t> data;
  long atMs;
};

struct Line {
  std::deque<uint8_t> input;   // octets waiting in the "driver"
  std::vector<uint8_t> output; // octets written, in order
  std::vector<long> outputMs;  // when each was written
  long nowMs = 0;
  int inputDiscards = 0;
  std::vector<Upcall> upcalls;
  int tokenCalls = 0;
  std::function<uint8_t()> onToken;                  // default: return 0
  std::function<void(const Upcall&)> onUpcall;       // runs inside the up-call
};

inline Line g_line;
inline const char* const kPortName = "FAKE1";

inline void AdvanceMs(uint32_t ms) {
  for (uint32_t t = 0; t < ms; t += 2) {
    g_line.nowMs += 2;
    tarbus::TickLinks();
  }
}

inline int Read(uint8_t, uint8_t* octet) {
  if (g_line.input.empty()) return 0;
  *octet = g_line.input.front();
  g_line.input.pop_front();
  return 1;
}
inline void Write(uint8_t, uint8_t octet) {
  g_line.output.push_back(octet);
  g_line.outputMs.push_back(g_line.nowMs);
}
inline void DiscardInput(uint8_t) {
  g_line.input.clear();
  ++g_line.inputDiscards;
}
inline void Nothing(uint8_t) {}
inline void Sleep(uint32_t ms) { AdvanceMs(ms); }

inline const tarbus::LinkPortOps kOps = {Read, Write, DiscardInput, Nothing, Nothing, Nothing, Sleep};

inline uint8_t TokenDelegate(const char*) {
  ++g_line.tokenCalls;
  return g_line.onToken ? g_line.onToken() : 0;
}

inline unsigned char UpcallDelegate(const char*, const unsigned char* data, unsigned char source,
                                    unsigned short length, unsigned char code) {
  Upcall u{code, source, {}, g_line.nowMs};
  if (data != nullptr) u.data.assign(data, data + length);
  g_line.upcalls.push_back(u);
  if (g_line.onUpcall) g_line.onUpcall(u);
  return 0;
}

// One link in the tables, driven by hand.
class LinkFixture : public ::testing::Test {
 protected:
  uint8_t id = 0;
  tarbus::LinkNode* node = nullptr;
  tarbus::LinkControl* control = nullptr;
  tarbus::LinkPort* port = nullptr;

  void SetUp() override { Start(4, 15, 3); }
  void TearDown() override { Stop(); }

  void Start(uint8_t ts, uint8_t maxMaster, uint8_t maxInfoFrames) {
    if (id != 0) Stop();
    g_line = Line{};
    bool added = false;
    id = tarbus::RegisterPortName(kPortName, &added);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(tarbus::ReserveEntries(id));
    node = tarbus::FindNode(id);
    control = tarbus::FindControl(id);
    port = tarbus::FindPort(id);
    node->TS = ts;
    node->Nmax_master = maxMaster;
    node->Nmax_info_frames = maxInfoFrames;
    node->tokenObtained.store(TokenDelegate);
    node->upcall.store(UpcallDelegate);
    tarbus::g_linkPortOps.store(&kOps);
    tarbus::initializeNode(id);
    port->inUse.store(1);
    node->inUse.store(1);
    control->inUse.store(1);
    g_line.inputDiscards = 0;
  }

  void Stop() {
    tarbus::ReleaseEntries(id);
    tarbus::ClearNameEntry(id);
    tarbus::g_linkPortOps.store(nullptr);
    id = 0;
  }

  // Hands octets over one by one as the reader would, one link cycle each.
  void Feed(const std::vector<uint8_t>& octets) {
    for (uint8_t octet : octets) {
      tarbus::HandOverOctet(*port, octet, 0);
      tarbus::LinkCycleWithOctets(id);
    }
  }
  // Quiet line: a tick, then a link cycle, for `ms` milliseconds.
  void Idle(uint32_t ms) {
    for (uint32_t t = 0; t < ms; t += 2) {
      AdvanceMs(2);
      tarbus::LinkCycleQuiet(id);
    }
  }
  std::vector<uint8_t> TakeOutput() {
    std::vector<uint8_t> out = g_line.output;
    g_line.output.clear();
    g_line.outputMs.clear();
    return out;
  }
};

}  // namespace fakeline

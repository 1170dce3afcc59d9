// deps: tarbus_link_core platform
// Arbitrary octet streams, with arbitrary gaps, line errors, pending input
// and switch changes, through the receive machine and the master node, run
// in-process the way the link thread runs them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "link/link_internal.h"

namespace {

const char* const kPort = "FUZZ";
uint8_t g_id = 0;
std::deque<uint8_t> g_input;  // octets waiting in the "driver"
const uint8_t* g_cursor = nullptr;
const uint8_t* g_end = nullptr;
size_t g_written = 0;

uint8_t Next() { return g_cursor < g_end ? *g_cursor++ : 0; }

void Check(bool ok) {
  if (!ok) std::abort();
}

void Tick(uint32_t ms) {
  for (uint32_t t = 0; t < ms; t += 2) tarbus::TickLinks();
}

int Read(uint8_t, uint8_t* octet) {
  if (g_input.empty()) return 0;
  *octet = g_input.front();
  g_input.pop_front();
  return 1;
}
void Write(uint8_t, uint8_t) { ++g_written; }
void DiscardInput(uint8_t) { g_input.clear(); }
void Nothing(uint8_t) {}
void Sleep(uint32_t ms) { Tick(ms); }
const tarbus::LinkPortOps kOps = {Read, Write, DiscardInput, Nothing, Nothing, Nothing, Sleep};

uint8_t TokenObtained(const char* portName) {
  uint8_t what = Next();
  if (what & 1) {
    static uint8_t data[600];
    uint16_t length = static_cast<uint16_t>(((what >> 1) & 3) == 3 ? 502 + Next() : Next() * 2);
    for (uint16_t i = 0; i < length && i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i);
    uint8_t result = TarbusLink_SendFrameEx(portName, Next(), data, length, what & 2,
                                            static_cast<uint16_t>(Next() * 8));
    if (length > tarbus::kMaxDataLength) Check(result == 1);
  }
  return (what >> 4) & 1;
}

unsigned char Upcall(const char*, const unsigned char* data, unsigned char, unsigned short length,
                     unsigned char code) {
  Check(code <= UPCALL_UNEXPECTED_FRAME);
  Check(length <= tarbus::kMaxDataLength);
  if (data == nullptr) {
    Check(length == 0);
  } else {
    static unsigned sink = 0;
    for (unsigned short i = 0; i < length; ++i) sink = sink + data[i];  // in bounds under ASan
  }
  return 0;
}

void StartLink() {
  bool added = false;
  g_id = tarbus::RegisterPortName(kPort, &added);
  Check(g_id != 0 && tarbus::ReserveEntries(g_id));
  tarbus::LinkNode* node = tarbus::FindNode(g_id);
  node->tokenObtained.store(TokenObtained);
  node->upcall.store(Upcall);
  tarbus::g_linkPortOps.store(&kOps);
}

void StopLink() {
  tarbus::ReleaseEntries(g_id);
  tarbus::ClearNameEntry(g_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_cursor = data;
  g_end = data + size;
  g_input.clear();
  StartLink();
  tarbus::LinkNode& node = *tarbus::FindNode(g_id);
  tarbus::LinkPort& port = *tarbus::FindPort(g_id);
  tarbus::LinkControl& control = *tarbus::FindControl(g_id);
  node.TS = Next() & 0x7F;
  node.Nmax_master = Next() & 0x7F;
  node.Nmax_info_frames = static_cast<uint8_t>(1 + (Next() & 7));
  tarbus::initializeNode(g_id);
  node.inUse.store(1);
  port.inUse.store(1);
  control.inUse.store(1);

  while (g_cursor < g_end) {
    uint8_t op = Next();
    switch (op & 7) {
      case 0:
      case 1:
      case 2: {  // an octet from the reader, sometimes with a line error
        tarbus::HandOverOctet(port, Next(), (op & 0x80) ? 1 : 0);
        tarbus::LinkCycleWithOctets(g_id);
        break;
      }
      case 3: {  // a gap: ticks with a link cycle every 5 ms
        uint32_t gap = Next();
        if (op & 0x80) gap *= 16;
        for (uint32_t t = 0; t < gap; t += 5) {
          Tick(5);
          tarbus::LinkCycleQuiet(g_id);
        }
        break;
      }
      case 4:  // a frame header, to reach the deeper states more often
      {
        const uint8_t octets[2] = {0x55, 0xFF};
        for (uint8_t octet : octets) {
          tarbus::HandOverOctet(port, octet, 0);
          tarbus::LinkCycleWithOctets(g_id);
        }
        break;
      }
      case 5:  // input the send gate will find
        g_input.push_back(Next());
        break;
      case 6: {  // the setters
        uint8_t value = Next();
        switch (op >> 5) {
          case 0: node.immediateUpcall.store(value & 1); break;
          case 1: control.masterServicesDisabled.store(value & 1); break;
          case 2: control.framingDisabled.store(value & 1); break;
          case 3: control.checksumErrorArmed.store(1); break;
          case 4: control.tokenDropAddress.store(value); break;
          case 5: node.maxRequestResend.store(value & 3); break;
          case 6: control.jamActive.store(value & 1); break;
          default: node.Tframe_abort.store(static_cast<uint16_t>(value * 4)); break;
        }
        break;
      }
      default:
        tarbus::LinkCycleQuiet(g_id);
        break;
    }
    Check(node.ReceiveState <= tarbus::receive_state::DATA_CRC);
    Check(node.MasterState >= tarbus::master_state::IDLE &&
          node.MasterState <= tarbus::master_state::DONE_WITH_TOKEN);
    Check(node.Index <= tarbus::kMaxDataLength + 2);
    Check(node.savedLength <= tarbus::kMaxDataLength);
    if (node.ReceiveState == tarbus::receive_state::DATA) Check(node.DataLength <= tarbus::kMaxDataLength);
  }
  StopLink();
  return 0;
}

// Capture of the bus in pcap format, link type 165 (BACnet MS/TP): each
// record is one whole frame from its preamble on.
#pragma once
#include <cstdint>
#include <cstdio>

namespace sim {

constexpr uint32_t kLinkTypeMstp = 165;

struct Pcap {
  FILE* file = nullptr;
  uint64_t frames = 0;
};

bool PcapOpen(Pcap* p, const char* path);
// wallNs: wall clock time of the frame's first octet.
void PcapFrame(Pcap* p, int64_t wallNs, const uint8_t* octets, uint16_t count);
void PcapClose(Pcap* p);

}  // namespace sim

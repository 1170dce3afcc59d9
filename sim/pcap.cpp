#include "sim/pcap.h"

namespace sim {

namespace {
void Put32(FILE* f, uint32_t v) { fwrite(&v, 4, 1, f); }  // host order, as the magic says
void Put16(FILE* f, uint16_t v) { fwrite(&v, 2, 1, f); }
}  // namespace

bool PcapOpen(Pcap* p, const char* path) {
  p->file = std::fopen(path, "wb");
  if (!p->file) return false;
  Put32(p->file, 0xA1B2C3D4);  // microsecond timestamps
  Put16(p->file, 2);
  Put16(p->file, 4);
  Put32(p->file, 0);  // UTC offset
  Put32(p->file, 0);  // accuracy
  Put32(p->file, 65535);
  Put32(p->file, kLinkTypeMstp);
  std::fflush(p->file);
  return true;
}

void PcapFrame(Pcap* p, int64_t wallNs, const uint8_t* octets, uint16_t count) {
  if (!p->file) return;
  Put32(p->file, static_cast<uint32_t>(wallNs / 1000000000LL));
  Put32(p->file, static_cast<uint32_t>((wallNs % 1000000000LL) / 1000));
  Put32(p->file, count);
  Put32(p->file, count);
  fwrite(octets, 1, count, p->file);
  std::fflush(p->file);  // a capture read while the bus runs is whole up to its last frame
  ++p->frames;
}

void PcapClose(Pcap* p) {
  if (p->file) std::fclose(p->file);
  p->file = nullptr;
}

}  // namespace sim

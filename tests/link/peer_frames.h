// The test peer's own MS/TP frames: built and parsed here with bit-by-bit
// CRCs, independently of the link's table-driven codec.
#pragma once
#include <cstdint>
#include <vector>

namespace peer {

// Header CRC, x^8 + x^7 + 1, one bit at a time, least significant first.
inline uint8_t HeaderCrcBitwise(uint8_t crc, uint8_t octet) {
  crc ^= octet;
  for (int bit = 0; bit < 8; ++bit) {
    // Reflected polynomial of x^8 + x^7 + 1 without its top term: bits 7 and 0.
    crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x81) : static_cast<uint8_t>(crc >> 1);
  }
  return crc;
}

// Data CRC, x^16 + x^12 + x^5 + 1, computed by the shift-and-xor form of the
// MS/TP standard rather than by any table.
inline uint16_t DataCrcShiftForm(uint16_t crc, uint8_t octet) {
  uint16_t low = static_cast<uint16_t>((crc & 0xFF) ^ octet);
  return static_cast<uint16_t>((crc >> 8) ^ (low << 8) ^ (low << 3) ^ (low << 12) ^ (low >> 4) ^
                               (low & 0x0F) ^ ((low & 0x0F) << 7));
}

inline std::vector<uint8_t> Frame(uint8_t type, uint8_t destination, uint8_t source,
                                  const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> out = {0x55, 0xFF, type, destination, source,
                              static_cast<uint8_t>(data.size() >> 8),
                              static_cast<uint8_t>(data.size() & 0xFF)};
  uint8_t h = 0xFF;
  for (size_t i = 2; i < 7; ++i) h = HeaderCrcBitwise(h, out[i]);
  out.push_back(static_cast<uint8_t>(~h));
  if (data.empty()) return out;
  uint16_t d = 0xFFFF;
  for (uint8_t octet : data) {
    out.push_back(octet);
    d = DataCrcShiftForm(d, octet);
  }
  d = static_cast<uint16_t>(~d);
  out.push_back(static_cast<uint8_t>(d & 0xFF));
  out.push_back(static_cast<uint8_t>(d >> 8));
  return out;
}

struct ParsedFrame {
  uint8_t type = 0;
  uint8_t destination = 0;
  uint8_t source = 0;
  std::vector<uint8_t> data;
  bool dataCrcOk = true;
  uint16_t dataCrc = 0;  // the two CRC octets as sent, low first
  long lastOctetMs = 0;  // when the last octet arrived (caller's clock)
  long firstOctetMs = 0;
};

// Finds the complete, header-valid frames in a stream of octets with their
// arrival times; octets between frames are skipped.
inline std::vector<ParsedFrame> ParseFrames(const std::vector<uint8_t>& octets,
                                            const std::vector<long>& times) {
  std::vector<ParsedFrame> frames;
  size_t i = 0;
  while (i + 8 <= octets.size()) {
    if (octets[i] != 0x55 || octets[i + 1] != 0xFF) {
      ++i;
      continue;
    }
    uint8_t h = 0xFF;
    for (size_t k = 2; k < 8; ++k) h = HeaderCrcBitwise(h, octets[i + k]);
    if (h != 0x55) {
      ++i;
      continue;
    }
    ParsedFrame f;
    f.type = octets[i + 2];
    f.destination = octets[i + 3];
    f.source = octets[i + 4];
    size_t length = static_cast<size_t>(octets[i + 5]) * 256 + octets[i + 6];
    size_t total = length == 0 ? 8 : length + 10;
    if (i + total > octets.size()) break;
    if (length > 0) {
      f.data.assign(octets.begin() + static_cast<long>(i) + 8,
                    octets.begin() + static_cast<long>(i + 8 + length));
      uint16_t d = 0xFFFF;
      for (size_t k = 0; k < length + 2; ++k) d = DataCrcShiftForm(d, octets[i + 8 + k]);
      f.dataCrcOk = d == 0xF0B8;
      f.dataCrc = static_cast<uint16_t>(octets[i + 8 + length] | (octets[i + 9 + length] << 8));
    }
    f.firstOctetMs = times.empty() ? 0 : times[i];
    f.lastOctetMs = times.empty() ? 0 : times[i + total - 1];
    frames.push_back(f);
    i += total;
  }
  return frames;
}

}  // namespace peer

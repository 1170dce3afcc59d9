#include "link/mstp_frame.h"

#include <array>

namespace mstp {
namespace {

// Each table entry is the register after processing octet i from zero,
// reflected (least significant bit first) for the given polynomial.
constexpr std::array<uint8_t, 256> MakeHeaderTable() {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint8_t crc = static_cast<uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x81) : static_cast<uint8_t>(crc >> 1);
    // x^8 + x^7 + 1 is 0x181; reflected without the x^8 term it is 0x81.
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> MakeDataTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    table[i] = crc;  // 0x8408 is 0x1021 (x^16 + x^12 + x^5 + 1) reflected
  }
  return table;
}

constexpr auto kT8 = MakeHeaderTable();
constexpr auto kT16 = MakeDataTable();

}  // namespace

uint8_t HeaderCrcUpdate(uint8_t crc, uint8_t octet) { return kT8[crc ^ octet]; }

uint16_t DataCrcUpdate(uint16_t crc, uint8_t octet) {
  return static_cast<uint16_t>((crc >> 8) ^ kT16[(crc ^ octet) & 0xFF]);
}

bool EncodeFrame(uint8_t frameType, uint8_t destination, uint8_t source,
                 const uint8_t* data, uint16_t length, bool framingDisabled,
                 uint8_t* checksumErrorArmed, EncodedFrame* out) {
  out->count = 0;
  out->lastFrameOctets = 0;
  if (length > kMaxDataLength || (length > 0 && data == nullptr)) return false;
  uint16_t n = 0;
  if (!framingDisabled) {
    const uint8_t header[5] = {frameType, destination, source,
                               static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length & 0xFF)};
    out->octets[n++] = 0x55;
    out->octets[n++] = 0xFF;
    uint8_t crc = 0xFF;
    for (uint8_t octet : header) {
      out->octets[n++] = octet;
      crc = HeaderCrcUpdate(crc, octet);
    }
    out->octets[n++] = static_cast<uint8_t>(~crc);
  }
  if (length == 0) {
    out->count = n;
    out->lastFrameOctets = 8;
    return true;
  }
  uint16_t crc = 0xFFFF;
  for (uint16_t i = 0; i < length; ++i) {
    out->octets[n++] = data[i];
    crc = DataCrcUpdate(crc, data[i]);
  }
  crc = static_cast<uint16_t>(~crc);
  if (checksumErrorArmed != nullptr && *checksumErrorArmed) {
    crc = 0xFFFF;
    *checksumErrorArmed = 0;
  }
  if (framingDisabled) {
    out->count = n;
    out->lastFrameOctets = static_cast<uint16_t>(length + 8);
    return true;
  }
  out->octets[n++] = static_cast<uint8_t>(crc & 0xFF);
  out->octets[n++] = static_cast<uint8_t>(crc >> 8);
  out->count = n;
  out->lastFrameOctets = static_cast<uint16_t>(length + 10);
  return true;
}

}  // namespace mstp

// MS/TP frame octets and the two CRCs.
#pragma once
#include <cstdint>

namespace mstp {

constexpr uint16_t kMaxDataLength = 501;
constexpr uint16_t kMaxFrameOctets = kMaxDataLength + 10;

enum FrameType : uint8_t {
  FRAME_TOKEN = 0,
  FRAME_POLL_FOR_MASTER = 1,
  FRAME_REPLY_TO_POLL_FOR_MASTER = 2,
  FRAME_TEST_REQUEST = 3,
  FRAME_TEST_RESPONSE = 4,
  FRAME_BACNET_DATA_EXPECTING_REPLY = 5,
  FRAME_BACNET_DATA_NOT_EXPECTING_REPLY = 6,
  FRAME_REPLY_POSTPONED = 7,
};

constexpr uint8_t kHeaderCrcResidue = 0x55;
constexpr uint16_t kDataCrcResidue = 0xF0B8;

// Header CRC, x^8 + x^7 + 1, least significant bit first; preset 0xFF.
uint8_t HeaderCrcUpdate(uint8_t crc, uint8_t octet);
// Data CRC, CRC-CCITT x^16 + x^12 + x^5 + 1, least significant bit first;
// preset 0xFFFF.
uint16_t DataCrcUpdate(uint16_t crc, uint8_t octet);

struct EncodedFrame {
  uint8_t octets[kMaxFrameOctets];
  uint16_t count;            // octets to put on the wire
  uint16_t lastFrameOctets;  // the frame's size for timing, framed or not
};

// Encodes one frame. framingDisabled: only the data octets go out.
// *checksumErrorArmed: the next frame with data gets the data CRC FF FF and
// the switch clears itself. A length above kMaxDataLength encodes nothing
// and returns false.
bool EncodeFrame(uint8_t frameType, uint8_t destination, uint8_t source,
                 const uint8_t* data, uint16_t length, bool framingDisabled,
                 uint8_t* checksumErrorArmed, EncodedFrame* out);

}  // namespace mstp

// Receive side of the simulated bus: MS/TP frames assembled octet by octet,
// bounded to the 501 data octets a frame may carry.
#pragma once
#include <cstdint>

#include "link/mstp_frame.h"

namespace sim {

struct RxFrame {
  uint8_t type = 0;
  uint8_t destination = 0;
  uint8_t source = 0;
  uint16_t length = 0;
  bool dataCrcGood = true;
  uint8_t data[mstp::kMaxDataLength] = {};
  int64_t startNs = 0;  // wire time of the first preamble octet
  int64_t endNs = 0;    // wire time at which the last octet ended
};

enum RxResult : int {
  RX_NONE = 0,         // frame not complete yet
  RX_FRAME = 1,        // a frame with a good header; see dataCrcGood
  RX_BAD_HEADER = 2,   // header CRC wrong or length above 501: dropped
};

struct FrameRx {
  int state = 0;  // 0 idle, 1 preamble seen, 2 header, 3 data and data CRC
  uint8_t header[6] = {};
  uint16_t count = 0;
  uint16_t dataCrc = 0xFFFF;
  int64_t lastOctetNs = 0;
  RxFrame frame;
  // the raw octets of the frame being assembled, for the capture
  uint8_t raw[mstp::kMaxFrameOctets] = {};
  uint16_t rawCount = 0;
};

// Feeds one octet that occupied the wire from startNs to endNs. A gap longer
// than abortNs between two octets of a frame abandons it.
int FrameRxOctet(FrameRx* rx, uint8_t octet, int64_t startNs, int64_t endNs, int64_t abortNs);

}  // namespace sim

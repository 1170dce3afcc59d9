#include "sim/frame_rx.h"

namespace sim {

int FrameRxOctet(FrameRx* rx, uint8_t octet, int64_t startNs, int64_t endNs, int64_t abortNs) {
  if (rx->state != 0 && startNs - rx->lastOctetNs > abortNs) rx->state = 0;
  rx->lastOctetNs = endNs;
  switch (rx->state) {
    case 0:
      if (octet == 0x55) {
        rx->state = 1;
        rx->frame.startNs = startNs;
        rx->raw[0] = octet;
        rx->rawCount = 1;
      }
      return RX_NONE;
    case 1:
      if (octet == 0xFF) {
        rx->state = 2;
        rx->count = 0;
        rx->raw[1] = octet;
        rx->rawCount = 2;
      } else if (octet == 0x55) {
        rx->frame.startNs = startNs;
      } else {
        rx->state = 0;
      }
      return RX_NONE;
    case 2: {
      rx->header[rx->count++] = octet;
      rx->raw[rx->rawCount++] = octet;
      if (rx->count < 6) return RX_NONE;
      uint8_t crc = 0xFF;
      for (int i = 0; i < 6; ++i) crc = mstp::HeaderCrcUpdate(crc, rx->header[i]);
      uint16_t length = static_cast<uint16_t>((rx->header[3] << 8) | rx->header[4]);
      if (crc != mstp::kHeaderCrcResidue || length > mstp::kMaxDataLength) {
        rx->state = 0;
        return RX_BAD_HEADER;
      }
      rx->frame.type = rx->header[0];
      rx->frame.destination = rx->header[1];
      rx->frame.source = rx->header[2];
      rx->frame.length = length;
      rx->frame.dataCrcGood = true;
      rx->frame.endNs = endNs;
      if (length == 0) {
        rx->state = 0;
        return RX_FRAME;
      }
      rx->state = 3;
      rx->count = 0;
      rx->dataCrc = 0xFFFF;
      return RX_NONE;
    }
    default: {
      rx->raw[rx->rawCount++] = octet;
      if (rx->count < rx->frame.length) rx->frame.data[rx->count] = octet;
      rx->dataCrc = mstp::DataCrcUpdate(rx->dataCrc, octet);
      ++rx->count;
      if (rx->count < rx->frame.length + 2) return RX_NONE;
      rx->frame.dataCrcGood = rx->dataCrc == mstp::kDataCrcResidue;
      rx->frame.endNs = endNs;
      rx->state = 0;
      return RX_FRAME;
    }
  }
}

}  // namespace sim

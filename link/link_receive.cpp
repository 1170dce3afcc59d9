// The receive frame state machine: octets from the hand-off slot to frames
// for the master node. Runs on the link thread once per octet handed over.
#include "link/link_internal.h"

namespace tarbus {
namespace {

uint32_t Silence(const LinkNode& node) { return node.SilenceTimer.load(std::memory_order_relaxed); }

void TakeOctet(LinkNode& node, LinkPort& port) {
  port.DataAvailable.store(0, std::memory_order_relaxed);
  node.SilenceTimer.store(0, std::memory_order_relaxed);
}

void ReceiveErrorSeen(LinkNode& node, LinkPort& port, bool counted) {
  port.ReceiveError = 0;
  if (counted) ++node.EventCount;
  node.SilenceTimer.store(0, std::memory_order_relaxed);
}

bool OctetPending(const LinkPort& port) {
  return port.DataAvailable.load(std::memory_order_relaxed) != 0;
}

void StepIdle(LinkNode& node, LinkPort& port) {
  if (port.ReceiveError) {
    ReceiveErrorSeen(node, port, true);
    return;
  }
  if (!OctetPending(port)) return;
  uint8_t octet = port.DataRegister;
  TakeOctet(node, port);
  ++node.EventCount;
  if (octet == 0x55) node.ReceiveState = receive_state::PREAMBLE;
}

void StepPreamble(LinkNode& node, LinkPort& port) {
  if (port.ReceiveError) {
    ReceiveErrorSeen(node, port, true);
    node.ReceiveState = receive_state::IDLE;
    return;
  }
  if (!OctetPending(port)) return;
  uint8_t octet = port.DataRegister;
  TakeOctet(node, port);
  ++node.EventCount;
  if (octet == 0x55) return;
  if (octet == 0xFF) {
    node.Index = 0;
    node.HeaderCRC = 0xFF;
    node.ReceiveState = receive_state::HEADER;
    return;
  }
  node.ReceiveState = receive_state::IDLE;
}

void StepHeader(LinkNode& node, LinkPort& port) {
  if (port.ReceiveError) {
    ReceiveErrorSeen(node, port, true);
    node.ReceivedInvalidFrame = 1;
    node.ReceiveState = receive_state::IDLE;
    return;
  }
  if (!OctetPending(port)) return;
  uint8_t octet = port.DataRegister;
  TakeOctet(node, port);
  ++node.EventCount;
  node.HeaderCRC = mstp::HeaderCrcUpdate(node.HeaderCRC, octet);
  switch (node.Index) {
    case 0: node.FrameType = octet; break;
    case 1: node.DestinationAddress = octet; break;
    case 2: node.SourceAddress = octet; break;
    case 3: node.DataLength = static_cast<uint16_t>(octet * 256); break;
    case 4: node.DataLength = static_cast<uint16_t>(node.DataLength + octet); break;
    default:
      node.ReceiveState = receive_state::HEADER_CRC;
      return;
  }
  ++node.Index;
}

void EvaluateHeaderCrc(LinkNode& node, uint8_t linkId) {
  if (node.HeaderCRC != mstp::kHeaderCrcResidue) {
    node.ReceivedInvalidFrame = 1;
    node.ReceiveState = receive_state::IDLE;
  } else if (node.DestinationAddress != node.TS && node.DestinationAddress != 255) {
    node.ReceiveState = receive_state::IDLE;
  } else if (node.DataLength > kMaxDataLength) {
    node.ReceivedInvalidFrame = 1;
    node.ReceiveState = receive_state::IDLE;
  } else if (node.DataLength == 0) {
    node.ReceivedValidFrame = 1;
    node.ReceiveState = receive_state::IDLE;
    runMasterNode(linkId);
  } else {
    node.Index = 0;
    node.DataCRC = 0xFFFF;
    node.ReceiveState = receive_state::DATA;
  }
}

void StepData(LinkNode& node, LinkPort& port) {
  if (port.ReceiveError) {
    ReceiveErrorSeen(node, port, false);
    node.ReceivedInvalidFrame = 1;
    node.ReceiveState = receive_state::IDLE;
    return;
  }
  if (!OctetPending(port)) return;
  uint8_t octet = port.DataRegister;
  TakeOctet(node, port);
  node.DataCRC = mstp::DataCrcUpdate(node.DataCRC, octet);
  if (node.Index < node.DataLength) {
    // DataLength was checked against the buffer in HEADER_CRC.
    if (node.Index < kMaxDataLength) node.InputBuffer[node.Index] = octet;
    ++node.Index;
  } else if (node.Index == node.DataLength) {
    ++node.Index;
  } else {
    node.ReceiveState = receive_state::DATA_CRC;
  }
}

void EvaluateDataCrc(LinkNode& node, uint8_t linkId) {
  if (node.DataCRC == mstp::kDataCrcResidue) {
    node.ReceivedValidFrame = 1;
    node.ReceivedInvalidFrame = 0;
  } else {
    node.ReceivedInvalidFrame = 1;
    node.ReceivedValidFrame = 0;
  }
  node.ReceiveState = receive_state::IDLE;
  runMasterNode(linkId);
}

}  // namespace

void receiveOctet(uint8_t linkId) {
  LinkNode* nodePtr = FindNode(linkId);
  LinkPort* portPtr = FindPort(linkId);
  if (nodePtr == nullptr || portPtr == nullptr) return;
  LinkNode& node = *nodePtr;
  LinkPort& port = *portPtr;

  if (Silence(node) > node.Tframe_abort.load(std::memory_order_relaxed))
    node.ReceiveState = receive_state::IDLE;

  if (node.immediateUpcall.load(std::memory_order_relaxed) == 1 && OctetPending(port)) {
    node.resendPending = 0;
    node.resendCount = 0;
    if (UpcallDelegate upcall = node.upcall.load(std::memory_order_relaxed))
      upcall(FindPortName(linkId), &port.DataRegister, node.SourceAddress, 1, UPCALL_DATA);
  }

  switch (node.ReceiveState) {
    case receive_state::IDLE:
      StepIdle(node, port);
      break;
    case receive_state::PREAMBLE:
      StepPreamble(node, port);
      break;
    case receive_state::HEADER:
      StepHeader(node, port);
      if (node.activityCheckPending && node.EventCount == 5) {
        runMasterNode(linkId);
        node.activityCheckPending = 0;
      }
      if (node.ReceiveState == receive_state::HEADER_CRC) EvaluateHeaderCrc(node, linkId);
      break;
    case receive_state::DATA:
      StepData(node, port);
      if (node.ReceiveState == receive_state::DATA_CRC) EvaluateDataCrc(node, linkId);
      break;
    default:
      // HEADER_CRC and DATA_CRC are evaluated in the call that enters them.
      node.ReceiveState = receive_state::IDLE;
      break;
  }
}

}  // namespace tarbus

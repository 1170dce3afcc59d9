// Frame transmission through the send gate, the token-obtained and up-call
// delegates, and the automatic resend of the last request.
#include <cstring>

#include "link/link_internal.h"

namespace tarbus {
namespace {

uint32_t Silence(const LinkNode& node) { return node.SilenceTimer.load(std::memory_order_relaxed); }

// Octets the reader has handed over but the receive machine has not had yet
// count as pending input too: the port itself may look empty then. They are
// left for the receive machine.
bool OctetWaitingInSlot(const LinkPort& port) { return OctetsHandedOver(port) != 0; }

// The send gate; true when the frame may go out.
bool GateOpen(uint8_t linkId, LinkControl& control, LinkPort& port, LinkNode& node) {
  const LinkPortOps& ops = PortOps();
  if (node.tokenJustReceived) {
    if (node.tokenAgeTimer.load(std::memory_order_relaxed) > kTokenAgeLimit) {
      ops.discardInput(linkId);
      return false;
    }
    if (scanForRepeatedToken(linkId) == INPUT_FOREIGN_TRAFFIC || OctetWaitingInSlot(port)) {
      ops.discardInput(linkId);
      return false;
    }
    node.tokenJustReceived = 0;
    node.tokenAgeTimer.store(0, std::memory_order_relaxed);
    ops.discardInput(linkId);
  } else {
    uint8_t octet = 0;
    if (ops.readOctet(linkId, &octet) == 1 || OctetWaitingInSlot(port)) {
      ops.discardInput(linkId);
      return false;
    }
  }
  if (control.jamActive.load(std::memory_order_acquire)) return false;
  if (node.answeringRequest && node.answerTimer.load(std::memory_order_relaxed) > kAnswerLimit)
    return false;
  const uint32_t silence = Silence(node);
  if (silence < kSendGap) ops.sleepMs(kSendGap - silence);
  return true;
}

}  // namespace

uint8_t transmitFrame(uint8_t linkId, uint8_t frameType, uint16_t length, const uint8_t* data,
                      uint8_t destination) {
  const LinkPortOps& ops = PortOps();
  ops.discardOutput(linkId);
  LinkControl* control = FindControl(linkId);
  LinkPort* port = FindPort(linkId);
  LinkNode* node = FindNode(linkId);
  if (control == nullptr || port == nullptr || node == nullptr) return 1;
  // The saved request and the receive buffer hold kMaxDataLength octets.
  if (length > kMaxDataLength || (length > 0 && data == nullptr)) return 1;

  if (frameType == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY) {
    node->savedDestination = destination;
    node->savedLength = length;
    node->savedFrameType = frameType;
    if (length > 0 && data != node->savedData) std::memmove(node->savedData, data, length);
  }

  if (control->masterServicesDisabled.load(std::memory_order_relaxed) == 0 &&
      !GateOpen(linkId, *control, *port, *node))
    return 1;

  if (frameType == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY) node->lastFrameNoReply = 0;
  if (frameType == mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY) node->lastFrameNoReply = 1;

  mstp::EncodedFrame frame;
  uint8_t armed = control->checksumErrorArmed.load(std::memory_order_relaxed);
  const uint8_t wasArmed = armed;
  mstp::EncodeFrame(frameType, destination, node->TS, data, length,
                    control->framingDisabled.load(std::memory_order_relaxed) != 0, &armed, &frame);
  if (wasArmed && !armed) control->checksumErrorArmed.store(0, std::memory_order_relaxed);

  ops.lockPort(linkId);
  for (uint16_t i = 0; i < frame.count; ++i) {
    ops.writeOctet(linkId, frame.octets[i]);
    node->SilenceTimer.store(0, std::memory_order_relaxed);
  }
  node->lastFrameOctets = frame.lastFrameOctets;
  ops.unlockPort(linkId);
  return 0;
}

RepeatedTokenScan scanForRepeatedToken(uint8_t linkId) {
  LinkNode* node = FindNode(linkId);
  if (node == nullptr) return INPUT_QUIET;
  const uint8_t expected[7] = {0x55, 0xFF, mstp::FRAME_TOKEN, node->TS, node->SourceAddress,
                               0x00, 0x00};
  const LinkPortOps& ops = PortOps();
  for (int i = 0; i < 8; ++i) {
    uint8_t octet = 0;
    if (ops.readOctet(linkId, &octet) != 1) return i == 0 ? INPUT_QUIET : INPUT_FOREIGN_TRAFFIC;
    if (i < 7 && octet != expected[i]) return INPUT_FOREIGN_TRAFFIC;
  }
  return INPUT_QUIET;
}

uint8_t useToken(uint8_t linkId) {
  LinkNode* node = FindNode(linkId);
  if (node == nullptr) return 0;
  if (node->resendPending == 1 &&
      node->resendCount < node->maxRequestResend.load(std::memory_order_relaxed)) {
    transmitFrame(linkId, node->savedFrameType, node->savedLength, node->savedData,
                  node->savedDestination);
    ++node->resendCount;
    return 1;
  }
  TokenObtainedDelegate tokenObtained = node->tokenObtained.load(std::memory_order_relaxed);
  if (tokenObtained == nullptr) return 0;
  return tokenObtained(FindPortName(linkId));
}

void deliverUpcall(uint8_t linkId, const uint8_t* data, uint8_t source, uint16_t length,
                   uint8_t code) {
  LinkNode* node = FindNode(linkId);
  if (node == nullptr) return;
  if (code == UPCALL_NO_REPLY &&
      node->resendCount < node->maxRequestResend.load(std::memory_order_relaxed)) {
    node->resendPending = 1;
    return;
  }
  node->resendPending = 0;
  node->resendCount = 0;
  if (UpcallDelegate upcall = node->upcall.load(std::memory_order_relaxed))
    upcall(FindPortName(linkId), data, source, length, code);
}

uint16_t ReplyTimeoutFor(uint16_t replySizeHint) {
  return static_cast<uint16_t>(125 * ((replySizeHint / 4) / 125 + 1));
}

}  // namespace tarbus

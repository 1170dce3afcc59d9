// The master node state machine: token ring membership, polling for
// masters, token use and the wait for replies. Runs on the link thread.
#include "link/link_internal.h"

namespace tarbus {
namespace {

using namespace master_state;

struct NodeContext {
  uint8_t linkId;
  LinkNode& node;
  LinkControl& control;
};

uint32_t Silence(const LinkNode& node) { return node.SilenceTimer.load(std::memory_order_relaxed); }

uint8_t StationAfter(const LinkNode& node, uint8_t station) {
  return static_cast<uint8_t>((station + 1) % (node.Nmax_master + 1));
}

// Sends a frame of the node's own without data; false when it was refused,
// in which case the node has been re-initialised.
bool SendOwn(NodeContext& c, uint8_t frameType, uint8_t destination) {
  if (transmitFrame(c.linkId, frameType, 0, nullptr, destination) == 0) return true;
  initializeNode(c.linkId);
  return false;
}

uint8_t StepIdle(NodeContext& c) {
  LinkNode& n = c.node;
  if (Silence(n) >= Tno_token) return NO_TOKEN;
  if (n.ReceivedInvalidFrame) {
    n.ReceivedInvalidFrame = 0;
    return IDLE;
  }
  if (!n.ReceivedValidFrame) return IDLE;

  const uint8_t type = n.FrameType;
  const uint8_t destination = n.DestinationAddress;
  const bool forMe = destination == n.TS;
  const bool broadcast = destination == 255;
  if ((!forMe && !broadcast) ||
      (broadcast && (type == mstp::FRAME_TOKEN || type == mstp::FRAME_TEST_REQUEST ||
                     type == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY)) ||
      type > mstp::FRAME_REPLY_POSTPONED) {
    n.ReceivedValidFrame = 0;
    return IDLE;
  }
  if (forMe && type == mstp::FRAME_TOKEN) {
    n.ReceivedValidFrame = 0;
    n.FrameCount = 0;
    n.SoleMaster = 0;
    n.tokenAgeTimer.store(0, std::memory_order_relaxed);
    n.tokenJustReceived = 1;
    return USE_TOKEN;
  }
  if (forMe && type == mstp::FRAME_POLL_FOR_MASTER) {
    if (!SendOwn(c, mstp::FRAME_REPLY_TO_POLL_FOR_MASTER, n.SourceAddress)) return IDLE;
    n.ReceivedValidFrame = 0;
    return IDLE;
  }
  if (type == mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY) {
    deliverUpcall(c.linkId, n.InputBuffer, n.SourceAddress, n.DataLength, UPCALL_DATA);
    n.ReceivedValidFrame = 0;
    return IDLE;
  }
  if (forMe && type == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY &&
      n.SourceAddress == c.control.tokenDropAddress.load(std::memory_order_relaxed)) {
    transmitFrame(c.linkId, mstp::FRAME_TEST_REQUEST, 0, nullptr, n.SourceAddress);
    initializeNode(c.linkId);
    return IDLE;
  }
  if (forMe && type == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY) {
    n.answerTimer.store(0, std::memory_order_relaxed);
    n.answeringRequest = 1;
    deliverUpcall(c.linkId, n.InputBuffer, n.SourceAddress, n.DataLength, UPCALL_DATA);
    if (n.answerTimer.load(std::memory_order_relaxed) > kAnswerLimit)
      PortOps().discardInput(c.linkId);
    n.answerTimer.store(0, std::memory_order_relaxed);
    n.answeringRequest = 0;
    n.ReceivedValidFrame = 0;
    return IDLE;
  }
  n.ReceivedValidFrame = 0;
  return IDLE;
}

uint8_t StepNoToken(NodeContext& c) {
  LinkNode& n = c.node;
  const uint32_t s = Silence(n);
  const uint32_t w = Tno_token + Tslot * n.TS;
  if (s < w && n.EventCount > Nmin_octets) return IDLE;
  if (s >= w && s < w + Tslot) {
    n.PS = StationAfter(n, n.TS);
    if (!SendOwn(c, mstp::FRAME_POLL_FOR_MASTER, n.PS)) return IDLE;
    n.TokenCount = 0;
    n.RetryCount = 0;
    n.EventCount = 0;
    n.NS = n.TS;
    return POLL_FOR_MASTER;
  }
  if (s > kSilenceRestart) n.SilenceTimer.store(0, std::memory_order_relaxed);
  return NO_TOKEN;
}

uint8_t StepPollForMaster(NodeContext& c) {
  LinkNode& n = c.node;
  const bool waited = Silence(n) >= Tusage_timeout || n.ReceivedInvalidFrame;
  if (n.ReceivedValidFrame && n.DestinationAddress == n.TS &&
      n.FrameType == mstp::FRAME_REPLY_TO_POLL_FOR_MASTER) {
    n.SoleMaster = 0;
    n.NS = n.SourceAddress;
    n.EventCount = 0;
    if (!SendOwn(c, mstp::FRAME_TOKEN, n.NS)) return IDLE;
    n.PS = n.TS;
    n.TokenCount = 0;
    n.RetryCount = 0;
    n.ReceivedValidFrame = 0;
    return PASS_TOKEN;
  }
  if (n.ReceivedValidFrame) {
    n.ReceivedValidFrame = 0;
    return IDLE;
  }
  if (n.SoleMaster) {
    if (!waited) return POLL_FOR_MASTER;
    n.FrameCount = 0;
    n.ReceivedInvalidFrame = 0;
    return USE_TOKEN;
  }
  if (!waited) return POLL_FOR_MASTER;
  if (n.NS != n.TS) {
    n.EventCount = 0;
    if (!SendOwn(c, mstp::FRAME_TOKEN, n.NS)) return IDLE;
    n.RetryCount = 0;
    n.ReceivedInvalidFrame = 0;
    return PASS_TOKEN;
  }
  if (StationAfter(n, n.PS) != n.TS) {
    n.PS = StationAfter(n, n.PS);
    if (!SendOwn(c, mstp::FRAME_POLL_FOR_MASTER, n.PS)) return IDLE;
    n.RetryCount = 0;
    n.ReceivedInvalidFrame = 0;
    return POLL_FOR_MASTER;
  }
  n.SoleMaster = 1;
  n.FrameCount = 0;
  n.ReceivedInvalidFrame = 0;
  return USE_TOKEN;
}

uint8_t StepPassToken(NodeContext& c) {
  LinkNode& n = c.node;
  const uint32_t s = Silence(n);
  if (s < Tusage_timeout && n.EventCount > Nmin_octets) return IDLE;
  if (s > Tusage_timeout && n.RetryCount < Nretry_token) {
    ++n.RetryCount;
    if (!SendOwn(c, mstp::FRAME_TOKEN, n.NS)) return IDLE;
    n.EventCount = 0;
    return PASS_TOKEN;
  }
  if (s >= Tusage_timeout && n.RetryCount >= Nretry_token) {
    n.PS = StationAfter(n, n.NS);
    if (!SendOwn(c, mstp::FRAME_POLL_FOR_MASTER, n.PS)) return IDLE;
    n.RetryCount = 0;
    n.TokenCount = 0;
    n.EventCount = 0;
    n.NS = n.TS;
    return POLL_FOR_MASTER;
  }
  return PASS_TOKEN;
}

uint8_t StepUseToken(NodeContext& c) {
  LinkNode& n = c.node;
  if (n.wantsToken == 0) {
    n.FrameCount = n.Nmax_info_frames;
    n.wantsToken = 1;
    return DONE_WITH_TOKEN;
  }
  n.wantsToken = useToken(c.linkId);
  ++n.FrameCount;
  if (n.lastFrameNoReply) return DONE_WITH_TOKEN;
  n.lastFrameNoReply = 1;
  // The frame's time on the wire at 4 octets per ms, halves rounded up.
  const uint32_t t = (static_cast<uint32_t>(n.lastFrameOctets) + 2) / 4 + 3;
  if (Silence(n) > t) return DONE_WITH_TOKEN;
  return WAIT_FOR_REPLY;
}

uint8_t StepWaitForReply(NodeContext& c) {
  LinkNode& n = c.node;
  if (Silence(n) >= n.Treply_timeout.load(std::memory_order_relaxed)) {
    deliverUpcall(c.linkId, nullptr, 0, 0, UPCALL_NO_REPLY);
    n.ReceivedInvalidFrame = 0;
    n.ReceiveState = receive_state::IDLE;
    return DONE_WITH_TOKEN;
  }
  if (n.ReceivedInvalidFrame) {
    n.ReceivedInvalidFrame = 0;
    deliverUpcall(c.linkId, nullptr, 0, 0, UPCALL_INVALID_FRAME);
    return DONE_WITH_TOKEN;
  }
  if (!n.ReceivedValidFrame) return WAIT_FOR_REPLY;
  const bool forMe = n.DestinationAddress == n.TS;
  if (forMe && (n.FrameType == mstp::FRAME_TEST_RESPONSE ||
                n.FrameType == mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY)) {
    deliverUpcall(c.linkId, n.InputBuffer, n.SourceAddress, n.DataLength, UPCALL_DATA);
    n.ReceivedValidFrame = 0;
    return DONE_WITH_TOKEN;
  }
  if (forMe && n.FrameType == mstp::FRAME_REPLY_POSTPONED) {
    n.ReceivedValidFrame = 0;
    deliverUpcall(c.linkId, nullptr, 0, 0, UPCALL_REPLY_POSTPONED);
    return DONE_WITH_TOKEN;
  }
  n.ReceivedValidFrame = 0;
  deliverUpcall(c.linkId, nullptr, 0, 0, UPCALL_UNEXPECTED_FRAME);
  return IDLE;
}

uint8_t StepDoneWithToken(NodeContext& c) {
  LinkNode& n = c.node;
  if (n.FrameCount < n.Nmax_info_frames) return USE_TOKEN;
  n.wantsToken = 1;
  if (n.TokenCount < Npoll && n.SoleMaster) {
    ++n.TokenCount;
    n.FrameCount = 0;
    return USE_TOKEN;
  }
  if (n.maintenanceTimer.load(std::memory_order_relaxed) >= kMaintenanceInterval) {
    n.maintenanceTimer.store(0, std::memory_order_relaxed);
    n.TokenCount = Npoll;
  }
  if ((n.TokenCount < Npoll && !n.SoleMaster) || n.NS == StationAfter(n, n.TS)) {
    ++n.TokenCount;
    if (!SendOwn(c, mstp::FRAME_TOKEN, n.NS)) return IDLE;
    n.RetryCount = 0;
    n.EventCount = 0;
    return PASS_TOKEN;
  }
  if (StationAfter(n, n.PS) != n.NS) {
    n.maintenanceTimer.store(0, std::memory_order_relaxed);
    n.PS = StationAfter(n, n.PS);
    if (!SendOwn(c, mstp::FRAME_POLL_FOR_MASTER, n.PS)) return IDLE;
    n.RetryCount = 0;
    return POLL_FOR_MASTER;
  }
  if (!n.SoleMaster) {
    n.PS = n.TS;
    n.maintenanceTimer.store(0, std::memory_order_relaxed);
    if (!SendOwn(c, mstp::FRAME_TOKEN, n.NS)) return IDLE;
    n.EventCount = 0;
    n.RetryCount = 0;
    n.TokenCount = 0;
    return PASS_TOKEN;
  }
  n.PS = StationAfter(n, n.NS);
  n.maintenanceTimer.store(0, std::memory_order_relaxed);
  if (!SendOwn(c, mstp::FRAME_POLL_FOR_MASTER, n.PS)) return IDLE;
  n.NS = n.TS;
  n.EventCount = 0;
  n.RetryCount = 0;
  n.TokenCount = 0;
  return POLL_FOR_MASTER;
}

using StepFunction = uint8_t (*)(NodeContext&);
// Indexed by MasterState.
constexpr StepFunction kMasterSteps[] = {
    nullptr,          StepIdle,         StepNoToken,      StepPollForMaster,
    StepPassToken,    StepUseToken,     StepWaitForReply, StepDoneWithToken,
};

}  // namespace

void initializeNode(uint8_t linkId) {
  LinkNode* n = FindNode(linkId);
  if (n == nullptr) return;
  n->NS = n->TS;
  n->PS = n->TS;
  n->TokenCount = Npoll;
  n->SoleMaster = 0;
  n->ReceivedValidFrame = 0;
  n->ReceivedInvalidFrame = 0;
  n->activityCheckPending = 0;
  n->answeringRequest = 0;
  n->tokenJustReceived = 0;
  n->lastFrameNoReply = 1;
  n->wantsToken = 1;
  n->SilenceTimer.store(0, std::memory_order_relaxed);
  n->answerTimer.store(0, std::memory_order_relaxed);
  n->tokenAgeTimer.store(0, std::memory_order_relaxed);
  PortOps().discardInput(linkId);
  PortOps().discardOutput(linkId);
}

void runMasterNode(uint8_t linkId) {
  LinkNode* node = FindNode(linkId);
  LinkControl* control = FindControl(linkId);
  if (node == nullptr || control == nullptr) return;
  NodeContext c{linkId, *node, *control};
  for (;;) {
    uint8_t state = node->MasterState;
    if (state < IDLE || state > DONE_WITH_TOKEN) state = IDLE;
    node->MasterState = kMasterSteps[state](c);
    if (state == IDLE && control->masterServicesDisabled.load(std::memory_order_relaxed) != 0)
      node->MasterState = IDLE;
    switch (node->MasterState) {
      case IDLE:
      case POLL_FOR_MASTER:
      case WAIT_FOR_REPLY:
        return;
      case NO_TOKEN:
      case PASS_TOKEN:
        node->activityCheckPending = 1;
        return;
      default:
        break;  // USE_TOKEN and DONE_WITH_TOKEN pass straight on
    }
  }
}

}  // namespace tarbus

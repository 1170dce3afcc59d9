// The fixed tables of the link instances, link ids and the timer tick.
#include <cstring>

#include "link/link_internal.h"

namespace tarbus {

LinkNameEntry g_linkNames[kLinkTableSize];
LinkControl g_linkControls[kLinkTableSize];
LinkPort g_linkPorts[kLinkTableSize];
LinkNode g_linkNodes[kLinkTableSize];
uint8_t g_reservedControls = 0;
std::atomic<TickHook> g_linkTickHook{nullptr};
std::atomic<const LinkPortOps*> g_linkPortOps{nullptr};

namespace {

template <typename Entry>
Entry* FindIn(Entry (&table)[kLinkTableSize], uint8_t linkId) {
  if (linkId == 0) return nullptr;
  for (Entry& entry : table)
    if (entry.linkId.load(std::memory_order_acquire) == linkId) return &entry;
  return nullptr;
}

template <typename Entry>
Entry* FirstFree(Entry (&table)[kLinkTableSize]) {
  for (Entry& entry : table)
    if (entry.linkId.load(std::memory_order_relaxed) == 0) return &entry;
  return nullptr;
}

int ReadNothing(uint8_t, uint8_t*) { return 0; }
void IgnoreOctet(uint8_t, uint8_t) {}
void IgnoreLink(uint8_t) {}
void IgnoreSleep(uint32_t) {}
// Until a port's operations are installed nothing reaches any wire.
const LinkPortOps kNoPortOps = {ReadNothing, IgnoreOctet, IgnoreLink, IgnoreLink,
                                IgnoreLink,  IgnoreLink,  IgnoreSleep};

void ResetControl(LinkControl& c) {
  c.inUse.store(0);
  c.stopRequested.store(0);
  c.byteReady = nullptr;
  c.byteConsumed = nullptr;
  c.readerThread = nullptr;
  c.linkThread = nullptr;
  c.jamThread = nullptr;
  c.jamActive.store(0);
  c.checksumErrorArmed.store(0);
  c.tokenDropAddress.store(255);
  c.masterServicesDisabled.store(0);
  c.framingDisabled.store(0);
  c.jamStopRequested.store(0);
  c.jamHoldsPort.store(0);
}

void ResetPort(LinkPort& p) {
  p.inUse.store(0);
  p.DataRegister = 0;
  p.DataAvailable.store(0);
  p.ReceiveError = 0;
  p.portLock = nullptr;
  p.portHandle = nullptr;
  p.ringHead.store(0);
  p.ringTail.store(0);
}

void ResetNode(LinkNode& n) {
  n.inUse.store(0);
  n.tokenObtained.store(nullptr);
  n.upcall.store(nullptr);
  n.Nmax_master = 0;
  n.Nmax_info_frames = 1;
  n.SilenceTimer.store(0);
  n.answerTimer.store(0);
  n.tokenAgeTimer.store(0);
  n.TS = 0;
  n.txDataCRC = 0;
  n.DataCRC = 0;
  n.DataLength = 0;
  n.DestinationAddress = 0;
  n.EventCount = 0;
  n.FrameType = 0;
  n.FrameCount = 0;
  n.HeaderCRC = 0;
  n.Index = 0;
  std::memset(n.InputBuffer, 0, sizeof n.InputBuffer);
  n.NS = 0;
  n.PS = 0;
  n.ReceivedInvalidFrame = 0;
  n.ReceivedValidFrame = 0;
  n.RetryCount = 0;
  n.Treply_timeout.store(kInitialReplyTimeout);
  n.Tframe_abort.store(kInitialFrameAbort);
  n.SoleMaster = 0;
  n.SourceAddress = 0;
  n.TokenCount = 0;
  n.activityCheckPending = 0;
  n.lastFrameNoReply = 1;
  n.answeringRequest = 0;
  n.wantsToken = 1;
  n.tokenJustReceived = 0;
  n.ReceiveState = receive_state::IDLE;
  n.MasterState = master_state::IDLE;
  n.immediateUpcall.store(0);
  n.maxRequestResend.store(0);
  n.resendCount = 0;
  n.resendPending = 0;
  std::memset(n.savedData, 0, sizeof n.savedData);
  n.savedLength = 0;
  n.savedDestination = 0;
  n.savedFrameType = 0;
  n.lastFrameOctets = 0;
  n.maintenanceTimer.store(0);
}

}  // namespace

const LinkPortOps& PortOps() {
  const LinkPortOps* ops = g_linkPortOps.load(std::memory_order_acquire);
  return ops != nullptr ? *ops : kNoPortOps;
}

LinkControl* FindControl(uint8_t linkId) { return FindIn(g_linkControls, linkId); }
LinkPort* FindPort(uint8_t linkId) { return FindIn(g_linkPorts, linkId); }
LinkNode* FindNode(uint8_t linkId) { return FindIn(g_linkNodes, linkId); }

const char* FindPortName(uint8_t linkId) {
  LinkNameEntry* entry = FindIn(g_linkNames, linkId);
  return entry != nullptr ? entry->portName : "";
}

uint8_t FindLinkId(const char* portName) {
  if (portName == nullptr) return 0;
  for (LinkNameEntry& entry : g_linkNames) {
    uint8_t id = entry.linkId.load(std::memory_order_acquire);
    if (id != 0 && std::strncmp(entry.portName, portName, kPortNameMax + 1) == 0) return id;
  }
  return 0;
}

uint8_t RegisterPortName(const char* portName, bool* added) {
  *added = false;
  if (portName == nullptr) return 0;
  size_t length = strnlen(portName, kPortNameMax + 1);
  if (length == 0 || length > kPortNameMax) return 0;
  if (g_reservedControls == 0)
    for (LinkNameEntry& entry : g_linkNames) {
      entry.linkId.store(0);
      std::memset(entry.portName, 0, sizeof entry.portName);
    }
  if (uint8_t id = FindLinkId(portName); id != 0) return id;
  LinkNameEntry* free = FirstFree(g_linkNames);
  if (free == nullptr) return 0;
  for (int id = 255; id >= 1; --id) {
    if (FindIn(g_linkNames, static_cast<uint8_t>(id)) != nullptr) continue;
    std::memcpy(free->portName, portName, length);
    free->portName[length] = '\0';
    free->linkId.store(static_cast<uint8_t>(id), std::memory_order_release);
    *added = true;
    return static_cast<uint8_t>(id);
  }
  return 0;
}

void ClearNameEntry(uint8_t linkId) {
  LinkNameEntry* entry = FindIn(g_linkNames, linkId);
  if (entry == nullptr) return;
  entry->linkId.store(0, std::memory_order_release);
  std::memset(entry->portName, 0, sizeof entry->portName);
}

bool ReserveEntries(uint8_t linkId) {
  LinkControl* control = FirstFree(g_linkControls);
  LinkNode* node = FirstFree(g_linkNodes);
  LinkPort* port = FirstFree(g_linkPorts);
  if (linkId == 0 || control == nullptr || node == nullptr || port == nullptr) return false;
  ResetControl(*control);
  ResetNode(*node);
  ResetPort(*port);
  control->linkId.store(linkId, std::memory_order_release);
  node->linkId.store(linkId, std::memory_order_release);
  port->linkId.store(linkId, std::memory_order_release);
  ++g_reservedControls;
  return true;
}

void ReleaseEntries(uint8_t linkId) {
  if (LinkControl* control = FindControl(linkId)) {
    control->inUse.store(0);
    control->linkId.store(0, std::memory_order_release);
    if (g_reservedControls > 0) --g_reservedControls;
  }
  if (LinkNode* node = FindNode(linkId)) {
    node->inUse.store(0);
    node->linkId.store(0, std::memory_order_release);
  }
  if (LinkPort* port = FindPort(linkId)) {
    port->inUse.store(0);
    port->linkId.store(0, std::memory_order_release);
  }
}

void TickLinks() {
  for (LinkNode& node : g_linkNodes) {
    if (node.inUse.load(std::memory_order_relaxed) == 0) continue;
    node.SilenceTimer.fetch_add(kTickMs, std::memory_order_relaxed);
    node.answerTimer.fetch_add(kTickMs, std::memory_order_relaxed);
    node.tokenAgeTimer.fetch_add(kTickMs, std::memory_order_relaxed);
    node.maintenanceTimer.fetch_add(static_cast<uint16_t>(kTickMs), std::memory_order_relaxed);
  }
  if (TickHook hook = g_linkTickHook.load(std::memory_order_relaxed)) hook();
}

bool PortDeviceName(const char* portName, char* out, size_t size) {
  if (portName == nullptr || out == nullptr || size == 0) return false;
  size_t length = std::strlen(portName);
  bool prefixed = length >= 4 && length <= 6 && (portName[0] | 0x20) == 'c' &&
                  (portName[1] | 0x20) == 'o' && (portName[2] | 0x20) == 'm';
  const char* prefix = prefixed ? "\\\\.\\" : "";
  size_t prefixLength = std::strlen(prefix);
  if (prefixLength + length + 1 > size) return false;
  std::memcpy(out, prefix, prefixLength);
  std::memcpy(out + prefixLength, portName, length + 1);
  return true;
}

}  // namespace tarbus

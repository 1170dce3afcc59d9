#include "sim/bus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim/sim_time.h"
#include "tools/image_file.h"

namespace sim {

namespace {

constexpr int64_t kFrameAbortNs = 100 * kMs;   // gap that abandons a half frame
constexpr int64_t kPollAnswerNs = 30 * kMs;    // wait for a Reply To Poll For Master
constexpr int64_t kTokenUseNs = 60 * kMs;      // wait for an outside station to use the token
constexpr int64_t kNoTokenNs = 500 * kMs;      // silence after which the token is lost
constexpr int64_t kSlotNs = 13 * kMs;
constexpr int64_t kStaleOutputNs = 2000 * kMs; // output nobody reads is given up

uint16_t ModbusCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

// Puts octets on the wire no earlier than desiredNs; returns when they end.
int64_t Enqueue(Bus* bus, const uint8_t* octets, uint16_t count, int64_t desiredNs, int64_t octetNs,
                bool frame) {
  Outgoing o;
  std::memcpy(o.octets, octets, count);
  o.count = count;
  o.octetNs = octetNs;
  o.frame = frame;
  o.startNs = std::max(desiredNs, bus->wireFreeNs);
  bus->wireFreeNs = o.startNs + octetNs * count;
  bus->out.push_back(o);
  return bus->wireFreeNs;
}

int64_t SendFrame(Bus* bus, uint8_t type, uint8_t dst, uint8_t src, const uint8_t* data,
                  uint16_t length, int64_t desiredNs, bool corrupt) {
  mstp::EncodedFrame f;
  uint8_t armed = 0;
  if (!mstp::EncodeFrame(type, dst, src, data, length, false, &armed, &f)) return desiredNs;
  if (corrupt) f.octets[f.count - 1] ^= 0x5A;  // the data CRC, or the header CRC without data
  ++bus->counters.framesOut;
  return Enqueue(bus, f.octets, f.count, desiredNs, bus->octetNs, true);
}

// ---- token ring of the simulated masters --------------------------------

uint8_t StationAfter(const Bus& bus, uint8_t s) { return uint8_t((s + 1) % (bus.options.maxMaster + 1)); }

uint8_t NextInRing(const Bus& bus, uint8_t from) {
  uint8_t s = from;
  for (int k = 0; k <= bus.options.maxMaster; ++k) {
    s = StationAfter(bus, s);
    if (s == from) break;
    if (bus.ring.simulated[s] || bus.ring.outside[s]) return s;
  }
  return from;
}

// retry: this is the one repeat of an unanswered pass.
void PassToken(Bus* bus, uint8_t to, int64_t nowNs, int retry = 0) {
  Ring& r = bus->ring;
  r.retry = retry;
  int64_t end = SendFrame(bus, mstp::FRAME_TOKEN, to, r.holder, nullptr, 0, nowNs, false);
  ++r.tokensSent;
  if (r.simulated[to]) {
    r.holder = to;
    r.state = RING_HOLD;
    r.deadlineNs = end + bus->tokenHoldNs;
  } else {
    r.state = RING_PASSED;
    r.target = to;
    r.deadlineNs = end + kTokenUseNs;
  }
}

void RingHolderActs(Bus* bus, int64_t nowNs) {
  Ring& r = bus->ring;
  uint8_t next = NextInRing(*bus, r.holder);
  bool gap = next == r.holder || StationAfter(*bus, r.holder) != next;
  if (gap && ++r.sincePoll[r.holder] >= bus->options.pollEvery) {
    r.sincePoll[r.holder] = 0;
    // Poll the stations between the holder and its successor in turn.
    uint8_t ps = r.lastPolled[r.holder];
    bool inGap = false;
    for (uint8_t s = StationAfter(*bus, r.holder); s != next; s = StationAfter(*bus, s))
      if (s == ps) inGap = true;
    ps = inGap ? StationAfter(*bus, ps) : StationAfter(*bus, r.holder);
    if (ps == next) ps = StationAfter(*bus, r.holder);
    if (ps != r.holder) {
      r.lastPolled[r.holder] = ps;
      int64_t end = SendFrame(bus, mstp::FRAME_POLL_FOR_MASTER, ps, r.holder, nullptr, 0, nowNs, false);
      ++r.pollsSent;
      r.state = RING_POLL;
      r.target = ps;
      r.deadlineNs = end + kPollAnswerNs;
      return;
    }
  }
  if (next == r.holder) {
    r.deadlineNs = nowNs + std::max<int64_t>(bus->tokenHoldNs, kMs);
    return;
  }
  PassToken(bus, next, nowNs);
}

void RingStep(Bus* bus, int64_t nowNs) {
  Ring& r = bus->ring;
  switch (r.state) {
    case RING_HOLD:
      if (nowNs >= r.deadlineNs) RingHolderActs(bus, nowNs);
      break;
    case RING_POLL:
      if (nowNs >= r.deadlineNs) {
        uint8_t next = NextInRing(*bus, r.holder);
        if (next == r.holder) {
          r.state = RING_HOLD;
          r.deadlineNs = nowNs + std::max<int64_t>(bus->tokenHoldNs, kMs);
        } else {
          PassToken(bus, next, nowNs);
        }
      }
      break;
    case RING_PASSED:
      if (nowNs >= r.deadlineNs) {
        if (r.retry == 0) {
          PassToken(bus, r.target, nowNs, 1);
        } else {
          r.outside[r.target] = false;  // it has left the ring
          r.retry = 0;
          r.state = RING_HOLD;
          r.deadlineNs = nowNs;
        }
      }
      break;
    case RING_AWAY: {
      uint8_t lowest = 0;
      while (lowest < 127 && !r.simulated[lowest]) ++lowest;
      if (nowNs - r.lastHeardNs >= kNoTokenNs + kSlotNs * lowest) {
        r.holder = lowest;  // the token was lost: the lowest simulated master makes a new one
        r.state = RING_HOLD;
        r.deadlineNs = nowNs;
      }
      break;
    }
    default:
      break;
  }
}

void RingFrame(Bus* bus, const RxFrame& f) {
  Ring& r = bus->ring;
  if (r.state == RING_OFF) return;
  r.lastHeardNs = f.endNs;
  if (r.simulated[f.source]) return;
  if (f.type == mstp::FRAME_TOKEN && r.simulated[f.destination]) {
    r.outside[f.source] = true;
    r.holder = f.destination;
    r.state = RING_HOLD;
    r.retry = 0;
    r.deadlineNs = f.endNs + bus->tokenHoldNs;
    return;
  }
  if (f.type == mstp::FRAME_POLL_FOR_MASTER && r.simulated[f.destination]) {
    SendFrame(bus, mstp::FRAME_REPLY_TO_POLL_FOR_MASTER, f.source, f.destination, nullptr, 0,
              f.endNs + bus->turnaroundNs, false);
    return;
  }
  if (f.type == mstp::FRAME_REPLY_TO_POLL_FOR_MASTER && r.state == RING_POLL &&
      f.destination == r.holder && f.source == r.target) {
    ++r.pollReplies;
    r.outside[f.source] = true;
    r.retry = 0;
    PassToken(bus, f.source, f.endNs + bus->turnaroundNs);
    return;
  }
  if (r.state == RING_PASSED && f.source == r.target) {
    r.state = RING_AWAY;
    r.retry = 0;
  }
}

// ---- devices ---------------------------------------------------------------

void DeviceFrame(Bus* bus, const RxFrame& f, int64_t nowNs) {
  if (f.type != mstp::FRAME_BACNET_DATA_EXPECTING_REPLY &&
      f.type != mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY)
    return;
  if (f.destination == 255) return;
  bool expect = f.type == mstp::FRAME_BACNET_DATA_EXPECTING_REPLY;
  struct Answer { Device* d; DeviceReply r; bool corrupt; };
  std::vector<Answer> answers;
  for (Device& d : bus->devices) {
    if (d.address != f.destination) continue;
    Answer a{&d, {}, false};
    DeviceRequest(&d, bus->target, f.data, f.length, expect, nowNs, &a.r);
    if (!a.r.send) continue;
    if (PrngChance(&bus->prng, d.faults.dropRate)) {
      ++d.counters.dropped;
      continue;
    }
    a.corrupt = PrngChance(&bus->prng, d.faults.corruptRate);
    answers.push_back(a);
  }
  for (size_t i = 0; i < answers.size(); ++i) {
    Answer& a = answers[i];
    if (answers.size() > 1) ++a.d->counters.collisions;
    if (i == 0) {
      // Two devices answering at once garble each other: one broken frame.
      bool corrupt = a.corrupt || answers.size() > 1;
      if (a.corrupt) ++a.d->counters.corrupted;
      if (answers.size() > 1) ++bus->counters.collisions;
      SendFrame(bus, mstp::FRAME_BACNET_DATA_NOT_EXPECTING_REPLY, f.source, a.d->address, a.r.data,
                a.r.length, f.endNs + bus->turnaroundNs, corrupt);
      ++a.d->counters.replies;
    }
    if (a.r.newAddress >= 0) a.d->address = static_cast<uint8_t>(a.r.newAddress);
  }
}

void ModbusOctet(Bus* bus, uint8_t octet, int64_t endNs) {
  if (bus->modbusFill < 8) {
    bus->modbusWindow[bus->modbusFill++] = octet;
  } else {
    std::memmove(bus->modbusWindow.data(), bus->modbusWindow.data() + 1, 7);
    bus->modbusWindow[7] = octet;
  }
  if (bus->modbusFill < 8) return;
  const uint8_t* w = bus->modbusWindow.data();
  if (w[0] != 1 || w[1] != 0x06) return;
  uint16_t crc = ModbusCrc(w, 6);
  if (w[6] != (crc & 0xFF) || w[7] != (crc >> 8)) return;
  ++bus->counters.modbusFrames;
  bus->modbusFill = 0;
  for (Device& d : bus->devices) {
    uint8_t reply[8];
    if (DeviceModbus(&d, w, reply)) {
      int64_t octetNs = bus->options.fast ? 0 : 1000000000LL * 10 / 9600;
      Enqueue(bus, reply, 8, endNs + bus->turnaroundNs, octetNs, false);
      break;
    }
  }
}

// ---- the line -------------------------------------------------------------

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
  }
}

bool OpenLine(Bus* bus, std::string* error) {
  termios raw{};
  cfmakeraw(&raw);
  cfsetispeed(&raw, SpeedOf(bus->options.baud));
  cfsetospeed(&raw, SpeedOf(bus->options.baud));
  raw.c_cflag |= CLOCAL | CREAD;
  if (!bus->options.devicePath.empty()) {
    bus->fd = open(bus->options.devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (bus->fd < 0 || tcsetattr(bus->fd, TCSANOW, &raw) != 0) {
      *error = bus->options.devicePath + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  char name[256];
  int master = -1, slave = -1;
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
    *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  bus->fd = master;
  bus->keepFd = slave;
  bus->slaveName = name;
  const std::string& link = bus->options.linkPath;
  if (!link.empty()) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        *error = link + ": exists and is not a link";
        return false;
      }
      unlink(link.c_str());
    }
    if (symlink(name, link.c_str()) != 0) {
      *error = link + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool LoadTarget(Bus* bus, std::string* error) {
  if (bus->options.imagePath.empty()) return true;
  ImageFile image;
  if (!LoadImageFile(bus->options.imagePath.c_str(), bus->options.imageBase, &image, error))
    return false;
  bus->target.given = true;
  bus->target.base = image.baseAddress;
  bus->target.bytes = std::move(image.bytes);
  return true;
}

void WriteDue(Bus* bus, int64_t nowNs) {
  while (!bus->out.empty()) {
    Outgoing& o = bus->out.front();
    uint16_t due = o.count;
    if (o.octetNs > 0) {
      int64_t done = nowNs - o.startNs;
      due = done < 0 ? 0 : static_cast<uint16_t>(std::min<int64_t>(o.count, done / o.octetNs));
    } else if (nowNs < o.startNs) {
      due = 0;
    }
    if (due <= o.sent) {
      if (nowNs - (o.startNs + o.octetNs * o.count) > kStaleOutputNs) {
        ++bus->counters.droppedOutput;
        bus->out.pop_front();
        continue;
      }
      return;
    }
    ssize_t n = write(bus->fd, o.octets + o.sent, due - o.sent);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        bus->outputBlockedNs = nowNs;
        if (nowNs - (o.startNs + o.octetNs * o.count) > kStaleOutputNs) {
          ++bus->counters.droppedOutput;
          bus->out.pop_front();
          continue;
        }
        return;
      }
      ++bus->counters.droppedOutput;  // nobody on the line (EIO): the octets are lost
      n = due - o.sent;
    }
    o.sent = static_cast<uint16_t>(o.sent + n);
    bus->counters.octetsOut += static_cast<uint64_t>(n);
    if (o.sent < o.count) return;
    if (o.frame) PcapFrame(&bus->pcap, o.startNs + bus->wallMinusMono, o.octets, o.count);
    bus->out.pop_front();
  }
}

void Json(std::string* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Json(std::string* s, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  *s += buf;
}

std::string Quoted(const std::string& t) {
  std::string q = "\"";
  for (unsigned char c : t) {
    if (c == '"' || c == '\\') { q += '\\'; q += char(c); }
    else if (c < 0x20 || c >= 0x7F) { char e[8]; std::snprintf(e, sizeof e, "\\u%04x", c); q += e; }
    else q += char(c);
  }
  return q + "\"";
}

}  // namespace

bool BusSetup(Bus* bus, std::string* error) {
  const BusOptions& o = bus->options;
  PrngStart(&bus->prng, o.rngStart);
  bus->octetNs = o.fast ? 0 : 1000000000LL * 10 / o.baud;
  bus->turnaroundNs = o.fast ? 0 : static_cast<int64_t>(o.turnaroundMs * kMs);
  bus->tokenHoldNs = static_cast<int64_t>(o.tokenHoldMs * kMs);
  bus->wallMinusMono = WallNs() - MonoNs();
  if (!LoadTarget(bus, error)) return false;
  for (const DeviceDescription& desc : o.devices) {
    Device d;
    d.faults = desc.faults;
    d.rebootMs = desc.rebootMs;
    d.newRelease = desc.newVersionGiven ? desc.newRelease : o.newRelease;
    d.newPrototype = desc.newVersionGiven ? desc.newPrototype : o.newPrototype;
    d.newBuild = desc.newVersionGiven ? desc.newBuild : o.newBuild;
    DeviceSetup(&d, desc.identity);
    if (desc.members.empty() && desc.defaults) DeviceAddDefaultSettings(&d);
    for (const Member& m : desc.members) DeviceSetMember(&d, m);
    bus->devices.push_back(std::move(d));
  }
  for (uint8_t m : o.masters) {
    if (m > o.maxMaster) {
      *error = "master " + std::to_string(m) + " is above --max-master";
      return false;
    }
    bus->ring.simulated[m] = true;
    bus->ring.lastPolled[m] = m;
  }
  if (!o.masters.empty()) {
    bus->ring.state = RING_HOLD;
    bus->ring.holder = *std::min_element(o.masters.begin(), o.masters.end());
    bus->ring.deadlineNs = MonoNs() + 10 * kMs;
  }
  if (!o.pcapPath.empty() && !PcapOpen(&bus->pcap, o.pcapPath.c_str())) {
    *error = o.pcapPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool BusStart(Bus* bus, std::string* error) { return BusSetup(bus, error) && OpenLine(bus, error); }

void BusReceive(Bus* bus, const uint8_t* octets, size_t count, int64_t nowNs) {
  bool modbusListening = false;
  for (const Device& d : bus->devices) modbusListening |= d.mode == MODE_MODBUS;
  for (size_t i = 0; i < count; ++i) {
    int64_t start = std::max(nowNs, bus->wireFreeNs);
    int64_t end = start + bus->octetNs;
    bus->wireFreeNs = end;
    ++bus->counters.octetsIn;
    if (bus->ring.state != RING_OFF) bus->ring.lastHeardNs = end;
    if (modbusListening) ModbusOctet(bus, octets[i], end);
    int r = FrameRxOctet(&bus->rx, octets[i], start, end, kFrameAbortNs);
    if (r == RX_BAD_HEADER) {
      ++bus->counters.badHeaders;
      continue;
    }
    if (r != RX_FRAME) continue;
    const RxFrame& f = bus->rx.frame;
    ++bus->counters.framesIn;
    PcapFrame(&bus->pcap, f.startNs + bus->wallMinusMono, bus->rx.raw, bus->rx.rawCount);
    if (!f.dataCrcGood) {
      ++bus->counters.badDataCrc;
      continue;
    }
    RingFrame(bus, f);
    DeviceFrame(bus, f, nowNs);
  }
}

int64_t BusService(Bus* bus, int64_t nowNs) {
  int64_t next = nowNs + 100 * kMs;
  for (Device& d : bus->devices) {
    if (d.mode == MODE_REBOOTING) {
      if (nowNs >= d.rebootDoneNs) DeviceRebootDone(&d, bus->target);
      else next = std::min(next, d.rebootDoneNs);
    }
  }
  RingStep(bus, nowNs);
  if (bus->ring.state == RING_HOLD || bus->ring.state == RING_POLL || bus->ring.state == RING_PASSED)
    next = std::min(next, bus->ring.deadlineNs);
  else if (bus->ring.state == RING_AWAY)
    next = std::min(next, nowNs + 10 * kMs);
  WriteDue(bus, nowNs);
  if (!bus->out.empty()) {
    const Outgoing& o = bus->out.front();
    int64_t due = o.octetNs > 0 ? o.startNs + o.octetNs * (o.sent + 1) : o.startNs;
    next = std::min(next, std::max(due, nowNs + 50000));  // at least 50 us apart
    // Nobody reads the line: look again a little later instead of spinning.
    if (bus->outputBlockedNs == nowNs) next = std::max(next, nowNs + 5 * kMs);
  }
  return next;
}

void BusRun(Bus* bus, volatile int* stop, volatile int* report) {
  sigset_t empty;
  sigemptyset(&empty);
  uint8_t buf[4096];
  while (!*stop) {
    int64_t now = MonoNs();
    int64_t next = BusService(bus, now);
    if (*report) {
      *report = 0;
      if (!bus->options.statePath.empty()) BusWriteState(*bus, bus->options.statePath.c_str());
    }
    int64_t wait = std::max<int64_t>(0, next - MonoNs());
    timespec ts{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
    pollfd p{bus->fd, POLLIN, 0};
    int n = ppoll(&p, 1, &ts, &empty);
    if (n > 0 && (p.revents & POLLIN)) {
      ssize_t got = read(bus->fd, buf, sizeof buf);
      if (got > 0) BusReceive(bus, buf, static_cast<size_t>(got), MonoNs());
    } else if (n > 0 && (p.revents & (POLLHUP | POLLERR))) {
      // The line has no one on it; keep our own side and wait.
      timespec pause{0, 2 * 1000000};
      nanosleep(&pause, nullptr);
    }
  }
}

void BusStop(Bus* bus) {
  if (!bus->options.linkPath.empty() && !bus->slaveName.empty()) {
    char target[256];
    ssize_t n = readlink(bus->options.linkPath.c_str(), target, sizeof target - 1);
    if (n > 0) {
      target[n] = 0;
      if (bus->slaveName == target) unlink(bus->options.linkPath.c_str());
    }
  }
  if (bus->fd >= 0) close(bus->fd);
  if (bus->keepFd >= 0) close(bus->keepFd);
  bus->fd = bus->keepFd = -1;
  PcapClose(&bus->pcap);
}

std::string BusStateJson(const Bus& bus) {
  std::string s = "{\n  \"devices\": [";
  for (size_t i = 0; i < bus.devices.size(); ++i) {
    const Device& d = bus.devices[i];
    const DeviceCounters& c = d.counters;
    Json(&s, "%s\n    {\"address\": %u, \"home_address\": %u, \"product\": %u, \"mode\": \"%s\", ",
         i ? "," : "", d.address, d.homeAddress, d.product, DeviceModeName(d.mode));
    Json(&s, "\"version\": \"%s\", \"model\": %s, ", DeviceVersion(d).c_str(), Quoted(DeviceModel(d)).c_str());
    Json(&s, "\"flash_matches_image\": %s, \"image_given\": %s, \"settings_digest\": \"%016llx\",\n",
         DeviceFlashMatches(d, bus.target) ? "true" : "false", bus.target.given ? "true" : "false",
         static_cast<unsigned long long>(DeviceSettingsDigest(d)));
    Json(&s, "     \"counters\": {\"requests\": %llu, \"replies\": %llu, \"refusals\": %llu, "
             "\"dropped\": %llu, \"corrupted\": %llu, \"ignored\": %llu, \"collisions\": %llu, ",
         (unsigned long long)c.requests, (unsigned long long)c.replies, (unsigned long long)c.refusals,
         (unsigned long long)c.dropped, (unsigned long long)c.corrupted, (unsigned long long)c.ignored,
         (unsigned long long)c.collisions);
    Json(&s, "\"chunks\": %llu, \"programming_errors\": %llu, \"ack_faults\": %llu, \"reboots\": %llu, "
             "\"upgrades\": %llu, \"failed_exits\": %llu, \"modbus_requests\": %llu, "
             "\"settle_commands\": %llu}}",
         (unsigned long long)c.chunks, (unsigned long long)c.programmingErrors,
         (unsigned long long)c.ackFaults, (unsigned long long)c.reboots, (unsigned long long)c.upgrades,
         (unsigned long long)c.failedExits, (unsigned long long)c.modbusRequests,
         (unsigned long long)c.settleCommands);
  }
  const BusCounters& b = bus.counters;
  Json(&s, "\n  ],\n  \"bus\": {\"octets_in\": %llu, \"octets_out\": %llu, \"frames_in\": %llu, "
           "\"frames_out\": %llu, \"bad_headers\": %llu, \"bad_data_crc\": %llu, \"collisions\": %llu, "
           "\"dropped_output\": %llu, \"modbus_frames\": %llu, \"captured\": %llu},\n",
       (unsigned long long)b.octetsIn, (unsigned long long)b.octetsOut, (unsigned long long)b.framesIn,
       (unsigned long long)b.framesOut, (unsigned long long)b.badHeaders,
       (unsigned long long)b.badDataCrc, (unsigned long long)b.collisions,
       (unsigned long long)b.droppedOutput, (unsigned long long)b.modbusFrames,
       (unsigned long long)bus.pcap.frames);
  s += "  \"ring\": {\"masters\": [";
  bool first = true;
  for (int a = 0; a < 128; ++a)
    if (bus.ring.simulated[a]) { Json(&s, "%s%d", first ? "" : ", ", a); first = false; }
  s += "], \"outside\": [";
  first = true;
  for (int a = 0; a < 128; ++a)
    if (bus.ring.outside[a]) { Json(&s, "%s%d", first ? "" : ", ", a); first = false; }
  Json(&s, "], \"tokens\": %llu, \"polls\": %llu, \"poll_replies\": %llu}\n}\n",
       (unsigned long long)bus.ring.tokensSent, (unsigned long long)bus.ring.pollsSent,
       (unsigned long long)bus.ring.pollReplies);
  return s;
}

bool BusWriteState(const Bus& bus, const char* path) {
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::string s = BusStateJson(bus);
  bool ok = std::fwrite(s.data(), 1, s.size(), f) == s.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path) == 0;
}

}  // namespace sim

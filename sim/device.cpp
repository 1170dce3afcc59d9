#include "sim/device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kEntryCode[4] = {0x5C, 0x3A, 0x1E, 0x47};
constexpr uint16_t kProtectUnlock = 0x6B17;
constexpr uint8_t kSettleCommand = 106;

// Members of class 1, instance 1.
enum : uint8_t {
  ID_PRODUCT = 1, ID_SOFTWARE = 2, ID_RELEASE = 3, ID_PROTOTYPE = 4, ID_BUILD = 5,
  ID_SERIAL = 7, ID_MODEL = 9, ID_NAME = 11, ID_FINAL = 13, ID_PROTECT = 15,
};

bool SameKey(const Member& m, uint8_t c, uint8_t i, uint8_t id) {
  return m.cls == c && m.inst == i && m.id == id;
}

void Refuse(uint8_t service, DeviceReply* r) {
  r->send = true;
  r->data[0] = 0x01;
  r->data[1] = service < 0x80 ? static_cast<uint8_t>(service | 0x80) : 0xFF;
  r->length = 2;
}

void Put(DeviceReply* r, std::initializer_list<uint8_t> octets) {
  r->send = true;
  r->length = 0;
  for (uint8_t o : octets) r->data[r->length++] = o;
}

void Append(DeviceReply* r, const uint8_t* p, size_t n) {
  std::memcpy(r->data + r->length, p, n);
  r->length = static_cast<uint16_t>(r->length + n);
}

void SetNumber(Device* d, uint8_t c, uint8_t i, uint8_t id, uint8_t type, int64_t v, bool ro,
               bool guarded = false) {
  Member m;
  m.cls = c; m.inst = i; m.id = id;
  m.readOnly = ro;
  m.guarded = guarded;
  m.value = MakeNumber(type, v);
  m.resetValue = m.value;
  DeviceSetMember(d, m);
}

void SetText(Device* d, uint8_t id, const std::string& text) {
  Member m;
  m.cls = 1; m.inst = 1; m.id = id;
  m.guarded = true;
  m.value = MakeText(text);
  m.resetValue = m.value;
  DeviceSetMember(d, m);
}

// Value a write may put into member m: same type, and for fixed-size types
// the same size.
bool WriteFits(const Member& m, const TypedValue& v) {
  if (m.value.octets[0] != v.octets[0]) return false;
  switch (v.octets[0]) {
    case 7: case 9: case 10: case 14: case 15: return true;
    default: return m.value.size == v.size;
  }
}

// Applies one accepted write. Returns the new bus address for an address
// change, or -1.
int ApplyWrite(Device* d, Member* m, const TypedValue& v) {
  if (m->cls == 1 && m->id == ID_PROTECT) {
    d->unlocked = ValueNumber(v) == kProtectUnlock;
    return -1;  // the code itself is never stored
  }
  m->value = v;
  if (m->cls == 17 && m->id == 51 && ValueNumber(v) == kSettleCommand) {
    d->settleLeft = d->faults.settleReads;
    ++d->counters.settleCommands;
  }
  if (m->cls == 17 && m->id == 1) {
    int to = static_cast<int>(ValueNumber(v)) + 15;
    d->homeAddress = static_cast<uint8_t>(to);
    return to;
  }
  return -1;
}

bool Writable(const Device& d, const Member& m) {
  if (m.readOnly) return false;
  if (m.guarded && !d.unlocked) return false;
  return true;
}

// Factory settings, the address among them: the device comes back at the
// factory address (user address 1, bus address 16) until its settings are
// restored.
void ResetSettings(Device* d) {
  for (Member& m : d->members) {
    if (m.cls == 1 || m.cls == 16 || m.readOnly) continue;
    m.value = m.resetValue;
    if (m.cls == 17 && m.id == 1) d->homeAddress = static_cast<uint8_t>(ValueNumber(m.value) + 15);
  }
}

void SetVersion(Device* d, uint8_t release, uint8_t prototype, uint16_t build) {
  if (Member* m = DeviceFindMember(d, 1, 1, ID_RELEASE)) m->value = MakeNumber(1, release);
  if (Member* m = DeviceFindMember(d, 1, 1, ID_PROTOTYPE)) m->value = MakeNumber(1, prototype);
  if (Member* m = DeviceFindMember(d, 1, 1, ID_BUILD)) m->value = MakeNumber(3, build);
}

void StartReboot(Device* d, int64_t nowNs, bool exitingLoader) {
  d->mode = MODE_REBOOTING;
  d->exitingLoader = exitingLoader;
  d->modeAfterReboot = exitingLoader ? MODE_APP : MODE_LOADER;
  d->rebootDoneNs = nowNs + static_cast<int64_t>(d->rebootMs) * 1000000LL;
  ++d->counters.reboots;
}

void AppRequest(Device* d, const uint8_t* q, uint16_t n, bool expectReply, int64_t nowNs,
                DeviceReply* r) {
  uint8_t svc = q[1];
  switch (svc) {
    case 0x01:
      Put(r, {0x01, 0x01, d->product, 0x00});
      return;
    case 0x02: {
      if (n == 3 && q[2] == 0x02) {
        Put(r, {0x01, 0x02, 0x02, 0x00});
        uint8_t count = 0;
        int last = -1;
        for (const Member& m : d->members) {
          if (m.cls != last && count < 255) {
            r->data[r->length++] = m.cls;
            ++count;
            last = m.cls;
          }
        }
        r->data[3] = count;
        return;
      }
      if (n == 4 && q[2] == 0x03) {
        Put(r, {0x01, 0x02, 0x03, q[3], 0x00});
        uint8_t count = 0;
        int last = -1;
        for (const Member& m : d->members) {
          if (m.cls == q[3] && m.inst != last && count < 255) {
            r->data[r->length++] = m.inst;
            ++count;
            last = m.inst;
          }
        }
        if (count == 0) return Refuse(svc, r);
        r->data[4] = count;
        return;
      }
      return Refuse(svc, r);
    }
    case 0x03: {
      if (n != 6) return Refuse(svc, r);
      Member* m = DeviceFindMember(d, q[3], q[5], q[4]);
      if (!m) return Refuse(svc, r);
      Put(r, {0x01, 0x03, q[2], q[3], q[4], q[5]});
      if (m->cls == 16 && m->id == 9 && d->settleLeft > 0) {
        --d->settleLeft;
        ++d->status;
        m->value = MakeNumber(3, d->status);
      }
      if (m->cls == 1 && m->id == ID_PROTECT) {
        TypedValue zero = MakeNumber(3, 0);
        Append(r, zero.octets.data(), zero.size);
      } else {
        Append(r, m->value.octets.data(), m->value.size);
      }
      return;
    }
    case 0x04: {
      if (n < 6) return Refuse(svc, r);
      TypedValue v;
      if (!ValueFrom(q + 5, n - 5u, &v) || 5u + v.size != n) return Refuse(svc, r);
      Member* m = DeviceFindMember(d, q[2], q[4], q[3]);
      if (!m || !WriteFits(*m, v)) return Refuse(svc, r);
      bool protect = m->cls == 1 && m->id == ID_PROTECT;
      if (!protect && !Writable(*d, *m)) return Refuse(svc, r);
      if (m->cls == 17 && m->id == 1) {
        int to = static_cast<int>(ValueNumber(v)) + 15;
        if (to < 1 || to > 254) return Refuse(svc, r);
      }
      r->newAddress = ApplyWrite(d, m, v);
      if (r->newAddress == d->address) r->newAddress = -1;
      Put(r, {0x01, 0x04, q[2], q[3], q[4]});
      return;
    }
    case 0x05: {
      if (n != 4) return Refuse(svc, r);
      Put(r, {0x01, 0x05, q[2], q[3], 0x00});
      uint8_t k = 0;
      for (const Member& m : d->members) {
        if (m.cls != q[2] || m.inst != q[3]) continue;
        TypedValue v = (m.cls == 1 && m.id == ID_PROTECT) ? MakeNumber(3, 0) : m.value;
        if (r->length + 1u + v.size > sizeof r->data || k == 255) break;
        r->data[r->length++] = m.id;
        Append(r, v.octets.data(), v.size);
        ++k;
      }
      if (k == 0) return Refuse(svc, r);
      r->data[4] = k;
      return;
    }
    case 0x0A: {
      if (n < 5) return Refuse(svc, r);
      uint8_t c = q[2], i = q[3], k = q[4];
      // Check every item before writing any, so a bad request changes nothing.
      struct Item { Member* m; TypedValue v; };
      std::vector<Item> items;
      size_t at = 5;
      for (uint8_t j = 0; j < k; ++j) {
        if (at >= n) return Refuse(svc, r);
        uint8_t id = q[at++];
        TypedValue v;
        if (!ValueFrom(q + at, n - at, &v)) return Refuse(svc, r);
        at += v.size;
        Member* m = DeviceFindMember(d, c, i, id);
        if (!m || !WriteFits(*m, v)) return Refuse(svc, r);
        items.push_back({m, v});
      }
      if (at != n) return Refuse(svc, r);
      int newAddress = -1;
      for (Item& it : items) {
        bool protect = it.m->cls == 1 && it.m->id == ID_PROTECT;
        if (!protect && !Writable(*d, *it.m)) continue;  // read-only members are passed over
        int a = ApplyWrite(d, it.m, it.v);
        if (a >= 1 && a <= 254) newAddress = a;
      }
      if (newAddress == d->address) newAddress = -1;
      r->newAddress = newAddress;
      Put(r, {0x01, 0x0A, c, i});
      return;
    }
    case 0xEA:
      if (n == 6 && std::memcmp(q + 2, kEntryCode, 4) == 0) {
        StartReboot(d, nowNs, false);
        r->send = false;  // the device restarts without answering
        return;
      }
      if (expectReply) Refuse(svc, r);
      return;
    case 0xEF:  // closing request of a finished zone
      Put(r, {0x01, 0xEF});
      return;
    default:
      return Refuse(svc, r);
  }
}

void LoaderRequest(Device* d, const FlashTarget& target, const uint8_t* q, uint16_t n,
                   int64_t nowNs, DeviceReply* r) {
  uint8_t svc = q[1];
  switch (svc) {
    case 0x01:
      Put(r, {0x01, 0x01, d->product, 0xCC});
      return;
    case 0xEB:
      Put(r, {0x01, 0xEB, d->product});
      Append(r, reinterpret_cast<const uint8_t*>(d->bootModel.data()),
             std::min<size_t>(d->bootModel.size(), 32));
      return;
    case 0xEC:
      d->flash.assign(target.given ? target.bytes.size() : 0, 0xFF);
      d->erased = true;
      d->ready = false;
      d->halted = false;
      d->flashForeign = false;
      d->chunkWrites = 0;
      d->lastAck = 0;
      Put(r, {0x01, 0xEC});
      return;
    case 0xEE:
      if (!d->erased) return Refuse(svc, r);
      d->ready = true;
      Put(r, {0x01, 0xED});
      return;
    case 0xED: {
      if (n < 8 || n != 8u + q[7] || q[7] == 0) return Refuse(svc, r);
      if (d->halted) return Put(r, {0x01, 0x8A});
      if (!d->ready) return Refuse(svc, r);
      uint32_t addr = (uint32_t(q[2]) << 24) | (uint32_t(q[3]) << 16) | (uint32_t(q[4]) << 8) | q[5];
      uint8_t len = q[7];
      ++d->chunkWrites;
      if (d->faults.chunkError > 0 && d->chunkWrites == uint32_t(d->faults.chunkError)) {
        d->halted = true;
        ++d->counters.programmingErrors;
        return Put(r, {0x01, 0x8A});
      }
      if (target.given && addr >= target.base && addr - target.base + len <= d->flash.size()) {
        std::memcpy(d->flash.data() + (addr - target.base), q + 8, len);
      } else if (target.given) {
        d->flashForeign = true;
      }
      ++d->counters.chunks;
      uint32_t ack = addr;
      if (d->faults.ackAhead > 0 && d->chunkWrites == uint32_t(d->faults.ackAhead)) {
        ack = addr + len;
        ++d->counters.ackFaults;
      } else if (d->faults.ackRepeat > 0 && d->chunkWrites == uint32_t(d->faults.ackRepeat)) {
        ack = d->lastAck;
        ++d->counters.ackFaults;
      }
      d->lastAck = addr;
      Put(r, {0x01, 0xED, uint8_t(ack >> 24), uint8_t(ack >> 16), uint8_t(ack >> 8), uint8_t(ack)});
      return;
    }
    case 0xEF:
      Put(r, {0x01, 0xEF});
      StartReboot(d, nowNs, true);  // answers first, then restarts
      return;
    default:
      return Refuse(svc, r);
  }
}

}  // namespace

const char* DeviceModeName(int mode) {
  switch (mode) {
    case MODE_APP: return "application";
    case MODE_LOADER: return "loader";
    case MODE_MODBUS: return "modbus";
    case MODE_REBOOTING: return "rebooting";
    default: return "unknown";
  }
}

uint8_t BootAddressOf(uint8_t product) { return product == 25 ? 32 : 16; }
uint16_t ProtocolRegisterOf(uint8_t product) { return product == 23 ? 2832 : 2492; }

Member* DeviceFindMember(Device* d, uint8_t cls, uint8_t inst, uint8_t id) {
  for (Member& m : d->members)
    if (SameKey(m, cls, inst, id)) return &m;
  return nullptr;
}

void DeviceSetMember(Device* d, const Member& m) {
  if (Member* old = DeviceFindMember(d, m.cls, m.inst, m.id)) {
    *old = m;
    return;
  }
  auto at = std::lower_bound(d->members.begin(), d->members.end(), m, [](const Member& a, const Member& b) {
    if (a.cls != b.cls) return a.cls < b.cls;
    if (a.inst != b.inst) return a.inst < b.inst;
    return a.id < b.id;
  });
  d->members.insert(at, m);
}

void DeviceSetup(Device* d, const DeviceIdentity& id) {
  d->address = id.address;
  d->homeAddress = id.address;
  d->product = id.product;
  if (id.bootModel.empty()) {
    d->bootModel = id.model;
    for (char& c : d->bootModel)
      if (std::isdigit(static_cast<unsigned char>(c))) c = 'X';
  } else {
    d->bootModel = id.bootModel;
  }
  SetNumber(d, 1, 1, ID_PRODUCT, 1, id.product, true);
  SetNumber(d, 1, 1, ID_SOFTWARE, 3, id.softwareId, true);
  SetNumber(d, 1, 1, ID_RELEASE, 1, id.release, true);
  SetNumber(d, 1, 1, ID_PROTOTYPE, 1, id.prototype, true);
  SetNumber(d, 1, 1, ID_BUILD, 3, id.build, true);
  SetNumber(d, 1, 1, ID_SERIAL, 6, static_cast<int32_t>(id.serial), false, true);
  SetText(d, ID_MODEL, id.model);
  SetText(d, ID_NAME, id.name);
  SetNumber(d, 1, 1, ID_FINAL, 7, 0, false);
  SetNumber(d, 1, 1, ID_PROTECT, 3, 0, false);
  SetNumber(d, 16, 1, 9, 3, 0, true);
  SetNumber(d, 17, 1, 1, 1, id.address - 15, false);
  DeviceFindMember(d, 17, 1, 1)->resetValue = MakeNumber(1, 1);
  SetNumber(d, 17, 1, 51, 7, 0, false);
  d->mode = d->faults.modbusStart ? MODE_MODBUS : MODE_APP;
}

void DeviceAddDefaultSettings(Device* d) {
  auto add = [d](uint8_t c, uint8_t i, uint8_t id, TypedValue v, TypedValue reset, bool ro) {
    Member m;
    m.cls = c; m.inst = i; m.id = id;
    m.value = v;
    m.resetValue = reset;
    m.readOnly = ro;
    DeviceSetMember(d, m);
  };
  // A zone controller's few settings: set points, an offset, a name, flags.
  add(3, 1, 1, MakeNumber(3, 215), MakeNumber(3, 200), false);
  add(3, 1, 2, MakeNumber(4, static_cast<uint16_t>(-5)), MakeNumber(4, 0), false);
  add(3, 1, 7, MakeNumber(1, 3), MakeNumber(1, 3), true);
  add(3, 2, 1, MakeNumber(3, 180), MakeNumber(3, 200), false);
  add(3, 2, 7, MakeNumber(1, 1), MakeNumber(1, 1), true);
  add(4, 1, 1, MakeText("Zone " + std::to_string(d->address - 15)), MakeText(""), false);
  add(4, 1, 2, MakeNumber(7, 2), MakeNumber(7, 0), false);
  add(4, 1, 3, MakeNumber(6, 3600), MakeNumber(6, 600), false);
}

void DeviceRequest(Device* d, const FlashTarget& target, const uint8_t* req, uint16_t length,
                   bool expectReply, int64_t nowNs, DeviceReply* r) {
  *r = DeviceReply{};
  ++d->counters.requests;
  if (d->mode == MODE_REBOOTING || d->mode == MODE_MODBUS) {
    ++d->counters.ignored;
    return;
  }
  if (length == 0) return;
  if (length < 2 || req[0] != 0x01) {
    if (expectReply) Refuse(length >= 2 ? req[1] : 0x7F, r);
  } else if (d->mode == MODE_LOADER) {
    LoaderRequest(d, target, req, length, nowNs, r);
  } else {
    AppRequest(d, req, length, expectReply, nowNs, r);
  }
  if (!expectReply) r->send = false;  // a frame that expects no reply gets none
  if (r->send && r->length >= 2 && r->data[1] >= 0x80 && r->data[1] != 0xEC && r->data[1] != 0xED &&
      r->data[1] != 0xEB && r->data[1] != 0xEF)
    ++d->counters.refusals;
}

void DeviceRebootDone(Device* d, const FlashTarget& target) {
  if (d->exitingLoader && DeviceFlashMatches(*d, target)) {
    d->mode = MODE_APP;
    SetVersion(d, d->newRelease, d->newPrototype, d->newBuild);
    if (d->faults.settingsReset) ResetSettings(d);
    d->address = d->homeAddress;
    if (d->faults.identityLost) {
      if (Member* m = DeviceFindMember(d, 1, 1, ID_MODEL)) {
        std::string x(ValueText(m->value).size(), 'X');
        m->value = MakeText(x.empty() ? "X" : x);
      }
    }
    d->unlocked = false;
    ++d->counters.upgrades;
  } else {
    if (d->exitingLoader) ++d->counters.failedExits;
    d->mode = MODE_LOADER;
    d->address = BootAddressOf(d->product);
    d->ready = false;
  }
  d->exitingLoader = false;
}

bool DeviceModbus(Device* d, const uint8_t f[8], uint8_t reply[8]) {
  if (d->mode != MODE_MODBUS || f[0] != 1 || f[1] != 0x06) return false;
  ++d->counters.modbusRequests;
  std::memcpy(reply, f, 8);  // Write Single Register answers with its request
  uint16_t reg = static_cast<uint16_t>((f[2] << 8) | f[3]);
  uint16_t value = static_cast<uint16_t>((f[4] << 8) | f[5]);
  if (reg == ProtocolRegisterOf(d->product) && value == 1286) d->mode = MODE_APP;
  return true;
}

bool DeviceFlashMatches(const Device& d, const FlashTarget& target) {
  if (!d.erased || d.flashForeign) return false;
  if (!target.given) return d.counters.chunks > 0;
  return d.flash == target.bytes;
}

uint64_t DeviceSettingsDigest(const Device& d) {
  uint64_t h = 0xcbf29ce484222325ULL;
  auto mix = [&h](uint8_t o) { h = (h ^ o) * 0x100000001b3ULL; };
  for (const Member& m : d.members) {
    if (m.cls == 1 || m.cls == 16 || m.readOnly) continue;
    if (m.cls == 17 && m.id == 51) continue;
    mix(m.cls); mix(m.inst); mix(m.id);
    for (uint8_t i = 0; i < m.value.size; ++i) mix(m.value.octets[i]);
  }
  return h;
}

namespace {
const Member* FindConst(const Device& d, uint8_t id) {
  for (const Member& m : d.members)
    if (SameKey(m, 1, 1, id)) return &m;
  return nullptr;
}
}  // namespace

std::string DeviceModel(const Device& d) {
  const Member* m = FindConst(d, ID_MODEL);
  return m ? ValueText(m->value) : std::string();
}

std::string DeviceVersion(const Device& d) {
  const Member* r = FindConst(d, ID_RELEASE);
  const Member* p = FindConst(d, ID_PROTOTYPE);
  const Member* b = FindConst(d, ID_BUILD);
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d.%02d", int(r ? ValueNumber(r->value) : 0),
                int(p ? ValueNumber(p->value) : 0), int(b ? ValueNumber(b->value) : 0));
  return text;
}

}  // namespace sim

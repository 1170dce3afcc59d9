#include "sim/scenario.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sim {

namespace {

bool Number(const std::string& s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool Rate(const std::string& s, double* out) {
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != 0 || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

// Splits a line into words; double quotes group, '#' outside quotes ends it.
bool Words(const std::string& line, std::vector<std::string>* words) {
  std::string w;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"') quoted = false;
      else w += c;
      continue;
    }
    if (c == '#') break;
    if (c == '"') { quoted = true; inWord = true; continue; }
    if (c == ' ' || c == '\t' || c == '\r') {
      if (inWord) words->push_back(w);
      w.clear();
      inWord = false;
      continue;
    }
    w += c;
    inWord = true;
  }
  if (inWord) words->push_back(w);
  return !quoted;
}

void SplitKey(const std::string& word, std::string* key, std::string* value, bool* has) {
  size_t eq = word.find('=');
  *has = eq != std::string::npos;
  *key = *has ? word.substr(0, eq) : word;
  *value = *has ? word.substr(eq + 1) : std::string();
}

bool MasterList(const std::string& s, std::vector<uint8_t>* out) {
  size_t at = 0;
  while (at <= s.size()) {
    size_t comma = s.find(',', at);
    std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    int64_t v;
    if (!Number(item, 0, 127, &v)) return false;
    out->push_back(static_cast<uint8_t>(v));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

}  // namespace

bool ParseVersion(const std::string& text, uint8_t* release, uint8_t* prototype, uint16_t* build) {
  unsigned r, p, b;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &r, &p, &b, &tail) != 3) return false;
  if (r > 255 || p > 255 || b > 65535) return false;
  *release = uint8_t(r);
  *prototype = uint8_t(p);
  *build = uint16_t(b);
  return true;
}

bool ApplyDeviceKey(DeviceDescription* desc, const std::string& key, const std::string& value,
                    bool hasValue, std::string* error) {
  int64_t n = 0;
  DeviceIdentity& id = desc->identity;
  DeviceFaults& f = desc->faults;
  auto bad = [&](const char* what) {
    *error = "bad " + key + " '" + value + "': " + what;
    return false;
  };
  auto flag = [&](bool* out) {
    if (!hasValue || value == "yes" || value == "1" || value == "on") { *out = true; return true; }
    if (value == "no" || value == "0" || value == "off") { *out = false; return true; }
    return bad("yes or no");
  };
  if (key == "address") {
    if (!Number(value, 1, 254, &n)) return bad("an address 1..254");
    id.address = uint8_t(n);
  } else if (key == "product") {
    if (!Number(value, 0, 255, &n)) return bad("0..255");
    id.product = uint8_t(n);
  } else if (key == "software") {
    if (!Number(value, 0, 65535, &n)) return bad("0..65535");
    id.softwareId = uint16_t(n);
  } else if (key == "version") {
    if (!ParseVersion(value, &id.release, &id.prototype, &id.build)) return bad("R.P.B");
  } else if (key == "new-version") {
    if (!ParseVersion(value, &desc->newRelease, &desc->newPrototype, &desc->newBuild))
      return bad("R.P.B");
    desc->newVersionGiven = true;
  } else if (key == "serial") {
    if (!Number(value, -2147483648LL, 4294967295LL, &n)) return bad("a 32-bit number");
    id.serial = uint32_t(n);
  } else if (key == "model") {
    if (value.size() > 32) return bad("at most 32 characters");
    id.model = value;
  } else if (key == "name") {
    if (value.size() > 34) return bad("at most 34 characters");
    id.name = value;
  } else if (key == "boot-model") {
    if (value.size() > 32) return bad("at most 32 characters");
    id.bootModel = value;
  } else if (key == "reboot-ms") {
    if (!Number(value, 0, 600000, &n)) return bad("0..600000");
    desc->rebootMs = uint32_t(n);
  } else if (key == "defaults") {
    return flag(&desc->defaults);
  } else if (key == "settings-reset") {
    return flag(&f.settingsReset);
  } else if (key == "identity-lost") {
    return flag(&f.identityLost);
  } else if (key == "modbus") {
    return flag(&f.modbusStart);
  } else if (key == "settle-reads") {
    if (!Number(value, 0, 1000, &n)) return bad("0..1000");
    f.settleReads = int(n);
  } else if (key == "chunk-error" || key == "ack-ahead" || key == "ack-repeat") {
    if (!Number(value, 0, 1000000, &n)) return bad("a chunk write number");
    (key == "chunk-error" ? f.chunkError : key == "ack-ahead" ? f.ackAhead : f.ackRepeat) = int(n);
  } else if (key == "drop-rate") {
    if (!Rate(value, &f.dropRate)) return bad("a rate 0..1");
  } else if (key == "corrupt-rate") {
    if (!Rate(value, &f.corruptRate)) return bad("a rate 0..1");
  } else {
    *error = "unknown device key '" + key + "'";
    return false;
  }
  return true;
}

bool ParseDeviceList(const std::string& text, DeviceDescription* desc, std::string* error) {
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    std::string key, value;
    bool has;
    SplitKey(item, &key, &value, &has);
    if (!key.empty() && !ApplyDeviceKey(desc, key, value, has, error)) return false;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

bool ApplyBusKey(BusOptions* bus, const std::string& key, const std::string& value,
                 std::string* error) {
  int64_t n = 0;
  double d = 0;
  char* end = nullptr;
  auto bad = [&]() {
    *error = "bad value for " + key + ": '" + value + "'";
    return false;
  };
  if (key == "baud") {
    if (!Number(value, 300, 4000000, &n)) return bad();
    bus->baud = uint32_t(n);
  } else if (key == "turnaround") {
    d = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != 0 || d < 0 || d > 10000) return bad();
    bus->turnaroundMs = d;
  } else if (key == "fast") {
    bus->fast = value.empty() || value == "yes" || value == "1" || value == "on";
  } else if (key == "image") {
    bus->imagePath = value;
  } else if (key == "image-base") {
    if (!Number(value, 0, 0xFFFFFFFFLL, &n)) return bad();
    bus->imageBase = uint32_t(n);
  } else if (key == "new-version") {
    if (!ParseVersion(value, &bus->newRelease, &bus->newPrototype, &bus->newBuild)) return bad();
  } else if (key == "master") {
    if (!MasterList(value, &bus->masters)) return bad();
  } else if (key == "max-master") {
    if (!Number(value, 1, 127, &n)) return bad();
    bus->maxMaster = uint8_t(n);
  } else if (key == "token-hold") {
    d = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != 0 || d < 0 || d > 1000) return bad();
    bus->tokenHoldMs = d;
  } else if (key == "poll-every") {
    if (!Number(value, 1, 10000, &n)) return bad();
    bus->pollEvery = int(n);
  } else if (key == "rng-start") {
    char* e2 = nullptr;
    unsigned long long v = std::strtoull(value.c_str(), &e2, 0);
    if (value.empty() || *e2 != 0) return bad();
    bus->rngStart = v;
  } else {
    *error = "unknown bus key '" + key + "'";
    return false;
  }
  return true;
}

bool LoadScenario(const char* path, BusOptions* bus, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = std::string(path) + ": cannot open";
    return false;
  }
  std::string line;
  int lineNo = 0;
  DeviceDescription* current = nullptr;
  auto fail = [&](const std::string& why) {
    *error = std::string(path) + ":" + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (line.size() > 4096) return fail("line too long");
    std::vector<std::string> w;
    if (!Words(line, &w)) return fail("unclosed quote");
    if (w.empty()) continue;
    std::string why;
    if (w[0] == "bus") {
      for (size_t i = 1; i < w.size(); ++i) {
        std::string key, value;
        bool has;
        SplitKey(w[i], &key, &value, &has);
        // An image named in a scenario is found beside the scenario file.
        if (key == "image" && !value.empty() && value[0] != '/') {
          std::string dir = path;
          size_t slash = dir.rfind('/');
          value = (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/" + value;
        }
        if (!ApplyBusKey(bus, key, value, &why)) return fail(why);
      }
    } else if (w[0] == "device") {
      bus->devices.emplace_back();
      current = &bus->devices.back();
      for (size_t i = 1; i < w.size(); ++i) {
        std::string key, value;
        bool has;
        SplitKey(w[i], &key, &value, &has);
        if (!ApplyDeviceKey(current, key, value, has, &why)) return fail(why);
      }
    } else if (w[0] == "fault") {
      if (!current) return fail("fault before any device");
      for (size_t i = 1; i < w.size(); ++i) {
        std::string key, value;
        bool has;
        SplitKey(w[i], &key, &value, &has);
        if (!ApplyDeviceKey(current, key, value, has, &why)) return fail(why);
      }
    } else if (w[0] == "member") {
      if (!current) return fail("member before any device");
      if (w.size() < 4) return fail("member C.I.M TYPE VALUE [reset=VALUE] [ro]");
      unsigned c, i, m;
      char tail;
      if (std::sscanf(w[1].c_str(), "%u.%u.%u%c", &c, &i, &m, &tail) != 3 || c > 255 || i > 255 ||
          m > 255)
        return fail("member key '" + w[1] + "' is not C.I.M");
      Member mem;
      mem.cls = uint8_t(c);
      mem.inst = uint8_t(i);
      mem.id = uint8_t(m);
      if (!ParseValueLiteral(w[2], w[3], &mem.value, &why)) return fail(why);
      mem.resetValue = ValueZeroOf(mem.value);  // a reset clears it unless told otherwise
      for (size_t k = 4; k < w.size(); ++k) {
        if (w[k] == "ro") {
          mem.readOnly = true;
        } else if (w[k].rfind("reset=", 0) == 0) {
          if (!ParseValueLiteral(w[2], w[k].substr(6), &mem.resetValue, &why)) return fail(why);
        } else {
          return fail("unknown member word '" + w[k] + "'");
        }
      }
      current->members.push_back(mem);
    } else {
      return fail("unknown statement '" + w[0] + "'");
    }
  }
  return true;
}

}  // namespace sim

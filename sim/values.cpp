#include "sim/values.h"

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace sim {

size_t ValueExtent(const uint8_t* p, size_t avail) {
  if (avail < 1) return 0;
  size_t n = 0;
  switch (p[0]) {
    case 1: case 2: n = 2; break;
    case 3: case 4: case 18: n = 3; break;
    case 5: case 6: case 8: case 17: n = 5; break;
    case 12: case 13: n = 4; break;
    case 11: case 255: n = 1; break;
    case 7: case 9: case 10:
      if (avail < 2) return 0;
      n = 2 + p[1];
      break;
    case 14:
      if (avail < 2) return 0;
      n = 2 + 4u * p[1];
      break;
    case 15:
      if (avail < 2) return 0;
      n = 2 + 2u * p[1];
      break;
    default:
      return 0;
  }
  if (n > avail || n > kMaxValueOctets) return 0;
  if (p[0] == 9 && (p[1] == 0 || p[n - 1] != 0)) return 0;  // text must end in its zero
  if ((p[0] == 7 || p[0] == 15) && p[1] == 0) return 0;      // lists hold an element
  return n;
}

bool ValueFrom(const uint8_t* p, size_t avail, TypedValue* out) {
  size_t n = ValueExtent(p, avail);
  if (n == 0) return false;
  out->size = static_cast<uint8_t>(n);
  std::memcpy(out->octets.data(), p, n);
  return true;
}

TypedValue MakeNumber(uint8_t type, int64_t number) {
  TypedValue v;
  uint64_t u = static_cast<uint64_t>(number);
  uint8_t* o = v.octets.data();
  o[0] = type;
  switch (type) {
    case 1: case 2: o[1] = u & 0xFF; v.size = 2; break;
    case 3: case 4: o[1] = (u >> 8) & 0xFF; o[2] = u & 0xFF; v.size = 3; break;
    case 5: case 6:
      for (int i = 0; i < 4; ++i) o[1 + i] = (u >> (24 - 8 * i)) & 0xFF;
      v.size = 5;
      break;
    case 17:  // sent least significant octet first
      for (int i = 0; i < 4; ++i) o[1 + i] = (u >> (8 * i)) & 0xFF;
      v.size = 5;
      break;
    case 18: o[1] = u & 0xFF; o[2] = (u >> 8) & 0xFF; v.size = 3; break;
    case 7: o[1] = 1; o[2] = u & 0xFF; v.size = 3; break;
    case 15: o[1] = 1; o[2] = (u >> 8) & 0xFF; o[3] = u & 0xFF; v.size = 4; break;
    default: o[0] = 255; v.size = 1; break;
  }
  return v;
}

TypedValue MakeText(const std::string& text) {
  TypedValue v;
  size_t n = text.size() > 63 ? 63 : text.size();
  v.octets[0] = 9;
  v.octets[1] = static_cast<uint8_t>(n + 1);
  std::memcpy(v.octets.data() + 2, text.data(), n);
  v.octets[2 + n] = 0;
  v.size = static_cast<uint8_t>(n + 3);
  return v;
}

std::string ValueText(const TypedValue& v) {
  if (v.octets[0] != 9 || v.size < 3) return std::string();
  return std::string(reinterpret_cast<const char*>(v.octets.data() + 2), v.size - 3);
}

int64_t ValueNumber(const TypedValue& v) {
  const uint8_t* o = v.octets.data();
  switch (o[0]) {
    case 1: return o[1];
    case 2: return static_cast<int8_t>(o[1]);
    case 3: return (o[1] << 8) | o[2];
    case 4: return static_cast<int16_t>((o[1] << 8) | o[2]);
    case 5: return (uint32_t(o[1]) << 24) | (o[2] << 16) | (o[3] << 8) | o[4];
    case 6: return static_cast<int32_t>((uint32_t(o[1]) << 24) | (o[2] << 16) | (o[3] << 8) | o[4]);
    case 17: return (uint32_t(o[4]) << 24) | (o[3] << 16) | (o[2] << 8) | o[1];
    case 18: return (o[2] << 8) | o[1];
    case 7: return o[2];
    case 15: return (o[2] << 8) | o[3];
    default: return 0;
  }
}

TypedValue ValueZeroOf(const TypedValue& v) {
  if (v.octets[0] == 9) return MakeText("");
  TypedValue z = v;
  if (v.octets[0] == 7 || v.octets[0] == 15) {
    std::fill(z.octets.begin() + 2, z.octets.begin() + v.size, 0);
  } else if (v.octets[0] == 10 || v.octets[0] == 14) {
    z.octets[1] = 0;
    z.size = 2;
  } else {
    std::fill(z.octets.begin() + 1, z.octets.begin() + v.size, 0);
  }
  return z;
}

namespace {

int TypeFromName(const std::string& t) {
  static const struct { const char* name; int type; } kNames[] = {
      {"u8", 1},    {"s8", 2},     {"u16", 3},   {"s16", 4},    {"u32", 5},
      {"s32", 6},   {"enum", 7},   {"float", 8}, {"text", 9},   {"bytes", 10},
      {"empty", 11}, {"triple", 12}, {"pair", 13}, {"quads", 14}, {"enum16", 15},
      {"le32", 17}, {"le16", 18},  {"none", 255}};
  for (const auto& n : kNames)
    if (t == n.name) return n.type;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 0);
  if (!t.empty() && *end == 0 && v >= 1 && v <= 255 && v != 16 && (v <= 18 || v == 255)) return int(v);
  return -1;
}

bool ParseInt(const std::string& s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseHex(const std::string& s, uint8_t* out, size_t cap, size_t* n) {
  if (s.size() % 2 != 0 || s.size() / 2 > cap) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    char b[3] = {s[i], s[i + 1], 0};
    char* end = nullptr;
    long v = std::strtol(b, &end, 16);
    if (*end != 0) return false;
    out[i / 2] = static_cast<uint8_t>(v);
  }
  *n = s.size() / 2;
  return true;
}

}  // namespace

bool ParseValueLiteral(const std::string& typeName, const std::string& lit, TypedValue* out,
                       std::string* error) {
  int type = TypeFromName(typeName);
  if (type < 0) {
    *error = "unknown value type '" + typeName + "'";
    return false;
  }
  int64_t n = 0;
  TypedValue v;
  uint8_t* o = v.octets.data();
  o[0] = static_cast<uint8_t>(type);
  bool ok = true;
  switch (type) {
    case 1: case 7: ok = ParseInt(lit, 0, 255, &n); v = MakeNumber(uint8_t(type), n); break;
    case 2: ok = ParseInt(lit, -128, 255, &n); v = MakeNumber(2, n); break;
    case 3: case 15: case 18: ok = ParseInt(lit, 0, 65535, &n); v = MakeNumber(uint8_t(type), n); break;
    case 4: ok = ParseInt(lit, -32768, 65535, &n); v = MakeNumber(4, n); break;
    case 5: case 6: case 17:
      ok = ParseInt(lit, -2147483648LL, 4294967295LL, &n);
      v = MakeNumber(uint8_t(type), n);
      break;
    case 8: {
      char* end = nullptr;
      float f = std::strtof(lit.c_str(), &end);
      ok = !lit.empty() && *end == 0 && std::isfinite(f);
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      for (int i = 0; i < 4; ++i) o[1 + i] = (bits >> (24 - 8 * i)) & 0xFF;
      v.size = 5;
      break;
    }
    case 9:
      ok = lit.size() <= 63;
      v = MakeText(lit);
      break;
    case 10: {
      size_t count = 0;
      ok = ParseHex(lit, o + 2, 64, &count);
      o[1] = static_cast<uint8_t>(count);
      v.size = static_cast<uint8_t>(count + 2);
      break;
    }
    case 14: {
      size_t count = 0;
      ok = ParseHex(lit, o + 2, 64, &count) && count % 4 == 0;
      o[1] = static_cast<uint8_t>(count / 4);
      v.size = static_cast<uint8_t>(count + 2);
      break;
    }
    case 11: case 255: v.size = 1; break;
    case 12: case 13: {
      int64_t a = 0, b = 0, c = 0;
      size_t p1 = lit.find('.');
      if (p1 == std::string::npos) { ok = false; break; }
      std::string rest = lit.substr(p1 + 1);
      if (type == 12) {
        size_t p2 = rest.find('.');
        ok = p2 != std::string::npos && ParseInt(lit.substr(0, p1), 0, 255, &a) &&
             ParseInt(rest.substr(0, p2), 0, 255, &b) && ParseInt(rest.substr(p2 + 1), 0, 255, &c);
        o[1] = uint8_t(a); o[2] = uint8_t(b); o[3] = uint8_t(c);
      } else {
        ok = ParseInt(lit.substr(0, p1), 0, 65535, &a) && ParseInt(rest, 0, 255, &b);
        o[1] = uint8_t(a >> 8); o[2] = uint8_t(a); o[3] = uint8_t(b);
      }
      v.size = 4;
      break;
    }
    default: ok = false; break;
  }
  if (!ok) {
    *error = "value '" + lit + "' does not fit type " + typeName;
    return false;
  }
  *out = v;
  return true;
}

}  // namespace sim

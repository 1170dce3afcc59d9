#include "service/typed_value.h"

#include <cstdio>
#include <cstring>

namespace service {
namespace {

// Data octets by type code 0..18; kVariableSize where a count decides.
constexpr std::array<int8_t, 19> kValueSize = {
    0, 1, 1, 2, 2, 4, 4, kVariableSize, 4, kVariableSize, kVariableSize,
    0, 3, 3, kVariableSize, kVariableSize, kVariableSize, 4, 2};

uint32_t BigEndian(std::span<const uint8_t> octets) {
  uint32_t number = 0;
  for (uint8_t octet : octets) number = (number << 8) | octet;
  return number;
}

void PutBigEndian(uint32_t number, std::span<uint8_t> out) {
  for (size_t i = out.size(); i-- > 0;) {
    out[i] = static_cast<uint8_t>(number);
    number >>= 8;
  }
}

void PutLittleEndian(uint32_t number, std::span<uint8_t> out) {
  for (auto& octet : out) {
    octet = static_cast<uint8_t>(number);
    number >>= 8;
  }
}

}  // namespace

int ValueSize(int32_t type) {
  if (type < 0 || type >= static_cast<int32_t>(kValueSize.size())) return 0;
  return kValueSize[static_cast<size_t>(type)];
}

uint16_t DecodeValue(std::span<const uint8_t> in, MemberValue& value) {
  if (in.empty()) return 0;
  const int32_t type = in[0];
  value.type = type;
  const std::span<const uint8_t> data = in.subspan(1);
  switch (type) {
    case VALUE_U8:
    case VALUE_S8:
    case VALUE_U16:
    case VALUE_S16:
    case VALUE_INT32:
    case VALUE_INT32_B:
    case VALUE_FLOAT:
    case VALUE_U16_U8:
    case VALUE_U32_LE:
    case VALUE_U16_LE: {
      const size_t size = static_cast<size_t>(ValueSize(type));
      if (data.size() < size) return 0;
      // Types 17 and 18 arrive most significant octet first like the rest;
      // only their writing is reversed.
      value.value = BigEndian(data.first(size));
      return static_cast<uint16_t>(1 + size);
    }
    case VALUE_THREE_PART:
      if (data.size() < 3) return 0;
      value.value = data[0];
      value.extra = {data[1], data[2]};
      return 4;
    case VALUE_ENUM8_LIST: {
      if (data.empty()) return 0;
      const size_t n = data[0];
      if (data.size() < 1 + n) return 0;
      if (n > 1) std::printf("EV.");
      value.value = n > 0 ? data[1] : 0;
      return static_cast<uint16_t>(n + 2);
    }
    case VALUE_ENUM16_LIST: {
      // A count, then two octets per element: 2n + 2 in all.
      if (data.empty()) return 0;
      const size_t n = data[0];
      if (data.size() < 1 + 2 * n) return 0;
      if (n > 1) std::printf("WEV");
      value.value = n > 0 ? BigEndian(data.subspan(1, 2)) : 0;
      return static_cast<uint16_t>(2 * n + 2);
    }
    case VALUE_TEXT: {
      if (data.empty()) return 0;
      const size_t n = data[0];
      if (data.size() < 1 + n) return 0;
      if (value.text != nullptr && value.textSize > 0) {
        const auto* text = reinterpret_cast<const char*>(data.data() + 1);
        size_t length = strnlen(text, n);
        if (length > value.textSize - 1u) length = value.textSize - 1u;
        std::memcpy(value.text, text, length);
        value.text[length] = '\0';
      }
      return static_cast<uint16_t>(n + 2);
    }
    case VALUE_COUNTED_BYTES:
    case VALUE_COUNTED_QUADS: {
      if (data.empty()) return 0;
      const size_t n = data[0];
      const size_t items = type == VALUE_COUNTED_BYTES ? n : 4 * n;
      if (data.size() < 1 + items) return 0;
      std::memcpy(value.counted.data(), data.data(), 1 + items);
      return static_cast<uint16_t>(items + 2);
    }
    case VALUE_EMPTY:
    case VALUE_NO_VALUE:
      return 1;
    default:
      std::printf("BadRep");
      return 1;
  }
}

uint16_t EncodeValue(const MemberValue& value, std::span<uint8_t> out) {
  const int32_t type = value.type;
  size_t size = 0;
  switch (type) {
    case VALUE_ENUM8_LIST: size = 3; break;
    case VALUE_ENUM16_LIST: size = 4; break;
    case VALUE_TEXT: {
      const size_t length = value.text != nullptr ? strnlen(value.text, 254) : 0;
      size = length + 3;
      break;
    }
    case VALUE_COUNTED_BYTES: size = 2u + value.counted[0]; break;
    case VALUE_COUNTED_QUADS: size = 2u + 4u * value.counted[0]; break;
    default: size = 1u + static_cast<size_t>(ValueSize(type) > 0 ? ValueSize(type) : 0); break;
  }
  if (size > out.size()) return 0;
  out[0] = static_cast<uint8_t>(type);
  const std::span<uint8_t> data = out.subspan(1, size - 1);
  switch (type) {
    case VALUE_U8:
    case VALUE_S8:
    case VALUE_U16:
    case VALUE_S16:
    case VALUE_INT32:
    case VALUE_INT32_B:
    case VALUE_FLOAT:
    case VALUE_U16_U8:
      PutBigEndian(value.value, data);
      break;
    case VALUE_U32_LE:
    case VALUE_U16_LE:
      PutLittleEndian(value.value, data);
      break;
    case VALUE_THREE_PART:
      data[0] = static_cast<uint8_t>(value.value);
      data[1] = value.extra[0];
      data[2] = value.extra[1];
      break;
    case VALUE_ENUM8_LIST:
      data[0] = 1;
      data[1] = static_cast<uint8_t>(value.value);
      break;
    case VALUE_ENUM16_LIST:
      data[0] = 1;
      PutBigEndian(value.value, data.subspan(1, 2));
      break;
    case VALUE_TEXT:
      data[0] = static_cast<uint8_t>(size - 2);
      if (size > 3) std::memcpy(data.data() + 1, value.text, size - 3);
      data[size - 2] = '\0';
      break;
    case VALUE_COUNTED_BYTES:
    case VALUE_COUNTED_QUADS:
      std::memcpy(data.data(), value.counted.data(), size - 1);
      break;
    default:
      break;  // the type octet alone
  }
  return static_cast<uint16_t>(size);
}

}  // namespace service

// Typed values as devices encode them: one type octet, then the type's data,
// numbers most significant octet first (types 17 and 18 are written least
// significant first). Decoding is bounded by the octets given and by the
// destination's size.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace service {

enum ValueType : int32_t {
  VALUE_U8 = 1,
  VALUE_S8 = 2,
  VALUE_U16 = 3,
  VALUE_S16 = 4,
  VALUE_INT32 = 5,
  VALUE_INT32_B = 6,
  VALUE_ENUM8_LIST = 7,
  VALUE_FLOAT = 8,
  VALUE_TEXT = 9,
  VALUE_COUNTED_BYTES = 10,
  VALUE_EMPTY = 11,
  VALUE_THREE_PART = 12,
  VALUE_U16_U8 = 13,
  VALUE_COUNTED_QUADS = 14,
  VALUE_ENUM16_LIST = 15,
  VALUE_NONE = 16,
  VALUE_U32_LE = 17,
  VALUE_U16_LE = 18,
  VALUE_NO_VALUE = 255,
};

// Room for the largest counted value there is: a count of 255 four-octet items.
constexpr size_t kCountedCapacity = 1 + 4 * 255;

struct MemberValue {
  // The number of the numeric types: 8-, 16- or 32-bit number, float bits,
  // the first part of type 12, or type 13 as (16-bit part << 8) | 8-bit part.
  uint32_t value = 0;
  std::array<uint8_t, 2> extra{};  // second and third part of type 12
  int32_t type = 0;
  // Type 9: where a text read is copied, cut to textSize and terminated
  // (none: the text is skipped); the text to write.
  char* text = nullptr;
  uint16_t textSize = 0;
  // Types 10 and 14: the count octet and the items it counts, copied out of
  // the reply so that the value outlives it.
  std::array<uint8_t, kCountedCapacity> counted{};
};

constexpr int kVariableSize = -1;

// Data octets of a type code (the type octet not counted); kVariableSize for
// the counted and listed types; 0 above 18.
int ValueSize(int32_t type);

// Decodes the value whose type octet is in[0]. Returns the octets consumed,
// or 0 when in is empty or the value runs past its end (nothing past the end
// is read). Prints "EV.", "WEV" or "BadRep" as devices' odd values warrant.
uint16_t DecodeValue(std::span<const uint8_t> in, MemberValue& value);

// Writes the value's type octet and data into out. Returns the octets
// written, or 0 when they would not fit (nothing is written then).
uint16_t EncodeValue(const MemberValue& value, std::span<uint8_t> out);

}  // namespace service

// Typed member values as they travel on the bus: a type octet followed by
// the data its type prescribes. Values are kept in that encoded form.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

constexpr size_t kMaxValueOctets = 66;  // type, count and 64 octets

struct TypedValue {
  uint8_t size = 1;                           // octets used, type octet included
  std::array<uint8_t, kMaxValueOctets> octets = {255};
};

// Octets a value occupies at `p` (at most `avail` octets readable), or 0 when
// the type is unknown, the value runs past `avail` or exceeds kMaxValueOctets.
size_t ValueExtent(const uint8_t* p, size_t avail);

// Takes a value from `p` (validated by ValueExtent); false if malformed.
bool ValueFrom(const uint8_t* p, size_t avail, TypedValue* out);

// Builders.
TypedValue MakeNumber(uint8_t type, int64_t number);  // types 1-6, 7, 15, 17, 18
TypedValue MakeText(const std::string& text);        // type 9, cut to 63 characters
std::string ValueText(const TypedValue& v);          // the text of a type 9 value
int64_t ValueNumber(const TypedValue& v);            // numeric types, else 0
// The same type holding zero (an empty text, an empty count).
TypedValue ValueZeroOf(const TypedValue& v);

// Parses a literal of the scenario format for the named type ("u8", "text",
// "enum", ... or a type number). False with *error set when it does not fit.
bool ParseValueLiteral(const std::string& type, const std::string& literal, TypedValue* out,
                       std::string* error);

}  // namespace sim

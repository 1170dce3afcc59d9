// Port names of the other platform, as pure text functions: the name a COM
// port number is opened by, and the part of a name a menu shows.
#pragma once
#include <cstddef>

namespace platform {

// Writes the name port `number` (1 and up) is opened by: "Com%d" below 10,
// the device path form "\\.\Com%d" from 10 on. False, with `out` emptied
// (when it has room), when the number is below 1 or the name does not fit.
bool ComPortName(int number, char* out, size_t size);

// The text after the last backslash of `name`, or all of it when it has none
// ("\\.\Com12" shows as "Com12"). Points into `name`.
const char* ShownPortName(const char* name);

}  // namespace platform

#include "platform/port_names.h"

#include <cstdio>
#include <cstring>

namespace platform {

bool ComPortName(int number, char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (number < 1) return false;
  int n = std::snprintf(out, size, number < 10 ? "Com%d" : "\\\\.\\Com%d", number);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

const char* ShownPortName(const char* name) {
  if (name == nullptr) return "";
  const char* last = std::strrchr(name, '\\');
  return last != nullptr ? last + 1 : name;
}

}  // namespace platform

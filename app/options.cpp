#include "app/options.h"

#include <cstdio>
#include <cstring>

#include "platform/serial.h"

CommandLineOptions commandLineOptions = {{0}, 0, UNSET, UNSET, UNSET};

namespace {

// Decimal as the C library reads it: leading white space, one sign, digits up
// to the first non-digit, no digits give 0. Only the low 8 bits are kept, so
// the value is accumulated modulo 256 and never overflows.
uint8_t LowByteOfDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  unsigned value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = (value * 10u + static_cast<unsigned>(*p - '0')) & 0xFFu;
  if (negative) value = (0x100u - value) & 0xFFu;
  return static_cast<uint8_t>(value);
}

// A POSIX port name is a path and may be longer than the field; take the
// device it resolves to when that fits ("/dev/serial/by-id/..." is
// "/dev/ttyUSB0").
int StorePort(const char* value) {
  if (std::strlen(value) < sizeof commandLineOptions.port) {
    std::strcpy(commandLineOptions.port, value);
    return 1;
  }
  char resolved[sizeof commandLineOptions.port];
  if (platform::ResolveDevicePath(value, resolved, sizeof resolved)) {
    std::strcpy(commandLineOptions.port, resolved);
    return 1;
  }
  std::fprintf(stderr,
               "flashloader: the port name given with -c is longer than %d characters and does "
               "not resolve to a device path that short: %s\n",
               kOptionPortSize - 1, value);
  return 0;
}

}  // namespace

const char* FindOption(const char* option, int argc, char** argv) {
  int count = argc < 255 ? argc : 255;
  for (int i = 0; i < count; ++i) {
    const char* arg = argv[i];
    if (!arg || arg[0] != option[0] || arg[0] == '\0' || arg[1] != option[1]) continue;
    return arg[2] != '\0' ? arg + 2 : nullptr;
  }
  return nullptr;
}

int ParseYesNo(const char* value) {
  char upper[4];
  size_t n = 0;
  for (; value[n] != '\0'; ++n) {
    if (n == 3) return UNSET;  // longer than "YES"
    char c = value[n];
    upper[n] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  upper[n] = '\0';
  if (std::strcmp(upper, "YES") == 0) return YES;
  if (std::strcmp(upper, "NO") == 0) return NO;
  return UNSET;
}

int ParseCommandLine(int argc, char** argv) {
  int result = 1;
  commandLineOptions.port[0] = '\0';
  commandLineOptions.address = 0;
  commandLineOptions.postFlashWrite = UNSET;
  commandLineOptions.settingsBackup = UNSET;
  if (const char* value = FindOption("-c", argc, argv)) result = StorePort(value);
  if (const char* value = FindOption("-a", argc, argv)) commandLineOptions.address = LowByteOfDecimal(value);
  if (const char* value = FindOption("-f", argc, argv)) commandLineOptions.postFlashWrite = ParseYesNo(value);
  if (const char* value = FindOption("-b", argc, argv)) commandLineOptions.settingsBackup = ParseYesNo(value);
  commandLineOptions.showBanner = UNSET;
  if (const char* value = FindOption("-v", argc, argv)) commandLineOptions.showBanner = ParseYesNo(value);
  return result;
}

int DirectModeRequested() {
  return commandLineOptions.port[0] != '\0' && commandLineOptions.address != 255 ? 1 : 0;
}

const char* DirectModePort() { return DirectModeRequested() ? commandLineOptions.port : nullptr; }

uint8_t DirectModeAddress() { return commandLineOptions.address; }

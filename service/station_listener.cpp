#include "service/transport.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace service {
namespace {

// Listening stops once the token has been passed to one address this often.
constexpr int kTokensToStop = 4;

}  // namespace

bool MakeWindowsDevicePath(const char* portName, char* path, size_t size) {
  const size_t length = std::strlen(portName);
  const bool comName = length >= 4 && length <= 6 &&
                       std::toupper(static_cast<unsigned char>(portName[0])) == 'C' &&
                       std::toupper(static_cast<unsigned char>(portName[1])) == 'O' &&
                       std::toupper(static_cast<unsigned char>(portName[2])) == 'M';
  const int written = comName ? std::snprintf(path, size, "\\\\.\\%s", portName)
                              : std::snprintf(path, size, "%s", portName);
  return written >= 0 && static_cast<size_t>(written) < size;
}

bool MakeDevicePath(const char* portName, char* path, size_t size) {
#ifdef _WIN32
  return MakeWindowsDevicePath(portName, path, size);
#else
  const int written = std::snprintf(path, size, "%s", portName);
  return written >= 0 && static_cast<size_t>(written) < size;
#endif
}

void StationListenerReset(StationListener& listener) {
  listener = StationListener{};
  listener.lastSource = 16;
}

bool StationListenerStep(StationListener& listener, uint8_t octet) {
  switch (listener.state) {
    case 0:
      if (octet == 0x55) listener.state = 1;
      return false;
    case 1:
      listener.state = octet == 0xFF ? 2 : 0;
      return false;
    case 2:
      listener.frameType = octet;
      listener.state = 3;
      return false;
    case 3:
      listener.destination = octet;
      listener.state = 4;
      if (listener.frameType == 0 && octet < 16) {
        return ++listener.tokenCount[octet] >= kTokensToStop;
      }
      return false;
    default:
      // A reply (type 6) says nothing about its sender being a master.
      if (listener.frameType != 6) listener.lastSource = octet;
      listener.state = 0;
      return false;
  }
}

int StationListenerResult(StationListener& listener, int first, int last) {
  if (listener.lastSource < 16) ++listener.tokenCount[listener.lastSource];
  for (int address = first; address <= last; ++address) {
    if (listener.tokenCount[address] == 0) return address;
  }
  return -1;
}

}  // namespace service

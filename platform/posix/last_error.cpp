#include "platform/posix/last_error.h"

#include <cerrno>

#include "platform/serial.h"

namespace platform {
namespace posix {
namespace {
// errno itself is overwritten by any later library call, so the value is
// kept apart until the caller asks for it.
thread_local int tLastError = 0;
}  // namespace

void SetLastError(int error) { tLastError = error; }

bool FailWithErrno() {
  tLastError = errno;
  return false;
}

}  // namespace posix

int LastError() { return posix::tLastError; }

}  // namespace platform

// The backend's per-thread record of the last failing call, read by LastError.
#pragma once

namespace platform::posix {

// Records `error` (an errno value) as this thread's last failure.
void SetLastError(int error);
// Records errno as it is now; returns false, for `return FailWithErrno();`.
bool FailWithErrno();

}  // namespace platform::posix

// Serial ports on termios. Reads wait with ppoll so that the interval and
// total time-outs are measured here, in microseconds, whatever the driver.
#include "platform/serial.h"

#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/last_error.h"

namespace platform {

struct SerialPort {
  int fd = -1;
  std::mutex mutex;  // guards the fields below; never held while waiting on the line
  SerialTimeouts timeouts;
  bool haveErrorCounts = false;
  uint64_t lineErrors = 0;  // frame + parity + overrun + break at the last look
};

namespace {

uint64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

struct BaudCode {
  int baud;
  speed_t code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool BaudToCode(int baud, speed_t* code) {
  for (const BaudCode& b : kBauds) {
    if (b.baud == baud) {
      *code = b.code;
      return true;
    }
  }
  return false;
}

// The sum of the driver's line-error counters; false where it keeps none.
bool ReadLineErrors(int fd, uint64_t* sum) {
  serial_icounter_struct counts{};
  if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
  *sum = static_cast<uint64_t>(static_cast<unsigned>(counts.frame)) +
         static_cast<unsigned>(counts.parity) + static_cast<unsigned>(counts.overrun) +
         static_cast<unsigned>(counts.brk) + static_cast<unsigned>(counts.buf_overrun);
  return true;
}

// Waits up to `timeoutUs` (or for ever when negative) for `events`.
// Returns the revents, 0 on time-out, -1 on error.
int WaitFor(int fd, short events, int64_t timeoutUs) {
  pollfd p{fd, events, 0};
  for (;;) {
    timespec ts{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
    int n = ppoll(&p, 1, timeoutUs < 0 ? nullptr : &ts, nullptr);
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// What one read is allowed to wait, worked out from the time-outs.
struct ReadPlan {
  bool immediate = false;      // return with what has arrived
  bool returnOnAny = false;    // return as soon as anything has arrived
  int64_t totalUs = -1;        // overall limit, -1 = none
  int64_t intervalUs = -1;     // limit on the gap after an octet, -1 = none
};

ReadPlan PlanRead(const SerialTimeouts& t, size_t size) {
  ReadPlan plan;
  if (t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0) {
    plan.immediate = true;
    return plan;
  }
  if (t.readInterval == kMaxDword && t.readTotalMultiplier == kMaxDword &&
      t.readTotalConstant != 0 && t.readTotalConstant != kMaxDword) {
    plan.returnOnAny = true;
    plan.totalUs = static_cast<int64_t>(t.readTotalConstant) * 1000;
    return plan;
  }
  if (t.readTotalMultiplier != 0 || t.readTotalConstant != 0) {
    uint64_t ms = static_cast<uint64_t>(t.readTotalMultiplier) * size + t.readTotalConstant;
    plan.totalUs = static_cast<int64_t>(ms > (1ull << 40) ? (1ull << 40) : ms) * 1000;
  }
  if (t.readInterval != 0 && t.readInterval != kMaxDword) {
    plan.intervalUs = static_cast<int64_t>(t.readInterval) * 1000;
  }
  return plan;
}

}  // namespace

SerialPort* SerialOpen(const char* name, int access) {
  int mode;
  switch (access) {
    case SERIAL_READ: mode = O_RDONLY; break;
    case SERIAL_WRITE: mode = O_WRONLY; break;
    case SERIAL_READ_WRITE: mode = O_RDWR; break;
    default:
      posix::SetLastError(EINVAL);
      return nullptr;
  }
  if (name == nullptr || name[0] == '\0') {
    posix::SetLastError(ENOENT);
    return nullptr;
  }
  // Non-blocking, so that neither the open nor a read waits for a carrier.
  int fd = open(name, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    posix::FailWithErrno();
    return nullptr;
  }
  if (!isatty(fd)) {
    posix::SetLastError(ENOTTY);
    close(fd);
    return nullptr;
  }
  // flock keeps out every other open, this process included; TIOCEXCL also
  // keeps out programs that do not take the lock (except for root).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    posix::SetLastError(errno == EWOULDBLOCK ? EBUSY : errno);
    close(fd);
    return nullptr;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    posix::FailWithErrno();
    close(fd);
    return nullptr;
  }
  SerialPort* port = new SerialPort;
  port->fd = fd;
  port->haveErrorCounts = ReadLineErrors(fd, &port->lineErrors);
  return port;
}

namespace {

// Sets the line's speed; with `rawLine` also 8N1 raw without flow control,
// reads returning at once (the read time-outs are ours, not the driver's).
bool SetLine(SerialPort* port, int baud, bool rawLine) {
  speed_t code;
  if (port == nullptr || !BaudToCode(baud, &code)) {
    posix::SetLastError(EINVAL);
    return false;
  }
  termios tio;
  if (tcgetattr(port->fd, &tio) != 0) return posix::FailWithErrno();
  if (rawLine) {
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
  }
  if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0) return posix::FailWithErrno();
  if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return posix::FailWithErrno();
  return true;
}

}  // namespace

bool SerialConfigure(SerialPort* port, int baud) { return SetLine(port, baud, true); }

bool SerialSetBaud(SerialPort* port, int baud) { return SetLine(port, baud, false); }

bool SerialGetTimeouts(SerialPort* port, SerialTimeouts* out) {
  if (port == nullptr || out == nullptr) {
    posix::SetLastError(EINVAL);
    return false;
  }
  std::lock_guard<std::mutex> hold(port->mutex);
  *out = port->timeouts;
  return true;
}

bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts) {
  if (port == nullptr) {
    posix::SetLastError(EINVAL);
    return false;
  }
  std::lock_guard<std::mutex> hold(port->mutex);
  port->timeouts = timeouts;
  return true;
}

int SerialRead(SerialPort* port, uint8_t* buffer, size_t size) {
  if (port == nullptr || (buffer == nullptr && size > 0)) {
    posix::SetLastError(EINVAL);
    return -1;
  }
  if (size == 0) return 0;
  if (size > INT_MAX) size = INT_MAX;
  SerialTimeouts t;
  {
    std::lock_guard<std::mutex> hold(port->mutex);
    t = port->timeouts;
  }
  ReadPlan plan = PlanRead(t, size);
  uint64_t start = NowUs();
  uint64_t lastOctet = 0;
  size_t got = 0;
  bool hangUpSeen = false;
  for (;;) {
    // With VMIN 0 an idle tty reads 0 octets, and so does one that has been
    // hung up: only poll tells the two apart.
    ssize_t n = read(port->fd, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      lastOctet = NowUs();
      if (got == size || plan.returnOnAny) break;
      continue;  // take what is there before waiting
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (got > 0) break;
      if (errno == EIO) {
        posix::SetLastError(EIO);
      } else {
        posix::FailWithErrno();
      }
      return -1;
    }
    if (hangUpSeen || (plan.immediate && got == 0 && SerialHungUp(port))) {
      if (got > 0) break;
      posix::SetLastError(EIO);
      return -1;
    }
    if (plan.immediate) break;

    int64_t waitUs = -1;
    uint64_t now = NowUs();
    if (plan.totalUs >= 0) {
      int64_t left = plan.totalUs - static_cast<int64_t>(now - start);
      if (left <= 0) break;
      waitUs = left;
    }
    if (plan.intervalUs >= 0 && got > 0) {
      int64_t left = plan.intervalUs - static_cast<int64_t>(now - lastOctet);
      if (left <= 0) break;
      if (waitUs < 0 || left < waitUs) waitUs = left;
    }
    int events = WaitFor(port->fd, POLLIN, waitUs);
    if (events < 0) {
      if (got > 0) break;
      posix::FailWithErrno();
      return -1;
    }
    // One more read takes what the line left behind; then the hang-up counts.
    if (events & (POLLHUP | POLLERR | POLLNVAL)) hangUpSeen = true;
  }
  return static_cast<int>(got);
}

int SerialWrite(SerialPort* port, const uint8_t* data, size_t size) {
  if (port == nullptr || (data == nullptr && size > 0)) {
    posix::SetLastError(EINVAL);
    return -1;
  }
  if (size > INT_MAX) size = INT_MAX;
  SerialTimeouts t;
  {
    std::lock_guard<std::mutex> hold(port->mutex);
    t = port->timeouts;
  }
  int64_t totalUs = -1;
  if (t.writeTotalMultiplier != 0 || t.writeTotalConstant != 0) {
    uint64_t ms = static_cast<uint64_t>(t.writeTotalMultiplier) * size + t.writeTotalConstant;
    totalUs = static_cast<int64_t>(ms > (1ull << 40) ? (1ull << 40) : ms) * 1000;
  }
  uint64_t start = NowUs();
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(port->fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      posix::FailWithErrno();
      return -1;
    }
    int64_t waitUs = -1;
    if (totalUs >= 0) {
      waitUs = totalUs - static_cast<int64_t>(NowUs() - start);
      if (waitUs <= 0) break;  // timed out: what went so far
    }
    int events = WaitFor(port->fd, POLLOUT, waitUs);
    if (events < 0) {
      posix::FailWithErrno();
      return -1;
    }
    if ((events & POLLOUT) == 0 && (events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      posix::SetLastError(EIO);
      return -1;
    }
  }
  return static_cast<int>(done);
}

bool SerialPurge(SerialPort* port, int which) {
  if (port == nullptr || (which & (PURGE_RX | PURGE_TX)) == 0) {
    posix::SetLastError(EINVAL);
    return false;
  }
  int queue = which == (PURGE_RX | PURGE_TX) ? TCIOFLUSH : which == PURGE_RX ? TCIFLUSH : TCOFLUSH;
  if (tcflush(port->fd, queue) != 0) return posix::FailWithErrno();
  return true;
}

int SerialLineErrorFlag(SerialPort* port) {
  if (port == nullptr) return 0;
  uint64_t now;
  if (!ReadLineErrors(port->fd, &now)) return 0;
  std::lock_guard<std::mutex> hold(port->mutex);
  int flag = port->haveErrorCounts && now != port->lineErrors ? 1 : 0;
  port->lineErrors = now;
  port->haveErrorCounts = true;
  return flag;
}

int SerialWaitReadable(SerialPort* port, uint32_t timeoutMs) {
  if (port == nullptr) {
    posix::SetLastError(EINVAL);
    return -1;
  }
  // The descriptor is fixed for the life of the port; no lock is needed to
  // wait on it, and none is held while waiting.
  int revents = WaitFor(port->fd, POLLIN, static_cast<int64_t>(timeoutMs) * 1000);
  if (revents < 0) {
    posix::SetLastError(errno);
    return -1;
  }
  // A hung-up pty also reports POLLIN; what it had delivered is still read
  // by SerialRead, but a wait on it would never sleep again.
  if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
    posix::SetLastError(EIO);
    return -1;
  }
  return (revents & POLLIN) != 0 ? 1 : 0;
}

bool SerialHungUp(SerialPort* port) {
  if (port == nullptr) return true;
  pollfd p{port->fd, 0, 0};
  int n = poll(&p, 1, 0);
  return n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool SerialClose(SerialPort* port) {
  if (port == nullptr) {
    posix::SetLastError(EINVAL);
    return false;
  }
  // The exclusive mode belongs to the tty, not to this descriptor: it would
  // outlive the close while anyone else holds the device open.
  ioctl(port->fd, TIOCNXCL);
  int rc = close(port->fd);
  int err = errno;
  delete port;
  if (rc != 0 && err != EINTR) {
    posix::SetLastError(err);
    return false;
  }
  return true;
}

bool ResolveDevicePath(const char* path, char* out, size_t size) {
  if (path == nullptr || out == nullptr || size == 0) {
    posix::SetLastError(EINVAL);
    return false;
  }
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return posix::FailWithErrno();
  size_t len = strlen(resolved);
  if (len >= size) {
    posix::SetLastError(ENAMETOOLONG);
    return false;
  }
  memcpy(out, resolved, len + 1);
  return true;
}

void SerialSetLowLatency(SerialPort* port) {
  if (port == nullptr) return;
  serial_struct info{};
  if (ioctl(port->fd, TIOCGSERIAL, &info) != 0) return;
  if (info.flags & ASYNC_LOW_LATENCY) return;
  info.flags |= ASYNC_LOW_LATENCY;
  ioctl(port->fd, TIOCSSERIAL, &info);
}

namespace {

constexpr size_t kNameSize = 32;

struct PortList {
  char (*names)[kNameSize];
  int max;
  int count;
};

// True when `device` (a resolved path) is the device of a name listed already.
bool Listed(const PortList* list, const char* device) {
  char other[PATH_MAX];
  for (int i = 0; i < list->count; i++) {
    if (realpath(list->names[i], other) != nullptr && strcmp(other, device) == 0) return true;
  }
  return false;
}

bool CanOpen(const char* name) {
  SerialPort* port = SerialOpen(name, SERIAL_READ_WRITE);
  if (port == nullptr) return false;
  SerialClose(port);
  return true;
}

// A 16550-style line with no UART behind it reports PORT_UNKNOWN.
bool HasKnownUart(const char* name) {
  int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct info{};
  bool known = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  return known;
}

// Lists `name` when it fits (or its device path does), is not a second name
// of a device already listed, and can be opened.
void Offer(PortList* list, const char* name) {
  if (list->count >= list->max) return;
  char shortName[kNameSize];
  const char* use = name;
  if (strlen(name) >= kNameSize) {
    if (!ResolveDevicePath(name, shortName, sizeof shortName)) return;
    use = shortName;
  }
  char device[PATH_MAX];
  if (realpath(use, device) != nullptr && Listed(list, device)) return;
  if (!CanOpen(use)) return;
  snprintf(list->names[list->count], kNameSize, "%s", use);
  list->count++;
}

// Number-aware order, so that ttyUSB2 comes before ttyUSB10.
int CompareNames(const void* a, const void* b) {
  return strverscmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

void OfferPattern(PortList* list, const char* pattern, bool uartOnly) {
  glob_t found{};
  if (glob(pattern, 0, nullptr, &found) == 0) {
    qsort(found.gl_pathv, found.gl_pathc, sizeof(char*), CompareNames);
    for (size_t i = 0; i < found.gl_pathc; i++) {
      if (uartOnly && !HasKnownUart(found.gl_pathv[i])) continue;
      Offer(list, found.gl_pathv[i]);
    }
  }
  globfree(&found);
}

}  // namespace

int ListCandidatePorts(char (*names)[32], int maxNames) {
  if (names == nullptr || maxNames <= 0) return 0;
  PortList store{names, maxNames, 0};
  PortList* list = &store;
  if (const char* env = getenv("FLASHLOADER_PORTS")) {
    const char* p = env;
    while (*p != '\0') {
      const char* end = strchr(p, ':');
      size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
      if (len > 0 && len < PATH_MAX) {
        char path[PATH_MAX];
        memcpy(path, p, len);
        path[len] = '\0';
        Offer(list, path);
      }
      if (end == nullptr) break;
      p = end + 1;
    }
  } else {
    OfferPattern(list, "/dev/ttyUSB*", false);
    OfferPattern(list, "/dev/ttyACM*", false);
    OfferPattern(list, "/dev/serial/by-id/*", false);
    OfferPattern(list, "/dev/ttyS*", true);
  }
  return list->count;
}

}  // namespace platform

#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {
namespace {

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

PtyPair::PtyPair() {
  int slave = -1;
  char name[128];
  termios raw{};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B38400);
  cfsetospeed(&raw, B38400);
  if (openpty(&master_, &slave, name, &raw, nullptr) != 0) {
    std::perror("openpty");
    std::abort();
  }
  slaveKeep_ = slave;
  slavePath_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (master_ >= 0) close(master_);
  if (slaveKeep_ >= 0) close(slaveKeep_);
}

void PtyPair::write(const std::vector<uint8_t>& octets) {
  size_t done = 0;
  while (done < octets.size()) {
    ssize_t n = ::write(master_, octets.data() + done, octets.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

std::vector<uint8_t> PtyPair::read(size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  long end = NowMs() + timeoutMs;
  while (out.size() < count) {
    long left = end - NowMs();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[512];
    size_t want = count - out.size() < sizeof buf ? count - out.size() : sizeof buf;
    ssize_t n = ::read(master_, buf, want);
    if (n > 0) out.insert(out.end(), buf, buf + n);
  }
  return out;
}

std::vector<uint8_t> PtyPair::readUntilQuiet(int quietMs, int timeoutMs) {
  std::vector<uint8_t> out;
  long end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, quietMs) <= 0) break;
    uint8_t buf[512];
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testsupport

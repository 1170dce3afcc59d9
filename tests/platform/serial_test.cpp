// Serial ports over pty pairs: the test plays the far end on the master side.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "support/pty_pair.h"

using namespace platform;
using testsupport::PtyPair;

namespace {

// A pty pair with the slave side opened through the platform layer.
class SerialOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    // Opened first: once the port is open no further open gets in (but root's).
    probe_ = open(pty_.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe_, 0);
    port_ = SerialOpen(pty_.slavePath().c_str(), SERIAL_READ_WRITE);
    ASSERT_NE(port_, nullptr) << "errno " << LastError();
    ASSERT_TRUE(SerialConfigure(port_, 38400));
  }
  void TearDown() override {
    if (port_) SerialClose(port_);
    if (probe_ >= 0) close(probe_);
  }
  void SetReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
    SerialTimeouts t;
    t.readInterval = interval;
    t.readTotalMultiplier = multiplier;
    t.readTotalConstant = constant;
    ASSERT_TRUE(SerialSetTimeouts(port_, t));
  }
  // Octets written by the far end after `delayMs`, from another thread.
  std::thread SendLater(uint32_t delayMs, std::vector<uint8_t> octets) {
    return std::thread([this, delayMs, octets] {
      SleepMs(delayMs);
      pty_.write(octets);
    });
  }
  // Waits until `count` octets written by the far end can be read. The
  // kernel passes them on from a worker of its own, which a busy machine
  // runs late; a read that comes first waits for that worker.
  void LetArrive(int count) {
    for (int i = 0; i < 500; i++) {
      int ready = 0;
      if (ioctl(probe_, FIONREAD, &ready) == 0 && ready >= count) return;
      SleepMs(5);
    }
    ADD_FAILURE() << "the octets did not arrive";
  }

  PtyPair pty_;
  SerialPort* port_ = nullptr;
  int probe_ = -1;  // a second descriptor of the slave, to look at it
};

TEST_F(SerialOnPty, SecondOpenFailsUntilTheFirstIsClosed) {
  EXPECT_EQ(SerialOpen(pty_.slavePath().c_str(), SERIAL_READ_WRITE), nullptr);
  EXPECT_EQ(LastError(), EBUSY);
  // Another name for the same device (as a simulator's link is) is no way round.
  std::string link = testing::TempDir() + "serial_link_" + std::to_string(getpid());
  unlink(link.c_str());
  ASSERT_EQ(symlink(pty_.slavePath().c_str(), link.c_str()), 0);
  EXPECT_EQ(SerialOpen(link.c_str(), SERIAL_READ_WRITE), nullptr);
  EXPECT_TRUE(SerialClose(port_));
  port_ = SerialOpen(link.c_str(), SERIAL_READ_WRITE);
  EXPECT_NE(port_, nullptr);
  unlink(link.c_str());
}

TEST(SerialOpen, RefusesWhatIsNoPort) {
  EXPECT_EQ(SerialOpen("/nonexistent/ttyX", SERIAL_READ_WRITE), nullptr);
  EXPECT_EQ(LastError(), ENOENT);
  EXPECT_EQ(SerialOpen("/dev/null", SERIAL_READ_WRITE), nullptr);
  EXPECT_EQ(LastError(), ENOTTY);
  EXPECT_EQ(SerialOpen("", SERIAL_READ_WRITE), nullptr);
  PtyPair pty;
  EXPECT_EQ(SerialOpen(pty.slavePath().c_str(), 0), nullptr);
}

TEST_F(SerialOnPty, ConfiguresRaw8N1AtEachBusRate) {
  // A second descriptor, opened around the lock, to look at the line settings.
  int probe = probe_;
  struct Case { int baud; speed_t code; } cases[] = {{38400, B38400}, {19200, B19200}, {9600, B9600}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SerialConfigure(port_, c.baud));
    termios tio;
    ASSERT_EQ(tcgetattr(probe, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.code) << c.baud;
    EXPECT_EQ(cfgetispeed(&tio), c.code) << c.baud;
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  }
  // Set baud changes the rate only.
  ASSERT_TRUE(SerialSetBaud(port_, 19200));
  termios tio;
  ASSERT_EQ(tcgetattr(probe, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
  EXPECT_EQ(tio.c_lflag & ICANON, 0u);
  EXPECT_FALSE(SerialSetBaud(port_, 12345));
  EXPECT_FALSE(SerialConfigure(port_, 0));
  ASSERT_EQ(tcgetattr(probe, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200)) << "a refused rate changed the line";
}

TEST_F(SerialOnPty, EveryOctetValuePassesUnchangedBothWays) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; i++) all[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(SerialWrite(port_, all.data(), all.size()), 256);
  EXPECT_EQ(pty_.read(256, 2000), all);

  pty_.write(all);
  SetReadTimeouts(0, 0, 2000);
  std::vector<uint8_t> in(256);
  EXPECT_EQ(SerialRead(port_, in.data(), in.size()), 256);
  EXPECT_EQ(in, all);
}

TEST_F(SerialOnPty, DefaultTimeoutsReturnAtOnceWithWhatHasArrived) {
  SerialTimeouts t;
  ASSERT_TRUE(SerialGetTimeouts(port_, &t));
  EXPECT_EQ(t.readInterval, kMaxDword);
  EXPECT_EQ(t.readTotalMultiplier, 0u);
  EXPECT_EQ(t.readTotalConstant, 0u);

  uint8_t buf[16];
  uint64_t t0 = MonotonicUs();
  EXPECT_EQ(SerialRead(port_, buf, 1), 0);
  EXPECT_LT(MonotonicUs() - t0, 200000u);  // at once; wide for a busy machine

  pty_.write({1, 2, 3});
  LetArrive(3);
  t0 = MonotonicUs();
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), 3);
  EXPECT_LT(MonotonicUs() - t0, 200000u);  // at once; wide for a busy machine
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(SerialRead(port_, buf, 1), 0);
}

TEST_F(SerialOnPty, ReadTimeoutsBoundTheWait) {
  // Each case: time-outs, the octets the far end sends after a delay, the
  // read size, and what the read must give and roughly when.
  struct Case {
    const char* what;
    uint32_t interval, multiplier, constant;
    uint32_t sendAfterMs;
    std::vector<uint8_t> send;
    size_t size;
    int expect;
    uint32_t minMs, maxMs;
  } cases[] = {
      // The upper bounds only show that a read ends by its own limit (and
      // not by a longer one): the machine may be busy, so they are wide.
      {"total constant, idle line", 0, 0, 100, 0, {}, 10, 0, 100, 2000},
      {"multiplier times size plus constant", 0, 10, 50, 0, {}, 5, 0, 100, 2000},
      {"total limit ends a partial read", 0, 10, 50, 20, {7, 8}, 5, 2, 100, 2000},
      {"read ends when the size is in", 0, 0, 5000, 20, {1, 2, 3, 4}, 4, 4, 20, 2500},
      {"interval ends the read after the last octet", 30, 0, 0, 60, {5, 6}, 10, 2, 90, 2500},
      {"interval under a longer total", 30, 0, 5000, 20, {5}, 10, 1, 50, 2500},
      {"any octet ends a return-on-any read", kMaxDword, kMaxDword, 5000, 50, {9}, 10, 1, 50, 2500},
      {"return-on-any waits its constant", kMaxDword, kMaxDword, 100, 0, {}, 10, 0, 100, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetReadTimeouts(c.interval, c.multiplier, c.constant);
    std::vector<uint8_t> buf(c.size);
    // Timed from before the sender starts, so its delay counts in full.
    uint32_t t0 = MonotonicMs();
    std::thread sender;
    if (!c.send.empty()) sender = SendLater(c.sendAfterMs, c.send);
    int n = SerialRead(port_, buf.data(), buf.size());
    uint32_t took = MonotonicMs() - t0;
    if (sender.joinable()) sender.join();
    EXPECT_EQ(n, c.expect);
    EXPECT_GE(took, c.minMs);
    EXPECT_LE(took, c.maxMs);
    if (n > 0) {
      EXPECT_EQ(buf[0], c.send[0]);
    }
    SerialPurge(port_, PURGE_RX);
  }
}

TEST_F(SerialOnPty, PurgeDropsWhatHasArrived) {
  pty_.write({1, 2, 3, 4, 5});
  LetArrive(5);
  EXPECT_TRUE(SerialPurge(port_, PURGE_RX));
  uint8_t buf[8];
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), 0);
  // What arrives after the purge is kept.
  pty_.write({6});
  LetArrive(1);
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 6);
  EXPECT_TRUE(SerialPurge(port_, PURGE_TX));
  EXPECT_TRUE(SerialPurge(port_, PURGE_RX | PURGE_TX));
  EXPECT_FALSE(SerialPurge(port_, 0));
}

TEST_F(SerialOnPty, NoLineErrorsOnAPty) {
  EXPECT_EQ(SerialLineErrorFlag(port_), 0);
  pty_.write({0xFF, 0x00});
  LetArrive(2);
  EXPECT_EQ(SerialLineErrorFlag(port_), 0);
  SerialSetLowLatency(port_);  // no such setting on a pty: quietly nothing
  uint8_t buf[2];
  EXPECT_EQ(SerialRead(port_, buf, 2), 2);
}

// The wait for input: it times out on a quiet line, ends as soon as octets
// arrive, takes none of them, and on a hung-up line fails at once.
TEST_F(SerialOnPty, WaitForInputTakesNothingAndEndsOnArrivalOrHangUp) {
  uint32_t t0 = MonotonicMs();
  EXPECT_EQ(SerialWaitReadable(port_, 30), 0);
  EXPECT_GE(MonotonicMs() - t0, 29u);

  std::thread later = SendLater(20, {7, 8});
  t0 = MonotonicMs();
  EXPECT_EQ(SerialWaitReadable(port_, 5000), 1);
  EXPECT_LT(MonotonicMs() - t0, 2000u);  // on arrival, not at the time-out
  later.join();
  LetArrive(2);
  EXPECT_EQ(SerialWaitReadable(port_, 0), 1);
  uint8_t buf[4] = {};
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), 2);  // both still there
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[1], 8);
  EXPECT_EQ(SerialWaitReadable(port_, 0), 0);

  pty_.closeMaster();
  t0 = MonotonicMs();
  EXPECT_EQ(SerialWaitReadable(port_, 5000), -1);
  EXPECT_LT(MonotonicMs() - t0, 1000u);
  EXPECT_EQ(SerialWaitReadable(nullptr, 0), -1);
}

TEST_F(SerialOnPty, HangUpIsSeenAndFailsReadsAndWrites) {
  EXPECT_FALSE(SerialHungUp(port_));
  pty_.closeMaster();
  EXPECT_TRUE(SerialHungUp(port_));
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), -1);
  EXPECT_EQ(LastError(), EIO);
  // A waiting read does not sit out its time-out on a dead line, nor spin.
  SetReadTimeouts(0, 0, 0);
  uint32_t t0 = MonotonicMs();
  EXPECT_EQ(SerialRead(port_, buf, sizeof buf), -1);
  EXPECT_LT(MonotonicMs() - t0, 1000u);
  EXPECT_EQ(SerialWrite(port_, buf, sizeof buf), -1);
  EXPECT_TRUE(SerialClose(port_));
  port_ = nullptr;
}

// Sets FLASHLOADER_PORTS for one test and puts it back afterwards.
class PortsVariable : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("FLASHLOADER_PORTS");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
  }
  void TearDown() override {
    if (hadOld_) {
      setenv("FLASHLOADER_PORTS", old_.c_str(), 1);
    } else {
      unsetenv("FLASHLOADER_PORTS");
    }
    for (const std::string& l : links_) unlink(l.c_str());
  }
  std::string Link(const std::string& target, size_t length) {
    std::string path = testing::TempDir() + "p" + std::to_string(getpid()) + "_" +
                       std::to_string(links_.size()) + "_";
    while (path.size() < length) path += 'x';
    unlink(path.c_str());
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0);
    links_.push_back(path);
    return path;
  }
  std::vector<std::string> List(int maxNames = 32) {
    char names[32][32];
    int n = ListCandidatePorts(names, maxNames);
    return std::vector<std::string>(names, names + n);
  }

  bool hadOld_ = false;
  std::string old_;
  std::vector<std::string> links_;
};

TEST_F(PortsVariable, IsTheWholeListOfOpenablePorts) {
  PtyPair a, b, c, held;
  SerialPort* busy = SerialOpen(held.slavePath().c_str(), SERIAL_READ_WRITE);
  ASSERT_NE(busy, nullptr);
  std::string longLink = Link(c.slavePath(), 40);   // too long for a slot: its device stands in
  std::string shortLink = Link(a.slavePath(), 20);  // a second name of a: listed once
  std::string value = a.slavePath() + "::/nonexistent/tty9:" + held.slavePath() + ":" +
                      b.slavePath() + ":" + longLink + ":" + shortLink;
  setenv("FLASHLOADER_PORTS", value.c_str(), 1);
  std::vector<std::string> expect = {a.slavePath(), b.slavePath(), c.slavePath()};
  EXPECT_EQ(List(), expect);
  EXPECT_EQ(List(2), std::vector<std::string>(expect.begin(), expect.begin() + 2));
  // Listing opened and closed each: the ports are free again.
  SerialPort* p = SerialOpen(a.slavePath().c_str(), SERIAL_READ_WRITE);
  EXPECT_NE(p, nullptr);
  SerialClose(p);
  // Once the holder lets go, the port is listed.
  SerialClose(busy);
  EXPECT_EQ(List().size(), 4u);

  setenv("FLASHLOADER_PORTS", "", 1);
  EXPECT_TRUE(List().empty());
  setenv("FLASHLOADER_PORTS", "/nonexistent/ttyUSB0", 1);
  EXPECT_TRUE(List().empty());
}

TEST_F(PortsVariable, ResolveDevicePathFollowsLinksWhenTheResultFits) {
  PtyPair pty;
  std::string link = Link(pty.slavePath(), 60);
  char out[32];
  ASSERT_TRUE(ResolveDevicePath(link.c_str(), out, sizeof out));
  EXPECT_EQ(std::string(out), pty.slavePath());
  char tiny[4];
  EXPECT_FALSE(ResolveDevicePath(link.c_str(), tiny, sizeof tiny));
  EXPECT_EQ(LastError(), ENAMETOOLONG);
  EXPECT_FALSE(ResolveDevicePath("/nonexistent/x", out, sizeof out));
}

}  // namespace

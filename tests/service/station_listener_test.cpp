#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/transport.h"

namespace {

using namespace service;
using Octets = std::vector<uint8_t>;

// Header octets up to the source; the listener looks no further.
Octets Header(uint8_t type, uint8_t destination, uint8_t source) {
  return {0x55, 0xFF, type, destination, source, 0x00, 0x00, 0x00};
}

int Listen(const std::vector<Octets>& frames, int first, int last, bool* stopped = nullptr) {
  StationListener listener;
  StationListenerReset(listener);
  bool stop = false;
  for (const auto& frame : frames) {
    for (uint8_t octet : frame) {
      if (StationListenerStep(listener, octet)) {
        stop = true;
        break;
      }
    }
    if (stop) break;
  }
  if (stopped != nullptr) *stopped = stop;
  return StationListenerResult(listener, first, last);
}

TEST(StationListener, SilentBusGivesTheFirstAddress) {
  EXPECT_EQ(Listen({}, 0, 3), 0);
  EXPECT_EQ(Listen({}, 2, 3), 2);
}

TEST(StationListener, TokensPassedAndTheLastSenderCountAsUsed) {
  // A master at 5 passing the token to 0, 1 and 2; the last frame is from 2.
  EXPECT_EQ(Listen({Header(0, 0, 5), Header(0, 1, 0), Header(0, 2, 1)}, 0, 3), 3);
  // The last sender counts too: it sent the last frame.
  EXPECT_EQ(Listen({Header(0, 1, 5), Header(0, 2, 1), Header(1, 9, 0)}, 0, 3), 3);
  // All four taken.
  EXPECT_EQ(Listen({Header(0, 0, 3), Header(0, 1, 0), Header(0, 2, 1), Header(0, 3, 2)}, 0, 3),
            -1);
}

TEST(StationListener, RepliesSayNothingAboutTheirSender) {
  EXPECT_EQ(Listen({Header(6, 5, 0)}, 0, 3), 0);
  EXPECT_EQ(Listen({Header(5, 0, 9)}, 0, 3), 0);  // data to 0 does not make 0 a master
}

TEST(StationListener, NoiseBetweenFramesIsSkipped) {
  EXPECT_EQ(Listen({{0x00, 0x55, 0x00, 0xFF, 0x21}, Header(0, 0, 7), {0xFF, 0x01}, Header(0, 1, 7)},
                   0, 3),
            2);
}

TEST(StationListener, StopsOnceATokenWentToOneAddressFourTimes) {
  bool stopped = false;
  EXPECT_EQ(Listen({Header(0, 1, 7), Header(0, 1, 7), Header(0, 1, 7), Header(0, 1, 7),
                    Header(0, 0, 7)},
                   0, 3, &stopped),
            0);
  EXPECT_TRUE(stopped);
}

TEST(DevicePath, WindowsRuleForComNames) {
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"com3", "\\\\.\\com3"},   {"COM3", "\\\\.\\COM3"},     {"Com12", "\\\\.\\Com12"},
      {"COM123", "\\\\.\\COM123"}, {"COM1234", "COM1234"},    {"X1", "X1"},
      {"COM", "COM"},             {"CON1", "CON1"},          {"/dev/ttyUSB0", "/dev/ttyUSB0"},
  };
  for (const auto& c : cases) {
    char path[64];
    ASSERT_TRUE(MakeWindowsDevicePath(c.name, path, sizeof path)) << c.name;
    EXPECT_STREQ(path, c.path) << c.name;
  }
  char tiny[6];
  EXPECT_FALSE(MakeWindowsDevicePath("COM3", tiny, sizeof tiny));
}

TEST(DevicePath, PosixLeavesThePathUnchanged) {
  char path[64];
  ASSERT_TRUE(MakeDevicePath("COM3", path, sizeof path));
  EXPECT_STREQ(path, "COM3");
  ASSERT_TRUE(MakeDevicePath("/tmp/x/flashbus0", path, sizeof path));
  EXPECT_STREQ(path, "/tmp/x/flashbus0");
}

}  // namespace

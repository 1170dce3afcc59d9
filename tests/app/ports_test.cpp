// Port enumeration over real ptys named by FLASHLOADER_PORTS.
#include "app/ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "support/pty_pair.h"

using testsupport::PtyPair;

namespace {

std::string Join(const std::vector<std::unique_ptr<PtyPair>>& ptys, size_t from = 0) {
  std::string list;
  for (size_t i = from; i < ptys.size(); ++i) list += (list.empty() ? "" : ":") + ptys[i]->slavePath();
  return list;
}

TEST(EnumerateComPorts, ListsOpenablePortsInOrder) {
  std::vector<std::unique_ptr<PtyPair>> ptys;
  for (int i = 0; i < 3; ++i) ptys.push_back(std::make_unique<PtyPair>());
  std::string list = ptys[0]->slavePath() + ":/dev/no-such-port:" + Join(ptys, 1);
  setenv("FLASHLOADER_PORTS", list.c_str(), 1);
  char names[kPortSlots][kPortNameSize];
  ASSERT_EQ(EnumerateComPorts(names), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(names[i], ptys[i]->slavePath());

  // A port another program holds is not offered; once free it is again.
  platform::SerialPort* held = platform::SerialOpen(ptys[1]->slavePath().c_str(), platform::SERIAL_READ_WRITE);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(EnumerateComPorts(names), 2);
  EXPECT_EQ(names[0], ptys[0]->slavePath());
  EXPECT_EQ(names[1], ptys[2]->slavePath());
  platform::SerialClose(held);
  EXPECT_EQ(EnumerateComPorts(names), 3);

  setenv("FLASHLOADER_PORTS", "", 1);
  EXPECT_EQ(EnumerateComPorts(names), 0);
  unsetenv("FLASHLOADER_PORTS");
}

TEST(EnumerateComPorts, NameTooLongForASlotIsListedByItsDevicePath) {
  PtyPair pty;
  char dir[] = "/tmp/ports_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/usb-Maker_Adapter_0123456789-if00-port0";
  ASSERT_GT(link.size(), 31u);
  ASSERT_EQ(symlink(pty.slavePath().c_str(), link.c_str()), 0);
  setenv("FLASHLOADER_PORTS", link.c_str(), 1);
  char names[kPortSlots][kPortNameSize];
  ASSERT_EQ(EnumerateComPorts(names), 1);
  EXPECT_EQ(names[0], pty.slavePath());
  unsetenv("FLASHLOADER_PORTS");
  unlink(link.c_str());
  rmdir(dir);
}

TEST(EnumerateComPorts, RecordingStopsAt32) {
  std::vector<std::unique_ptr<PtyPair>> ptys;
  for (int i = 0; i < 34; ++i) ptys.push_back(std::make_unique<PtyPair>());
  std::string list = Join(ptys);
  setenv("FLASHLOADER_PORTS", list.c_str(), 1);
  // One slot more than the list has, to see that nothing is written past 32.
  char names[kPortSlots + 1][kPortNameSize];
  std::string guard(kPortNameSize - 1, '#');
  std::snprintf(names[kPortSlots], kPortNameSize, "%s", guard.c_str());
  ASSERT_EQ(EnumerateComPorts(names), 32);
  EXPECT_EQ(names[0], ptys[0]->slavePath());
  EXPECT_EQ(names[31], ptys[31]->slavePath());
  EXPECT_EQ(names[kPortSlots], guard);
  unsetenv("FLASHLOADER_PORTS");
}

}  // namespace

// Port names of the other platform: the opening form and the shown form.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/port_names.h"

using namespace platform;

namespace {

TEST(PortNames, NumberGivesTheNameItOpensBy) {
  struct Case { int number; const char* name; } cases[] = {
      {1, "Com1"}, {9, "Com9"}, {10, "\\\\.\\Com10"}, {12, "\\\\.\\Com12"}, {255, "\\\\.\\Com255"},
  };
  for (const Case& c : cases) {
    char out[32] = "junk";
    EXPECT_TRUE(ComPortName(c.number, out, sizeof out)) << c.number;
    EXPECT_STREQ(out, c.name);
  }
}

TEST(PortNames, RefusesBadNumbersAndShortBuffers) {
  char out[32] = "junk";
  EXPECT_FALSE(ComPortName(0, out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(ComPortName(-3, out, sizeof out));
  char small[9];  // "\\.\Com10" needs 9 characters and the terminator
  EXPECT_FALSE(ComPortName(10, small, sizeof small));
  EXPECT_STREQ(small, "");
  char exact[10];
  EXPECT_TRUE(ComPortName(10, exact, sizeof exact));
  EXPECT_EQ(std::strlen(exact), 9u);
  char tiny[5];
  EXPECT_TRUE(ComPortName(9, tiny, sizeof tiny));
  EXPECT_FALSE(ComPortName(9, tiny, 4));
}

TEST(PortNames, ShownNameIsTheTextAfterTheLastBackslash) {
  struct Case { const char* name; const char* shown; } cases[] = {
      {"\\\\.\\Com12", "Com12"}, {"Com3", "Com3"}, {"", ""},
      {"a\\b\\", ""}, {"/dev/ttyUSB0", "/dev/ttyUSB0"},
  };
  for (const Case& c : cases) EXPECT_STREQ(ShownPortName(c.name), c.shown) << c.name;
  char name[32];
  ASSERT_TRUE(ComPortName(12, name, sizeof name));
  EXPECT_STREQ(ShownPortName(name), "Com12");
  EXPECT_EQ(ShownPortName(name), name + 4);  // a view into the name, not a copy
}

}  // namespace

#include "app/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  int result;
  std::string port;
  int address;
  int postFlashWrite;
  int settingsBackup;
  int showBanner;
  int direct;
};

Parsed Parse(std::vector<std::string> args, const char* program = "flashloader") {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int result = ParseCommandLine(static_cast<int>(args.size()), argv.data());
  return {result,
          commandLineOptions.port,
          commandLineOptions.address,
          commandLineOptions.postFlashWrite,
          commandLineOptions.settingsBackup,
          commandLineOptions.showBanner,
          DirectModeRequested()};
}

struct Case {
  const char* what;
  std::vector<std::string> args;
  Parsed expected;
};

TEST(CommandLine, Table) {
  const Case cases[] = {
      {"nothing", {}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"port alone", {"-cCom7"}, {1, "Com7", 0, UNSET, UNSET, UNSET, 1}},
      {"all four", {"-a16", "-cCom7", "-bnO", "-fyEs"}, {1, "Com7", 16, YES, NO, UNSET, 1}},
      {"255 is no address", {"-a255", "-cCom7"}, {1, "Com7", 255, UNSET, UNSET, UNSET, 0}},
      {"-1 is 255", {"-a-1", "-cCom7"}, {1, "Com7", 255, UNSET, UNSET, UNSET, 0}},
      {"low 8 bits", {"-a300"}, {1, "", 44, UNSET, UNSET, UNSET, 0}},
      {"negative wraps", {"-a-240"}, {1, "", 16, UNSET, UNSET, UNSET, 0}},
      {"space, sign, stops at non-digit", {"-a \t+17x9"}, {1, "", 17, UNSET, UNSET, UNSET, 0}},
      {"huge number keeps low 8 bits", {"-a4294967553"}, {1, "", 1, UNSET, UNSET, UNSET, 0}},
      {"no digits give 0", {"-ax"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"first occurrence counts", {"-cCom3", "-cCom4", "-a5", "-a6"}, {1, "Com3", 5, UNSET, UNSET, UNSET, 1}},
      {"empty value hides later ones", {"-c", "-cCom4", "-v", "-vyes"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"option letters are case-sensitive", {"-CCom7", "-Vyes", "-A16"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"value in next argument not taken", {"-c", "Com7"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"not at the start", {"x-cCom7", "--cCom7"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"banner yes", {"-vyes"}, {1, "", 0, UNSET, UNSET, YES, 0}},
      {"banner NO", {"-vNO"}, {1, "", 0, UNSET, UNSET, NO, 0}},
      {"banner other", {"-vx"}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"yes with more letters", {"-vYESS", "-bN", "-fyes "}, {1, "", 0, UNSET, UNSET, UNSET, 0}},
      {"19 characters fit", {"-c/dev/serial/by-xyz"}, {1, "/dev/serial/by-xyz", 0, UNSET, UNSET, UNSET, 1}},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.expected.result) << c.what;
    EXPECT_EQ(p.port, c.expected.port) << c.what;
    EXPECT_EQ(p.address, c.expected.address) << c.what;
    EXPECT_EQ(p.postFlashWrite, c.expected.postFlashWrite) << c.what;
    EXPECT_EQ(p.settingsBackup, c.expected.settingsBackup) << c.what;
    EXPECT_EQ(p.showBanner, c.expected.showBanner) << c.what;
    EXPECT_EQ(p.direct, c.expected.direct) << c.what;
  }
}

TEST(CommandLine, ProgramNameIsLookedAtToo) {
  Parsed p = Parse({"-cCom9"}, "-cCom1");
  EXPECT_EQ(p.port, "Com1");
}

TEST(CommandLine, OnlyTheFirst255ArgumentsCount) {
  std::vector<std::string> args(253, "x");
  args.push_back("-cCom7");  // element 254 of the vector
  EXPECT_EQ(Parse(args).port, "Com7");
  args.insert(args.begin(), "x");  // now element 255
  EXPECT_EQ(Parse(args).port, "");
}

TEST(CommandLine, DirectModePortAndAddress) {
  Parse({"-cCom7", "-a16"});
  ASSERT_NE(DirectModePort(), nullptr);
  EXPECT_STREQ(DirectModePort(), "Com7");
  EXPECT_EQ(DirectModeAddress(), 16);
  Parse({"-a16"});
  EXPECT_EQ(DirectModePort(), nullptr);
}

TEST(CommandLine, LongPortNameResolvesOrIsRefused) {
  char dir[] = "/tmp/options_test_long_name_directory.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/serial-by-id-usb-adapter-port0";
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);

  Parsed p = Parse({"-c" + link, "-a16"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.port, "/dev/null");
  EXPECT_EQ(p.direct, 1);

  // Resolves to itself, still too long: refused, and nothing half stored.
  std::string file = std::string(dir) + "/a-plain-file-with-a-long-name";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  p = Parse({"-c" + file, "-a16"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.port, "");
  EXPECT_EQ(p.direct, 0);

  p = Parse({"-c/no/such/device/with/a/long/name"});
  EXPECT_EQ(p.result, 0);

  unlink(link.c_str());
  unlink(file.c_str());
  rmdir(dir);
}

TEST(YesNoValues, AnyLetterCase) {
  EXPECT_EQ(ParseYesNo("YES"), YES);
  EXPECT_EQ(ParseYesNo("yEs"), YES);
  EXPECT_EQ(ParseYesNo("no"), NO);
  EXPECT_EQ(ParseYesNo("nO"), NO);
  EXPECT_EQ(ParseYesNo(""), UNSET);
  EXPECT_EQ(ParseYesNo("Y"), UNSET);
  EXPECT_EQ(ParseYesNo("NOPE"), UNSET);
  EXPECT_EQ(ParseYesNo("yes!"), UNSET);
}

}  // namespace

// The real program under a terminal: start-up, options, the port screen and
// the ways it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/pty_pair.h"
#include "support/terminal.h"

using testsupport::ExitCode;
using testsupport::FlashloaderPath;
using testsupport::PtyPair;
using testsupport::TermSignal;
using testsupport::Terminal;
using testsupport::TerminalOptions;

namespace {

const std::string kDescription =
    "Upgrades:  QR-FLEX TC Station to revision 2.00.13\r\n\r\n"  // the package's own text
    "\r\n"                                                       // after each package
    "\r\n";                                                      // the screen's line end
const std::string kBanner = "QR-FLEX(R) Flash Loader PC Application 0.20.23\r\n";
const std::string kNoPortsMenu =
    "Available Ports: \r\n[ 1] Rescan\r\n[ 2] Scan All\r\n"
    "Ports not available!\r\n[ 1] Rescan\r\n[ 2] Quit\r\n";
const std::string kHandlerMessage = "\n Program terminated.  No partial backup files to clean up.\n";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flashloader_startup.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    options_.cwd = dir_;
    options_.setEnv.push_back({"FLASHLOADER_PORTS", ""});
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0700);
    std::system(("rm -rf " + dir_).c_str());
  }
  void Ports(const std::string& list) { options_.setEnv[0].second = list; }
  bool Start(std::vector<std::string> args) {
    args.insert(args.begin(), FlashloaderPath());
    return term_.Start(args, options_);
  }

  std::string dir_;
  TerminalOptions options_;
  Terminal term_;
};

TEST_F(Startup, ReadOnlyDirectoryAsksForAKeyAndExits1) {
  PtyPair port;  // offered, and must not be touched
  Ports(port.slavePath());
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  std::vector<std::string> args;
  // Root writes anywhere: run as nobody in a directory owned by root.
  if (geteuid() == 0)
    args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  args.push_back(FlashloaderPath());
  ASSERT_TRUE(term_.Start(args, options_));
  ASSERT_TRUE(term_.WaitFor(
      "\n Please copy the flashloader application to a writable directory, and rerun.\n"
      " Press any key to exit the program."))
      << term_.Output();
  term_.WaitQuiet(100);
  EXPECT_EQ(term_.WaitExit(300), -1) << "ended before the key press";
  term_.Type("x");
  int status = term_.WaitExit();
  EXPECT_EQ(ExitCode(status), 1) << term_.Output();
  EXPECT_EQ(term_.Output().find("Available Ports"), std::string::npos);
  EXPECT_EQ(term_.Output().find("Upgrades:"), std::string::npos);
  EXPECT_TRUE(port.read(1, 50).empty());
}

TEST_F(Startup, ReadOnlyDirectoryWithInputAtItsEnd) {
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  std::vector<std::string> args;
  if (geteuid() == 0)
    args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  args.push_back(FlashloaderPath());
  options_.stdinFromDevNull = true;
  ASSERT_TRUE(term_.Start(args, options_));
  int status = term_.WaitExit();
  EXPECT_NE(term_.Output().find(" Press any key to exit the program." + kHandlerMessage),
            std::string::npos)
      << term_.Output();
  EXPECT_TRUE(TermSignal(status) != 0 || (ExitCode(status) != 0 && ExitCode(status) != -1))
      << status;
  EXPECT_NE(ExitCode(status), 1);
}

TEST_F(Startup, BannerOnlyWithYes) {
  const struct {
    const char* arg;
    bool banner;
  } cases[] = {{"-vYes", true}, {"-vyES", true}, {"-vno", false}, {"-v", false}, {"-vx", false}};
  for (auto c : cases) {
    Terminal term;
    ASSERT_TRUE(term.Start({FlashloaderPath(), c.arg}, options_));
    ASSERT_TRUE(term.WaitFor(kNoPortsMenu)) << c.arg << ": " << term.Output();
    std::string expected = (c.banner ? kBanner : "") + kDescription + kNoPortsMenu;
    EXPECT_EQ(term.Output().substr(0, expected.size()), expected) << c.arg;
    term.Type("2\r");
    EXPECT_EQ(ExitCode(term.WaitExit()), 0) << c.arg;
  }
  // The writability test cleans up after itself.
  EXPECT_NE(access((dir_ + "/flashtest.txt").c_str(), F_OK), 0);
}

TEST_F(Startup, TwoPortsThenRescanAndScanAll) {
  PtyPair a, b;
  Ports(a.slavePath() + ":" + b.slavePath());
  ASSERT_TRUE(Start({}));
  const std::string menu = "Available Ports: \r\n[ 1] " + a.slavePath() + "\r\n[ 2] " +
                           b.slavePath() + "\r\n[ 3] Rescan\r\n[ 4] Scan All\r\nSelect a port: ";
  ASSERT_TRUE(term_.WaitFor(kDescription + menu)) << term_.Output();
  term_.Type("3\r");  // Rescan: the same menu again
  ASSERT_TRUE(term_.WaitFor("3\n" + menu)) << term_.Output();
  term_.Type("9\r");  // outside the menu: Scan All, on to the device list
  ASSERT_TRUE(term_.WaitFor("9\nThe device list screen is not available yet.\r\n"))
      << term_.Output();
  EXPECT_EQ(ExitCode(term_.WaitExit()), 0);
}

TEST_F(Startup, NoPortsRescanThenQuit) {
  ASSERT_TRUE(Start({}));
  ASSERT_TRUE(term_.WaitFor(kDescription + kNoPortsMenu)) << term_.Output();
  term_.Type("1\r");
  ASSERT_TRUE(term_.WaitFor("1\n" + kNoPortsMenu)) << term_.Output();
  term_.Type("2\r");
  EXPECT_EQ(ExitCode(term_.WaitExit()), 0) << term_.Output();
  EXPECT_EQ(Count(term_.Output(), kNoPortsMenu), 2u);
}

TEST_F(Startup, NoPortsAndInputAtItsEndQuits) {
  // The first read at the end of input answers -1, which quits this menu.
  options_.stdinFromDevNull = true;
  ASSERT_TRUE(Start({}));
  EXPECT_EQ(ExitCode(term_.WaitExit()), 0) << term_.Output();
  EXPECT_NE(term_.Output().find(kNoPortsMenu), std::string::npos);
}

TEST_F(Startup, ControlCAtThePortMenu) {
  PtyPair a;
  Ports(a.slavePath());
  ASSERT_TRUE(Start({}));
  ASSERT_TRUE(term_.WaitFor("Select a port: ")) << term_.Output();
  term_.Type("\x03");
  int status = term_.WaitExit();
  // The terminal echoes the key as "^C" before the handler speaks.
  EXPECT_NE(term_.Output().find("Select a port: ^C" + kHandlerMessage), std::string::npos)
      << term_.Output();
  EXPECT_EQ(TermSignal(status), SIGINT) << status;
}

TEST_F(Startup, PortNameTooLongForItsFieldExits2) {
  PtyPair a;
  Ports(a.slavePath());
  ASSERT_TRUE(Start({"-c/no/such/directory/ttyUSB0", "-a16", "-vyes"}));
  int status = term_.WaitExit();
  EXPECT_EQ(ExitCode(status), 2) << term_.Output();
  EXPECT_NE(term_.Output().find("flashloader: the port name given with -c is longer than 19 "
                                "characters and does not resolve to a device path that short: "
                                "/no/such/directory/ttyUSB0\n"),
            std::string::npos)
      << term_.Output();
  EXPECT_EQ(term_.Output().find("Available Ports"), std::string::npos);
  EXPECT_EQ(term_.Output().find("QR-FLEX(R)"), std::string::npos);
}

TEST_F(Startup, LongPortNameThatResolvesIsTaken) {
  // A by-id style link to a device with a short path goes on to direct mode.
  std::string link = dir_ + "/usb-adapter-if00-port0";
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  ASSERT_TRUE(Start({"-c" + link, "-a16"}));
  int status = term_.WaitExit();
  EXPECT_EQ(ExitCode(status), 0) << term_.Output();
  EXPECT_NE(term_.Output().find("Direct mode is not available yet.\r\n"), std::string::npos)
      << term_.Output();
  EXPECT_EQ(term_.Output().find("Available Ports"), std::string::npos);
}

}  // namespace

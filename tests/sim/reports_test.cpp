// bussim's reports: the JSON state on SIGUSR1 and on exit, the pcap capture
// as tshark decodes it, and the option list of --help.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string ReadAllText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

TEST(Reports, StateOnSignalAndOnExit) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=17,version=2.00.10,model=QRF-TC-2000",
                         "--add-device", "address=18,modbus"}));
  ASSERT_TRUE(sim.Request(17, Ping()).has_value());
  std::string state = sim.State();
  std::string d0 = DeviceObject(state, 0), d1 = DeviceObject(state, 1);
  EXPECT_EQ(Field(d0, "address"), "17");
  EXPECT_EQ(Field(d0, "mode"), "\"application\"");
  EXPECT_EQ(Field(d0, "version"), "\"2.00.10\"");
  EXPECT_EQ(Field(d0, "model"), "\"QRF-TC-2000\"");
  EXPECT_EQ(Field(d0, "flash_matches_image"), "false");
  EXPECT_EQ(Field(d0, "settings_digest").size(), 18u);
  EXPECT_EQ(Field(d0, "requests"), "1");
  EXPECT_EQ(Field(d0, "replies"), "1");
  EXPECT_EQ(Field(d1, "address"), "18");
  EXPECT_EQ(Field(d1, "mode"), "\"modbus\"");
  ASSERT_TRUE(sim.Request(17, Ping()).has_value());
  sim.Stop();
  EXPECT_EQ(sim.ExitCode(), 0);
  EXPECT_EQ(Field(DeviceObject(ReadAllText(sim.statePath()), 0), "requests"), "2");
  EXPECT_EQ(access(sim.linkPath().c_str(), F_OK), -1) << "the link is removed on exit";
}

TEST(Reports, CaptureDecodesWithGoodChecksumsInTshark) {
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--master", "0,1", "--add-device", "address=17"}));
  std::vector<Bytes> requests = {Ping(), {0x01, 0x02, 0x02}, ReadAll(1, 1), ReadMember(1, 9, 1),
                                 {0x01, 0x42}};
  for (Bytes r : requests) ASSERT_TRUE(sim.Request(17, r).has_value());
  sim.Listen(300);  // the ring's tokens and polls
  sim.Stop();
  // One line per frame: its protocols, frame type and checksum status.
  std::string cmd = "tshark -n -r '" + sim.pcapPath() + "' -T fields -E separator=, -e frame.protocols"
        " -e mstp.frame_type -e mstp.checksum.status 2>/dev/null";
  std::string out = Shell(cmd);
  std::istringstream lines(out);
  std::string line;
  int frames = 0, data = 0, tokens = 0;
  while (std::getline(lines, line)) {
    ++frames;
    EXPECT_EQ(line.rfind("mstp", 0), 0u) << line;
    std::string type = line.substr(line.find(',') + 1);
    type = type.substr(0, type.find(','));
    if (type == "5" || type == "6") ++data;
    if (type == "0") ++tokens;
    EXPECT_EQ(line.substr(line.rfind(',') + 1), "1") << "checksum status Good: " << line;
  }
  EXPECT_EQ(data, 10) << out;
  EXPECT_GT(tokens, 4);
  // Every frame decodes without an error (the native payload is not BACnet,
  // so the BACnet network layer is left out of the decoding).
  std::string verbose = Shell("tshark -n -r '" + sim.pcapPath() + "' -V --disable-protocol bacnet 2>&1");
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos);
  EXPECT_EQ(verbose.find("[Checksum status: Bad]"), std::string::npos);
  EXPECT_EQ(verbose.find("incorrect"), std::string::npos);
  size_t good = 0;
  for (size_t at = verbose.find("[Checksum status: Good]"); at != std::string::npos;
       at = verbose.find("[Checksum status: Good]", at + 1))
    ++good;
  EXPECT_GE(good, size_t(frames)) << "header, and data where there is some";
  EXPECT_GT(frames, 10);
}

TEST(Reports, HelpListsEveryOption) {
  std::string help = Shell(BussimPath() + " --help");
  for (const char* o : {"--link", "--device", "--baud", "--turnaround", "--fast", "--scenario",
                        "--add-device", "--image", "--image-base", "--new-version", "--master",
                        "--max-master", "--token-hold", "--poll-every", "--rng-start", "--state",
                        "--pcap", "--verbose", "--help"})
    EXPECT_NE(help.find(o), std::string::npos) << o;
  EXPECT_NE(Shell(BussimPath() + " --bogus 2>&1").find("unknown option"), std::string::npos);
}

TEST(Reports, DemoScenarioHasThreeStationsTwoOfThemOlder) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--scenario", SourceDir() + "/sim/scenarios/demo.txt"}));
  std::string state = sim.State();
  int older = 0;
  for (size_t i = 0; i < 3; ++i) {
    std::string d = DeviceObject(state, i);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(Field(d, "product"), "20");
    EXPECT_EQ(Field(d, "image_given"), "true");
    auto f = sim.Request(uint8_t(std::stoi(Field(d, "address"))), ReadMember(1, 5, 1));
    ASSERT_TRUE(f.has_value());
    if (f->data.back() < 13) ++older;
  }
  EXPECT_TRUE(DeviceObject(state, 3).empty());
  EXPECT_EQ(older, 2);
}

// bussim's wire clock: octets take 10 bit times each, both ways, and a
// device answers after its turnaround; --fast drops the pacing.
#include <gtest/gtest.h>
#include <time.h>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Median round trip of a ping (request 12 octets, reply 14).
double PingMs(BusSim& sim) {
  std::vector<double> t;
  for (int i = 0; i < 7; ++i) {
    double a = NowMs();
    auto f = sim.Request(17, Ping(), 500);
    double b = NowMs();
    EXPECT_TRUE(f.has_value());
    t.push_back(b - a);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

TEST(Timing, RoundTripFollowsBaudAndTurnaround) {
  struct { std::vector<std::string> args; double lowMs; double highMs; } cases[] = {
      // (12 + 14) octets x 10 bits at 38400 baud = 6.8 ms, plus 1 ms turnaround
      {{"--baud", "38400"}, 7.8, 30},
      {{"--baud", "38400", "--turnaround", "20"}, 26.8, 60},
      {{"--baud", "9600"}, 28.1, 60},
      {{"--fast"}, 0, 5},
  };
  for (const auto& c : cases) {
    BusSim sim;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--add-device", "address=17"});
    ASSERT_TRUE(sim.Start(args));
    double ms = PingMs(sim);
    EXPECT_GE(ms, c.lowMs - 0.5) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_LE(ms, c.highMs) << c.args[0];
  }
}

TEST(Timing, OctetsOfTheProgramOccupyTheLineToo) {
  // Two requests written back to back: the second one's reply waits for both
  // requests and the first reply on the shared line.
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--add-device", "address=17", "--add-device", "address=18"}));
  Bytes both = Frame(5, 17, 3, Ping());
  Bytes second = Frame(5, 18, 3, Ping());
  both.insert(both.end(), second.begin(), second.end());
  double a = NowMs();
  sim.Write(both);
  Bytes got;
  while (NowMs() - a < 300 && ParseFrames(got).size() < 2) {
    Bytes more = sim.Read(1, 3);
    got.insert(got.end(), more.begin(), more.end());
  }
  double ms = NowMs() - a;
  ASSERT_EQ(ParseFrames(got).size(), 2u);
  // 12 + 12 + 14 + 14 octets = 13.5 ms, plus two turnarounds
  EXPECT_GE(ms, 14.5);
  EXPECT_LE(ms, 60);
}

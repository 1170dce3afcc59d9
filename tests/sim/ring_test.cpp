// bussim's simulated master stations on the token ring, met by a client
// that plays a master station of its own.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <map>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Feeds every frame heard to `on` until it returns true or `ms` pass.
bool Watch(BusSim& sim, int ms, const std::function<bool(const RxFrame&)>& on) {
  Bytes stream;
  size_t seen = 0;
  long end = NowMs() + ms;
  while (NowMs() < end) {
    Bytes more = sim.Read(2, 5);
    if (more.empty()) continue;
    stream.insert(stream.end(), more.begin(), more.end());
    auto frames = ParseFrames(stream);
    for (; seen < frames.size(); ++seen)
      if (on(frames[seen])) return true;
  }
  return false;
}

std::map<int, int> TokensByDestination(const std::vector<RxFrame>& frames) {
  std::map<int, int> n;
  for (const auto& f : frames)
    if (f.type == 0) ++n[f.dst];
  return n;
}

}  // namespace

TEST(Ring, MastersPassTheTokenToTheirConfiguredStations) {
  struct { const char* masters; int lastUsed; } cases[] = {{"0,1,2", 2}, {"0,1,2,3", 3}};
  for (const auto& c : cases) {
    BusSim sim;
    ASSERT_TRUE(sim.Start({"--fast", "--master", c.masters}));
    auto frames = sim.Listen(300);
    auto tokens = TokensByDestination(frames);
    for (int s = 0; s <= c.lastUsed; ++s) EXPECT_GE(tokens[s], 4) << c.masters << " station " << s;
    for (int s = c.lastUsed + 1; s < 16; ++s) EXPECT_EQ(tokens[s], 0) << c.masters << " station " << s;
    bool polled = false;
    for (const auto& f : frames) polled |= f.type == 1 && f.src == c.lastUsed && f.dst > c.lastUsed;
    EXPECT_TRUE(polled) << "the last master looks for a successor";
    for (const auto& f : frames) EXPECT_TRUE(f.data.empty());
  }
}

TEST(Ring, AnOutsideMasterIsPolledGetsTheTokenAndPassesItBack) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--master", "0,1,2", "--add-device", "address=17"}));
  ASSERT_TRUE(Watch(sim, 1000, [&](const RxFrame& f) {
    if (f.type == 1 && f.dst == 3) {
      sim.Write(Frame(2, f.src, 3));
      return true;
    }
    return false;
  })) << "station 3 was never polled";
  ASSERT_TRUE(Watch(sim, 300, [](const RxFrame& f) { return f.type == 0 && f.dst == 3; }));
  // Holding the token, station 3 talks to a device, then hands the token on.
  auto reply = sim.Request(17, Ping());
  ASSERT_TRUE(reply.has_value());
  sim.Write(Frame(0, 0, 3));
  EXPECT_TRUE(Watch(sim, 200, [](const RxFrame& f) { return f.type == 0 && f.src == 0 && f.dst == 1; }))
      << "the ring goes on after station 0";
  std::string state = sim.State();
  EXPECT_NE(state.find("\"outside\": [3]"), std::string::npos) << state;
  // Station 2 now passes to 3, which stays silent from here on.
  EXPECT_TRUE(Watch(sim, 200, [](const RxFrame& f) { return f.type == 0 && f.src == 2 && f.dst == 3; }));
}

TEST(Ring, AStationThatDoesNotUseTheTokenIsDroppedAfterOneRetry) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--master", "0,1,2"}));
  ASSERT_TRUE(Watch(sim, 1000, [&](const RxFrame& f) {
    if (f.type == 1 && f.dst == 3) {
      sim.Write(Frame(2, f.src, 3));
      return true;
    }
    return false;
  }));
  auto frames = sim.Listen(400);
  EXPECT_EQ(TokensByDestination(frames)[3], 2);
  EXPECT_GE(TokensByDestination(frames)[0], 4) << "the ring closes again";
  EXPECT_NE(sim.State().find("\"outside\": []"), std::string::npos);
}

TEST(Ring, MastersAnswerPollsAndMakeANewTokenAfterSilence) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--master", "0,1"}));
  auto reply = sim.Request(1, {}, 100, 1, 5);  // a Poll For Master without data
  (void)reply;
  bool answered = Watch(sim, 200, [](const RxFrame& f) { return f.type == 2 && f.src == 1 && f.dst == 5; });
  sim.Write(Frame(1, 1, 5));
  answered = answered || Watch(sim, 200, [](const RxFrame& f) { return f.type == 2 && f.src == 1 && f.dst == 5; });
  EXPECT_TRUE(answered);
  // Station 5 joins, takes the token, uses it once and falls silent.
  ASSERT_TRUE(Watch(sim, 1000, [&](const RxFrame& f) {
    if (f.type == 1 && f.dst == 5) {
      sim.Write(Frame(2, f.src, 5));
      return true;
    }
    return false;
  }));
  ASSERT_TRUE(Watch(sim, 300, [](const RxFrame& f) { return f.type == 0 && f.dst == 5; }));
  sim.Write(Frame(1, 6, 5));  // it polls for a master, so it counts as having used the token
  long start = NowMs();
  ASSERT_TRUE(Watch(sim, 1500, [](const RxFrame& f) { return f.type == 0 && f.src == 0; }));
  EXPECT_GE(NowMs() - start, 450) << "the token is regenerated only after the silence";
}

// Running links on pseudo-terminals against a scripted peer that speaks
// MS/TP with its own frame builder.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_internal.h"
#include "link/peer_frames.h"
#include "link/tarbus_link.h"
#include "support/pty_pair.h"

namespace {

long NowMs() {
  using namespace std::chrono;
  return static_cast<long>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct UpcallRecord {
  uint8_t code;
  uint8_t source;
  std::vector<uint8_t> data;
  long atMs;
};

// What the delegates saw; written on the link thread, read by the test.
struct Observed {
  std::mutex mutex;
  std::vector<UpcallRecord> upcalls;
  std::atomic<int> tokenCalls{0};
  std::function<uint8_t(const char*, int)> onToken;  // set before the link starts

  std::vector<UpcallRecord> Upcalls() {
    std::lock_guard<std::mutex> hold(mutex);
    return upcalls;
  }
};
Observed* g_observed = nullptr;

uint8_t TokenDelegate(const char* portName) {
  int call = g_observed->tokenCalls.fetch_add(1);
  return g_observed->onToken ? g_observed->onToken(portName, call) : 0;
}

unsigned char UpcallDelegate(const char*, const unsigned char* data, unsigned char source,
                             unsigned short length, unsigned char code) {
  UpcallRecord r{code, source, {}, NowMs()};
  if (data != nullptr) r.data.assign(data, data + length);
  std::lock_guard<std::mutex> hold(g_observed->mutex);
  g_observed->upcalls.push_back(std::move(r));
  return 0;
}

// The link's timer as it ran: the longest time between two ticks. When the
// machine starves the timer thread (sanitizers, heavy load) the timer catches
// up in bursts, and the gaps the peer measures say nothing about the link.
std::atomic<uint64_t> g_lastTickUs{0};
std::atomic<uint64_t> g_longestTickGapUs{0};
void WatchTick() {
  using namespace std::chrono;
  uint64_t now = static_cast<uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
  uint64_t last = g_lastTickUs.exchange(now);
  if (last != 0 && now - last > g_longestTickGapUs.load()) g_longestTickGapUs.store(now - last);
}
bool TimerRanSteadily() {
  bool steady = g_longestTickGapUs.load() <= 8000;
  if (!steady)
    std::printf("timer starved (longest gap between ticks %llu us): timing not judged\n",
                static_cast<unsigned long long>(g_longestTickGapUs.load()));
  return steady;
}

// The peer's side of a pty: what the link sent, with arrival times.
class Peer {
 public:
  testsupport::PtyPair pty;
  std::vector<uint8_t> rx;
  std::vector<long> times;

  void Send(const std::vector<uint8_t>& octets) { pty.write(octets); }

  // Collects for `ms`; onFrame runs for each new frame and may answer.
  void Collect(int ms, const std::function<void(const peer::ParsedFrame&)>& onFrame = {}) {
    long end = NowMs() + ms;
    size_t seen = peer::ParseFrames(rx, times).size();
    while (NowMs() < end) {
      pollfd p{pty.masterFd(), POLLIN, 0};
      int wait = static_cast<int>(end - NowMs());
      if (poll(&p, 1, wait < 0 ? 0 : wait) <= 0) continue;
      uint8_t buffer[512];
      ssize_t n = read(pty.masterFd(), buffer, sizeof buffer);
      long now = NowMs();
      for (ssize_t i = 0; i < n; ++i) {
        rx.push_back(buffer[i]);
        times.push_back(now);
      }
      std::vector<peer::ParsedFrame> frames = peer::ParseFrames(rx, times);
      for (; seen < frames.size(); ++seen)
        if (onFrame) onFrame(frames[seen]);
    }
  }
  std::vector<peer::ParsedFrame> Frames() const { return peer::ParseFrames(rx, times); }
};

LinkConfig Config(const char* portName, int station, int maxMaster = 15) {
  LinkConfig c{};
  c.portName = portName;
  c.baudRate = 38400;
  c.maxMaster = maxMaster;
  c.maxInfoFrames = 3;
  c.stationAddress = station;
  c.tokenObtained = TokenDelegate;
  c.upcall = UpcallDelegate;
  return c;
}

class LinkOnPty : public ::testing::Test {
 protected:
  Observed observed;
  Peer peer;
  std::string port;

  void SetUp() override {
    g_observed = &observed;
    port = peer.pty.slavePath();
    g_lastTickUs.store(0);
    g_longestTickGapUs.store(0);
    tarbus::g_linkTickHook.store(WatchTick);
  }
  void TearDown() override {
    TarbusLink_UnInit(port.c_str());
    EXPECT_EQ(tarbus::g_reservedControls, 0);
    tarbus::g_linkTickHook.store(nullptr);
    g_observed = nullptr;
  }
  // Starts the link; returns the time its node began measuring silence.
  long Start(int station, int maxMaster = 15) {
    LinkConfig c = Config(port.c_str(), station, maxMaster);
    EXPECT_EQ(TarbusLink_Init(&c), 0);
    long started = NowMs();
    // The link thread discards pending input as it starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return started;
  }
};

TEST_F(LinkOnPty, AloneOnTheLineItPollsInTurnAndBecomesSoleMaster) {
  long t0 = Start(4, 7);
  peer.Collect(1050);
  std::vector<peer::ParsedFrame> frames = peer.Frames();
  ASSERT_GE(frames.size(), 7u);
  const bool judgeTiming = TimerRanSteadily();
  // The token is generated in the window [500 + 13 * TS, +13) of silence.
  if (judgeTiming) {
    EXPECT_GE(frames[0].lastOctetMs - t0, 545);
    EXPECT_LT(frames[0].lastOctetMs - t0, 575);
  }
  std::vector<int> polled;
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(frames[i].type, 1);
    polled.push_back(frames[i].destination);
    if (i > 0 && judgeTiming) {
      long gap = frames[i].lastOctetMs - frames[i - 1].lastOctetMs;
      EXPECT_GE(gap, 46);
      EXPECT_LE(gap, 70);
    }
  }
  EXPECT_EQ(polled, (std::vector<int>{5, 6, 7, 0, 1, 2, 3}));
  EXPECT_GT(observed.tokenCalls.load(), 0) << "the sole master uses the token";
}

TEST_F(LinkOnPty, ReplyToPollMakesPeerNextStationTokenRetriedOnceThenPollsOn) {
  Start(4, 15);
  peer.Collect(900, [&](const peer::ParsedFrame& f) {
    if (f.type == 1 && f.destination == 5) peer.Send(peer::Frame(2, 4, 5));
  });
  std::vector<peer::ParsedFrame> frames = peer.Frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[0].type, 1);
  EXPECT_EQ(frames[1].type, 0);
  EXPECT_EQ(frames[1].destination, 5);
  EXPECT_EQ(frames[2].type, 0);
  EXPECT_EQ(frames[2].destination, 5);
  EXPECT_EQ(frames[3].type, 1);
  EXPECT_EQ(frames[3].destination, 6);
  for (int i = 2; i <= 3 && TimerRanSteadily(); ++i) {
    long gap = frames[i].lastOctetMs - frames[i - 1].lastOctetMs;
    EXPECT_GE(gap, 46);
    EXPECT_LE(gap, 75);
  }
}

TEST_F(LinkOnPty, RequestAndReplyThroughTheToken) {
  observed.onToken = [](const char* name, int call) -> uint8_t {
    if (call > 0) return 0;
    const uint8_t request[] = {0x01, 0x03, 0x01, 0x02, 0x03, 0x04};
    return TarbusLink_SendFrame(name, 9, request, sizeof request, 1) == 0;
  };
  Start(4);
  peer.Send(peer::Frame(0, 4, 5));
  peer.Collect(300, [&](const peer::ParsedFrame& f) {
    if (f.type == 5 && f.destination == 9) peer.Send(peer::Frame(6, 4, 9, {0x01, 0x03, 0x42}));
  });
  std::vector<UpcallRecord> upcalls = observed.Upcalls();
  ASSERT_EQ(upcalls.size(), 1u);
  EXPECT_EQ(upcalls[0].code, UPCALL_DATA);
  EXPECT_EQ(upcalls[0].source, 9);
  EXPECT_EQ(upcalls[0].data, (std::vector<uint8_t>{0x01, 0x03, 0x42}));
  std::vector<peer::ParsedFrame> frames = peer.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].data, (std::vector<uint8_t>{0x01, 0x03, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_TRUE(frames[0].dataCrcOk);
}

TEST_F(LinkOnPty, NoReplyComes250msAfterLastOctetAfterTwoResends) {
  observed.onToken = [](const char* name, int call) -> uint8_t {
    if (call > 0) return 0;
    const uint8_t request[] = {0x01, 0x02};
    TarbusLink_SendFrame(name, 9, request, 2, 1);
    return 1;
  };
  Start(4);
  ASSERT_EQ(TarbusLink_SetMaxRequestResend(port.c_str(), 2), 0);
  peer.Send(peer::Frame(0, 4, 5));
  peer.Collect(1600);  // three waits of 250 ms and the up-call, with room for a busy machine
  std::vector<long> requests;
  for (const auto& f : peer.Frames())
    if (f.type == 5) requests.push_back(f.lastOctetMs);
  ASSERT_EQ(requests.size(), 3u);
  const bool judgeTiming = TimerRanSteadily();
  for (size_t i = 1; i < 3 && judgeTiming; ++i) {
    EXPECT_GE(requests[i] - requests[i - 1], 245);
    EXPECT_LE(requests[i] - requests[i - 1], 290);
  }
  std::vector<UpcallRecord> upcalls = observed.Upcalls();
  ASSERT_EQ(upcalls.size(), 1u);
  EXPECT_EQ(upcalls[0].code, UPCALL_NO_REPLY);
  if (judgeTiming) {
    EXPECT_GE(upcalls[0].atMs - requests[2], 245);
    EXPECT_LE(upcalls[0].atMs - requests[2], 290);
  }
}

TEST_F(LinkOnPty, EveryOctetReachesTheReceiveMachineOnceAndInOrder) {
  Start(4);
  TarbusLink_DisableMasterServices(port.c_str(), 1);
  TarbusLink_EnableImmediateUpcall(port.c_str(), 1);
  std::vector<uint8_t> burst;
  for (int i = 0; i < 3000; ++i) burst.push_back(static_cast<uint8_t>((i * 7919) >> 3));
  peer.Send(burst);
  long end = NowMs() + 5000;
  while (observed.Upcalls().size() < burst.size() && NowMs() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::vector<uint8_t> seen;
  for (const auto& u : observed.Upcalls())
    if (u.data.size() == 1) seen.push_back(u.data[0]);
  EXPECT_EQ(seen, burst);
}

TEST_F(LinkOnPty, ImmediateUpcallThenTheFrame) {
  Start(4);
  TarbusLink_EnableImmediateUpcall(port.c_str(), 1);
  std::vector<uint8_t> f = peer::Frame(6, 4, 7, {0xAA, 0xBB});
  peer.Send(f);
  peer.Collect(100);
  std::vector<UpcallRecord> upcalls = observed.Upcalls();
  ASSERT_EQ(upcalls.size(), f.size() + 1);
  for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(upcalls[i].data, std::vector<uint8_t>{f[i]});
  EXPECT_EQ(upcalls.back().data, (std::vector<uint8_t>{0xAA, 0xBB}));
}

TEST_F(LinkOnPty, TokenDropAnswersWithTestRequest) {
  Start(4);
  TarbusLink_TokenDrop(port.c_str(), 7);
  peer.Send(peer::Frame(5, 4, 7, {1, 2}));
  peer.Collect(100);
  std::vector<peer::ParsedFrame> frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, 3);
  EXPECT_EQ(frames[0].destination, 7);
  EXPECT_EQ(frames[0].source, 4);
  EXPECT_TRUE(observed.Upcalls().empty());
}

TEST_F(LinkOnPty, ChecksumErrorOnceThenFramingDisabled) {
  observed.onToken = [](const char* name, int call) -> uint8_t {
    const uint8_t data[] = {0x01, 0x02};
    // Back to back: the second must not cut the first short.
    if (call <= 1) TarbusLink_SendFrame(name, 9, data, 2, 0);
    return call < 1;
  };
  Start(4);
  TarbusLink_CheckSumError(port.c_str());
  peer.Send(peer::Frame(0, 4, 5));
  peer.Collect(60);
  std::vector<peer::ParsedFrame> frames = peer.Frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].dataCrc, 0xFFFF);
  EXPECT_FALSE(frames[0].dataCrcOk);
  EXPECT_TRUE(frames[1].dataCrcOk) << "the switch clears itself";

  TarbusLink_DisableMasterServices(port.c_str(), 1);
  TarbusLink_DisableMSTPFraming(port.c_str(), 1);
  peer.Collect(60);  // what was on its way before the switches
  peer.rx.clear();
  peer.times.clear();
  // A frame of the node's own without data puts nothing on the wire.
  peer.Send(peer::Frame(1, 4, 9));
  peer.Collect(60);
  EXPECT_TRUE(peer.rx.empty());
}

TEST_F(LinkOnPty, PacketJamStopsReceptionAndEndsByStopFlag) {
  Start(4);
  TarbusLink_DisableMasterServices(port.c_str(), 1);
  TarbusLink_PacketJam(port.c_str());
  peer.Send(peer::Frame(6, 4, 7, {1}));
  peer.Collect(200);
  int jammed = 0;
  for (uint8_t octet : peer.rx) jammed += octet == 0xFF;
  EXPECT_EQ(jammed, static_cast<int>(peer.rx.size()));
  EXPECT_GE(jammed, 8) << "about one 0xFF every 10 ms";
  EXPECT_LE(jammed, 22);
  EXPECT_TRUE(observed.Upcalls().empty()) << "nothing is received during a jam";
  TarbusLink_StopPacketJam(port.c_str());
  peer.rx.clear();
  peer.Send(peer::Frame(6, 4, 8, {2}));
  peer.Collect(80);
  EXPECT_TRUE(peer.rx.empty()) << "the jam has ended";
  bool received = false;
  for (const auto& u : observed.Upcalls()) received |= u.source == 8;
  EXPECT_TRUE(received) << "reception resumes";

  // UnInit with a jam still running ends it first.
  TarbusLink_PacketJam(port.c_str());
  long before = NowMs();
  EXPECT_EQ(TarbusLink_UnInit(port.c_str()), 0);
  EXPECT_LT(NowMs() - before, 1000);
  Start(4);
  EXPECT_EQ(TarbusLink_GetAddress(port.c_str()), 4);
}

TEST_F(LinkOnPty, InitChecksIdsAndAlreadyRunning) {
  Start(4);
  EXPECT_EQ(tarbus::FindLinkId(port.c_str()), 255);
  testsupport::PtyPair second;
  LinkConfig c = Config(second.slavePath().c_str(), 5);
  ASSERT_EQ(TarbusLink_Init(&c), 0);
  EXPECT_EQ(tarbus::FindLinkId(second.slavePath().c_str()), 254);

  testing::internal::CaptureStdout();
  c = Config(port.c_str(), 6);
  EXPECT_EQ(TarbusLink_Init(&c), 255);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR: Tarbus is already running at comm port 255\r\n");
  EXPECT_EQ(TarbusLink_GetAddress(port.c_str()), 4) << "the running link is untouched";

  EXPECT_EQ(TarbusLink_UnInit(second.slavePath().c_str()), 0);
  EXPECT_EQ(TarbusLink_UnInit(port.c_str()), 0);
  Start(4);
  EXPECT_EQ(tarbus::FindLinkId(port.c_str()), 255) << "ids start again at 255";
  EXPECT_EQ(TarbusLink_UnInit(port.c_str()), 0);

  struct Bad {
    int baud, maxMaster, maxInfoFrames, station;
  } bad[] = {{57600, 15, 3, 4}, {38400, 15, 3, 128}, {38400, -1, 3, 4}, {38400, 128, 3, 4},
             {38400, 15, 0, 4}, {38400, 15, 3, -1}};
  for (const Bad& b : bad) {
    c = Config(port.c_str(), b.station, b.maxMaster);
    c.baudRate = b.baud;
    c.maxInfoFrames = b.maxInfoFrames;
    EXPECT_EQ(TarbusLink_Init(&c), 255) << b.baud << " " << b.maxMaster << " " << b.station;
  }
  c = Config(nullptr, 4);
  EXPECT_EQ(TarbusLink_Init(&c), 255);
  EXPECT_EQ(TarbusLink_Init(nullptr), 255);
  EXPECT_EQ(tarbus::g_reservedControls, 0);
}

TEST_F(LinkOnPty, EightLinksNinthFailsNameLengths) {
  std::vector<std::unique_ptr<testsupport::PtyPair>> ptys;
  std::vector<std::string> names;
  // A name of exactly 32 characters, as a link to a pty.
  std::string name32 = "/tmp/tarbus_link_name_" + std::to_string(getpid());
  name32.resize(32, 'x');
  unlink(name32.c_str());
  ASSERT_EQ(symlink(port.c_str(), name32.c_str()), 0);
  names.push_back(name32);
  for (int i = 1; i < 9; ++i) {
    ptys.push_back(std::make_unique<testsupport::PtyPair>());
    names.push_back(ptys.back()->slavePath());
  }
  for (int i = 0; i < 8; ++i) {
    LinkConfig c = Config(names[i].c_str(), i);
    EXPECT_EQ(TarbusLink_Init(&c), 0) << names[i];
  }
  LinkConfig c = Config(names[8].c_str(), 9);
  EXPECT_EQ(TarbusLink_Init(&c), 255) << "a ninth link";
  for (int i = 0; i < 8; ++i) EXPECT_EQ(TarbusLink_UnInit(names[i].c_str()), 0);
  std::string name33 = name32 + "y";
  unlink(name33.c_str());
  ASSERT_EQ(symlink(port.c_str(), name33.c_str()), 0);
  c = Config(name33.c_str(), 4);
  EXPECT_EQ(TarbusLink_Init(&c), 255) << "33 characters";
  unlink(name32.c_str());
  unlink(name33.c_str());
}

TEST(LinkWithoutInit, OperationsOnAPortWithoutALink) {
  const uint8_t data[] = {1};
  EXPECT_EQ(TarbusLink_SendFrame("/dev/none", 1, data, 1, 1), 1);
  EXPECT_EQ(TarbusLink_SendFrameEx("/dev/none", 1, data, 1, 0, 10), 1);
  EXPECT_EQ(TarbusLink_GetAddress("/dev/none"), 255);
  EXPECT_EQ(TarbusLink_SetMaxRequestResend("/dev/none", 2), 1);
  EXPECT_EQ(TarbusLink_UnInit("/dev/none"), 1);
  EXPECT_EQ(TarbusLink_UnInit(nullptr), 1);
  TarbusLink_EnableImmediateUpcall("/dev/none", 1);
  TarbusLink_SetBaud("/dev/none", 9600);
  TarbusLink_CheckSumError("/dev/none");
  TarbusLink_TokenDrop("/dev/none", 3);
  TarbusLink_DisableMasterServices("/dev/none", 1);
  TarbusLink_DisableMSTPFraming("/dev/none", 1);
  TarbusLink_PacketJam("/dev/none");
  TarbusLink_StopPacketJam("/dev/none");
  TarbusLink_SetUpcallDelegate("/dev/none", nullptr);
  TarbusLink_SetTokenObtainedDelegate("/dev/none", nullptr);
  int major = -1, minor = -1, revision = -1;
  TarbusLink_GetVersion(nullptr, &minor, nullptr);
  EXPECT_EQ(minor, 4);
  TarbusLink_GetVersion(&major, &minor, &revision);
  EXPECT_EQ(major, 0);
  EXPECT_EQ(revision, 5);
}

// A port that fails to open must give back all that Init reserved.
TEST_F(LinkOnPty, FailedInitsGiveBackEverythingAndTheTimer) {
  for (int i = 0; i < 20; ++i) {
    std::string missing = "/nonexistent/tty" + std::to_string(i);
    LinkConfig c = Config(missing.c_str(), 4);
    EXPECT_EQ(TarbusLink_Init(&c), 255);
    EXPECT_EQ(tarbus::g_reservedControls, 0);
    EXPECT_FALSE(tarbus::LinkTimerRunning());
  }
  for (const auto& entry : tarbus::g_linkNames) EXPECT_EQ(entry.linkId.load(), 0);
  // A port held by another opener fails the same way.
  Start(4);
  EXPECT_TRUE(tarbus::LinkTimerRunning());
  testsupport::PtyPair other;
  LinkConfig c = Config(other.slavePath().c_str(), 5);
  c.baudRate = 57600;  // fails after the entries were reserved
  EXPECT_EQ(TarbusLink_Init(&c), 255);
  EXPECT_EQ(tarbus::g_reservedControls, 1) << "only the running link is reserved";
  EXPECT_EQ(TarbusLink_UnInit(port.c_str()), 0);
  EXPECT_FALSE(tarbus::LinkTimerRunning()) << "the last link stops the timer";
  c.baudRate = 38400;
  EXPECT_EQ(TarbusLink_Init(&c), 0);
  EXPECT_TRUE(tarbus::LinkTimerRunning()) << "a new Init starts it again";
  EXPECT_EQ(tarbus::FindLinkId(other.slavePath().c_str()), 255);
  EXPECT_EQ(TarbusLink_UnInit(other.slavePath().c_str()), 0);
}

TEST_F(LinkOnPty, UnInitWaitsForBothThreadsBeforeReleasing) {
  observed.onToken = [](const char*, int) -> uint8_t { return 0; };
  for (int round = 0; round < 5; ++round) {
    Start(4);
    uint8_t id = tarbus::FindLinkId(port.c_str());
    // Keep the link thread busy with tokens and frames while it is closed.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      while (!stop.load()) {
        peer.Send(peer::Frame(0, 4, 5));
        peer.Send(peer::Frame(6, 4, 7, {1, 2, 3}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(TarbusLink_UnInit(port.c_str()), 0);
    int calls = observed.tokenCalls.load();
    size_t upcalls = observed.Upcalls().size();
    EXPECT_EQ(tarbus::FindNode(id), nullptr);
    EXPECT_EQ(tarbus::FindControl(id), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(observed.tokenCalls.load(), calls) << "no delegate after UnInit returned";
    EXPECT_EQ(observed.Upcalls().size(), upcalls);
    stop.store(true);
    feeder.join();
    tcflush(peer.pty.masterFd(), TCIOFLUSH);
  }
  EXPECT_GT(observed.tokenCalls.load(), 0);
}

}  // namespace

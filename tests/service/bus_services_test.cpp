// The transport, the device services and the bus scan over the real link,
// against simulated devices on a pty (bussim as a child process).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "service/bus_scan.h"
#include "service/device_services.h"
#include "service/transport.h"
#include "bussim_child.h"

namespace {

using namespace service;
using servicetest::BusSim;
using servicetest::SourceDir;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string Scenario(const char* name) { return SourceDir() + "/tests/service/" + name; }

// ---- device services -------------------------------------------------------

class DeviceServices : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim = new BusSim;
    ASSERT_TRUE(sim->Start({"--scenario", Scenario("device_services.scn")}));
    ASSERT_EQ(OpenBusPort(sim->port()), 0);
  }
  static void TearDownTestSuite() {
    CloseBusPort(sim->port());
    delete sim;
  }
  static BusSim* sim;
};
BusSim* DeviceServices::sim = nullptr;

TEST_F(DeviceServices, PingRunningAndEmptyAddress) {
  EXPECT_EQ(PingDevice(sim->port(), 17), 1);
  const auto start = Clock::now();
  EXPECT_EQ(PingDevice(sim->port(), 18), 0);
  const long ms = MsSince(start);
  EXPECT_GE(ms, 240);  // the link's reply time-out
  EXPECT_LT(ms, 900);
}

TEST_F(DeviceServices, EmptyAddressCompletesWithNoReply) {
  const uint8_t ping[] = {0x01, 0x01};
  uint8_t reply[kReplyBufferSize];
  uint16_t length = 99;
  uint8_t code = 0;
  EXPECT_EQ(SendRequest(sim->port(), 19, ping, 2, 1, nullptr, reply, &length, &code), 0);
  EXPECT_EQ(code, UPCALL_NO_REPLY);
  EXPECT_EQ(length, 0);
}

struct RoundTrip {
  const char* name;
  uint8_t member;
  int32_t type;
  uint32_t before;  // as the scenario sets it
  uint32_t written;
  uint32_t readBack;  // as decoded from the device's answer
};

// Types 17 and 18 go out least significant octet first and are read most
// significant first; a device that keeps the octets as they came shows them
// reversed on reading.
const RoundTrip kRoundTrips[] = {
    {"u8", 1, 1, 7, 9, 9},
    {"s8", 2, 2, 0xFD, 0x80, 0x80},
    {"u16", 3, 3, 1000, 0xABCD, 0xABCD},
    {"s16", 4, 4, 0xFFFE, 0x8001, 0x8001},
    {"u32", 5, 5, 70000, 0xA1A2A3A4, 0xA1A2A3A4},
    {"s32", 6, 6, static_cast<uint32_t>(-70000), 0x7FFFFFFF, 0x7FFFFFFF},
    {"enum", 7, 7, 3, 106, 106},
    {"float", 8, 8, 0x3FC00000, 0x40490FDB, 0x40490FDB},
    {"pair", 13, 13, (300u << 8) | 4, 0x123456, 0x123456},
    {"enum16", 15, 15, 500, 0xBEEF, 0xBEEF},
    {"le32", 17, 17, 0x78563412, 0xA1A2A3A4, 0xA4A3A2A1},
    {"le16", 18, 18, 0x3412, 0xABCD, 0xCDAB},
};

class NumericRoundTrip : public DeviceServices, public testing::WithParamInterface<RoundTrip> {};

TEST_P(NumericRoundTrip, WrittenValueReadsBack) {
  const RoundTrip& c = GetParam();
  MemberValue value;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, c.member, 1, value), 0);
  EXPECT_EQ(value.type, c.type);
  EXPECT_EQ(value.value, c.before);
  MemberValue write;
  write.type = c.type;
  write.value = c.written;
  ASSERT_EQ(WriteMember(sim->port(), 17, 5, c.member, 1, write), 0);
  MemberValue read;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, c.member, 1, read), 0);
  EXPECT_EQ(read.type, c.type);
  EXPECT_EQ(read.value, c.readBack);
}

INSTANTIATE_TEST_SUITE_P(ByType, NumericRoundTrip, testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceServices, TextRoundTrip) {
  char text[64] = {};
  MemberValue value;
  value.text = text;
  value.textSize = sizeof text;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 9, 1, value), 0);
  EXPECT_EQ(value.type, 9);
  EXPECT_STREQ(text, "Hall");
  char name[] = "Boiler room";
  MemberValue write;
  write.type = 9;
  write.text = name;
  ASSERT_EQ(WriteMember(sim->port(), 17, 5, 9, 1, write), 0);
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 9, 1, value), 0);
  EXPECT_STREQ(text, "Boiler room");
  // Into a small buffer the text is cut and terminated.
  char small[5];
  value.text = small;
  value.textSize = sizeof small;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 9, 1, value), 0);
  EXPECT_STREQ(small, "Boil");
}

TEST_F(DeviceServices, ThreePartAndCountedRoundTrips) {
  MemberValue value;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 12, 1, value), 0);
  EXPECT_EQ(value.value, 1u);
  EXPECT_EQ(value.extra[0], 2);
  EXPECT_EQ(value.extra[1], 3);
  value.value = 7;
  value.extra = {8, 9};
  ASSERT_EQ(WriteMember(sim->port(), 17, 5, 12, 1, value), 0);
  MemberValue read;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 12, 1, read), 0);
  EXPECT_EQ(read.value, 7u);
  EXPECT_EQ(read.extra[0], 8);
  EXPECT_EQ(read.extra[1], 9);

  // Counted values outlive the reply they came in.
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 10, 1, value), 0);
  EXPECT_EQ(value.type, 10);
  EXPECT_EQ(value.counted[0], 2);
  EXPECT_EQ(value.counted[1], 0x01);
  EXPECT_EQ(value.counted[2], 0x02);
  value.counted = {3, 0xAA, 0xBB, 0xCC};
  ASSERT_EQ(WriteMember(sim->port(), 17, 5, 10, 1, value), 0);
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 10, 1, read), 0);
  EXPECT_EQ(read.counted[0], 3);
  EXPECT_EQ(read.counted[3], 0xCC);

  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 14, 1, value), 0);
  EXPECT_EQ(value.type, 14);
  EXPECT_EQ(value.counted[0], 2);
  EXPECT_EQ(value.counted[8], 0x08);
  value.counted = {1, 9, 8, 7, 6};
  ASSERT_EQ(WriteMember(sim->port(), 17, 5, 14, 1, value), 0);
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 14, 1, read), 0);
  EXPECT_EQ(read.counted[0], 1);
  EXPECT_EQ(read.counted[4], 6);
}

TEST_F(DeviceServices, RefusedAndUnansweredWrites) {
  MemberValue value;
  value.type = 1;
  value.value = 6;
  EXPECT_EQ(WriteMember(sim->port(), 17, 5, 20, 1, value), -8);  // read-only
  EXPECT_EQ(WriteMember(sim->port(), 18, 5, 1, 1, value), -7);   // nobody there
  EXPECT_EQ(WriteMember("not open", 17, 5, 1, 1, value), -1);
  MemberValue read;
  ASSERT_EQ(ReadMember(sim->port(), 17, 5, 20, 1, read), 0);
  EXPECT_EQ(read.value, 5u);
  EXPECT_EQ(ReadMember(sim->port(), 18, 5, 1, 1, read), UPCALL_NO_REPLY);
  EXPECT_EQ(ReadMember("not open", 17, 5, 1, 1, read), 4);
}

TEST_F(DeviceServices, SettleGivesUpAtTheFirstFailedRead) {
  const auto start = Clock::now();
  EXPECT_EQ(SettleDevice(sim->port(), 18), 0);
  const long ms = MsSince(start);
  // The write and the read each wait out the reply time-out; one pause.
  EXPECT_GE(ms, 5000);
  EXPECT_LT(ms, 7000);
}

// ---- transport over the link -------------------------------------------------

class LinkTransport : public DeviceServices {};

struct Posted {
  std::atomic<int> done{0};
  uint8_t source[2] = {};
  uint8_t code[2] = {};
  uint8_t service[2] = {};
} posted;

int OnPosted(const char*, int, const uint8_t* reply, uint8_t source, uint16_t length,
             uint8_t code) {
  const int i = posted.done.load();
  if (i < 2) {
    posted.source[i] = source;
    posted.code[i] = code;
    posted.service[i] = reply != nullptr && length > 1 ? reply[1] : 0;
  }
  posted.done.fetch_add(1);
  return 0;
}

TEST_F(LinkTransport, TwoRequestsQueuedBackToBackAnswerInOrder) {
  const uint8_t read[] = {0x01, 0x03, 0x01, 0x05, 0x01, 0x01};
  const uint8_t info[] = {0x01, 0x05, 0x01, 0x01};
  ASSERT_EQ(PostRequest(sim->port(), 17, read, sizeof read, 1, OnPosted), 0);
  ASSERT_EQ(PostRequest(sim->port(), 17, info, sizeof info, 1, OnPosted), 0);
  const auto start = Clock::now();
  while (posted.done.load() < 2 && MsSince(start) < 3000) platform::SleepMs(5);
  ASSERT_EQ(posted.done.load(), 2);
  EXPECT_EQ(posted.code[0], UPCALL_DATA);
  EXPECT_EQ(posted.code[1], UPCALL_DATA);
  EXPECT_EQ(posted.service[0], 0x03);
  EXPECT_EQ(posted.service[1], 0x05);
  EXPECT_EQ(posted.source[0], 17);
}

int Ignore(const char*, int, const uint8_t*, uint8_t, uint16_t, uint8_t) { return 0; }

TEST_F(LinkTransport, FullQueueAndCloseWithRequestsPending) {
  // A port of its own, so that its queue can be filled and closed.
  BusSim other;
  ASSERT_TRUE(other.Start({"--fast"}));
  ASSERT_EQ(OpenBusPort(other.port()), 0);
  const uint8_t ping[] = {0x01, 0x01};
  // Nobody answers at 50: each request holds the head for 250 ms.
  for (int i = 0; i < kRequestQueueCapacity; ++i)
    ASSERT_EQ(PostRequest(other.port(), 50, ping, 2, 1, Ignore), 0) << i;
  EXPECT_EQ(SendRequest(other.port(), 50, ping, 2, 1, nullptr, nullptr, nullptr, nullptr),
            TRANSPORT_QUEUE_FULL);
  EXPECT_EQ(PostRequest(other.port(), 50, ping, 2, 1, Ignore), TRANSPORT_QUEUE_FULL);
  // Closing hands each of them back (and frees it) instead of leaking them.
  EXPECT_EQ(CloseBusPort(other.port()), 0);
  EXPECT_EQ(SendRequest(other.port(), 50, ping, 2, 1, nullptr, nullptr, nullptr, nullptr),
            TRANSPORT_NOT_OPEN);
}

// ---- bus scan ----------------------------------------------------------------

class BusScan : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim = new BusSim;
    ASSERT_TRUE(sim->Start({"--scenario", Scenario("scan_bus.scn")}));
    ASSERT_EQ(OpenBusPort(sim->port()), 0);
    // Send the device at 20 into its boot loader; it restarts at 16. The
    // entry request expects no reply and leaves the queue when first
    // offered, even if the link did not get it onto the wire: try again
    // until the loader answers.
    const uint8_t entry[] = {0x01, 0xEA, 0x5C, 0x3A, 0x1E, 0x47};
    for (int attempt = 0; attempt < 10 && PingDevice(sim->port(), 16) != 2; ++attempt) {
      ASSERT_EQ(PostRequest(sim->port(), 20, entry, sizeof entry, 0, nullptr), 0);
      platform::SleepMs(100);
    }
  }
  static void TearDownTestSuite() {
    CloseBusPort(sim->port());
    delete sim;
  }
  static BusSim* sim;
};
BusSim* BusScan::sim = nullptr;

TEST_F(BusScan, PingFromTheBootLoader) { EXPECT_EQ(PingDevice(sim->port(), 16), 2); }

TEST_F(BusScan, DevicesInBothModesInAddressOrder) {
  DeviceRecord records[32];
  std::memset(records, 0, sizeof records);
  const uint16_t found = ScanBus(sim->port(), 4, 32, records);
  ASSERT_EQ(found, 3);
  // The loader at 16 reports only its product and model.
  EXPECT_EQ(records[0].address, 16);
  EXPECT_EQ(records[0].bootMode, 1);
  EXPECT_EQ(records[0].hardwareId, 21u);
  EXPECT_STREQ(records[0].modelNumber, "QRF-BL-21");
  EXPECT_STREQ(records[0].portName, sim->port());

  EXPECT_EQ(records[1].address, 17);
  EXPECT_EQ(records[1].bootMode, 0);
  EXPECT_EQ(records[1].hardwareId, 20u);
  EXPECT_EQ(records[1].serialNumber, 1017u);
  EXPECT_EQ(records[1].release, 2u);
  EXPECT_EQ(records[1].prototype, 0u);
  EXPECT_EQ(records[1].build, 10u);
  EXPECT_STREQ(records[1].modelNumber, "QRF-TC-2000");
  EXPECT_STREQ(records[1].deviceName, "Hall");

  // 25 answered the ping but not the identity request: 30 took its place.
  EXPECT_EQ(records[2].address, 30);
  EXPECT_EQ(records[2].bootMode, 0);
  EXPECT_EQ(records[2].hardwareId, 23u);
  EXPECT_EQ(records[2].release, 3u);
  EXPECT_EQ(records[2].build, 2u);
  EXPECT_STREQ(records[2].deviceName, "Plant room, north wing, level 2");
}

TEST_F(BusScan, FirstAboveLastAndSingleAddress) {
  DeviceRecord records[4] = {};
  const auto start = Clock::now();
  EXPECT_EQ(ScanBus(sim->port(), 32, 4, records), 0);
  EXPECT_LT(MsSince(start), 50);
  EXPECT_EQ(ScanBus(sim->port(), 17, 17, records), 1);
  EXPECT_EQ(records[0].address, 17);
  EXPECT_EQ(ScanBus("not open", 4, 8, records), 0);
}

// ---- station and slots on the real link ---------------------------------------

TEST(BusPorts, StationChosenAroundSimulatedMasters) {
  struct Case {
    const char* masters;
    int result;
  } cases[] = {{"0,1,2", 0}, {"0,1,2,3", TRANSPORT_NO_STATION}};
  for (const auto& c : cases) {
    BusSim sim;
    ASSERT_TRUE(sim.Start({"--fast", "--master", c.masters}));
    EXPECT_EQ(OpenBusPort(sim.port()), c.result) << c.masters;
    if (c.result == 0) {
      EXPECT_EQ(TarbusLink_GetAddress(sim.port()), 3);
      EXPECT_EQ(CloseBusPort(sim.port()), 0);
    }
  }
}

TEST(BusPorts, SilentBusGivesStationZeroAfterOneReadTimeOut) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast"}));
  const auto start = Clock::now();
  EXPECT_EQ(FindFreeStation(sim.port(), 0, 3), 0);
  const long ms = MsSince(start);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 500);
}

TEST(BusPorts, EightLinksAndANinthRefused) {
  BusSim sims[9];
  for (auto& s : sims) ASSERT_TRUE(s.Start({"--fast"}));
  for (int i = 0; i < 8; ++i) ASSERT_EQ(OpenBusPort(sims[i].port()), 0) << i;
  EXPECT_EQ(OpenBusPort(sims[8].port()), TRANSPORT_NO_STATION);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(CloseBusPort(sims[i].port()), 0) << i;
  EXPECT_EQ(CloseBusPort(sims[0].port()), TRANSPORT_LINK_FAILED);
}

}  // namespace

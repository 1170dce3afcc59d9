// Faults of bussim's devices: Modbus RTU start, dropped and corrupted
// frames from a deterministic generator, two devices on one address.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

Bytes WriteRegister(uint16_t reg, uint16_t value) {
  Bytes f = {0x01, 0x06, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)};
  uint16_t crc = ModbusCrc(f.data(), 6);
  f.push_back(uint8_t(crc));
  f.push_back(uint8_t(crc >> 8));
  return f;
}

// Pattern of answered (1) and unanswered (0) pings over n requests.
std::string Pattern(const std::string& rngStart, int n) {
  BusSim sim;
  std::vector<std::string> args = {"--fast", "--add-device", "address=17,drop-rate=0.5"};
  if (!rngStart.empty()) args.insert(args.end(), {"--rng-start", rngStart});
  if (!sim.Start(args)) return "not started";
  std::string p;
  for (int i = 0; i < n; ++i) p += sim.Request(17, Ping(), 40).has_value() ? '1' : '0';
  return p;
}

}  // namespace

TEST(Faults, ModbusDeviceSwitchesBackOnItsProtocolRegister) {
  struct { uint8_t product; uint16_t reg; uint16_t other; } cases[] = {
      {20, 2492, 2832},
      {23, 2832, 2492},
  };
  for (const auto& c : cases) {
    BusSim sim;
    ASSERT_TRUE(sim.Start({"--fast", "--add-device",
                           "address=17,modbus,product=" + std::to_string(c.product)}));
    EXPECT_FALSE(sim.Request(17, Ping(), 80).has_value()) << "silent on the native bus";
    // The other product's register and a wrong value are answered but change nothing.
    for (Bytes req : {WriteRegister(c.other, 1286), WriteRegister(c.reg, 1285)}) {
      sim.Write(req);
      EXPECT_EQ(sim.Read(30, 300), req) << "Write Single Register is echoed";
      EXPECT_FALSE(sim.Request(17, Ping(), 80).has_value());
    }
    Bytes broken = WriteRegister(c.reg, 1286);
    broken[7] ^= 1;
    sim.Write(broken);
    EXPECT_TRUE(sim.Read(30, 100).empty()) << "a bad Modbus CRC gets no answer";
    Bytes sw = WriteRegister(c.reg, 1286);
    sim.Write(sw);
    EXPECT_EQ(sim.Read(30, 300), sw);
    auto ping = sim.Request(17, Ping());
    ASSERT_TRUE(ping.has_value()) << "product " << int(c.product);
    std::string d = DeviceObject(sim.State(), 0);
    EXPECT_EQ(Field(d, "mode"), "\"application\"");
    EXPECT_EQ(Field(d, "modbus_requests"), "3");
  }
}

TEST(Faults, ModbusAnswersArePacedAt9600Baud) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--add-device", "address=17,modbus"}));
  Bytes sw = WriteRegister(2492, 1286);
  timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  sim.Write(sw);
  Bytes got = sim.Read(40, 500);
  clock_gettime(CLOCK_MONOTONIC, &b);
  EXPECT_EQ(got, sw);
  double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6 - 40;
  EXPECT_GE(ms, 8 * 10 * 1000.0 / 9600 - 1) << "eight octets at 9600 baud";
}

TEST(Faults, DropAndCorruptAtTheirRates) {
  {
    BusSim sim;
    ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=17,drop-rate=1"}));
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(sim.Request(17, Ping(), 40).has_value());
    EXPECT_EQ(Field(DeviceObject(sim.State(), 0), "dropped"), "5");
  }
  {
    BusSim sim;
    ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=17,corrupt-rate=1"}));
    for (int i = 0; i < 5; ++i) {
      auto f = sim.Request(17, Ping());
      ASSERT_TRUE(f.has_value());
      EXPECT_FALSE(f->dataCrcGood);
    }
    EXPECT_EQ(Field(DeviceObject(sim.State(), 0), "corrupted"), "5");
  }
}

TEST(Faults, TheSameRngStartGivesTheSameFaults) {
  std::string a = Pattern("7", 40), b = Pattern("7", 40), c = Pattern("8", 40);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a.find('0'), std::string::npos);
  EXPECT_NE(a.find('1'), std::string::npos);
}

TEST(Faults, TwoDevicesOnOneAddressGarbleTheirAnswers) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=16,serial=1", "--add-device",
                         "address=16,serial=2", "--add-device", "address=17"}));
  auto f = sim.Request(16, Ping());
  ASSERT_TRUE(f.has_value());
  EXPECT_FALSE(f->dataCrcGood);
  auto other = sim.Request(17, Ping());
  ASSERT_TRUE(other.has_value());
  EXPECT_TRUE(other->dataCrcGood);
  std::string state = sim.State();
  EXPECT_NE(Field(state, "collisions"), "0");
}

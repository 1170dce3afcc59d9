// The boot loader of bussim's devices: entry, erase, chunk writes, exit
// into the new firmware only with the expected image, and its faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

constexpr uint32_t kBase = 0x2000;
const Bytes kEntry = {0x01, 0xEA, 0x5C, 0x3A, 0x1E, 0x47};

Bytes Image(size_t n) {
  Bytes b(n);
  uint32_t x = 12345;
  for (auto& o : b) {
    x = x * 1103515245u + 12345u;
    o = uint8_t(x >> 16);
  }
  return b;
}

Bytes Chunk(uint32_t addr, const Bytes& data, size_t from, size_t n) {
  Bytes req = {0x01, 0xED, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr), 0,
               uint8_t(n)};
  for (size_t i = 0; i < n; ++i) req.push_back(data[from + i]);
  return req;
}

uint32_t AckAddress(const Bytes& r) {
  return r.size() < 6 ? 0xFFFFFFFF : (uint32_t(r[2]) << 24) | (r[3] << 16) | (r[4] << 8) | r[5];
}

class Loader : public ::testing::Test {
 protected:
  // Starts a device at 17 (or as given) with image bytes of `size`.
  void Begin(const std::string& extra, size_t size = 1000, uint8_t product = 20) {
    image = Image(size);
    std::string path = WriteFile(sim.dir(), "fw.bin", image);
    std::string dev = "address=17,product=" + std::to_string(product) +
                      ",version=2.00.10,model=QRF-TC-2000,serial=9,reboot-ms=100" + extra;
    ASSERT_TRUE(sim.Start({"--fast", "--image", path, "--image-base", "0x2000", "--add-device", dev}));
  }
  Bytes Reply(uint8_t at, const Bytes& req) {
    auto f = sim.Request(at, req);
    EXPECT_TRUE(f.has_value()) << "no reply at " << int(at) << " to service " << std::hex << int(req[1]);
    return f ? f->data : Bytes{};
  }
  // EA, then the loader at its boot address; EB; EC; EE.
  void EnterAndPrepare(uint8_t boot = 16) {
    sim.Write(Frame(6, 17, 3, kEntry));
    EXPECT_FALSE(sim.Request(17, Ping(), 50).has_value()) << "rebooting devices are silent";
    usleep(150000);
    Bytes ping = Reply(boot, Ping());
    ASSERT_GE(ping.size(), 4u);
    EXPECT_EQ(ping[3], 0xCC);
    Bytes info = Reply(boot, {0x01, 0xEB});
    ASSERT_GE(info.size(), 3u);
    EXPECT_EQ(info[1], 0xEB);
    EXPECT_EQ(std::string(info.begin() + 3, info.end()), "QRF-TC-XXXX");
    EXPECT_EQ(Reply(boot, {0x01, 0xEC})[1], 0xEC);
    EXPECT_EQ(Reply(boot, {0x01, 0xEE})[1], 0xED);
  }
  // Sends every chunk of `data`; returns the replies.
  std::vector<Bytes> SendAll(uint8_t boot, const Bytes& data) {
    std::vector<Bytes> replies;
    for (size_t at = 0; at < data.size(); at += 128) {
      size_t n = std::min<size_t>(128, data.size() - at);
      replies.push_back(Reply(boot, Chunk(kBase + uint32_t(at), data, at, n)));
    }
    return replies;
  }
  void Exit(uint8_t boot = 16) {
    EXPECT_EQ(Reply(boot, {0x01, 0xEF})[1], 0xEF);
    usleep(150000);
  }
  std::string Device0() { return DeviceObject(sim.State(), 0); }
  BusSim sim;
  Bytes image;
};

}  // namespace

TEST_F(Loader, TheExpectedImageBringsTheNewFirmwareBack) {
  Begin("");
  EnterAndPrepare();
  auto replies = SendAll(16, image);
  for (size_t i = 0; i < replies.size(); ++i) {
    ASSERT_GE(replies[i].size(), 6u);
    EXPECT_EQ(replies[i][1], 0xED);
    EXPECT_EQ(AckAddress(replies[i]), kBase + 128 * i) << "the ack names its chunk";
  }
  Exit();
  EXPECT_FALSE(sim.Request(16, Ping(), 50).has_value());
  Bytes ping = Reply(17, Ping());
  ASSERT_GE(ping.size(), 4u);
  EXPECT_NE(ping[3], 0xCC);
  Bytes build = Reply(17, ReadMember(1, 5, 1));
  EXPECT_EQ(Bytes(build.begin() + 6, build.end()), (Bytes{3, 0, 13}));
  std::string d = Device0();
  EXPECT_EQ(Field(d, "mode"), "\"application\"");
  EXPECT_EQ(Field(d, "version"), "\"2.00.13\"");
  EXPECT_EQ(Field(d, "flash_matches_image"), "true");
  EXPECT_EQ(Field(d, "upgrades"), "1");
  EXPECT_EQ(Field(d, "chunks"), std::to_string(replies.size()));
}

TEST_F(Loader, AnyOtherFlashKeepsTheDeviceInItsLoader) {
  struct { const char* what; int wrongByte; size_t chunks; } cases[] = {
      {"one byte differs", 700, 8},
      {"last chunk missing", -1, 7},
  };
  for (const auto& c : cases) {
    BusSim one;
    image = Image(1000);
    std::string path = WriteFile(one.dir(), "fw.bin", image);
    ASSERT_TRUE(one.Start({"--fast", "--image", path, "--add-device", "address=17,reboot-ms=50"}));
    one.Write(Frame(6, 17, 3, kEntry));
    usleep(100000);
    ASSERT_TRUE(one.Request(16, {0x01, 0xEC}).has_value());
    ASSERT_TRUE(one.Request(16, {0x01, 0xEE}).has_value());
    Bytes data = image;
    if (c.wrongByte >= 0) data[size_t(c.wrongByte)] ^= 1;
    for (size_t i = 0; i < c.chunks; ++i) {
      size_t n = std::min<size_t>(128, data.size() - i * 128);
      ASSERT_TRUE(one.Request(16, Chunk(kBase + uint32_t(i * 128), data, i * 128, n)).has_value());
    }
    ASSERT_TRUE(one.Request(16, {0x01, 0xEF}).has_value());
    usleep(100000);
    auto ping = one.Request(16, Ping());
    ASSERT_TRUE(ping.has_value()) << c.what;
    EXPECT_EQ(ping->data[3], 0xCC) << c.what;
    EXPECT_FALSE(one.Request(17, Ping(), 50).has_value()) << c.what;
    std::string d = DeviceObject(one.State(), 0);
    EXPECT_EQ(Field(d, "mode"), "\"loader\"") << c.what;
    EXPECT_EQ(Field(d, "flash_matches_image"), "false") << c.what;
    EXPECT_EQ(Field(d, "failed_exits"), "1") << c.what;
  }
}

TEST_F(Loader, Product25BootsAtAddress32) {
  Begin("", 200, 25);
  EnterAndPrepare(32);
  EXPECT_FALSE(sim.Request(16, Ping(), 50).has_value());
  SendAll(32, image);
  Exit(32);
  EXPECT_TRUE(sim.Request(17, Ping()).has_value());
}

TEST_F(Loader, WrongEntryCodeAndLoaderServicesWhileRunningAreRefused) {
  Begin("");
  EXPECT_GE(Reply(17, {0x01, 0xEA, 0x5C, 0x3A, 0x1E, 0x48})[1], 0x80);
  EXPECT_GE(Reply(17, {0x01, 0xEC})[1], 0x80);
  EXPECT_GE(Reply(17, {0x01, 0xEB})[1], 0x80);
  EXPECT_NE(Reply(17, Ping())[3], 0xCC);
  // In the loader, chunks before EE, bad lengths and application services are refused.
  sim.Write(Frame(6, 17, 3, kEntry));
  usleep(150000);
  EXPECT_NE(Reply(16, {0x01, 0xEC})[1], 0xED);
  EXPECT_NE(Reply(16, Chunk(kBase, image, 0, 128))[1], 0xED) << "not ready before EE";
  EXPECT_EQ(Reply(16, {0x01, 0xEE})[1], 0xED);
  Bytes bad = Chunk(kBase, image, 0, 128);
  bad[7] = 200;
  EXPECT_NE(Reply(16, bad)[1], 0xED);
  EXPECT_GE(Reply(16, ReadMember(1, 9, 1))[1], 0x80);
  EXPECT_GE(Reply(16, {0x01, 0xED, 0, 0})[1], 0x80);
}

TEST_F(Loader, ChunkFaults) {
  struct { const char* fault; size_t at; int expectCode; int64_t ackDelta; } cases[] = {
      {"chunk-error=3", 2, 0x8A, 0},
      {"ack-ahead=2", 1, 0xED, 128},
      {"ack-repeat=3", 2, 0xED, -128},
  };
  for (const auto& c : cases) {
    BusSim one;
    image = Image(1000);
    std::string path = WriteFile(one.dir(), "fw.bin", image);
    ASSERT_TRUE(one.Start({"--fast", "--image", path, "--add-device", std::string("address=17,reboot-ms=20,") + c.fault}));
    one.Write(Frame(6, 17, 3, kEntry));
    usleep(60000);
    ASSERT_TRUE(one.Request(16, {0x01, 0xEC}).has_value());
    ASSERT_TRUE(one.Request(16, {0x01, 0xEE}).has_value());
    for (size_t i = 0; i < 5; ++i) {
      auto r = one.Request(16, Chunk(kBase + uint32_t(i * 128), image, i * 128, 128));
      ASSERT_TRUE(r.has_value()) << c.fault;
      uint32_t addr = kBase + uint32_t(i * 128);
      if (i == c.at) {
        EXPECT_EQ(r->data[1], c.expectCode) << c.fault;
        if (c.expectCode == 0xED) {
          EXPECT_EQ(AckAddress(r->data), uint32_t(int64_t(addr) + c.ackDelta)) << c.fault;
        }
      } else if (c.expectCode == 0x8A && i > c.at) {
        EXPECT_EQ(r->data[1], 0x8A) << "a programming error stops the loader";
      } else {
        EXPECT_EQ(r->data[1], 0xED) << c.fault << " chunk " << i;
        EXPECT_EQ(AckAddress(r->data), addr) << c.fault << " chunk " << i;
      }
    }
  }
}

TEST_F(Loader, UpgradeFaultsResetSettingsAndLoseTheIdentity) {
  Begin(",settings-reset,identity-lost");
  std::string before = Field(Device0(), "settings_digest");
  Bytes setpoint = Reply(17, ReadMember(3, 1, 1));
  EnterAndPrepare();
  SendAll(16, image);
  Exit();
  EXPECT_FALSE(sim.Request(17, Ping(), 50).has_value()) << "the address was reset as well";
  // At the factory address until the address is written back (user address 2).
  EXPECT_EQ(Reply(16, {0x01, 0x04, 17, 1, 1, 1, 2})[1], 0x04);
  Bytes model = Reply(17, ReadMember(1, 9, 1));
  std::string text(model.begin() + 8, model.end() - 1);
  EXPECT_EQ(text, "XXXXXXXXXXX");
  Bytes after = Reply(17, ReadMember(3, 1, 1));
  EXPECT_NE(after, setpoint);
  EXPECT_EQ(Bytes(after.begin() + 6, after.end()), (Bytes{3, 0, 200})) << "the default";
  EXPECT_NE(Field(Device0(), "settings_digest"), before);
  // Writing the old value back restores the digest.
  Reply(17, {0x01, 0x04, 3, 1, 1, 3, 0, 215});
  Reply(17, {0x01, 0x04, 3, 2, 1, 4, 0xFF, 0xFB});
  Reply(17, {0x01, 0x04, 3, 1, 2, 3, 0, 180});
  Bytes name = {0x01, 0x04, 4, 1, 1, 9, 7};
  for (char ch : std::string("Zone 2")) name.push_back(uint8_t(ch));
  name.push_back(0);
  Reply(17, name);
  Reply(17, {0x01, 0x04, 4, 2, 1, 7, 1, 2});
  Reply(17, {0x01, 0x04, 4, 3, 1, 6, 0, 0, 0x0E, 0x10});
  EXPECT_EQ(Field(Device0(), "settings_digest"), before);
}

TEST_F(Loader, RebootTakesItsTime) {
  image = Image(100);
  ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=17,reboot-ms=400"}));
  sim.Write(Frame(6, 17, 3, kEntry));
  usleep(200000);
  EXPECT_FALSE(sim.Request(16, Ping(), 50).has_value()) << "still rebooting";
  usleep(300000);
  auto ping = sim.Request(16, Ping());
  ASSERT_TRUE(ping.has_value());
  EXPECT_EQ(ping->data[3], 0xCC);
}

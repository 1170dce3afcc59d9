// Device services of bussim's running devices, driven over the pty.
#include <gtest/gtest.h>

#include "sim/bussim_client.h"

using namespace simtest;

namespace {

const char kDevice[] =
    "address=17,product=20,software=7,version=2.00.10,serial=4242,model=QRF-TC-2000,name=Hall";

class Services : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Start({"--fast", "--add-device", kDevice})); }
  Bytes Reply(const Bytes& req) {
    auto f = sim.Request(17, req);
    EXPECT_TRUE(f.has_value()) << "no reply";
    if (!f) return {};
    EXPECT_TRUE(f->dataCrcGood);
    EXPECT_EQ(f->type, 6);
    EXPECT_EQ(f->src, 17);
    return f->data;
  }
  BusSim sim;
};

// Walks k member items from `at`: member number, then a typed value.
std::vector<std::pair<uint8_t, Bytes>> Items(const Bytes& r, size_t at, size_t k) {
  std::vector<std::pair<uint8_t, Bytes>> items;
  for (size_t j = 0; j < k && at < r.size(); ++j) {
    uint8_t id = r[at++];
    uint8_t t = r[at];
    size_t n = 1;
    switch (t) {
      case 1: case 2: n = 2; break;
      case 3: case 4: case 18: n = 3; break;
      case 5: case 6: case 8: case 17: n = 5; break;
      case 12: case 13: n = 4; break;
      case 7: case 9: case 10: n = 2 + r[at + 1]; break;
      case 14: n = 2 + 4 * r[at + 1]; break;
      case 15: n = 2 + 2 * r[at + 1]; break;
      default: n = 1;
    }
    items.push_back({id, Bytes(r.begin() + long(at), r.begin() + long(at + n))});
    at += n;
  }
  return items;
}

Bytes Text(const std::string& s) {
  Bytes v(s.size() + 3, 0);
  v[0] = 9;
  v[1] = uint8_t(s.size() + 1);
  for (size_t i = 0; i < s.size(); ++i) v[2 + i] = uint8_t(s[i]);
  return v;
}

}  // namespace

TEST_F(Services, PingAndListsHaveTheLayoutsTheProgramReads) {
  Bytes ping = Reply(Ping());
  ASSERT_GE(ping.size(), 4u);
  EXPECT_EQ(ping[1], 0x01);
  EXPECT_NE(ping[3], 0xCC) << "a running device does not answer like its loader";

  Bytes classes = Reply({0x01, 0x02, 0x02});
  ASSERT_GE(classes.size(), 4u);
  EXPECT_EQ(classes[1], 0x02);
  Bytes listed(classes.begin() + 4, classes.end());
  EXPECT_EQ(listed.size(), classes[3]);
  EXPECT_EQ(listed, (Bytes{1, 3, 4, 16, 17}));

  Bytes inst = Reply({0x01, 0x02, 0x03, 3});
  ASSERT_GE(inst.size(), 5u);
  EXPECT_EQ(inst[4], 2);
  EXPECT_EQ(Bytes(inst.begin() + 5, inst.end()), (Bytes{1, 2}));
}

TEST_F(Services, IdentityMembersReadOneByOneAndAllTogether) {
  struct { uint8_t member; Bytes value; } cases[] = {
      {1, {1, 20}},          {2, {3, 0, 7}},  {3, {1, 2}},    {4, {1, 0}},
      {5, {3, 0, 10}},       {7, {6, 0, 0, 0x10, 0x92}},       {9, Text("QRF-TC-2000")},
      {11, Text("Hall")},    {13, {7, 1, 0}}, {15, {3, 0, 0}},
  };
  for (const auto& c : cases) {
    Bytes r = Reply(ReadMember(1, c.member, 1));
    ASSERT_GE(r.size(), 7u) << int(c.member);
    EXPECT_EQ(r[1], 0x03);
    EXPECT_EQ(Bytes(r.begin() + 6, r.end()), c.value) << "member " << int(c.member);
  }
  Bytes all = Reply(ReadAll(1, 1));
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(all[1], 0x05);
  EXPECT_EQ(all[2], 1);
  EXPECT_EQ(all[3], 1);
  auto items = Items(all, 5, all[4]);
  ASSERT_EQ(items.size(), std::size(cases));
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].first, cases[i].member);
    EXPECT_EQ(items[i].second, cases[i].value) << "member " << int(cases[i].member);
  }
  Bytes status = Reply(ReadMember(16, 9, 1));
  EXPECT_EQ(Bytes(status.begin() + 6, status.end()), (Bytes{3, 0, 0}));
}

TEST_F(Services, WritesChangeWhatIsReadBack) {
  Bytes w = Reply({0x01, 0x04, 3, 1, 1, 3, 0x01, 0x2C});
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w[1], 0x04);
  Bytes r = Reply(ReadMember(3, 1, 1));
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), (Bytes{3, 0x01, 0x2C}));

  // A backup record handed back: class 4 instance 1, two members.
  Bytes body = {4, 1, 2, 1};
  Bytes t = Text("Loft");
  body.insert(body.end(), t.begin(), t.end());
  body.insert(body.end(), {3, 6, 0, 0, 0x0E, 0x10});
  Bytes req = {0x01, 0x0A};
  req.insert(req.end(), body.begin(), body.end());
  Bytes wm = Reply(req);
  ASSERT_GE(wm.size(), 2u);
  EXPECT_EQ(wm[1], 0x0A);
  Bytes all = Reply(ReadAll(4, 1));
  auto items = Items(all, 5, all[4]);
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(items[0].second, t);
  EXPECT_EQ(items[2].second, (Bytes{6, 0, 0, 0x0E, 0x10}));
  // The read-all reply from byte 2 on is the record body the program stores.
  Bytes again = Reply(ReadAll(4, 1));
  EXPECT_EQ(Bytes(again.begin() + 2, again.end())[0], 4);
}

TEST_F(Services, BadRequestsAreRefusedAndTheDeviceCarriesOn) {
  struct { const char* what; Bytes req; } cases[] = {
      {"unknown service", {0x01, 0x42}},
      {"unknown flash service while running", {0x01, 0xED, 0, 0, 0x20, 0, 0, 1, 0xAA}},
      {"service code only", {0x01}},
      {"short read", {0x01, 0x03, 0x01, 1, 9}},
      {"long read", {0x01, 0x03, 0x01, 1, 9, 1, 0}},
      {"unknown member", ReadMember(1, 99, 1)},
      {"unknown instance", ReadMember(3, 1, 9)},
      {"unknown class in list", {0x01, 0x02, 0x03, 99}},
      {"read all of nothing", ReadAll(99, 1)},
      {"write of a missing member", {0x01, 0x04, 3, 42, 1, 1, 5}},
      {"write with the wrong type", {0x01, 0x04, 3, 1, 1, 1, 5}},
      {"write with a truncated value", {0x01, 0x04, 3, 1, 1, 3, 0x01}},
      {"write of a read-only member", {0x01, 0x04, 1, 3, 1, 1, 9}},
      {"identity write while locked", {0x01, 0x04, 1, 7, 1, 6, 0, 0, 0, 1}},
      {"write members naming a missing member", {0x01, 0x0A, 3, 1, 1, 42, 1, 0}},
      {"write members with a count past the end", {0x01, 0x0A, 3, 1, 5, 1, 3, 0, 1}},
      {"write members with a bad type", {0x01, 0x0A, 3, 1, 1, 1, 16}},
      {"not a device request", {0x07, 0x01}},
  };
  for (const auto& c : cases) {
    auto f = sim.Request(17, c.req);
    if (f) {
      ASSERT_GE(f->data.size(), 2u) << c.what;
      EXPECT_GE(f->data[1], 0x80) << c.what;
    }
  }
  // Nothing was changed by the refused writes.
  Bytes r = Reply(ReadMember(3, 1, 1));
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), (Bytes{3, 0, 215}));
  // Junk on the line and a header announcing 502 octets are passed over.
  Bytes junk = {0x55, 0x55, 0xFF, 0x05, 17, 3, 0x01, 0xF6};
  junk.push_back(HeaderCrc(junk.data() + 3, 5));
  for (int i = 0; i < 300; ++i) junk.push_back(uint8_t(i * 37));
  sim.Write(junk);
  sim.Read(30, 200);
  EXPECT_TRUE(sim.Running());
  EXPECT_FALSE(Reply(Ping()).empty());
  std::string state = sim.State();
  EXPECT_NE(Field(state, "bad_headers"), "0");
}

TEST_F(Services, ProtectCodeGuardsTheIdentity) {
  Bytes identity = {0x01, 0x0A, 1, 1, 3, 9};
  Bytes model = Text("QRF-TC-2001");
  identity.insert(identity.end(), model.begin(), model.end());
  identity.push_back(11);
  Bytes name = Text("Loft");
  identity.insert(identity.end(), name.begin(), name.end());
  identity.insert(identity.end(), {7, 6, 0, 0, 0x30, 0x39});

  Reply(identity);  // locked: members passed over
  Bytes r = Reply(ReadMember(1, 9, 1));
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), Text("QRF-TC-2000"));

  EXPECT_EQ(Reply({0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, 0x6B, 0x17})[1], 0x04);
  Reply(identity);
  EXPECT_EQ(Reply({0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, 0x00, 0x00})[1], 0x04);
  r = Reply(ReadMember(1, 9, 1));
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), model);
  r = Reply(ReadMember(1, 7, 1));
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), (Bytes{6, 0, 0, 0x30, 0x39}));
  // locked again
  EXPECT_GE(Reply({0x01, 0x04, 1, 9, 1, 9, 2, 'A', 0})[1], 0x80);
}

TEST_F(Services, AddressMemberMovesTheDevice) {
  // User address 2 is bus address 17; 5 is 20.
  Bytes w = Reply({0x01, 0x04, 17, 1, 1, 1, 5});
  EXPECT_EQ(w[1], 0x04);
  EXPECT_FALSE(sim.Request(17, Ping(), 100).has_value());
  auto f = sim.Request(20, Ping());
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->src, 20);
  auto r = sim.Request(20, ReadMember(17, 1, 1));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(Bytes(r->data.begin() + 6, r->data.end()), (Bytes{1, 5}));
}

TEST_F(Services, FrameNotExpectingReplyGetsNone) {
  EXPECT_FALSE(sim.Request(17, Ping(), 100, 6).has_value());
  EXPECT_FALSE(sim.Request(18, Ping(), 100).has_value()) << "nobody at 18";
  EXPECT_FALSE(sim.Request(255, Ping(), 100).has_value()) << "broadcast";
}

TEST(ServicesSettle, StatusChangesForTheConfiguredReadsAfterTheCommand) {
  BusSim sim;
  ASSERT_TRUE(sim.Start({"--fast", "--add-device", "address=20,settle-reads=3"}));
  auto status = [&]() {
    auto f = sim.Request(20, ReadMember(16, 9, 1));
    EXPECT_TRUE(f.has_value());
    return f ? Bytes(f->data.begin() + 6, f->data.end()) : Bytes{};
  };
  Bytes before = status();
  EXPECT_EQ(status(), before) << "steady before the command";
  auto w = sim.Request(20, {0x01, 0x04, 0x11, 0x33, 0x01, 0x07, 0x01, 0x6A});
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->data[1], 0x04);
  Bytes prev = before;
  for (int i = 0; i < 3; ++i) {
    Bytes now = status();
    EXPECT_NE(now, prev) << "read " << i;
    prev = now;
  }
  EXPECT_EQ(status(), prev);
  EXPECT_EQ(status(), prev);
}

TEST(ServicesScenario, FileDefinesDevicesAndTheirDataModel) {
  BusSim sim;
  std::string path = WriteFile(sim.dir(), "s.txt",
      "# two devices\n"
      "bus fast\n"
      "device address=21 product=22 version=1.02.03 serial=77 model=\"AB 12\" name=\"Two words\"\n"
      "member 5.1.1 float 21.5\n"
      "member 5.1.2 triple 1.2.3\n"
      "member 5.1.3 pair 513.7\n"
      "member 5.1.4 bytes 0a0b0c\n"
      "member 5.1.5 le16 0xABCD\n"
      "member 5.1.6 le32 0xA1A2A3A4\n"
      "member 5.1.7 empty -\n"
      "member 5.1.8 enum16 0x1234\n"
      "member 5.2.1 s8 -3 ro\n"
      "device address=22\n");
  ASSERT_TRUE(sim.Start({"--scenario", path}));
  auto all = sim.Request(21, ReadAll(5, 1));
  ASSERT_TRUE(all.has_value());
  auto items = Items(all->data, 5, all->data[4]);
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[0].second, (Bytes{8, 0x41, 0xAC, 0x00, 0x00}));
  EXPECT_EQ(items[1].second, (Bytes{12, 1, 2, 3}));
  EXPECT_EQ(items[2].second, (Bytes{13, 0x02, 0x01, 7}));
  EXPECT_EQ(items[3].second, (Bytes{10, 3, 0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(items[4].second, (Bytes{18, 0xCD, 0xAB}));
  EXPECT_EQ(items[5].second, (Bytes{17, 0xA4, 0xA3, 0xA2, 0xA1}));
  EXPECT_EQ(items[6].second, (Bytes{11}));
  EXPECT_EQ(items[7].second, (Bytes{15, 1, 0x12, 0x34}));
  auto name = sim.Request(21, ReadMember(1, 11, 1));
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(Bytes(name->data.begin() + 6, name->data.end()), Text("Two words"));
  auto ro = sim.Request(21, {0x01, 0x04, 5, 1, 2, 2, 9});
  ASSERT_TRUE(ro.has_value());
  EXPECT_GE(ro->data[1], 0x80);
  EXPECT_TRUE(sim.Request(22, Ping()).has_value());
}

TEST(ServicesScenario, BadScenarioNamesTheLine) {
  BusSim sim;
  std::string path = WriteFile(sim.dir(), "bad.txt", "device address=17\nmember 3.1 u8 4\n");
  EXPECT_FALSE(sim.Start({"--scenario", path}));
  EXPECT_EQ(sim.ExitCode(), 2);
}

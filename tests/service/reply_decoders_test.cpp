#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "service/device_services.h"

namespace {

using namespace service;
using Octets = std::vector<uint8_t>;

DeviceRecord Blank() {
  DeviceRecord record;
  std::memset(&record, 0, sizeof record);
  return record;
}

TEST(PingReply, BootLoaderMarkInByteThree) {
  EXPECT_EQ(DecodePingReply(Octets{0x00, 0x01, 0x00, 0xCC}), 2);
  EXPECT_EQ(DecodePingReply(Octets{0x00, 0x01, 0x00, 0x00}), 1);
  // A short answer is still an answer, but it cannot carry the mark.
  EXPECT_EQ(DecodePingReply(Octets{0x00, 0x01, 0xCC}), 1);
}

TEST(ReadMemberReply, ValueAtOffsetSix) {
  MemberValue value;
  EXPECT_EQ(DecodeReadMemberReply(Octets{0, 3, 1, 16, 9, 1, 0x03, 0x12, 0x34}, value), 0);
  EXPECT_EQ(value.type, 3);
  EXPECT_EQ(value.value, 0x1234u);
  // Nothing or half a value after the header is no valid reply.
  EXPECT_NE(DecodeReadMemberReply(Octets{0, 3, 1, 16, 9, 1}, value), 0);
  EXPECT_NE(DecodeReadMemberReply(Octets{0, 3, 1, 16, 9, 1, 0x05, 0x00}, value), 0);
}

TEST(WriteMemberReply, RefusalIsByteOneFromEighty) {
  EXPECT_EQ(DecodeWriteMemberReply(Octets{0, 0x04}), 0);
  EXPECT_EQ(DecodeWriteMemberReply(Octets{0, 0x84}), -8);
  EXPECT_EQ(DecodeWriteMemberReply(Octets{0, 0x80}), -8);
  EXPECT_EQ(DecodeWriteMemberReply(Octets{0}), -7);
}

TEST(BootInfoReply, ProductAndModelText) {
  DeviceRecord record = Blank();
  const Octets reply = {0x00, 0xEB, 25, 'Q', 'R', '-', '7', 0x00, 'z'};
  EXPECT_EQ(DecodeBootInfoReply(reply, record), 1);
  EXPECT_EQ(record.hardwareId, 25u);
  EXPECT_STREQ(record.modelNumber, "QR-7");
}

TEST(BootInfoReply, ModelTextIsCutToItsFieldAndTerminated) {
  DeviceRecord record = Blank();
  Octets reply = {0x00, 0xEB, 7};
  reply.insert(reply.end(), 40, 'M');  // no terminator at all
  EXPECT_EQ(DecodeBootInfoReply(reply, record), 1);
  EXPECT_EQ(std::string(record.modelNumber), std::string(32, 'M'));
}

TEST(BootInfoReply, ShorterThanThreeIsNoValidReply) {
  DeviceRecord record = Blank();
  record.hardwareId = 99;
  EXPECT_EQ(DecodeBootInfoReply(Octets{0x00, 0xEB}, record), 0);
  EXPECT_EQ(record.hardwareId, 99u);
  // Exactly three: a product and an empty model number.
  EXPECT_EQ(DecodeBootInfoReply(Octets{0x00, 0xEB, 12}, record), 1);
  EXPECT_EQ(record.hardwareId, 12u);
  EXPECT_STREQ(record.modelNumber, "");
}

Octets Item(uint8_t member, Octets value) {
  value.insert(value.begin(), member);
  return value;
}

Octets DeviceInfo(std::vector<Octets> items, int count = -1) {
  Octets reply = {0x00, 0x05, 0x01, 0x01, static_cast<uint8_t>(count < 0 ? items.size() : count)};
  for (auto& item : items) reply.insert(reply.end(), item.begin(), item.end());
  return reply;
}

Octets Text(const std::string& text) {
  Octets value(text.size() + 3, 0);
  value[0] = 0x09;
  value[1] = static_cast<uint8_t>(text.size() + 1);
  std::copy(text.begin(), text.end(), value.begin() + 2);
  return value;
}

TEST(DeviceInfoReply, MembersLandInTheirFields) {
  DeviceRecord record = Blank();
  const Octets reply = DeviceInfo({
      Item(1, {0x05, 0, 0, 0, 21}),
      Item(2, {0x03, 0x01, 0x02}),
      Item(3, {0x01, 4}),
      Item(4, {0x01, 5}),
      Item(5, {0x03, 0x00, 0x63}),
      Item(6, {0x09, 0x02, 'x', 0}),  // stepped over
      Item(7, {0x06, 0x00, 0x01, 0xE2, 0x40}),
      Item(8, {0x0A, 0x02, 0xAA, 0xBB}),  // stepped over
      Item(9, Text("QR-FLEX 4")),
      Item(10, {0x0F, 0x02, 0, 1, 0, 2}),  // stepped over
      Item(11, Text("Boiler room")),
  });
  testing::internal::CaptureStdout();
  EXPECT_EQ(DecodeDeviceInfoReply(reply, record), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WEV");
  EXPECT_EQ(record.hardwareId, 21u);
  EXPECT_EQ(record.softwareId, 0x0102u);
  EXPECT_EQ(record.release, 4u);
  EXPECT_EQ(record.prototype, 5u);
  EXPECT_EQ(record.build, 99u);
  EXPECT_EQ(record.serialNumber, 123456u);
  EXPECT_STREQ(record.modelNumber, "QR-FLEX 4");
  EXPECT_STREQ(record.deviceName, "Boiler room");
}

TEST(DeviceInfoReply, NoItemsLeavesTheIdentityAsItWas) {
  DeviceRecord record = Blank();
  record.hardwareId = 3;
  std::strcpy(record.modelNumber, "keep");
  EXPECT_EQ(DecodeDeviceInfoReply(DeviceInfo({}), record), 1);
  EXPECT_EQ(record.hardwareId, 3u);
  EXPECT_STREQ(record.modelNumber, "keep");
  EXPECT_EQ(DecodeDeviceInfoReply(Octets{0, 5, 1, 1}, record), 0);
}

TEST(DeviceInfoReply, LongTextsAreCutToTheirFields) {
  DeviceRecord record = Blank();
  const Octets reply =
      DeviceInfo({Item(9, Text(std::string(60, 'M'))), Item(11, Text(std::string(200, 'N')))});
  EXPECT_EQ(DecodeDeviceInfoReply(reply, record), 1);
  EXPECT_EQ(std::string(record.modelNumber), std::string(32, 'M'));
  EXPECT_EQ(std::string(record.deviceName), std::string(34, 'N'));
}

TEST(DeviceInfoReply, AnItemPastTheEndEndsTheWalk) {
  DeviceRecord record = Blank();
  // k says five, but the reply holds two and a half.
  Octets reply = DeviceInfo({Item(1, {0x05, 0, 0, 0, 21}), Item(2, {0x01, 7}),
                             Item(3, {0x05, 0, 0})},
                            5);
  EXPECT_EQ(DecodeDeviceInfoReply(reply, record), 1);
  EXPECT_EQ(record.hardwareId, 21u);
  EXPECT_EQ(record.softwareId, 7u);
  EXPECT_EQ(record.release, 0u);
  // A text member whose count runs past the end leaves the field alone.
  std::strcpy(record.deviceName, "before");
  reply = DeviceInfo({Item(11, {0x09, 0x40, 'A', 'B'})});
  EXPECT_EQ(DecodeDeviceInfoReply(reply, record), 1);
  EXPECT_STREQ(record.deviceName, "before");
}

TEST(DeviceInfoReply, TextMemberOfAnotherTypeLeavesTheField) {
  DeviceRecord record = Blank();
  std::strcpy(record.modelNumber, "M1");
  EXPECT_EQ(DecodeDeviceInfoReply(DeviceInfo({Item(9, {0x01, 0x33})}), record), 1);
  EXPECT_STREQ(record.modelNumber, "M1");
}

}  // namespace

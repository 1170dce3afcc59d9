#include "service/typed_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using service::DecodeValue;
using service::EncodeValue;
using service::MemberValue;
using service::ValueSize;
using Octets = std::vector<uint8_t>;

struct DecodeCase {
  const char* name;
  Octets in;
  uint16_t consumed;
  int32_t type;
  uint32_t value;
  const char* printed;
};

// Known encodings as devices send them.
const DecodeCase kDecodeCases[] = {
    {"u8", {0x01, 0x7F}, 2, 1, 0x7F, ""},
    {"s8", {0x02, 0xFE}, 2, 2, 0xFE, ""},
    {"u16", {0x03, 0xAB, 0xCD}, 3, 3, 0xABCD, ""},
    {"s16", {0x04, 0x80, 0x01}, 3, 4, 0x8001, ""},
    {"int32", {0x05, 0x01, 0x02, 0x03, 0x04}, 5, 5, 0x01020304, ""},
    {"int32 other", {0x06, 0xFF, 0xFF, 0xFF, 0xFE}, 5, 6, 0xFFFFFFFE, ""},
    {"enum list of one", {0x07, 0x01, 0x6A}, 3, 7, 106, ""},
    {"enum list of three keeps the first", {0x07, 0x03, 0x05, 0x06, 0x07}, 5, 7, 5, "EV."},
    {"enum list of none", {0x07, 0x00}, 2, 7, 0, ""},
    {"float", {0x08, 0x3F, 0x80, 0x00, 0x00}, 5, 8, 0x3F800000, ""},
    {"empty", {0x0B}, 1, 11, 0, ""},
    {"u16 and u8", {0x0D, 0x12, 0x34, 0x56}, 4, 13, 0x123456, ""},
    {"enum16 list of one", {0x0F, 0x01, 0x12, 0x34}, 4, 15, 0x1234, ""},
    {"enum16 list of two spans both", {0x0F, 0x02, 0x12, 0x34, 0x56, 0x78}, 6, 15, 0x1234, "WEV"},
    {"type 16", {0x10, 0xAA}, 1, 16, 0, "BadRep"},
    {"type 19", {0x13, 0xAA}, 1, 19, 0, "BadRep"},
    {"u32 arrives most significant first", {0x11, 0xA1, 0xA2, 0xA3, 0xA4}, 5, 17, 0xA1A2A3A4, ""},
    {"u16 arrives most significant first", {0x12, 0xAB, 0xCD}, 3, 18, 0xABCD, ""},
    {"no value", {0xFF}, 1, 255, 0, ""},
    // Values that run past what was received consume nothing.
    {"cut u16", {0x03, 0xAB}, 0, 3, 0, ""},
    {"cut u32", {0x11, 0xA1, 0xA2, 0xA3}, 0, 17, 0, ""},
    {"enum list longer than the input", {0x07, 0x05, 0x01}, 0, 7, 0, ""},
    {"text longer than the input", {0x09, 0x10, 'A', 0x00}, 0, 9, 0, ""},
    {"counted bytes past the end", {0x0A, 0x03, 0x01}, 0, 10, 0, ""},
    {"counted items past the end", {0x0E, 0x01, 0x01, 0x02, 0x03}, 0, 14, 0, ""},
    {"count octet missing", {0x0A}, 0, 10, 0, ""},
};

class DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, ConsumesAndHolds) {
  const DecodeCase& c = GetParam();
  MemberValue value;
  testing::internal::CaptureStdout();
  const uint16_t consumed = DecodeValue(c.in, value);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  EXPECT_EQ(consumed, c.consumed);
  EXPECT_EQ(value.type, c.type);
  if (consumed != 0) {
    EXPECT_EQ(value.value, c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(KnownEncodings, DecodeTable, testing::ValuesIn(kDecodeCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST(DecodeValue, ThreePartNumber) {
  MemberValue value;
  const Octets in = {0x0C, 0x04, 0x05, 0x06};
  EXPECT_EQ(DecodeValue(in, value), 4);
  EXPECT_EQ(value.value, 4u);
  EXPECT_EQ(value.extra[0], 5);
  EXPECT_EQ(value.extra[1], 6);
}

TEST(DecodeValue, TextIsCopiedWithItsZeroAndCutToTheBuffer) {
  const Octets in = {0x09, 0x03, 'A', 'B', 0x00, 0x77};
  char wide[8];
  std::memset(wide, 'x', sizeof wide);
  MemberValue value;
  value.text = wide;
  value.textSize = sizeof wide;
  EXPECT_EQ(DecodeValue(in, value), 5);
  EXPECT_STREQ(wide, "AB");

  char narrow[2];
  value.text = narrow;
  value.textSize = sizeof narrow;
  EXPECT_EQ(DecodeValue(in, value), 5);
  EXPECT_STREQ(narrow, "A");

  // A text without its zero is still terminated in the buffer.
  const Octets unterminated = {0x09, 0x02, 'C', 'D'};
  value.text = wide;
  value.textSize = sizeof wide;
  EXPECT_EQ(DecodeValue(unterminated, value), 4);
  EXPECT_STREQ(wide, "CD");

  // No buffer: the text is stepped over.
  value.text = nullptr;
  EXPECT_EQ(DecodeValue(in, value), 5);
}

TEST(DecodeValue, CountedValuesAreCopiedOutOfTheReply) {
  MemberValue value;
  {
    Octets reply = {0x0A, 0x03, 0x11, 0x22, 0x33};
    EXPECT_EQ(DecodeValue(reply, value), 5);
    std::fill(reply.begin(), reply.end(), 0);  // the reply is gone
  }
  EXPECT_EQ(value.counted[0], 3);
  EXPECT_EQ(value.counted[1], 0x11);
  EXPECT_EQ(value.counted[3], 0x33);

  const Octets quads = {0x0E, 0x02, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(DecodeValue(quads, value), 10);
  EXPECT_EQ(value.counted[0], 2);
  EXPECT_EQ(value.counted[8], 8);

  // The largest counted value there is fits.
  Octets largest(2 + 4 * 255, 0x5A);
  largest[0] = 0x0E;
  largest[1] = 255;
  EXPECT_EQ(DecodeValue(largest, value), 2 + 4 * 255);
  EXPECT_EQ(value.counted[4 * 255], 0x5A);
}

TEST(DecodeValue, EmptyInputConsumesNothing) {
  MemberValue value;
  EXPECT_EQ(DecodeValue({}, value), 0);
}

struct EncodeCase {
  const char* name;
  int32_t type;
  uint32_t value;
  Octets out;
};

const EncodeCase kEncodeCases[] = {
    {"u8", 1, 0x2A, {0x01, 0x2A}},
    {"u16", 3, 0xABCD, {0x03, 0xAB, 0xCD}},
    {"int32", 5, 0x01020304, {0x05, 0x01, 0x02, 0x03, 0x04}},
    {"enum list is written with one element", 7, 106, {0x07, 0x01, 0x6A}},
    {"float", 8, 0x3F800000, {0x08, 0x3F, 0x80, 0x00, 0x00}},
    {"empty", 11, 0, {0x0B}},
    {"u16 and u8", 13, 0x123456, {0x0D, 0x12, 0x34, 0x56}},
    {"enum16 list is written with one element", 15, 0x1234, {0x0F, 0x01, 0x12, 0x34}},
    {"type 16 is the type alone", 16, 7, {0x10}},
    {"u32 is written least significant first", 17, 0xA1A2A3A4, {0x11, 0xA4, 0xA3, 0xA2, 0xA1}},
    {"u16 is written least significant first", 18, 0xABCD, {0x12, 0xCD, 0xAB}},
    {"no value", 255, 0, {0xFF}},
};

class EncodeTable : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTable, WritesTheKnownOctets) {
  const EncodeCase& c = GetParam();
  MemberValue value;
  value.type = c.type;
  value.value = c.value;
  uint8_t out[16];
  const uint16_t written = EncodeValue(value, out);
  EXPECT_EQ(Octets(out, out + written), c.out);
  // Too little room writes nothing.
  EXPECT_EQ(EncodeValue(value, std::span(out, c.out.size() - 1)), 0);
}

INSTANTIATE_TEST_SUITE_P(KnownEncodings, EncodeTable, testing::ValuesIn(kEncodeCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST(EncodeValue, TextThreePartAndCountedValues) {
  uint8_t out[16];
  MemberValue value;
  char text[] = "AB";
  value.type = 9;
  value.text = text;
  ASSERT_EQ(EncodeValue(value, out), 5);
  EXPECT_EQ(Octets(out, out + 5), (Octets{0x09, 0x03, 'A', 'B', 0x00}));

  value.type = 12;
  value.value = 4;
  value.extra = {5, 6};
  ASSERT_EQ(EncodeValue(value, out), 4);
  EXPECT_EQ(Octets(out, out + 4), (Octets{0x0C, 4, 5, 6}));

  const Octets quads = {0x0E, 0x02, 1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(DecodeValue(quads, value), 10);
  ASSERT_EQ(EncodeValue(value, out), 10);
  EXPECT_EQ(Octets(out, out + 10), quads);
}

TEST(ValueSize, TableByTypeCode) {
  const int v = service::kVariableSize;
  const int expected[19] = {0, 1, 1, 2, 2, 4, 4, v, 4, v, v, 0, 3, 3, v, v, v, 4, 2};
  for (int type = 0; type < 19; ++type) EXPECT_EQ(ValueSize(type), expected[type]) << type;
  EXPECT_EQ(ValueSize(19), 0);
  EXPECT_EQ(ValueSize(255), 0);
}

}  // namespace

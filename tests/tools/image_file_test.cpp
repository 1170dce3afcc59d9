#include "tools/image_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One Intel HEX record with its checksum computed.
std::string Record(uint8_t type, uint16_t offset, std::initializer_list<uint8_t> data) {
  std::string line = ":";
  uint8_t sum = 0;
  auto put = [&](uint8_t b) {
    static const char* digits = "0123456789ABCDEF";
    line += digits[b >> 4];
    line += digits[b & 15];
    sum = static_cast<uint8_t>(sum + b);
  };
  put(static_cast<uint8_t>(data.size()));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset));
  put(type);
  for (uint8_t b : data) put(b);
  put(static_cast<uint8_t>(0x100 - sum));
  return line + "\r\n";
}

const std::string kEof = ":00000001FF\r\n";

bool Parse(const std::string& text, ImageFile* out, std::string* error) {
  return ParseIntelHex(text.data(), text.size(), "t.hex", out, error);
}

TEST(IntelHex, ContiguousRecordsAcrossALinearSegment) {
  // Records out of order and an extended linear address: the bytes come out
  // sorted by address, one run.
  std::string text = Record(0x04, 0, {0x00, 0x01}) + Record(0x00, 0x0000, {5, 6}) +
                     Record(0x04, 0, {0x00, 0x00}) + Record(0x00, 0xFFFC, {1, 2}) +
                     Record(0x00, 0xFFFE, {3, 4}) + Record(0x05, 0, {0, 0, 0x20, 0}) + kEof;
  ImageFile image;
  std::string error;
  ASSERT_TRUE(Parse(text, &image, &error)) << error;
  EXPECT_EQ(image.baseAddress, 0xFFFCu);
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(IntelHex, ExtendedSegmentAddress) {
  std::string text = Record(0x02, 0, {0x12, 0x00}) + Record(0x00, 0x0010, {9}) + kEof;
  ImageFile image;
  std::string error;
  ASSERT_TRUE(Parse(text, &image, &error)) << error;
  EXPECT_EQ(image.baseAddress, 0x12010u);
}

struct Damaged {
  const char* what;
  std::string text;
  const char* message;  // expected part of the error
};

TEST(IntelHex, DamagedFilesNameTheLine) {
  std::string good = Record(0x00, 0x2000, {1, 2, 3, 4});
  std::string badSum = good;
  badSum[badSum.size() - 3] = badSum[badSum.size() - 3] == '0' ? '1' : '0';
  const Damaged cases[] = {
      {"bad checksum", Record(0x00, 0x1FFC, {0, 0, 0, 0}) + badSum + kEof, "t.hex:2: bad checksum"},
      {"gap", good + Record(0x00, 0x2005, {5}) + kEof, "t.hex:2: gap: no data from 0x2004"},
      {"overlap", good + Record(0x00, 0x2003, {5}) + kEof, "t.hex:2: record at 0x2003 overlaps the record of line 1"},
      {"overlap, later line first", Record(0x00, 0x2002, {9, 9}) + good + kEof, "t.hex:1: record at 0x2002 overlaps the record of line 2"},
      {"no colon", good + "0000000001FF\r\n", "t.hex:2: a record must start with ':'"},
      {"odd digits", good + ":0000000\r\n" + kEof, "t.hex:2: malformed record"},
      {"not hex", ":0100000G00FF\r\n" + kEof, "t.hex:1: not a hex digit"},
      {"length mismatch", ":0400000001FB\r\n" + kEof, "t.hex:1: record length 4 does not match"},
      {"unknown type", Record(0x07, 0, {}) + kEof, "t.hex:1: unknown record type 07"},
      {"no end", good, "t.hex:1: no end-of-file record"},
      {"after end", good + kEof + good, "t.hex:3: text after the end-of-file record"},
      {"no data", kEof, "no data records"},
      {"past 4 GiB", Record(0x04, 0, {0xFF, 0xFF}) + Record(0x00, 0xFFFF, {1, 2}) + kEof, "t.hex:2: record runs past"},
  };
  for (const Damaged& c : cases) {
    ImageFile image;
    std::string error;
    EXPECT_FALSE(Parse(c.text, &image, &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
}

TEST(RawImage, PlacedAtBase) {
  const uint8_t data[] = {1, 2, 3};
  ImageFile image;
  std::string error;
  ASSERT_TRUE(MakeRawImage(data, sizeof data, 0x2000, "r.bin", &image, &error));
  EXPECT_EQ(image.baseAddress, 0x2000u);
  EXPECT_EQ(image.bytes.size(), 3u);
  EXPECT_FALSE(MakeRawImage(data, 0, 0x2000, "r.bin", &image, &error));
  EXPECT_FALSE(MakeRawImage(data, sizeof data, 0xFFFFFFFEu, "r.bin", &image, &error));
  EXPECT_NE(error.find("past the 32-bit"), std::string::npos);
}

TEST(LoadImageFile, MissingFile) {
  ImageFile image;
  std::string error;
  EXPECT_FALSE(LoadImageFile("/nonexistent/x.hex", 0, &image, &error));
  EXPECT_NE(error.find("/nonexistent/x.hex: cannot open"), std::string::npos);
}

}  // namespace

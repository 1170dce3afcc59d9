// mkpackage as the build runs it: a real process, real files, its exit code
// and message.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Record(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  char text[8];
  std::string line = ":";
  uint8_t sum = 0;
  auto put = [&](uint8_t b) {
    std::snprintf(text, sizeof text, "%02X", b);
    line += text;
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

class MkPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mkpackage_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Runs mkpackage; returns its exit code, stderr in *message.
  int Run(const std::string& image, std::string* message,
          const std::string& description = "Test\\r\\n", const std::string& extra = "") {
    std::string err = dir_ + "/stderr";
    std::string command = std::string(MKPACKAGE_PATH) + " --image '" + image +
                          "' --product 20 --version 2.00.13 --description '" + description +
                          "' --output '" + Output() + "' " + extra + " 2>'" + err + "'";
    int status = std::system(command.c_str());
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    *message = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Output() const { return dir_ + "/package_data.cpp"; }
  bool OutputExists() const { return access(Output().c_str(), F_OK) == 0; }
  std::string ReadOutput() const {
    std::ifstream in(Output());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

TEST_F(MkPackage, GoodHexGivesTheChunkTable) {
  // 300 bytes from 0x2000 in records of 32 (and a last one of 12): two full
  // chunks and one of 44.
  std::string hex;
  for (size_t at = 0; at < 300; at += 32) {
    size_t n = at + 32 <= 300 ? 32 : 300 - at;
    hex += Record(0x00, static_cast<uint16_t>(0x2000 + at), Bytes(n, static_cast<uint8_t>(at)));
  }
  hex += Record(0x01, 0, {});
  std::string message;
  ASSERT_EQ(Run(Write("good.hex", hex), &message, "Upgrades:  \\\"X\\\"\\r\\n"), 0) << message;
  std::string source = ReadOutput();
  EXPECT_NE(source.find("const uint8_t kImage[300]"), std::string::npos);
  EXPECT_NE(source.find("{0x00002000u, 128u, kImage + 0},"), std::string::npos);
  EXPECT_NE(source.find("{0x00002080u, 128u, kImage + 128},"), std::string::npos);
  EXPECT_NE(source.find("{0x00002100u, 44u, kImage + 256},"), std::string::npos);
  EXPECT_NE(source.find("{20, 2, 0, 13, \"Upgrades:  \\\"X\\\"\\r\\n\", 3, kChunks}"),
            std::string::npos)
      << source.substr(source.size() - 300);
}

TEST_F(MkPackage, RawImageAtItsBase) {
  std::string message;
  std::string raw(129, '\x55');
  ASSERT_EQ(Run(Write("image.bin", raw), &message, "R", "--base 0x39400"), 0) << message;
  std::string source = ReadOutput();
  EXPECT_NE(source.find("{0x00039400u, 128u, kImage + 0},"), std::string::npos);
  EXPECT_NE(source.find("{0x00039480u, 1u, kImage + 128},"), std::string::npos);
}

TEST_F(MkPackage, DamagedHexIsRefusedWithItsLine) {
  std::string first = Record(0x00, 0x2000, Bytes(16, 0));
  std::string badSum = Record(0x00, 0x2010, Bytes(16, 16));
  badSum[badSum.size() - 3] ^= 1;  // flip a bit of the checksum
  struct Case {
    const char* name;
    std::string hex;
    const char* message;
  } cases[] = {
      {"sum.hex", first + badSum + Record(0x01, 0, {}), "sum.hex:2: bad checksum"},
      {"gap.hex", first + Record(0x00, 0x2011, {1}) + Record(0x01, 0, {}),
       "gap.hex:2: gap: no data from 0x2010"},
      {"overlap.hex", first + Record(0x00, 0x2008, {1}) + Record(0x01, 0, {}),
       "overlap.hex:2: record at 0x2008 overlaps the record of line 1"},
  };
  for (const Case& c : cases) {
    std::string message;
    EXPECT_EQ(Run(Write(c.name, c.hex), &message), 1) << c.name;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
    EXPECT_FALSE(OutputExists()) << c.name;
  }
}

TEST_F(MkPackage, ReleaseDataOutsideTheInvariantsIsRefused) {
  std::string hex = Write("ok.hex", Record(0x00, 0x2000, {1}) + Record(0x01, 0, {}));
  std::string message;
  EXPECT_EQ(Run(hex, &message, std::string(2045, 'd')), 0) << message;
  std::remove(Output().c_str());
  EXPECT_EQ(Run(hex, &message, std::string(2046, 'd')), 1);
  EXPECT_NE(message.find("--description: 2046 characters, at most 2045"), std::string::npos)
      << message;
  EXPECT_EQ(Run(hex, &message, "bad \\q"), 1);
  EXPECT_NE(message.find("unknown escape"), std::string::npos) << message;
  EXPECT_FALSE(OutputExists());

  // 65536 chunks: one byte more than 65535 full chunks.
  std::string big(65535u * 128u + 1u, '\0');
  EXPECT_EQ(Run(Write("big.bin", big), &message, "d", "--base 0"), 1);
  EXPECT_NE(message.find("65536 chunks, at most 65535"), std::string::npos) << message;
  EXPECT_FALSE(OutputExists());
}

TEST_F(MkPackage, BadCommandLine) {
  std::string hex = Write("ok.hex", Record(0x00, 0x2000, {1}) + Record(0x01, 0, {}));
  std::string message;
  EXPECT_NE(Run(hex, &message, "d", "--product 0"), 0);
  EXPECT_NE(message.find("--product"), std::string::npos);
  EXPECT_NE(Run(hex, &message, "d", "--version 2.0"), 0);
  EXPECT_NE(message.find("--version"), std::string::npos);
  EXPECT_NE(Run(hex, &message, "d", "--bogus"), 0);
  EXPECT_NE(message.find("usage"), std::string::npos);
}

}  // namespace

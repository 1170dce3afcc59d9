#include "package/package.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/image_file.h"

namespace {

#if FLASHLOADER_SAMPLE_PACKAGE
// The package built from the committed sample image with the default
// release data.
TEST(CarriedPackage, Product20) {
  EXPECT_EQ(HasPackage(20), 1);
  const FirmwarePackage* package = FindPackage(20);
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(package->release, 2);
  EXPECT_EQ(package->prototype, 0);
  EXPECT_EQ(PackageBuild(20), 13);
  EXPECT_EQ(PackageChunkCount(20), 1770);

  const FirmwareChunk* first = PackageChunk(20, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->targetAddress, 0x2000u);
  EXPECT_EQ(first->length, 128u);
  const FirmwareChunk* last = PackageChunk(20, 1769);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->targetAddress, 0x39480u);
  EXPECT_EQ(last->length, 112u);
  EXPECT_EQ(PackageChunk(20, 1770), nullptr);

  EXPECT_STREQ(PackageDescription(20), "Upgrades:  QR-FLEX TC Station to revision 2.00.13\r\n\r\n");
  EXPECT_STREQ(PackageDescription(0),
               "Upgrades:  QR-FLEX TC Station to revision 2.00.13\r\n\r\n\r\n");
}

// The chunks carry the sample's bytes, by its formula, in order.
TEST(CarriedPackage, ChunksHoldTheSampleImage) {
  uint32_t address = 0x2000;
  size_t total = 0;
  for (uint16_t i = 0; i < PackageChunkCount(20); ++i) {
    const FirmwareChunk* chunk = PackageChunk(20, i);
    ASSERT_EQ(chunk->targetAddress, address) << i;
    for (uint32_t k = 0; k < chunk->length; ++k) {
      uint32_t a = chunk->targetAddress + k;
      ASSERT_EQ(chunk->data[k], static_cast<uint8_t>((a * 0x9E3779B1u) >> 24)) << std::hex << a;
    }
    address += chunk->length;
    total += chunk->length;
  }
  EXPECT_EQ(total, 226544u);
  EXPECT_EQ(address, 0x394F0u);
}

TEST(SampleImage, LoadsAsOneRun) {
  std::string path = FLASHLOADER_SOURCE_DIR "/package/firmware/sample.hex";
  ImageFile image;
  std::string error;
  ASSERT_TRUE(LoadImageFile(path.c_str(), 0, &image, &error)) << error;
  EXPECT_EQ(image.baseAddress, 0x2000u);
  EXPECT_EQ(image.bytes.size(), 226544u);
}
#endif

// Whatever image is configured, the carried table keeps the invariants.
TEST(CarriedPackage, Invariants) {
  ASSERT_GE(packageTable.packageCount, 1);
  for (int p = 0; p < packageTable.packageCount; ++p) {
    const FirmwarePackage& package = packageTable.packages[p];
    EXPECT_EQ(FindPackage(package.productId), &package);
    ASSERT_GT(package.chunkCount, 0);
    for (uint16_t i = 0; i < package.chunkCount; ++i) {
      const FirmwareChunk& chunk = package.chunks[i];
      if (i + 1 < package.chunkCount) {
        ASSERT_EQ(chunk.length, kChunkSize);
        ASSERT_EQ(package.chunks[i + 1].targetAddress, chunk.targetAddress + chunk.length);
      } else {
        ASSERT_GE(chunk.length, 1u);
        ASSERT_LE(chunk.length, kChunkSize);
      }
    }
  }
  EXPECT_EQ(HasPackage(0), 0);
  EXPECT_EQ(FindPackage(0), nullptr);
  EXPECT_EQ(PackageBuild(255), 0);
  EXPECT_EQ(PackageChunkCount(255), 0);
  EXPECT_EQ(PackageChunk(255, 0), nullptr);
}

// A table of several packages: the first of equal ids wins a lookup, and the
// all-packages text goes by ascending product id, not table order.
TEST(PackageLookups, SeveralPackages) {
  static const FirmwareChunk chunk = {0x2000, 1, reinterpret_cast<const uint8_t*>("x")};
  static const FirmwarePackage packages[] = {
      {30, 1, 0, 5, "thirty", 1, &chunk},
      {7, 1, 0, 6, "seven", 1, &chunk},
      {30, 1, 0, 9, "thirty again", 1, &chunk},
  };
  const PackageTable table = {3, packages};
  EXPECT_EQ(FindPackageIn(table, 30), &packages[0]);
  EXPECT_EQ(FindPackageIn(table, 7), &packages[1]);
  EXPECT_EQ(FindPackageIn(table, 8), nullptr);
  char buffer[kDescriptionBufferSize];
  std::memset(buffer, 'z', sizeof buffer);
  CollectDescriptions(table, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "seven\r\nthirty\r\n");
}

TEST(PackageLookups, AllPackagesTextStaysInItsBuffer) {
  static const std::string longText(kMaxDescriptionLength, 'a');
  static const FirmwareChunk chunk = {0x2000, 1, reinterpret_cast<const uint8_t*>("x")};
  static const FirmwarePackage packages[] = {
      {1, 1, 0, 1, longText.c_str(), 1, &chunk},
      {2, 1, 0, 1, "does not fit", 1, &chunk},
  };
  const PackageTable table = {2, packages};
  char buffer[kDescriptionBufferSize + 1];
  buffer[kDescriptionBufferSize] = '#';
  CollectDescriptions(table, buffer, kDescriptionBufferSize);
  EXPECT_EQ(std::strlen(buffer), kMaxDescriptionLength + 2);
  EXPECT_EQ(buffer[kDescriptionBufferSize], '#');
}

}  // namespace

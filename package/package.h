// The compiled-in firmware package: constant data generated from an image
// file when the program is built (tools/mkpackage), and its lookups.
#pragma once
#include <cstddef>
#include <cstdint>

struct FirmwareChunk {
  uint32_t targetAddress;  // where the chunk's first byte goes in the device
  uint32_t length;         // 1 to 128
  const uint8_t* data;
};

struct FirmwarePackage {
  uint8_t productId;  // the lookup key: the device's hardware id
  uint8_t release;
  uint8_t prototype;
  uint16_t build;  // the only number that takes part in version comparisons
  const char* description;
  uint16_t chunkCount;
  const FirmwareChunk* chunks;  // ascending and contiguous
};

struct PackageTable {
  uint8_t packageCount;
  const FirmwarePackage* packages;
};

// The table the program carries (generated source).
extern const PackageTable packageTable;

// Size of the buffer PackageDescription fills for a product without a package.
constexpr size_t kDescriptionBufferSize = 2048;
// Longest description of one package: it and its "\r\n" must fit the buffer
// with its terminator.
constexpr size_t kMaxDescriptionLength = kDescriptionBufferSize - 1 - 2;
constexpr uint32_t kChunkSize = 128;

int HasPackage(int productId);
const FirmwarePackage* FindPackage(int productId);
int PackageBuild(int productId);
uint16_t PackageChunkCount(int productId);
const FirmwareChunk* PackageChunk(int productId, uint16_t index);
// The package's description; for a product without a package, the
// descriptions of all packages in ascending product id, each followed by
// "\r\n", in a buffer that the next such call rewrites.
const char* PackageDescription(int productId);

// The same lookups over a given table (the ones above use packageTable).
const FirmwarePackage* FindPackageIn(const PackageTable& table, int productId);
// Writes the all-packages text into buffer (always terminated; a text that
// would not fit is cut at a whole description).
void CollectDescriptions(const PackageTable& table, char* buffer, size_t size);

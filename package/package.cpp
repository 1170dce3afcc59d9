#include "package/package.h"

#include <cstring>

namespace {

char descriptionBuffer[kDescriptionBufferSize];

}  // namespace

const FirmwarePackage* FindPackageIn(const PackageTable& table, int productId) {
  for (int i = 0; i < table.packageCount; ++i)
    if (table.packages[i].productId == productId) return &table.packages[i];
  return nullptr;
}

void CollectDescriptions(const PackageTable& table, char* buffer, size_t size) {
  std::memset(buffer, 0, size);
  size_t used = 0;
  for (int id = 0; id <= 254; ++id) {
    const FirmwarePackage* package = FindPackageIn(table, id);
    if (!package) continue;
    size_t length = std::strlen(package->description);
    // mkpackage refuses descriptions that could overflow; stay bounded anyway.
    if (used + length + 2 >= size) break;
    std::memcpy(buffer + used, package->description, length);
    std::memcpy(buffer + used + length, "\r\n", 2);
    used += length + 2;
  }
}

int HasPackage(int productId) { return FindPackage(productId) ? 1 : 0; }

const FirmwarePackage* FindPackage(int productId) { return FindPackageIn(packageTable, productId); }

int PackageBuild(int productId) {
  const FirmwarePackage* package = FindPackage(productId);
  return package ? package->build : 0;
}

uint16_t PackageChunkCount(int productId) {
  const FirmwarePackage* package = FindPackage(productId);
  return package ? package->chunkCount : 0;
}

const FirmwareChunk* PackageChunk(int productId, uint16_t index) {
  const FirmwarePackage* package = FindPackage(productId);
  if (!package || index >= package->chunkCount) return nullptr;
  return &package->chunks[index];
}

const char* PackageDescription(int productId) {
  const FirmwarePackage* package = FindPackage(productId);
  if (package) return package->description;
  CollectDescriptions(packageTable, descriptionBuffer, sizeof descriptionBuffer);
  return descriptionBuffer;
}

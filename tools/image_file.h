// Firmware image files: Intel HEX (record types 00, 01, 02, 04; 03 and 05
// carry a start address and are ignored) or a raw binary placed at a given
// base address. The result is one contiguous run of bytes: a file with gaps
// or overlapping records is refused, with the line that shows it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ImageFile {
  uint32_t baseAddress = 0;    // address of bytes[0] in the device's memory
  std::vector<uint8_t> bytes;  // contiguous, never empty after a successful load
};

// Largest image accepted (bytes). Far above any package (65535 chunks of 128
// bytes is just under 8 MiB); it bounds what a damaged file can make us hold.
constexpr size_t kMaxImageBytes = 16u * 1024u * 1024u;

// Loads `path`. A name ending in .hex, .ihx or .ihex (any letter case) is read
// as Intel HEX; anything else as raw binary placed at `rawBase`. On failure
// returns false and sets *error to a message that starts with the path and,
// for HEX input, the line number ("image.hex:12: bad checksum ...").
bool LoadImageFile(const char* path, uint32_t rawBase, ImageFile* out, std::string* error);

// Parses Intel HEX text held in memory; `name` prefixes the messages.
bool ParseIntelHex(const char* text, size_t size, const char* name, ImageFile* out,
                   std::string* error);

// Places raw bytes at `base`; refuses an empty image and one that would run
// past the end of the 32-bit address space.
bool MakeRawImage(const uint8_t* data, size_t size, uint32_t base, const char* name,
                  ImageFile* out, std::string* error);

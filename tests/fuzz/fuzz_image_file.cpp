// deps: image_file
// Intel HEX text of any shape: the reader refuses or accepts, never reads
// out of bounds, and an accepted image is one contiguous run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ImageFile image;
  std::string error;
  if (ParseIntelHex(reinterpret_cast<const char*>(data), size, "fuzz.hex", &image, &error)) {
    if (image.bytes.empty() || image.bytes.size() > kMaxImageBytes) std::abort();
    if (static_cast<uint64_t>(image.baseAddress) + image.bytes.size() > 0x100000000ull) std::abort();
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
  return 0;
}

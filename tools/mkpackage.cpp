// mkpackage: turns a firmware image file into the C++ source of the package
// table (package/package.h), so that the program carries the image as
// constant data. Refuses an image or release data that break the package's
// invariants, so a bad image never reaches a build.
//
//   mkpackage --image FILE [--base ADDRESS] --product ID --version R.PP.BB
//             --description TEXT --output FILE.cpp
//
// FILE is Intel HEX (.hex, .ihx, .ihex) or raw binary placed at --base.
// TEXT may hold the escapes \r \n \t \\ and \".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/image_file.h"

namespace {

constexpr size_t kChunkSize = 128;
constexpr size_t kMaxChunks = 65535;
constexpr size_t kMaxDescription = 2048 - 1 - 2;  // with "\r\n" and a NUL in 2048 bytes

int Usage() {
  std::fprintf(stderr,
               "usage: mkpackage --image FILE [--base ADDRESS] --product ID --version R.PP.BB\n"
               "                 --description TEXT --output FILE.cpp\n");
  return 2;
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "mkpackage: %s\n", message.c_str());
  return 1;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
  if (!text || !*text || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseVersion(const char* text, unsigned long* release, unsigned long* prototype,
                  unsigned long* build) {
  std::string parts[3];
  int part = 0;
  for (const char* p = text; *p; ++p) {
    if (*p == '.') {
      if (++part > 2) return false;
    } else if (*p >= '0' && *p <= '9') {
      parts[part] += *p;
    } else {
      return false;
    }
  }
  if (part != 2 || parts[0].empty() || parts[1].empty() || parts[2].empty()) return false;
  // Leading zeros ("00") are decimal here, not octal.
  auto decimal = [](const std::string& s, unsigned long max, unsigned long* out) {
    if (s.size() > 6) return false;
    *out = std::strtoul(s.c_str(), nullptr, 10);
    return *out <= max;
  };
  return decimal(parts[0], 255, release) && decimal(parts[1], 255, prototype) &&
         decimal(parts[2], 65535, build);
}

bool Unescape(const char* text, std::string* out, std::string* error) {
  out->clear();
  for (const char* p = text; *p; ++p) {
    if (*p != '\\') {
      *out += *p;
      continue;
    }
    switch (*++p) {
      case 'r': *out += '\r'; break;
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case '\\': *out += '\\'; break;
      case '"': *out += '"'; break;
      default:
        *error = std::string("unknown escape '\\") + (*p ? std::string(1, *p) : std::string()) +
                 "' in the description";
        return false;
    }
  }
  return true;
}

// A C++ string literal; octal escapes are always three digits so that a
// following digit never joins them.
std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", c);
      out += esc;
    }
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  const char* imagePath = nullptr;
  const char* baseText = "0";
  const char* productText = nullptr;
  const char* versionText = nullptr;
  const char* descriptionText = nullptr;
  const char* outputPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char** slot = nullptr;
    if (!std::strcmp(argv[i], "--image")) slot = &imagePath;
    else if (!std::strcmp(argv[i], "--base")) slot = &baseText;
    else if (!std::strcmp(argv[i], "--product")) slot = &productText;
    else if (!std::strcmp(argv[i], "--version")) slot = &versionText;
    else if (!std::strcmp(argv[i], "--description")) slot = &descriptionText;
    else if (!std::strcmp(argv[i], "--output")) slot = &outputPath;
    if (!slot || i + 1 >= argc) return Usage();
    *slot = argv[++i];
  }
  if (!imagePath || !productText || !versionText || !descriptionText || !outputPath)
    return Usage();

  unsigned long base = 0, product = 0, release = 0, prototype = 0, build = 0;
  if (!ParseNumber(baseText, 0xFFFFFFFFul, &base))
    return Refuse(std::string("--base: not an address: ") + baseText);
  // Product id 0 is the "no package" id that start-up asks with, 255 is no
  // product at all.
  if (!ParseNumber(productText, 254, &product) || product == 0)
    return Refuse(std::string("--product: not a product id from 1 to 254: ") + productText);
  if (!ParseVersion(versionText, &release, &prototype, &build))
    return Refuse(std::string("--version: not R.PP.BB (0-255, 0-255, 0-65535): ") + versionText);
  std::string description, error;
  if (!Unescape(descriptionText, &description, &error)) return Refuse("--description: " + error);
  if (description.size() > kMaxDescription)
    return Refuse("--description: " + std::to_string(description.size()) +
                  " characters, at most " + std::to_string(kMaxDescription) +
                  " fit the description buffer with its \"\\r\\n\"");
  if (description.find('\0') != std::string::npos)
    return Refuse("--description: contains a NUL character");

  ImageFile image;
  if (!LoadImageFile(imagePath, static_cast<uint32_t>(base), &image, &error)) return Refuse(error);
  size_t chunks = (image.bytes.size() + kChunkSize - 1) / kChunkSize;
  if (chunks > kMaxChunks)
    return Refuse(std::string(imagePath) + ": " + std::to_string(image.bytes.size()) +
                  " bytes make " + std::to_string(chunks) + " chunks, at most " +
                  std::to_string(kMaxChunks) + " are possible");

  // Written beside the output and renamed, so a failed run leaves no half file.
  std::string temporary = std::string(outputPath) + ".tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  if (!out) return Refuse(temporary + ": cannot create: " + std::strerror(errno));
  std::fprintf(out, "// Generated by mkpackage from %s. Do not edit.\n", imagePath);
  std::fprintf(out, "#include \"package/package.h\"\n\nnamespace {\n\n");
  std::fprintf(out, "const uint8_t kImage[%zu] = {\n", image.bytes.size());
  for (size_t i = 0; i < image.bytes.size(); ++i)
    std::fprintf(out, "0x%02X,%s", image.bytes[i], (i % 16 == 15) ? "\n" : "");
  std::fprintf(out, "\n};\n\nconst FirmwareChunk kChunks[%zu] = {\n", chunks);
  for (size_t c = 0; c < chunks; ++c) {
    size_t offset = c * kChunkSize;
    size_t length = image.bytes.size() - offset < kChunkSize ? image.bytes.size() - offset
                                                             : kChunkSize;
    std::fprintf(out, "{0x%08lXu, %zuu, kImage + %zu},\n",
                 static_cast<unsigned long>(image.baseAddress + offset), length, offset);
  }
  std::fprintf(out, "};\n\nconst FirmwarePackage kPackages[1] = {\n");
  std::fprintf(out, "{%lu, %lu, %lu, %lu, %s, %zu, kChunks},\n", product, release, prototype,
               build, Literal(description).c_str(), chunks);
  std::fprintf(out, "};\n\n}  // namespace\n\nconst PackageTable packageTable = {1, kPackages};\n");
  bool ok = std::fflush(out) == 0 && !std::ferror(out);
  ok = std::fclose(out) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), outputPath) != 0) {
    std::remove(temporary.c_str());
    return Refuse(std::string(outputPath) + ": cannot write: " + std::strerror(errno));
  }
  return 0;
}

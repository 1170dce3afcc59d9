#include "tools/image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct HexRecord {
  uint64_t address;  // absolute, 64 bits so that a record past 4 GiB shows
  size_t offset;     // into the pool of data bytes
  size_t length;
  size_t line;
};

std::string Where(const char* name, size_t line) {
  return std::string(name) + ":" + std::to_string(line) + ": ";
}

std::string Hex32(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

bool EndsWithNoCase(const char* text, const char* tail) {
  size_t n = std::strlen(text), m = std::strlen(tail);
  if (m > n) return false;
  for (size_t i = 0; i < m; ++i) {
    char a = text[n - m + i], b = tail[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

bool ParseIntelHex(const char* text, size_t size, const char* name, ImageFile* out,
                   std::string* error) {
  std::vector<HexRecord> records;
  std::vector<uint8_t> pool;
  uint64_t base = 0;
  bool ended = false;
  size_t line = 0;
  size_t pos = 0;
  uint8_t record[1 + 2 + 1 + 255 + 1];

  while (pos < size) {
    ++line;
    size_t start = pos;
    while (pos < size && text[pos] != '\n') ++pos;
    size_t end = pos;
    if (pos < size) ++pos;  // the '\n'
    while (end > start && (text[end - 1] == '\r' || text[end - 1] == ' ' || text[end - 1] == '\t'))
      --end;
    while (start < end && (text[start] == ' ' || text[start] == '\t')) ++start;
    if (start == end) continue;  // blank line

    if (ended) return Fail(error, Where(name, line) + "text after the end-of-file record");
    if (text[start] != ':') return Fail(error, Where(name, line) + "a record must start with ':'");
    size_t digits = end - start - 1;
    if (digits % 2 != 0 || digits < 10 || digits > 2 * sizeof record)
      return Fail(error, Where(name, line) + "malformed record (wrong number of hex digits)");
    size_t count = digits / 2;
    for (size_t i = 0; i < count; ++i) {
      int hi = HexDigit(text[start + 1 + 2 * i]);
      int lo = HexDigit(text[start + 2 + 2 * i]);
      if (hi < 0 || lo < 0) return Fail(error, Where(name, line) + "not a hex digit in the record");
      record[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    size_t length = record[0];
    if (count != length + 5)
      return Fail(error, Where(name, line) + "record length " + std::to_string(length) +
                             " does not match its " + std::to_string(count - 5) + " data bytes");
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < count; ++i) sum = static_cast<uint8_t>(sum + record[i]);
    uint8_t expected = static_cast<uint8_t>(0x100 - sum);
    if (record[count - 1] != expected) {
      char detail[80];
      std::snprintf(detail, sizeof detail, "bad checksum 0x%02X (the record's bytes give 0x%02X)",
                    record[count - 1], expected);
      return Fail(error, Where(name, line) + detail);
    }
    uint32_t offset = static_cast<uint32_t>(record[1]) << 8 | record[2];
    uint8_t type = record[3];
    const uint8_t* data = record + 4;
    switch (type) {
      case 0x00: {
        if (length == 0) break;
        uint64_t address = base + offset;
        if (address + length > 0x100000000ull)
          return Fail(error, Where(name, line) + "record runs past the 32-bit address space");
        if (pool.size() + length > kMaxImageBytes)
          return Fail(error, Where(name, line) + "image larger than " +
                                 std::to_string(kMaxImageBytes) + " bytes");
        records.push_back({address, pool.size(), length, line});
        pool.insert(pool.end(), data, data + length);
        break;
      }
      case 0x01:
        if (length != 0) return Fail(error, Where(name, line) + "end-of-file record with data");
        ended = true;
        break;
      case 0x02:
        if (length != 2)
          return Fail(error, Where(name, line) + "extended segment address record needs 2 bytes");
        base = (static_cast<uint64_t>(data[0]) << 8 | data[1]) << 4;
        break;
      case 0x04:
        if (length != 2)
          return Fail(error, Where(name, line) + "extended linear address record needs 2 bytes");
        base = (static_cast<uint64_t>(data[0]) << 8 | data[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        if (length != 4)
          return Fail(error, Where(name, line) + "start address record needs 4 bytes");
        break;  // where the device starts is its boot loader's business
      default: {
        char detail[48];
        std::snprintf(detail, sizeof detail, "unknown record type %02X", type);
        return Fail(error, Where(name, line) + detail);
      }
    }
  }
  if (!ended) return Fail(error, Where(name, line) + "no end-of-file record");
  if (records.empty()) return Fail(error, std::string(name) + ": no data records");

  std::stable_sort(records.begin(), records.end(),
                   [](const HexRecord& a, const HexRecord& b) { return a.address < b.address; });
  for (size_t i = 1; i < records.size(); ++i) {
    const HexRecord& prev = records[i - 1];
    const HexRecord& next = records[i];
    uint64_t prevEnd = prev.address + prev.length;
    if (next.address < prevEnd)
      return Fail(error, Where(name, next.line) + "record at " + Hex32(next.address) +
                             " overlaps the record of line " + std::to_string(prev.line) +
                             " (" + Hex32(prev.address) + " to " + Hex32(prevEnd) + ")");
    if (next.address > prevEnd)
      return Fail(error, Where(name, next.line) + "gap: no data from " + Hex32(prevEnd) +
                             " (end of line " + std::to_string(prev.line) + ") to " +
                             Hex32(next.address));
  }

  out->baseAddress = static_cast<uint32_t>(records.front().address);
  out->bytes.clear();
  out->bytes.reserve(pool.size());
  for (const HexRecord& r : records)
    out->bytes.insert(out->bytes.end(), pool.begin() + static_cast<std::ptrdiff_t>(r.offset),
                      pool.begin() + static_cast<std::ptrdiff_t>(r.offset + r.length));
  return true;
}

bool MakeRawImage(const uint8_t* data, size_t size, uint32_t base, const char* name,
                  ImageFile* out, std::string* error) {
  if (size == 0) return Fail(error, std::string(name) + ": empty image");
  if (size > kMaxImageBytes)
    return Fail(error, std::string(name) + ": image larger than " +
                           std::to_string(kMaxImageBytes) + " bytes");
  if (static_cast<uint64_t>(base) + size > 0x100000000ull)
    return Fail(error, std::string(name) + ": image at " + Hex32(base) +
                           " runs past the 32-bit address space");
  out->baseAddress = base;
  out->bytes.assign(data, data + size);
  return true;
}

bool LoadImageFile(const char* path, uint32_t rawBase, ImageFile* out, std::string* error) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return Fail(error, std::string(path) + ": cannot open: " + std::strerror(errno));
  std::vector<uint8_t> content;
  uint8_t buffer[65536];
  bool tooBig = false;
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, file);
    if (n == 0) break;
    // A HEX file holds a little more than twice its image; allow for that.
    if (content.size() + n > 4 * kMaxImageBytes) {
      tooBig = true;
      break;
    }
    content.insert(content.end(), buffer, buffer + n);
  }
  bool readError = std::ferror(file) != 0;
  std::fclose(file);
  if (readError) return Fail(error, std::string(path) + ": read error");
  if (tooBig) return Fail(error, std::string(path) + ": file too large for an image");

  if (EndsWithNoCase(path, ".hex") || EndsWithNoCase(path, ".ihx") ||
      EndsWithNoCase(path, ".ihex"))
    return ParseIntelHex(reinterpret_cast<const char*>(content.data()), content.size(), path, out,
                         error);
  return MakeRawImage(content.data(), content.size(), rawBase, path, out, error);
}

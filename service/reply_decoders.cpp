#include "service/device_services.h"

#include <array>
#include <cstring>

#include "link/tarbus_link.h"

namespace service {
namespace {

// Copies a text into a fixed field, cut to fit and always terminated.
template <size_t N>
void CopyText(char (&field)[N], const char* text, size_t length) {
  if (length > N - 1) length = N - 1;
  std::memcpy(field, text, length);
  field[length] = '\0';
  std::memset(field + length, 0, N - length);
}

}  // namespace

int DecodePingReply(std::span<const uint8_t> reply) {
  return reply.size() > 3 && reply[3] == kBootLoaderMark ? 2 : 1;
}

int DecodeReadMemberReply(std::span<const uint8_t> reply, MemberValue& value) {
  if (reply.size() <= 6) return UPCALL_UNEXPECTED_FRAME;
  return DecodeValue(reply.subspan(6), value) == 0 ? UPCALL_UNEXPECTED_FRAME : 0;
}

int DecodeWriteMemberReply(std::span<const uint8_t> reply) {
  if (reply.size() < 2) return -7;
  return reply[1] >= kRefusedMark ? -8 : 0;
}

int DecodeBootInfoReply(std::span<const uint8_t> reply, DeviceRecord& record) {
  if (reply.size() < 3) return 0;
  record.hardwareId = reply[2];
  const std::span<const uint8_t> text = reply.subspan(3);
  const size_t length = strnlen(reinterpret_cast<const char*>(text.data()), text.size());
  CopyText(record.modelNumber, reinterpret_cast<const char*>(text.data()), length);
  return 1;
}

int DecodeDeviceInfoReply(std::span<const uint8_t> reply, DeviceRecord& record) {
  if (reply.size() < 5) return 0;
  const unsigned items = reply[4];
  size_t offset = 5;
  std::array<char, 256> scratch;  // holds any text a value can carry
  for (unsigned i = 0; i < items && offset < reply.size(); ++i) {
    const uint8_t member = reply[offset];
    MemberValue value;
    scratch[0] = '\0';
    value.text = scratch.data();
    value.textSize = static_cast<uint16_t>(scratch.size());
    const uint16_t consumed = DecodeValue(reply.subspan(offset + 1), value);
    if (consumed == 0) break;
    offset += 1u + consumed;
    switch (member) {
      case 1: record.hardwareId = value.value; break;
      case 2: record.softwareId = value.value; break;
      case 3: record.release = value.value; break;
      case 4: record.prototype = value.value; break;
      case 5: record.build = value.value; break;
      case 7: record.serialNumber = value.value; break;
      case 9:
        if (value.type == VALUE_TEXT) CopyText(record.modelNumber, scratch.data(), std::strlen(scratch.data()));
        break;
      case 11:
        if (value.type == VALUE_TEXT) CopyText(record.deviceName, scratch.data(), std::strlen(scratch.data()));
        break;
      default: break;  // decoded only to step over it
    }
  }
  return 1;
}

}  // namespace service

#include "service/device_services.h"

#include <array>

#include "platform/clock.h"
#include "platform/sync.h"
#include "service/transport.h"

namespace service {
namespace {

constexpr uint32_t kSettleLimitMs = 60000;
constexpr uint32_t kSettlePauseMs = 5000;

// One blocking transaction; true with the reply when the outcome was data.
bool Transact(const char* portName, uint8_t address, const uint8_t* request, uint16_t length,
              std::array<uint8_t, kReplyBufferSize>& reply, uint16_t& replyLength, uint8_t& code,
              int* transportResult = nullptr) {
  replyLength = 0;
  code = UPCALL_NO_REPLY;
  const int result = SendRequest(portName, address, request, length, 1, nullptr, reply.data(),
                                 &replyLength, &code);
  if (transportResult != nullptr) *transportResult = result;
  return result == TRANSPORT_OK && code == UPCALL_DATA;
}

}  // namespace

int PingDevice(const char* portName, uint8_t address) {
  const uint8_t request[] = {0x01, SERVICE_PING};
  std::array<uint8_t, kReplyBufferSize> reply;
  uint16_t length = 0;
  uint8_t code = 0;
  if (!Transact(portName, address, request, sizeof request, reply, length, code)) return 0;
  return DecodePingReply(std::span(reply.data(), length));
}

int ReadMember(const char* portName, uint8_t address, uint8_t classId, uint8_t member,
               uint8_t instance, MemberValue& value) {
  const uint8_t request[] = {0x01, SERVICE_READ_MEMBER, 0x01, classId, member, instance};
  std::array<uint8_t, kReplyBufferSize> reply;
  uint16_t length = 0;
  uint8_t code = 0;
  int result = 0;
  Transact(portName, address, request, sizeof request, reply, length, code, &result);
  if (result != TRANSPORT_OK) return UPCALL_UNEXPECTED_FRAME;
  if (code != UPCALL_DATA) return code;
  return DecodeReadMemberReply(std::span(reply.data(), length), value);
}

int WriteMember(const char* portName, uint8_t address, uint8_t classId, uint8_t member,
                uint8_t instance, const MemberValue& value) {
  std::array<uint8_t, kMaxWriteRequest> request = {0x01, SERVICE_WRITE_MEMBER, classId, member,
                                                   instance};
  const uint16_t encoded = EncodeValue(value, std::span(request).subspan(5));
  if (encoded == 0) return -9;
  std::array<uint8_t, kReplyBufferSize> reply;
  uint16_t length = 0;
  uint8_t code = 0;
  int result = 0;
  Transact(portName, address, request.data(), static_cast<uint16_t>(5 + encoded), reply, length,
           code, &result);
  if (result != TRANSPORT_OK) return result;
  if (code != UPCALL_DATA) return -7;
  return DecodeWriteMemberReply(std::span(reply.data(), length));
}

int ReadBootInfo(const char* portName, uint8_t address, DeviceRecord& record) {
  const uint8_t request[] = {0x01, SERVICE_BOOT_INFO};
  std::array<uint8_t, kReplyBufferSize> reply;
  uint16_t length = 0;
  uint8_t code = 0;
  if (!Transact(portName, address, request, sizeof request, reply, length, code)) return 0;
  return DecodeBootInfoReply(std::span(reply.data(), length), record);
}

int ReadDeviceInfo(const char* portName, uint8_t address, uint8_t instance, DeviceRecord& record) {
  const uint8_t request[] = {0x01, SERVICE_READ_ALL_MEMBERS, 0x01, instance};
  std::array<uint8_t, kReplyBufferSize> reply;
  uint16_t length = 0;
  uint8_t code = 0;
  if (!Transact(portName, address, request, sizeof request, reply, length, code)) return 0;
  return DecodeDeviceInfoReply(std::span(reply.data(), length), record);
}

int SettleDevice(const char* portName, uint8_t address) {
  const uint32_t start = platform::MonotonicMs();
  MemberValue value;
  value.type = VALUE_ENUM8_LIST;
  value.value = 106;  // the settle command
  WriteMember(portName, address, 17, 51, 1, value);
  while (platform::MonotonicMs() - start <= kSettleLimitMs) {
    const uint32_t previous = value.value;
    platform::SleepMs(kSettlePauseMs);
    if (ReadMember(portName, address, 16, 9, 1, value) != 0) return 0;
    if (value.value == previous) return 1;
  }
  return 0;
}

}  // namespace service

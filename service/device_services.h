// The device services: native requests (0x01, service code, parameters) sent
// as blocking transactions, and the decoders of their replies. The decoders
// take the reply as delivered, so that they can be driven without a bus.
#pragma once
#include <cstdint>
#include <span>

#include "service/device_record.h"
#include "service/typed_value.h"

namespace service {

enum ServiceCode : uint8_t {
  SERVICE_PING = 0x01,
  SERVICE_LIST = 0x02,
  SERVICE_READ_MEMBER = 0x03,
  SERVICE_WRITE_MEMBER = 0x04,
  SERVICE_READ_ALL_MEMBERS = 0x05,
  SERVICE_WRITE_MEMBERS = 0x0A,
  SERVICE_BOOT_INFO = 0xEB,
};

constexpr uint8_t kBootLoaderMark = 0xCC;
constexpr uint8_t kRefusedMark = 0x80;
constexpr size_t kMaxWriteRequest = 68;

// 0 no valid reply; 1 running its application; 2 in its boot loader.
int PingDevice(const char* portName, uint8_t address);
// 0 read and decoded; 1 to 4 the up-call code of a failed outcome (4 also
// when the request could not be made or the reply holds no whole value).
int ReadMember(const char* portName, uint8_t address, uint8_t classId, uint8_t member,
               uint8_t instance, MemberValue& value);
// 0 written; -1..-3 the transport's failure; -7 no valid reply; -8 refused;
// -9 the value does not fit in one request.
int WriteMember(const char* portName, uint8_t address, uint8_t classId, uint8_t member,
                uint8_t instance, const MemberValue& value);
// 1 record filled; 0 no valid reply or request failed.
int ReadBootInfo(const char* portName, uint8_t address, DeviceRecord& record);
int ReadDeviceInfo(const char* portName, uint8_t address, uint8_t instance, DeviceRecord& record);
// 1 the device's status settled after the settle command; 0 it did not
// within 60 s, or a read failed.
int SettleDevice(const char* portName, uint8_t address);

// Reply decoders.
int DecodePingReply(std::span<const uint8_t> reply);
// Value at offset 6; 0 decoded, 4 when no whole value is there.
int DecodeReadMemberReply(std::span<const uint8_t> reply, MemberValue& value);
// 0 carried out; -7 too short to tell; -8 refused.
int DecodeWriteMemberReply(std::span<const uint8_t> reply);
// Product id at byte 2, model number text from byte 3; 0 when shorter than 3.
int DecodeBootInfoReply(std::span<const uint8_t> reply, DeviceRecord& record);
// k at byte 4, k items of member number and typed value from byte 5; an item
// that runs past the reply's end ends the walk. 0 when shorter than 5.
int DecodeDeviceInfoReply(std::span<const uint8_t> reply, DeviceRecord& record);

}  // namespace service

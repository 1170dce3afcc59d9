// deps: service tarbus_link_core platform
// The reply decoders of the device services on arbitrary replies: typed
// values, the walk of a read-all-members reply, boot info, ping and member
// replies. Every read must stay inside the reply and every copy inside its
// destination; a decoded value must re-encode within its own size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "service/device_services.h"
#include "service/typed_value.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The decoders' notices ("EV.", "BadRep") would flood the output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> reply(data, size);

  // A walk over the whole input as one list of values, as a restore walks a
  // record: every step consumes what the value occupies and stays inside.
  char text[16];
  size_t offset = 0;
  while (offset < size) {
    service::MemberValue value;
    value.text = text;
    value.textSize = sizeof text;
    const uint16_t consumed = service::DecodeValue(reply.subspan(offset), value);
    if (consumed == 0) break;
    if (consumed > size - offset) std::abort();
    if (std::memchr(text, 0, sizeof text) == nullptr) std::abort();
    uint8_t encoded[service::kCountedCapacity + 8];
    const uint16_t written = service::EncodeValue(value, encoded);
    if (written > sizeof encoded) std::abort();
    offset += consumed;
  }

  service::DeviceRecord record;
  std::memset(&record, 0, sizeof record);
  service::DecodeDeviceInfoReply(reply, record);
  if (record.modelNumber[sizeof record.modelNumber - 1] != 0) std::abort();
  if (record.deviceName[sizeof record.deviceName - 1] != 0) std::abort();
  if (service::DecodeBootInfoReply(reply, record) == 1 &&
      record.modelNumber[sizeof record.modelNumber - 1] != 0)
    std::abort();
  service::DecodePingReply(reply);
  service::MemberValue member;
  service::DecodeReadMemberReply(reply, member);
  service::DecodeWriteMemberReply(reply);
  return 0;
}

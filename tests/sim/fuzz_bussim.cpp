// bussim's decoders of bus input on arbitrary octets: the frame receiver,
// the device requests in every mode (application, loader, Modbus) and the
// token ring's reactions. No line is open: what the bus would send is
// encoded, queued and dropped.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sim/bus.h"
#include "sim/device.h"
#include "sim/frame_rx.h"
#include "sim/values.h"

namespace {

sim::Bus* MakeBus() {
  auto* bus = new sim::Bus;
  bus->options.fast = true;
  bus->options.masters = {0, 1};
  for (int i = 0; i < 3; ++i) {
    sim::DeviceDescription desc;
    desc.identity.address = uint8_t(16 + i);
    desc.rebootMs = 0;
    if (i == 1) desc.faults.modbusStart = true;
    if (i == 2) desc.faults.chunkError = 3;
    bus->options.devices.push_back(desc);
  }
  std::string error;
  if (!sim::BusSetup(bus, &error)) std::abort();
  bus->target.given = true;
  bus->target.base = 0x2000;
  bus->target.bytes.assign(512, 0xA5);
  return bus;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Straight into a device, in the mode the first octet picks.
  {
    sim::Device d;
    sim::DeviceIdentity id;
    sim::DeviceSetup(&d, id);
    sim::DeviceAddDefaultSettings(&d);
    d.mode = data[0] & 1 ? sim::MODE_LOADER : sim::MODE_APP;
    d.erased = d.ready = (data[0] & 2) != 0;
    sim::FlashTarget target;
    target.given = (data[0] & 4) != 0;
    target.base = 0x2000;
    target.bytes.assign(300, 0);
    if (d.erased) d.flash.assign(target.given ? 300 : 0, 0xFF);
    sim::DeviceReply r;
    size_t n = size - 1 > 501 ? 501 : size - 1;
    sim::DeviceRequest(&d, target, data + 1, uint16_t(n), true, 0, &r);
    if (r.length > sizeof r.data) std::abort();
    if (size >= 9) {
      uint8_t reply[8];
      d.mode = sim::MODE_MODBUS;
      sim::DeviceModbus(&d, data + 1, reply);
    }
    sim::TypedValue v;
    if (sim::ValueFrom(data + 1, size - 1, &v) && v.size > sim::kMaxValueOctets) std::abort();
  }
  // As octets on the line, shared by the receiver, the devices and the ring.
  static sim::Bus* bus = MakeBus();
  int64_t now = int64_t(size) * 1000000;
  sim::BusReceive(bus, data, size, now);
  sim::BusService(bus, now + 1000000000);
  bus->out.clear();
  return 0;
}

#include "service/bus_scan.h"

#include <cstdio>

#include "service/device_services.h"

namespace service {

uint16_t ScanBus(const char* portName, uint8_t first, uint8_t last,
                 std::span<DeviceRecord> records) {
  uint16_t count = 0;
  for (unsigned address = first; address <= last && count < records.size(); ++address) {
    const int ping = PingDevice(portName, static_cast<uint8_t>(address));
    if (ping == 0) continue;
    DeviceRecord& record = records[count];
    record.address = static_cast<uint8_t>(address);
    std::snprintf(record.portName, sizeof record.portName, "%s", portName);
    if (ping == 2) {
      if (ReadBootInfo(portName, record.address, record) == 1) {
        record.bootMode = 1;
        ++count;
      }
    } else if (ReadDeviceInfo(portName, record.address, 1, record) == 1) {
      record.bootMode = 0;
      ++count;
    }
    // A device that gave no identity leaves its record to the next one found.
  }
  return count;
}

}  // namespace service

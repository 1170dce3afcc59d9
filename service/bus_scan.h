// Finding the devices that answer in a range of bus addresses.
#pragma once
#include <cstdint>
#include <span>

#include "service/device_record.h"

namespace service {

// Pings each address of first..last on an open port and describes each device
// that answers and then gives its identity, in address order, from the start
// of records. Returns the number of records filled; records has room for
// last - first + 1 (a shorter array ends the scan when full).
uint16_t ScanBus(const char* portName, uint8_t first, uint8_t last,
                 std::span<DeviceRecord> records);

}  // namespace service

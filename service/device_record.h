// One device found on the bus. A plain value, copied whole between lists; it
// begins with the port name so that it can stand wherever a port name does.
#pragma once
#include <cstdint>

namespace service {

struct DeviceRecord {
  char portName[32];      // as passed to the scan
  uint8_t address;        // bus address
  int32_t bootMode;       // 1: answered from its boot loader
  int32_t aliasMatched;   // 1: hardwareId came from the model-number alias table
  uint32_t hardwareId;    // used as the product id
  uint32_t softwareId;
  uint32_t release;
  uint32_t prototype;
  uint32_t build;
  uint32_t serialNumber;
  char modelNumber[33];
  char deviceName[35];
};

}  // namespace service

// Bus and device descriptions from the command line and scenario files.
//
// Scenario file: one statement per line, '#' starts a comment, values with
// spaces go in double quotes.
//   bus     key=value ...   baud, turnaround, fast, image (relative to the
//                           file), image-base,
//                           new-version, master, max-master, token-hold,
//                           poll-every, rng-start (as the long options)
//   device  key=value ...   starts a device (keys below)
//   member  C.I.M TYPE VALUE [reset=VALUE] [ro]
//                           a member of the device above: class, instance,
//                           member numbers, value type (u8 s8 u16 s16 u32 s32
//                           enum float text bytes empty triple pair quads
//                           enum16 le32 le16 or a type number), value
//   fault   key[=value] ... faults of the device above (device keys)
// Device keys: address product software version serial model name
//   boot-model new-version reboot-ms defaults=no, and the faults
//   settings-reset identity-lost modbus settle-reads=K chunk-error=N
//   ack-ahead=N ack-repeat=N drop-rate=P corrupt-rate=P.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim {

struct DeviceDescription {
  DeviceIdentity identity;
  DeviceFaults faults;
  bool defaults = true;   // give default settings when no member is named
  bool newVersionGiven = false;
  uint8_t newRelease = 2, newPrototype = 0;
  uint16_t newBuild = 13;
  uint32_t rebootMs = 500;
  std::vector<Member> members;
};

struct BusOptions {
  std::string linkPath;
  std::string devicePath;
  std::string statePath;
  std::string pcapPath;
  std::string imagePath;
  uint32_t imageBase = 0x2000;
  uint32_t baud = 38400;
  bool fast = false;
  double turnaroundMs = 1.0;
  std::vector<uint8_t> masters;
  uint8_t maxMaster = 15;
  double tokenHoldMs = 1.0;
  int pollEvery = 1;
  uint64_t rngStart = 1;
  uint8_t newRelease = 2, newPrototype = 0;
  uint16_t newBuild = 13;
  bool verbose = false;
  std::vector<DeviceDescription> devices;
};

// One device key (scenario "device"/"fault" words, --add-device items).
bool ApplyDeviceKey(DeviceDescription* desc, const std::string& key, const std::string& value,
                    bool hasValue, std::string* error);
// "address=17,product=20,model=QRF,..." as given to --add-device.
bool ParseDeviceList(const std::string& text, DeviceDescription* desc, std::string* error);
// One bus setting by its option name (without the dashes).
bool ApplyBusKey(BusOptions* bus, const std::string& key, const std::string& value,
                 std::string* error);
// Reads a scenario file into *bus; the error names the file and line.
bool LoadScenario(const char* path, BusOptions* bus, std::string* error);

bool ParseVersion(const std::string& text, uint8_t* release, uint8_t* prototype, uint16_t* build);

}  // namespace sim

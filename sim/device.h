// A simulated controller: identity, data model of classes, instances and
// members, the boot loader with its flash, the Modbus fallback, and faults.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/prng.h"
#include "sim/values.h"

namespace sim {

enum DeviceMode : int {
  MODE_APP = 0,        // running its application on the native bus
  MODE_LOADER = 1,     // in its boot loader at the boot address
  MODE_MODBUS = 2,     // talking Modbus RTU as slave 1, silent on the native bus
  MODE_REBOOTING = 3,  // silent until rebootDoneNs
};

const char* DeviceModeName(int mode);

struct Member {
  uint8_t cls = 0, inst = 0, id = 0;
  bool readOnly = false;  // writes refused (04) or passed over (0A)
  bool guarded = false;   // writable only while the protect code is unlocked
  TypedValue value;
  TypedValue resetValue;  // what a settings reset puts back
};

struct DeviceFaults {
  bool settingsReset = false;  // the upgrade resets settings, address included
  bool identityLost = false;   // the upgrade leaves a model number of 'X's
  bool modbusStart = false;    // starts in Modbus RTU mode
  int settleReads = 0;         // reads of the status that change after a settle command
  int chunkError = 0;          // chunk write number (from 1) answered with 0x8A
  int ackAhead = 0;            // chunk write number whose ack names the next chunk
  int ackRepeat = 0;           // chunk write number whose ack repeats the previous one
  double dropRate = 0;         // requests left unanswered
  double corruptRate = 0;      // replies sent with a broken data CRC
};

struct DeviceCounters {
  uint64_t requests = 0;         // frames addressed to the device, any mode
  uint64_t replies = 0;
  uint64_t refusals = 0;
  uint64_t dropped = 0;          // fault: request left unanswered
  uint64_t corrupted = 0;        // fault: reply with a bad CRC
  uint64_t ignored = 0;          // arrived while rebooting or in Modbus mode
  uint64_t collisions = 0;       // replies that met another device's reply
  uint64_t chunks = 0;           // chunk writes accepted
  uint64_t programmingErrors = 0;
  uint64_t ackFaults = 0;
  uint64_t reboots = 0;
  uint64_t upgrades = 0;         // loader exits into the new firmware
  uint64_t failedExits = 0;      // loader exits with a flash that is not the image
  uint64_t modbusRequests = 0;
  uint64_t settleCommands = 0;
};

struct Device {
  uint8_t address = 0;      // where it answers now
  uint8_t homeAddress = 0;  // its application's address (class 17 member 1 + 15)
  uint8_t product = 20;
  std::string bootModel;    // model pattern the boot loader reports
  uint8_t newRelease = 2, newPrototype = 0;
  uint16_t newBuild = 13;   // version it runs after a good upgrade
  uint32_t rebootMs = 500;
  DeviceFaults faults;
  std::vector<Member> members;

  int mode = MODE_APP;
  int modeAfterReboot = MODE_APP;
  bool exitingLoader = false;
  int64_t rebootDoneNs = 0;
  bool unlocked = false;
  int settleLeft = 0;
  uint16_t status = 0;
  // boot loader
  bool erased = false, ready = false, halted = false, flashForeign = false;
  std::vector<uint8_t> flash;
  uint32_t chunkWrites = 0;
  uint32_t lastAck = 0;
  DeviceCounters counters;
};

// What the flash must hold for the loader to start the new firmware.
struct FlashTarget {
  bool given = false;
  uint32_t base = 0;
  std::vector<uint8_t> bytes;
};

// Identity set up by the scenario; fills the standard members.
struct DeviceIdentity {
  uint8_t address = 16;
  uint8_t product = 20;
  uint16_t softwareId = 1;
  uint8_t release = 2, prototype = 0;
  uint16_t build = 10;
  uint32_t serial = 1;
  std::string model = "QRF-TC-2000";
  std::string name = "Station";
  std::string bootModel;  // empty: the model with its digits as 'X'
};

void DeviceSetup(Device* d, const DeviceIdentity& id);
// Adds or replaces a member of the data model.
void DeviceSetMember(Device* d, const Member& m);
// Settings every device gets when its scenario names none of its own.
void DeviceAddDefaultSettings(Device* d);
Member* DeviceFindMember(Device* d, uint8_t cls, uint8_t inst, uint8_t id);

uint8_t BootAddressOf(uint8_t product);
uint16_t ProtocolRegisterOf(uint8_t product);

struct DeviceReply {
  bool send = false;
  uint8_t data[501] = {};
  uint16_t length = 0;
  int newAddress = -1;   // move to this address after the reply
};

// One request addressed to the device (frame type 5 or 6). Fills *reply.
void DeviceRequest(Device* d, const FlashTarget& target, const uint8_t* req, uint16_t length,
                   bool expectReply, int64_t nowNs, DeviceReply* reply);
// Ends a reboot that has run its time.
void DeviceRebootDone(Device* d, const FlashTarget& target);
// A Modbus RTU frame (CRC checked by the caller) while in Modbus mode:
// Write Single Register to slave 1 is echoed; true if it was answered.
bool DeviceModbus(Device* d, const uint8_t frame[8], uint8_t reply[8]);

bool DeviceFlashMatches(const Device& d, const FlashTarget& target);
// FNV-1a over the settings a backup carries back (every member but class 1,
// class 16, read-only members and the settle command), in model order.
uint64_t DeviceSettingsDigest(const Device& d);
std::string DeviceModel(const Device& d);
std::string DeviceVersion(const Device& d);

}  // namespace sim

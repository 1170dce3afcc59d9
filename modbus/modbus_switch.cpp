#include "modbus/modbus_switch.h"

#include <cstdio>

#include "platform/serial.h"
#include "platform/sync.h"

namespace modbus {
namespace {

// The one Modbus port of the program. `everOpened` tells a request made
// before any open (a programming error worth a message) from one made after
// a failed open or a close (which just fails at the write).
platform::SerialPort* modbusPort = nullptr;
bool everOpened = false;

constexpr uint32_t kReplyPauseMs = 100;
constexpr size_t kReplyCapacity = 128;

}  // namespace

uint16_t ModbusCrc(std::span<const uint8_t> octets) {
  uint16_t crc = 0xFFFF;
  for (uint8_t octet : octets) {
    crc ^= octet;
    for (int bit = 0; bit < 8; ++bit) {
      const bool carry = (crc & 1) != 0;
      crc >>= 1;
      if (carry) crc ^= 0xA001;
    }
  }
  return crc;
}

void BuildWriteRegisterFrame(uint8_t slave, uint16_t registerAddress, uint16_t value,
                             uint8_t (&frame)[8]) {
  frame[0] = slave;
  frame[1] = kWriteSingleRegister;
  frame[2] = static_cast<uint8_t>(registerAddress >> 8);
  frame[3] = static_cast<uint8_t>(registerAddress);
  frame[4] = static_cast<uint8_t>(value >> 8);
  frame[5] = static_cast<uint8_t>(value);
  const uint16_t crc = ModbusCrc(std::span<const uint8_t>(frame, 6));
  frame[6] = static_cast<uint8_t>(crc);
  frame[7] = static_cast<uint8_t>(crc >> 8);
}

uint16_t ProtocolSelectRegister(uint32_t productId) { return productId == 23 ? 0x0B10 : 0x09BC; }

int OpenModbusPort(const char* portName, int baudRate) {
  everOpened = true;
  if (modbusPort != nullptr) {
    platform::SerialClose(modbusPort);
    modbusPort = nullptr;
  }
  if (portName == nullptr) return 0;
  platform::SerialPort* port = platform::SerialOpen(portName, platform::SERIAL_READ_WRITE);
  if (port == nullptr) return 0;
  bool ok = platform::SerialConfigure(port, baudRate);
  platform::SerialTimeouts timeouts;
  if (ok) ok = platform::SerialGetTimeouts(port, &timeouts);
  if (ok) {
    timeouts.readInterval = 50;
    timeouts.readTotalMultiplier = 1;
    timeouts.readTotalConstant = 1000;
    ok = platform::SerialSetTimeouts(port, timeouts);
    if (!ok) std::printf("Setting timeout failed\n");
  }
  if (!ok) {
    platform::SerialClose(port);
    return 0;
  }
  modbusPort = port;
  return 1;
}

int ModbusWriteRegister(uint8_t slave, uint16_t registerAddress, uint16_t value) {
  if (!everOpened) {
    std::printf("ERROR: Null Ptr\r\n");
    return 0;
  }
  if (modbusPort == nullptr) return 0;
  platform::SerialPurge(modbusPort, platform::PURGE_RX);
  uint8_t frame[8];
  BuildWriteRegisterFrame(slave, registerAddress, value, frame);
  if (platform::SerialWrite(modbusPort, frame, sizeof frame) != static_cast<int>(sizeof frame))
    return 0;
  platform::SleepMs(kReplyPauseMs);
  uint8_t reply[kReplyCapacity];
  return platform::SerialRead(modbusPort, reply, sizeof reply) > 0 ? 1 : 0;
}

int CloseModbusPort() {
  if (modbusPort == nullptr) return 0;
  const bool closed = platform::SerialClose(modbusPort);
  modbusPort = nullptr;
  return closed ? 1 : 0;
}

}  // namespace modbus

// A minimal Modbus RTU master: one Write Single Register to switch a device's
// port from Modbus back to the native bus.
#pragma once
#include <cstdint>
#include <span>

namespace modbus {

constexpr uint16_t kNativeBusValue = 1286;  // 0x0506
constexpr uint8_t kSwitchSlave = 1;
constexpr uint8_t kWriteSingleRegister = 0x06;

// 1 open; 0 failed.
int OpenModbusPort(const char* portName, int baudRate);
// 1 at least one reply octet arrived; 0 otherwise.
int ModbusWriteRegister(uint8_t slave, uint16_t registerAddress, uint16_t value);
// 1 closed; 0 closing failed.
int CloseModbusPort();
// The holding register that selects the protocol of a product.
uint16_t ProtocolSelectRegister(uint32_t productId);

// CRC-16 of Modbus RTU: preset 0xFFFF, reflected polynomial 0xA001.
uint16_t ModbusCrc(std::span<const uint8_t> octets);
// The 8 octets of a Write Single Register request, CRC low octet first.
void BuildWriteRegisterFrame(uint8_t slave, uint16_t registerAddress, uint16_t value,
                             uint8_t (&frame)[8]);

}  // namespace modbus

#include "modbus/modbus_switch.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace {

using Octets = std::vector<uint8_t>;

Octets Frame(uint8_t slave, uint16_t reg, uint16_t value) {
  uint8_t frame[8];
  modbus::BuildWriteRegisterFrame(slave, reg, value, frame);
  return Octets(frame, frame + 8);
}

TEST(ModbusFrame, KnownWriteSingleRegisterFrames) {
  EXPECT_EQ(Frame(1, modbus::ProtocolSelectRegister(25), modbus::kNativeBusValue),
            (Octets{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0}));
  EXPECT_EQ(Frame(1, modbus::ProtocolSelectRegister(23), modbus::kNativeBusValue),
            (Octets{0x01, 0x06, 0x0B, 0x10, 0x05, 0x06, 0x09, 0x79}));
}

TEST(ModbusFrame, CrcKnownAnswers) {
  // Read Holding Registers 01 03 00 00 00 0A carries CRC C5 CD (low first).
  const uint8_t read[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
  EXPECT_EQ(modbus::ModbusCrc(read), 0xCDC5);
  EXPECT_EQ(modbus::ModbusCrc({}), 0xFFFF);
  // A frame followed by its own CRC checks to zero.
  const Octets frame = Frame(7, 0x1234, 0xBEEF);
  EXPECT_EQ(modbus::ModbusCrc(frame), 0);
}

TEST(ModbusFrame, RegisterByProduct) {
  EXPECT_EQ(modbus::ProtocolSelectRegister(23), 2832);
  EXPECT_EQ(modbus::ProtocolSelectRegister(25), 2492);
  EXPECT_EQ(modbus::ProtocolSelectRegister(0), 2492);
}

// Must run in a process that never opened a Modbus port: the death test
// runs it in a fresh copy of this program.
TEST(ModbusSwitchDeath, WriteBeforeAnyOpenSaysNullPtr) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        const int result = modbus::ModbusWriteRegister(1, 0x09BC, 0x0506);
        std::fflush(stdout);
        _exit(result == 0 ? 0 : 3);
      },
      testing::ExitedWithCode(0), "^ERROR: Null Ptr\r\n$");
}

// A libmodbus RTU server on the master side of a pty: it receives one
// request and answers it as a real device would.
struct ModbusServer {
  explicit ModbusServer(int fd) {
    ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_socket(ctx, fd);
    modbus_set_slave(ctx, 1);
    modbus_set_indication_timeout(ctx, 3, 0);
    mapping = modbus_mapping_new(0, 0, 0x1000, 0);
  }
  ~ModbusServer() {
    if (thread.joinable()) thread.join();
    modbus_mapping_free(mapping);
    modbus_free(ctx);  // the pty belongs to the test
  }
  void ServeOne() {
    thread = std::thread([this] {
      uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
      const int length = modbus_receive(ctx, query);
      if (length > 0) {
        received.assign(query, query + length);
        modbus_reply(ctx, query, length, mapping);
      }
    });
  }
  modbus_t* ctx;
  modbus_mapping_t* mapping;
  std::thread thread;
  Octets received;
};

class ModbusSwitch : public testing::Test {
 protected:
  void TearDown() override { modbus::CloseModbusPort(); }
  testsupport::PtyPair pty;
};

TEST_F(ModbusSwitch, ServerReceivesTheSwitchAndAnswers) {
  struct Case {
    uint32_t product;
    uint16_t reg;
    Octets frame;
  } cases[] = {
      {25, 0x09BC, {0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0}},
      {23, 0x0B10, {0x01, 0x06, 0x0B, 0x10, 0x05, 0x06, 0x09, 0x79}},
  };
  for (const auto& c : cases) {
    ModbusServer server(pty.masterFd());
    ASSERT_EQ(modbus::OpenModbusPort(pty.slavePath().c_str(), 9600), 1);
    server.ServeOne();
    EXPECT_EQ(modbus::ModbusWriteRegister(1, modbus::ProtocolSelectRegister(c.product),
                                          modbus::kNativeBusValue),
              1);
    server.thread.join();
    EXPECT_EQ(server.received, c.frame) << "product " << c.product;
    EXPECT_EQ(server.mapping->tab_registers[c.reg], modbus::kNativeBusValue);
    EXPECT_EQ(modbus::CloseModbusPort(), 1);
  }
}

TEST_F(ModbusSwitch, NoDeviceAttachedGivesZeroAfterTheReadTimeOut) {
  ASSERT_EQ(modbus::OpenModbusPort(pty.slavePath().c_str(), 9600), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(modbus::ModbusWriteRegister(1, 0x09BC, 0x0506), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  // The 100 ms pause, then up to 128 x 1 + 1000 ms for the read.
  EXPECT_GE(ms, 1000);
  EXPECT_LT(ms, 2500);
  // The request itself did go out.
  EXPECT_EQ(pty.read(8, 200), (Octets{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0}));
}

TEST_F(ModbusSwitch, StaleInputIsDiscardedBeforeTheRequest) {
  ASSERT_EQ(modbus::OpenModbusPort(pty.slavePath().c_str(), 9600), 1);
  pty.write({0xAA, 0xBB});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Leftover octets must not count as an answer.
  EXPECT_EQ(modbus::ModbusWriteRegister(1, 0x09BC, 0x0506), 0);
}

TEST_F(ModbusSwitch, FailuresAfterAnOpenAreSilent) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(modbus::OpenModbusPort("/nonexistent/port", 9600), 0);
  EXPECT_EQ(modbus::ModbusWriteRegister(1, 0x09BC, 0x0506), 0);
  ASSERT_EQ(modbus::OpenModbusPort(pty.slavePath().c_str(), 9600), 1);
  EXPECT_EQ(modbus::CloseModbusPort(), 1);
  EXPECT_EQ(modbus::ModbusWriteRegister(1, 0x09BC, 0x0506), 0);
  EXPECT_EQ(modbus::CloseModbusPort(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace

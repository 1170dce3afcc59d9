// Times ScanBus over addresses 4..32 with three devices on a simulated bus at
// 38400 baud, and reports it against its bound: each of the 26 empty
// addresses costs the link's 250 ms reply time-out, and each answered
// exchange its octets on the wire (10 bits each) plus the device's
// turnaround. Usage: bench_scan_bus [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "service/bus_scan.h"
#include "service/bussim_child.h"
#include "service/transport.h"

namespace {

constexpr double kBaud = 38400.0;
constexpr double kTurnaroundMs = 1.0;
constexpr double kReplyTimeoutMs = 250.0;

double FrameMs(unsigned dataLength) {
  const unsigned octets = 8 + (dataLength > 0 ? dataLength + 2 : 0);
  return octets * 10.0 * 1000.0 / kBaud;
}

// Wire time of one exchange: the request, the turnaround, the reply.
double ExchangeMs(const char* port, uint8_t address, const uint8_t* request, uint16_t length) {
  uint8_t reply[service::kReplyBufferSize];
  uint16_t replyLength = 0;
  uint8_t code = 0;
  if (service::SendRequest(port, address, request, length, 1, nullptr, reply, &replyLength,
                           &code) != 0 ||
      code != UPCALL_DATA)
    return -1;
  return FrameMs(length) + kTurnaroundMs + FrameMs(replyLength);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (std::getenv("FLASHLOADER_BUILD_DIR") == nullptr)
    setenv("FLASHLOADER_BUILD_DIR", FLASHLOADER_BUILD_DIR, 1);
  servicetest::BusSim sim;
  const std::string scenario =
      std::string(FLASHLOADER_SOURCE_DIR) + "/bench/service/three_devices.scn";
  if (!sim.Start({"--scenario", scenario})) {
    std::fprintf(stderr, "bench_scan_bus: bussim did not start\n");
    return 1;
  }
  if (service::OpenBusPort(sim.port()) != 0) {
    std::fprintf(stderr, "bench_scan_bus: the port did not open\n");
    return 1;
  }
  // The bound's wire part, from the devices' real reply lengths.
  const uint8_t ping[] = {0x01, 0x01};
  const uint8_t info[] = {0x01, 0x05, 0x01, 0x01};
  double wireMs = 0;
  for (uint8_t address : {10, 17, 30}) {
    const double a = ExchangeMs(sim.port(), address, ping, sizeof ping);
    const double b = ExchangeMs(sim.port(), address, info, sizeof info);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "bench_scan_bus: device %u does not answer\n", address);
      return 1;
    }
    wireMs += a + b;
  }
  const double boundMs = 26 * kReplyTimeoutMs + wireMs;

  std::vector<double> ratios;
  for (int run = 0; run < runs; ++run) {
    service::DeviceRecord records[32] = {};
    const auto start = std::chrono::steady_clock::now();
    const uint16_t found = service::ScanBus(sim.port(), 4, 32, records);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    if (found != 3) {
      std::fprintf(stderr, "bench_scan_bus: found %u devices, not 3\n", found);
      return 1;
    }
    ratios.push_back(ms / boundMs);
    std::printf("run %d: scan %.1f ms, bound %.1f ms (26 x 250 + wire %.1f), ratio %.3f\n", run + 1,
                ms, boundMs, wireMs, ms / boundMs);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("scan_bus ratio median %.3f (bar 1.05)\n", ratios[ratios.size() / 2]);
  service::CloseBusPort(sim.port());
  return 0;
}

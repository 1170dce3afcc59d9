// Chunk writes to a device in its loader, one at a time, through bussim's
// wire model at 38400 baud: the time per chunk as a ratio to the line's
// bound (request and reply octets at 10 bits each, plus the turnaround).
// Prints figures; asserts nothing.
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "sim/bussim_client.h"

using namespace simtest;

int main(int argc, char** argv) {
  int chunks = argc > 1 ? atoi(argv[1]) : 50;
  BusSim sim;
  if (!sim.Start({"--baud", "38400", "--turnaround", "1", "--add-device", "address=17,reboot-ms=50"})) {
    std::fprintf(stderr, "bench_sim_chunks: bussim did not start (FLASHLOADER_BUILD_DIR?)\n");
    return 1;
  }
  sim.Write(Frame(6, 17, 3, {0x01, 0xEA, 0x5C, 0x3A, 0x1E, 0x47}));
  usleep(100000);
  if (!sim.Request(16, {0x01, 0xEC}) || !sim.Request(16, {0x01, 0xEE})) {
    std::fprintf(stderr, "bench_sim_chunks: loader did not answer\n");
    return 1;
  }
  timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  int acked = 0;
  for (int i = 0; i < chunks; ++i) {
    uint32_t addr = 0x2000 + 128u * uint32_t(i);
    Bytes req = {0x01, 0xED, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr), 0, 128};
    req.resize(8 + 128, uint8_t(i));
    auto r = sim.Request(16, req, 500);
    if (r && r->data.size() >= 2 && r->data[1] == 0xED) ++acked;
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  const double octets = (8 + 128 + 10) + (6 + 10);
  double boundMs = chunks * (octets * 10 * 1000.0 / 38400 + 1.0);
  std::printf("chunks %d acked %d: %.1f ms, bound %.1f ms, ratio %.3f (%.2f ms per chunk)\n", chunks,
              acked, ms, boundMs, ms / boundMs, ms / chunks);
  return 0;
}

// bussim: a simulated RS-485 bus with controllers on it, for trials, demos
// and tests of flashloader.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/bus.h"

namespace {

volatile int gStop = 0;
volatile int gReport = 0;

void OnSignal(int sig) {
  if (sig == SIGUSR1) gReport = 1;
  else gStop = 1;
}

const char kHelp[] =
    "usage: bussim [options]\n"
    "\n"
    "The line:\n"
    "  --link PATH          publish the bus (a pty's slave side) as a symlink at PATH\n"
    "  --device PATH        use a real serial device instead of a pty\n"
    "  --baud N             wire speed for the timing model (default 38400)\n"
    "  --turnaround MS      device reply turnaround in ms (default 1)\n"
    "  --fast               no wire pacing and no turnaround\n"
    "\n"
    "Devices:\n"
    "  --scenario FILE      read bus settings and devices from FILE (format below)\n"
    "  --add-device KEYS    add a device: comma-separated key=value device keys\n"
    "  --image FILE         firmware image (Intel HEX, or raw binary at --image-base)\n"
    "                       the flash must equal for a device to leave its loader\n"
    "  --image-base ADDR    load address of a raw binary image (default 0x2000)\n"
    "  --new-version R.P.B  version a device runs after a good upgrade (default 2.00.13)\n"
    "\n"
    "Token ring:\n"
    "  --master LIST        simulated master stations, e.g. 0,1,2 (repeatable)\n"
    "  --max-master N       highest station the masters poll (default 15)\n"
    "  --token-hold MS      time a simulated master keeps the token (default 1)\n"
    "  --poll-every N       tokens between polls for a new master (default 1)\n"
    "\n"
    "Faults and reports:\n"
    "  --rng-start N        start value of the fault generator (default 1)\n"
    "  --state FILE         JSON state written on exit and on SIGUSR1\n"
    "  --pcap FILE          capture of every frame (link type 165, BACnet MS/TP)\n"
    "  --verbose            print the line's name and the devices at start\n"
    "  --help               this text\n"
    "\n"
    "Options apply in order; a scenario's bus line takes effect where --scenario stands.\n"
    "\n"
    "Device keys: address product software version=R.P.B serial model name boot-model\n"
    "  new-version reboot-ms defaults=no, faults: settings-reset identity-lost modbus\n"
    "  settle-reads=K chunk-error=N ack-ahead=N ack-repeat=N drop-rate=P corrupt-rate=P\n"
    "\n"
    "Scenario file, one statement a line, '#' comments, \"quotes\" for spaces:\n"
    "  bus baud=38400 turnaround=1 master=0,1,2 rng-start=7 ...\n"
    "  device address=17 product=20 version=2.00.10 serial=1001 model=QRF-TC-2000 name=\"Hall\"\n"
    "  member 3.1.1 u16 215 reset=200      class.instance.member type value\n"
    "  member 3.1.7 u8 3 ro                read-only member\n"
    "  fault settings-reset settle-reads=3\n"
    "Value types: u8 s8 u16 s16 u32 s32 enum float text bytes(hex) empty triple(a.b.c)\n"
    "  pair(a.b) quads(hex) enum16 le32 le16, or the type number.\n";

bool Need(int argc, char** argv, int i) {
  if (i + 1 < argc) return true;
  std::fprintf(stderr, "bussim: %s needs a value\n", argv[i]);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  sim::Bus bus;
  sim::BusOptions& o = bus.options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--fast") {
      o.fast = true;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--link" || a == "--device" || a == "--state" || a == "--pcap") {
      if (!Need(argc, argv, i)) return 2;
      std::string v = argv[++i];
      (a == "--link" ? o.linkPath : a == "--device" ? o.devicePath : a == "--state" ? o.statePath : o.pcapPath) = v;
    } else if (a == "--scenario") {
      if (!Need(argc, argv, i)) return 2;
      if (!sim::LoadScenario(argv[++i], &o, &error)) {
        std::fprintf(stderr, "bussim: %s\n", error.c_str());
        return 2;
      }
    } else if (a == "--add-device") {
      if (!Need(argc, argv, i)) return 2;
      sim::DeviceDescription desc;
      if (!sim::ParseDeviceList(argv[++i], &desc, &error)) {
        std::fprintf(stderr, "bussim: --add-device: %s\n", error.c_str());
        return 2;
      }
      o.devices.push_back(desc);
    } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
      std::string key = a.substr(2);
      static const char* kBusKeys[] = {"baud", "turnaround", "image", "image-base", "new-version",
                                       "master", "max-master", "token-hold", "poll-every", "rng-start"};
      bool known = false;
      for (const char* k : kBusKeys) known |= key == k;
      if (!known) {
        std::fprintf(stderr, "bussim: unknown option %s (see --help)\n", argv[i]);
        return 2;
      }
      if (!Need(argc, argv, i)) return 2;
      if (!sim::ApplyBusKey(&o, key, argv[++i], &error)) {
        std::fprintf(stderr, "bussim: %s\n", error.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "bussim: unexpected argument %s (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (o.linkPath.empty() && o.devicePath.empty()) {
    std::fprintf(stderr, "bussim: give --link PATH or --device PATH (see --help)\n");
    return 2;
  }

  // Signals are taken only inside the wait of the event loop.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!sim::BusStart(&bus, &error)) {
    std::fprintf(stderr, "bussim: %s\n", error.c_str());
    sim::BusStop(&bus);
    return 1;
  }
  if (o.verbose) {
    std::printf("bussim: line %s%s%s, %zu device(s)\n", bus.slaveName.empty() ? o.devicePath.c_str() : bus.slaveName.c_str(),
                o.linkPath.empty() ? "" : " at ", o.linkPath.c_str(), bus.devices.size());
    for (const sim::Device& d : bus.devices)
      std::printf("  address %u product %u %s %s %s\n", d.address, d.product, sim::DeviceModel(d).c_str(),
                  sim::DeviceVersion(d).c_str(), sim::DeviceModeName(d.mode));
    std::fflush(stdout);
  }
  sim::BusRun(&bus, &gStop, &gReport);
  if (!o.statePath.empty() && !sim::BusWriteState(bus, o.statePath.c_str()))
    std::fprintf(stderr, "bussim: cannot write %s\n", o.statePath.c_str());
  sim::BusStop(&bus);
  return 0;
}

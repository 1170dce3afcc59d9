#include "app/ports.h"

#include <cstdio>
#include <cstring>

#include "app/console_helpers.h"
#include "app/screens.h"
#include "platform/port_names.h"
#include "platform/serial.h"

char ComPortList[kPortSlots][kPortNameSize];
int portCount = 0;
uint8_t currentPortIndex = 0;
uint8_t portsToScan = 0;

uint8_t EnumerateComPorts(char (*list)[kPortNameSize]) {
  // The platform tries each candidate with an exclusive open, as the no-sharing
  // open of the other platform does (a port held by another program is not
  // listed), resolves a path too long for a slot to its device path, and stops
  // when the slots are full.
  return static_cast<uint8_t>(platform::ListCandidatePorts(list, kPortSlots));
}

int PortSelectScreen() {
  portCount = EnumerateComPorts(ComPortList);
  std::printf("Available Ports: \r\n");
  for (int i = 0; i < portCount; ++i)
    std::printf("[%2d] %s\r\n", i + 1, platform::ShownPortName(ComPortList[i]));
  std::printf("[%2d] %s\r\n", portCount + 1, "Rescan");
  std::printf("[%2d] %s\r\n", portCount + 2, "Scan All");

  if (portCount > 0) {
    std::printf("Select a port: ");
    int choice = ReadMenuNumber();
    if (choice >= 0 && choice < portCount) {
      currentPortIndex = static_cast<uint8_t>(choice);
      portsToScan = 1;
      return DEVICE_LIST;
    }
    if (choice == portCount) return PORT_SELECT;
    // "Scan All" and every number outside the menu.
    portsToScan = static_cast<uint8_t>(portCount);
    return DEVICE_LIST;
  }

  std::printf("Ports not available!\r\n");
  std::printf("[ 1] Rescan\r\n");
  std::printf("[ 2] Quit\r\n");
  return ReadMenuNumber() == 0 ? PORT_SELECT : ABORT;
}

// Port enumeration and the port screen (screen state 2), and the port state
// the device list and direct mode share.
#pragma once
#include <cstdint>

constexpr int kPortSlots = 32;
constexpr int kPortNameSize = 32;  // 31 characters and the terminator

// Names in the form they are opened by; filled from the first slot on.
extern char ComPortList[kPortSlots][kPortNameSize];
extern int portCount;
extern uint8_t currentPortIndex;  // where the next discovery starts
extern uint8_t portsToScan;       // how many ports from there it covers

// Fills `list` with the ports that can be opened now and returns how many.
// Recording stops when the 32 slots are full.
uint8_t EnumerateComPorts(char (*list)[kPortNameSize]);

// The screen; returns the next screen state.
int PortSelectScreen();

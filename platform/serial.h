// Serial ports: exclusive open by name, 8N1 raw, read time-outs with the
// interval / total-multiplier / total-constant meaning the link layer expects.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

struct SerialPort;  // opaque, one per open port

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// Read and write time-outs in milliseconds.
//   readInterval = kMaxDword, multiplier = 0, constant = 0: a read returns at
//   once with what has arrived, possibly nothing.
//   readInterval = kMaxDword, multiplier = kMaxDword, 0 < constant <
//   kMaxDword: a read returns as soon as anything has arrived, waiting at
//   most `constant` ms for the first octet.
//   Otherwise a read of n octets waits at most multiplier * n + constant ms
//   in total (0 and 0: no total limit) and ends when the gap after an octet
//   exceeds readInterval (0 or kMaxDword: no interval limit).
//   Writes wait at most writeTotalMultiplier * n + writeTotalConstant ms for
//   room in the driver (0 and 0: no limit). A new port has the defaults below.
struct SerialTimeouts {
  uint32_t readInterval = kMaxDword;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};

enum SerialAccess : int { SERIAL_READ = 1, SERIAL_WRITE = 2, SERIAL_READ_WRITE = 3 };
enum SerialPurge : int { PURGE_RX = 1, PURGE_TX = 2 };

// Opens an existing terminal device exclusively: a second open of the same
// port, in this process or another, fails (EBUSY). Returns null on failure
// (see LastError).
SerialPort* SerialOpen(const char* name, int access);
// 8 data bits, no parity, one stop bit, binary, no flow control, at `baud`
// (9600, 19200, 38400 and the other standard rates).
bool SerialConfigure(SerialPort* port, int baud);
bool SerialSetBaud(SerialPort* port, int baud);
bool SerialGetTimeouts(SerialPort* port, SerialTimeouts* out);
bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts);
// Number of octets read (0 when none arrived in time), -1 on error; a
// hung-up line is an error (EIO) once what it had delivered has been read.
int SerialRead(SerialPort* port, uint8_t* buffer, size_t size);
// Number of octets written (fewer when the write time-out ran out), -1 on
// error (a hung-up line included).
int SerialWrite(SerialPort* port, const uint8_t* data, size_t size);
bool SerialPurge(SerialPort* port, int which);
// Waits up to timeoutMs for input to read without taking any of it: 1 when
// octets are there, 0 on time-out, -1 on error or once the line is hung up
// (then it returns at once, so a caller must pace itself).
int SerialWaitReadable(SerialPort* port, uint32_t timeoutMs);
// 1 when a line error (framing, parity, overrun, break) was counted since the
// last call, 0 when none was or the driver keeps no such counts (ptys).
int SerialLineErrorFlag(SerialPort* port);
// True once the other side of the line has gone away (pty master closed).
bool SerialHungUp(SerialPort* port);
bool SerialClose(SerialPort* port);

// errno of the last failing platform call on this thread.
int LastError();

// Candidate ports to list: $FLASHLOADER_PORTS (colon-separated paths) when
// set, even empty, else the machine's serial devices (/dev/ttyUSB*,
// /dev/ttyACM*, /dev/serial/by-id/*, /dev/ttyS* with a known UART). Only
// names that SerialOpen can open at this moment are listed (each is opened
// and closed at once), a device only under its first name. A name longer
// than 31 characters is replaced by its device path when that fits, else
// skipped. Writes up to maxNames names in order; returns the count.
int ListCandidatePorts(char (*names)[32], int maxNames);

// Replaces a path by the device it resolves to (symlinks followed) when the
// result fits in `size` bytes with its terminator. Returns false otherwise.
bool ResolveDevicePath(const char* path, char* out, size_t size);

// Ask the driver for its lowest latency (USB adapters); no-op where unknown.
void SerialSetLowLatency(SerialPort* port);

}  // namespace platform

/* A C program using the link through libtarbuslink.so: it starts a link on
 * a pty, plays a device on the other side, and exchanges a request and a
 * reply through the link. Exit status 0 on success. */
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "link/tarbus_link.h"

static atomic_int requestSent;
static atomic_int replyReceived;
static unsigned char replyData[16];
static unsigned short replyLength;
static unsigned char replySource;

static unsigned char OnToken(const char* portName) {
  static const unsigned char request[] = {0x01, 0x02, 0x7E};
  if (atomic_load(&requestSent)) return 0;
  if (TarbusLink_SendFrame(portName, 9, request, sizeof request, 1) == 0)
    atomic_store(&requestSent, 1);
  return 0;
}

static unsigned char OnUpcall(const char* portName, const unsigned char* data,
                              unsigned char source, unsigned short length, unsigned char code) {
  (void)portName;
  if (code != UPCALL_DATA || data == NULL || length > sizeof replyData) return 0;
  memcpy(replyData, data, length);
  replyLength = length;
  replySource = source;
  atomic_store(&replyReceived, 1);
  return 0;
}

/* The device's own frame builder: bit-by-bit CRCs. */
static unsigned char HeaderCrc(unsigned char crc, unsigned char octet) {
  int bit;
  crc ^= octet;
  for (bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (unsigned char)((crc >> 1) ^ 0x81) : (unsigned char)(crc >> 1);
  return crc;
}

static unsigned short DataCrc(unsigned short crc, unsigned char octet) {
  int bit;
  crc ^= octet;
  for (bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (unsigned short)((crc >> 1) ^ 0x8408) : (unsigned short)(crc >> 1);
  return crc;
}

static size_t BuildFrame(unsigned char* out, unsigned char type, unsigned char dest, unsigned char src,
                         const unsigned char* data, unsigned short length) {
  size_t n = 0, i;
  unsigned char h = 0xFF;
  unsigned short d = 0xFFFF;
  out[n++] = 0x55;
  out[n++] = 0xFF;
  out[n++] = type;
  out[n++] = dest;
  out[n++] = src;
  out[n++] = (unsigned char)(length >> 8);
  out[n++] = (unsigned char)(length & 0xFF);
  for (i = 2; i < 7; ++i) h = HeaderCrc(h, out[i]);
  out[n++] = (unsigned char)~h;
  if (length == 0) return n;
  for (i = 0; i < length; ++i) {
    out[n++] = data[i];
    d = DataCrc(d, data[i]);
  }
  d = (unsigned short)~d;
  out[n++] = (unsigned char)(d & 0xFF);
  out[n++] = (unsigned char)(d >> 8);
  return n;
}

static long NowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

int main(void) {
  int master = -1, slave = -1, i;
  char path[128];
  struct termios raw;
  LinkConfig config;
  unsigned char frame[64], rx[1024];
  size_t got = 0, n;
  long end;
  int ok = 0;

  cfmakeraw(&raw);
  if (openpty(&master, &slave, path, &raw, NULL) != 0) {
    perror("openpty");
    return 2;
  }
  memset(&config, 0, sizeof config);
  config.portName = path;
  config.baudRate = 38400;
  config.maxMaster = 15;
  config.maxInfoFrames = 3;
  config.stationAddress = 4;
  config.tokenObtained = OnToken;
  config.upcall = OnUpcall;
  if (TarbusLink_Init(&config) != 0) {
    fprintf(stderr, "TarbusLink_Init failed\n");
    return 1;
  }
  if (TarbusLink_GetAddress(path) != 4) {
    fprintf(stderr, "wrong address\n");
    return 1;
  }

  /* Pass the token to the link and wait for its request to station 9. */
  n = BuildFrame(frame, 0, 4, 5, NULL, 0);
  if (write(master, frame, n) != (ssize_t)n) return 2;
  end = NowMs() + 1000;
  while (NowMs() < end && !ok) {
    struct pollfd p = {master, POLLIN, 0};
    ssize_t r;
    if (poll(&p, 1, 20) <= 0) continue;
    r = read(master, rx + got, sizeof rx - got);
    if (r > 0) got += (size_t)r;
    for (i = 0; i + 13 <= (int)got; ++i) {
      static const unsigned char expected[] = {0x01, 0x02, 0x7E};
      unsigned char check[16];
      if (rx[i] != 0x55 || rx[i + 1] != 0xFF || rx[i + 2] != 5) continue;
      BuildFrame(check, 5, 9, 4, expected, 3);
      if (memcmp(rx + i, check, 13) == 0) ok = 1;
    }
  }
  if (!ok) {
    fprintf(stderr, "no request from the link\n");
    return 1;
  }
  {
    static const unsigned char reply[] = {0x01, 0x02, 0x2A};
    n = BuildFrame(frame, 6, 4, 9, reply, sizeof reply);
    if (write(master, frame, n) != (ssize_t)n) return 2;
  }
  end = NowMs() + 1000;
  while (NowMs() < end && !atomic_load(&replyReceived)) usleep(2000);
  if (!atomic_load(&replyReceived) || replyLength != 3 || replySource != 9 || replyData[2] != 0x2A) {
    fprintf(stderr, "no reply through the up-call\n");
    return 1;
  }
  if (TarbusLink_UnInit(path) != 0) {
    fprintf(stderr, "TarbusLink_UnInit failed\n");
    return 1;
  }
  close(master);
  close(slave);
  printf("request and reply exchanged through libtarbuslink\n");
  return 0;
}

/* The bus link: an MS/TP master station on one serial port, addressed by the
 * port's name. Plain C interface, exported by libtarbuslink.so and by the
 * flashloader executable. */
#ifndef TARBUS_LINK_H
#define TARBUS_LINK_H

#if defined(_WIN32)
#define TARBUS_LINK_API __declspec(dllexport)
#else
#define TARBUS_LINK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  UPCALL_DATA = 0,
  UPCALL_NO_REPLY = 1,
  UPCALL_INVALID_FRAME = 2,
  UPCALL_REPLY_POSTPONED = 3,
  UPCALL_UNEXPECTED_FRAME = 4
};

/* Called on the link thread whenever the station may send; it sends with
 * TarbusLink_SendFrame. Nonzero: call again while the token lasts. */
typedef unsigned char (*TokenObtainedDelegate)(const char* portName);
/* Called on the link thread with a received frame or an outcome. The data
 * belong to the link and are valid only during the call. */
typedef unsigned char (*UpcallDelegate)(const char* portName, const unsigned char* data,
                                        unsigned char source, unsigned short length,
                                        unsigned char code);

typedef struct LinkConfig {
  const char* portName;   /* 1 to 32 characters */
  int baudRate;           /* 9600, 19200 or 38400 */
  int maxMaster;          /* 0..127 */
  int maxInfoFrames;      /* at least 1 */
  int stationAddress;     /* 0..127 */
  TokenObtainedDelegate tokenObtained;
  UpcallDelegate upcall;
} LinkConfig;

TARBUS_LINK_API unsigned char TarbusLink_Init(const LinkConfig* config);
TARBUS_LINK_API unsigned char TarbusLink_UnInit(const char* portName);
TARBUS_LINK_API unsigned char TarbusLink_SendFrame(const char* portName, unsigned char destination,
                                   const unsigned char* data, unsigned short length,
                                   unsigned char expectReply);
TARBUS_LINK_API unsigned char TarbusLink_SendFrameEx(const char* portName, unsigned char destination,
                                     const unsigned char* data, unsigned short length,
                                     unsigned char expectReply, unsigned short replySizeHint);
TARBUS_LINK_API unsigned char TarbusLink_GetAddress(const char* portName);
TARBUS_LINK_API void TarbusLink_GetVersion(int* major, int* minor, int* revision);
TARBUS_LINK_API unsigned char TarbusLink_SetMaxRequestResend(const char* portName, unsigned char count);
TARBUS_LINK_API void TarbusLink_EnableImmediateUpcall(const char* portName, int flag);
TARBUS_LINK_API void TarbusLink_SetUpcallDelegate(const char* portName, UpcallDelegate upcall);
TARBUS_LINK_API void TarbusLink_SetTokenObtainedDelegate(const char* portName, TokenObtainedDelegate tokenObtained);
TARBUS_LINK_API void TarbusLink_SetBaud(const char* portName, int baudRate);
TARBUS_LINK_API void TarbusLink_CheckSumError(const char* portName);
TARBUS_LINK_API void TarbusLink_TokenDrop(const char* portName, unsigned char stationAddress);
TARBUS_LINK_API void TarbusLink_DisableMasterServices(const char* portName, int flag);
TARBUS_LINK_API void TarbusLink_DisableMSTPFraming(const char* portName, int flag);
TARBUS_LINK_API void TarbusLink_PacketJam(const char* portName);
TARBUS_LINK_API void TarbusLink_StopPacketJam(const char* portName);

#ifdef __cplusplus
}
#endif

#endif

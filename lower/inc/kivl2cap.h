/* KivL2cap: what the L2CAP device below the SDP device exchanges with it: the
 * listen-for-status control code and its record, the status codes and the
 * frame buffer limit. Every integer is little-endian. Plain C; includes
 * nothing but <stddef.h> and <stdint.h>, so the SDP driver can include it. */
#ifndef KIVL2CAP_H
#define KIVL2CAP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KIVL2CAP_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KIVL2CAP_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* Device type 0x8002, function 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS.
 * Output: one KIVL2CAP_LISTEN_STATUS; no input. Held until a channel event. */
#define IOCTL_KIVL2CAP_LISTEN_FOR_STATUS 0x80022018u

/* StatusCode values of KIVL2CAP_LISTEN_STATUS. */
#define KIVL2CAP_STATUS_PROTOCOL_FOUND  0x0001u
#define KIVL2CAP_STATUS_CONNECT_REQUEST 0x0002u
#define KIVL2CAP_STATUS_REQUEST_FAILED  0x0004u
#define KIVL2CAP_STATUS_CONNECTED       0x0008u /* Mtu: the remote MTU */
#define KIVL2CAP_STATUS_CONFIG_ENDED    0x0010u /* Mtu: the negotiated MTU */
#define KIVL2CAP_STATUS_DISCONNECTED    0x0020u
#define KIVL2CAP_STATUS_INVALIDATED     0x0040u
#define KIVL2CAP_STATUS_TIMEOUT         0x0080u

/* Frame buffer of reads and writes: a 2-byte CID, then the L2CAP payload.
 * The SDP device reads and writes at most this many bytes per frame. */
#define KIVL2CAP_CID_SIZE       2u
#define KIVL2CAP_MAX_FRAME_SIZE 1024u

/* Output of IOCTL_KIVL2CAP_LISTEN_FOR_STATUS. Only Cid, StatusCode and Mtu
 * carry meaning; the L2CAP device zeroes the reserved bytes. */
typedef struct _KIVL2CAP_LISTEN_STATUS {
    uint16_t Cid;
    uint16_t StatusCode;
    uint8_t Reserved1[26];
    uint16_t Mtu;
    uint8_t Reserved2[22];
} KIVL2CAP_LISTEN_STATUS;

KIVL2CAP_STATIC_ASSERT(sizeof(KIVL2CAP_LISTEN_STATUS) == 54, "listen status record is 54 bytes");
KIVL2CAP_STATIC_ASSERT(offsetof(KIVL2CAP_LISTEN_STATUS, Cid) == 0, "Cid at 0");
KIVL2CAP_STATIC_ASSERT(offsetof(KIVL2CAP_LISTEN_STATUS, StatusCode) == 2, "StatusCode at 2");
KIVL2CAP_STATIC_ASSERT(offsetof(KIVL2CAP_LISTEN_STATUS, Mtu) == 30, "Mtu at 30");
KIVL2CAP_STATIC_ASSERT(offsetof(KIVL2CAP_LISTEN_STATUS, Reserved2) == 32, "tail at 32");
/* The record is filled and read as host integers. */
KIVL2CAP_STATIC_ASSERT(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian host");

#ifdef CTL_CODE
KIVL2CAP_STATIC_ASSERT(IOCTL_KIVL2CAP_LISTEN_FOR_STATUS ==
                           CTL_CODE(0x8002, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS),
                       "listen-for-status code");
#endif

#endif /* KIVL2CAP_H */

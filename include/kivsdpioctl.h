/* KivSdp: the interface shared by the SDP device and its applications:
 * control codes, buffer layouts, the status and debug records, the device
 * interface class and the debug zone bits. All integers in these buffers are
 * little-endian; attribute values are SDP data elements (big-endian inside).
 * Plain C; includes nothing but <stddef.h> and <stdint.h>. */
#ifndef KIVSDPIOCTL_H
#define KIVSDPIOCTL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KIVSDP_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KIVSDP_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* Debug zones: a message is printed only while its bit is set in the mask. */
#define SDP_ZONE_INFO_MASK       0x01u
#define SDP_ZONE_WARN_MASK       0x02u
#define SDP_ZONE_ERROR_MASK      0x04u
#define SDP_ZONE_READ_WRITE_MASK 0x08u
#define SDP_ZONE_DATABASE_MASK   0x10u
#define SDP_ZONE_STATUS_MASK     0x20u
#define SDP_ZONE_SEARCH_MASK     0x40u
#define SDP_ZONE_DUMP_MASK       0x80u
#define SDP_ZONE_DEFAULT_MASK    0x07u

/* Device type 0x8004, METHOD_BUFFERED, FILE_ANY_ACCESS, function 0x800 + n. */
#define KIVSDP_DEVICE_TYPE                    0x8004u
#define IOCTL_KIVSDP_ADD_SERVICE_RECORD       0x80042000u
#define IOCTL_KIVSDP_DELETE_SERVICE_RECORD    0x80042004u
#define IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE    0x80042008u
#define IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE 0x8004200Cu
#define IOCTL_KIVSDP_SEND_SDP_REQUEST         0x80042010u
#define IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE  0x80042014u
#define IOCTL_KIVSDP_VERIFY_DATA_ELEMENT      0x80042018u
#define IOCTL_KIVSDP_GET_DATABASE             0x8004201Cu
#define IOCTL_KIVSDP_GET_RECORD_HANDLES       0x80042020u
#define IOCTL_KIVSDP_LISTEN_FOR_STATUS        0x80042024u
#define IOCTL_KIVSDP_GET_DEBUG_INFO           0x80042028u
#define IOCTL_KIVSDP_RESET_DEBUG_INFO         0x8004202Cu
#define IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK      0x80042030u

/* Device interface class {5A3C19E7-2F64-4B8D-9C21-7E40D8B3A6F5}, as a GUID
 * initializer: const GUID GUID_DEVCLASS_NORN_SDP = KIVSDP_GUID_DEVCLASS_NORN_SDP_INIT; */
#define KIVSDP_GUID_DEVCLASS_NORN_SDP_INIT                                                         \
    {                                                                                              \
        0x5A3C19E7, 0x2F64, 0x4B8D,                                                                \
        {                                                                                          \
            0x9C, 0x21, 0x7E, 0x40, 0xD8, 0xB3, 0xA6, 0xF5                                         \
        }                                                                                          \
    }

/* Buffers of the listen and send requests. */
#define KIVSDP_MAX_PDU_SIZE            512u
#define KIVSDP_LISTEN_RESPONSE_MIN_LEN 0x400u
#define KIVSDP_GET_DATABASE_MIN_LEN    0x40u

/* Channel status given to a listen-for-status request. */
#define KIVSDP_CHANNEL_DISCONNECTED 0u
#define KIVSDP_CHANNEL_CONNECTED    1u

#pragma pack(push, 1)

/* Output of IOCTL_KIVSDP_LISTEN_FOR_STATUS. */
typedef struct _KIVSDP_STATUS_RECORD {
    uint16_t Cid;
    uint16_t Status;
} KIVSDP_STATUS_RECORD;

/* Input of IOCTL_KIVSDP_DELETE_SERVICE_RECORD; output of ..._ADD_SERVICE_RECORD. */
typedef struct _KIVSDP_RECORD_HANDLE {
    uint32_t hRec;
} KIVSDP_RECORD_HANDLE;

/* Input of IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE: this header, then Length
 * bytes of value (exactly one data element). */
typedef struct _KIVSDP_ADD_ATTRIBUTE_HEADER {
    uint32_t hRec;
    uint16_t AttId;
    uint32_t Length;
} KIVSDP_ADD_ATTRIBUTE_HEADER;

/* Input of IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE. */
typedef struct _KIVSDP_DELETE_ATTRIBUTE {
    uint32_t hRec;
    uint16_t AttId;
} KIVSDP_DELETE_ATTRIBUTE;

/* Input of IOCTL_KIVSDP_SEND_SDP_REQUEST: CID, then one request PDU whose
 * header is big-endian (PduId, TransactionId, ParameterLength). */
typedef struct _KIVSDP_SEND_REQUEST_HEADER {
    uint16_t Cid;
    uint8_t PduId;
    uint8_t TransactionId[2];
    uint8_t ParameterLength[2];
} KIVSDP_SEND_REQUEST_HEADER;

#pragma pack(pop)

/* Output of IOCTL_KIVSDP_GET_DEBUG_INFO: 22 counters and values. */
typedef struct _KIVSDP_DEBUG_INFO {
    uint32_t RecordList; /* 0 when the database is empty */
    uint32_t DatabaseChangeCount;
    uint32_t NextRecordHandle;
    uint32_t OutstandingAllocations;
    uint32_t TotalAllocations;
    uint32_t IoctlCount;
    uint32_t SendRequestCount;
    uint32_t RequestsPassedDown;
    uint32_t RequestsFinished;
    uint32_t ListenResponseCount;
    uint32_t ResponsesDelivered;
    uint32_t ListenStatusCount;
    uint32_t StatusDelivered;
    uint32_t ListenIrpsSent;
    uint32_t ListenIrpsCompleted;
    uint32_t ReadIrpsSent;
    uint32_t ReadIrpsCompleted;
    uint32_t ResponsesSent;
    uint32_t ResponsesCompleted;
    uint32_t PendingRequests;
    uint32_t PendingResponseListens;
    uint32_t PendingStatusListens;
} KIVSDP_DEBUG_INFO;

KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_STATUS_RECORD) == 4, "status record is 4 bytes");
KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_RECORD_HANDLE) == 4, "record handle is 4 bytes");
KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_ADD_ATTRIBUTE_HEADER) == 10, "value starts at offset 10");
KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_DELETE_ATTRIBUTE) == 6, "delete attribute input is 6 bytes");
KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_SEND_REQUEST_HEADER) == 7, "send request header is 7 bytes");
KIVSDP_STATIC_ASSERT(sizeof(KIVSDP_DEBUG_INFO) == 0x58, "debug record is 0x58 bytes");
#ifdef __cplusplus
static_assert(offsetof(KIVSDP_ADD_ATTRIBUTE_HEADER, AttId) == 4, "AttId at 4");
static_assert(offsetof(KIVSDP_ADD_ATTRIBUTE_HEADER, Length) == 6, "Length at 6");
static_assert(offsetof(KIVSDP_STATUS_RECORD, Status) == 2, "Status at 2");
static_assert(offsetof(KIVSDP_DEBUG_INFO, IoctlCount) == 0x14, "IoctlCount at 0x14");
static_assert(offsetof(KIVSDP_DEBUG_INFO, ResponsesSent) == 0x44, "ResponsesSent at 0x44");
static_assert(offsetof(KIVSDP_DEBUG_INFO, PendingStatusListens) == 0x54, "last field at 0x54");
#endif

#endif /* KIVSDPIOCTL_H */

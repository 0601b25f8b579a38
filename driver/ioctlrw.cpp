// The application requests of the SDP device: the database requests, and the
// client path (checking and sending an application's SDP request, and
// delivering inbound responses and channel status to listen requests).
#include "kivsdp.h"

#include <string.h>

// ---------------------------------------------------------------------------------------------
// Database requests (PASSIVE_LEVEL; the core takes the database lock)

// Runs one of the core's buffered handlers on the request's system buffer.
// A success never reports more bytes than the output buffer holds, so the
// I/O manager never copies past it; a failure keeps the size the handler
// asked for (the reading requests report the size they need).
template <typename HANDLER>
static NTSTATUS RunDatabaseRequest(PIRP Irp, PIO_STACK_LOCATION pStack, HANDLER Handler)
{
    SDP_IOCTL_BUFFER Io;
    Io.SystemBuffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
    Io.InputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    Io.OutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    Io.Information = 0;
    if (Io.SystemBuffer == NULL) {
        Io.InputLength = 0;
        Io.OutputLength = 0;
    }
    NTSTATUS status = Handler(Io);
    ULONG_PTR Information = Io.Information;
    if (NT_SUCCESS(status) && Information > Io.OutputLength) Information = Io.OutputLength;
    Irp->IoStatus.Information = Information;
    return status;
}

static NTSTATUS RunDatabaseRequest(PIRP Irp, PIO_STACK_LOCATION pStack, CSdpDatabase& Database,
                                   SDP_STATUS (CSdpDatabase::*Handler)(SDP_IOCTL_BUFFER&))
{
    return RunDatabaseRequest(Irp, pStack,
                              [&](SDP_IOCTL_BUFFER& Io) { return (Database.*Handler)(Io); });
}

NTSTATUS CKivSdp::UserIoctlAddRecord(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlAddRecord);
}

NTSTATUS CKivSdp::UserIoctlDeleteRecord(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlDeleteRecord);
}

NTSTATUS CKivSdp::UserIoctlAddAttribute(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlAddAttribute);
}

NTSTATUS CKivSdp::UserIoctlDeleteAttribute(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlDeleteAttribute);
}

NTSTATUS CKivSdp::UserIoctlVerifyDataElement(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, CSdpDatabase::UserIoctlVerifyDataElement);
}

NTSTATUS CKivSdp::UserIoctlGetDatabase(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlGetDatabase);
}

NTSTATUS CKivSdp::UserIoctlGetRecordHandles(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    return RunDatabaseRequest(Irp, pStack, Database, &CSdpDatabase::UserIoctlGetRecordHandles);
}

// ---------------------------------------------------------------------------------------------
// Client request path

// The ParameterLength field of the PDU header at pPdu (Len bytes; 0 when short).
static USHORT ReadParameterLength(const UCHAR* pPdu, ULONG Len)
{
    CByteReader Header(pPdu, Len);
    Header.Skip(SDP_PDU_PARAMETER_LENGTH_OFFSET);
    return Header.ReadBe16();
}

// PASSIVE_LEVEL. STATUS_PENDING: valid, to be queued.
NTSTATUS CKivSdp::SendSdpRequestCheckParameters(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : SendSdpRequestCheckParameters()..\n");
    const ULONG InLen = pStack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* p = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    if (InLen < sizeof(KIVSDP_SEND_REQUEST_HEADER) || p == NULL) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Invalid parameters. Buffer too "
                     "small..\n");
        return STATUS_INVALID_PARAMETER;
    }

    CByteReader Header(p, sizeof(KIVSDP_SEND_REQUEST_HEADER));
    const USHORT Cid = Header.ReadLe16();
    const UCHAR PduId = Header.ReadU8();
    Header.Skip(sizeof(KIVSDP_SEND_REQUEST_HEADER::TransactionId));
    const ULONG PduLen = ULONG(Header.ReadBe16()) + SDP_PDU_HEADER_SIZE;
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : SendSdpRequestCheckParameters() - Length of SDP request = %d\n",
                 int(PduLen));
    if (InLen != PduLen + 2) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Invalid parameters. Got 0x%x. "
                     "Exp 0x%x\n",
                     unsigned(InLen), unsigned(PduLen + 2));
        return STATUS_INVALID_PARAMETER;
    }
    if (PduLen < 12) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Error! Request to short!\n");
        return STATUS_INVALID_PARAMETER;
    }
    USHORT Mtu = 0;
    NTSTATUS status = GetMaxMTUFromCID(Cid, &Mtu);
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Failed to find MTU size for CID "
                     "0x%x (CID does probably not exist)\n",
                     unsigned(Cid));
        return status;
    }
    if (PduLen > Mtu) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Error! Request too long for "
                     "remote server..\n");
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() -    Max length for CID 0x%x is "
                     "0x%x. Got 0x%x\n",
                     unsigned(Cid), unsigned(Mtu), unsigned(PduLen));
        return STATUS_INVALID_PARAMETER;
    }
    if (PduId != SDP_PDU_SERVICE_SEARCH_REQUEST && PduId != SDP_PDU_SERVICE_ATTRIBUTE_REQUEST &&
        PduId != SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_REQUEST) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SendSdpRequestCheckParameters() - Error! Invalid PDU ID (0x%x)\n",
                     unsigned(PduId));
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_PENDING;
}

NTSTATUS CKivSdp::ListenForSdpResponseCheckParameters(PIRP, PIO_STACK_LOCATION pStack)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : ListenForSdpResponseCheckParameters()..\n");
    const ULONG OutLen = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (OutLen < KIVSDP_LISTEN_RESPONSE_MIN_LEN) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : ListenForSdpResponseCheckParameters() - Invalid parameters. Buffer "
                     "too small. Got 0x%x. Req >= 0x%x.\n",
                     unsigned(OutLen), unsigned(KIVSDP_LISTEN_RESPONSE_MIN_LEN));
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_PENDING;
}

NTSTATUS CKivSdp::ListenForSdpStatusCheckParameters(PIRP, PIO_STACK_LOCATION pStack)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : ListenForSdpStatusCheckParameters()..\n");
    const ULONG OutLen = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (OutLen < sizeof(KIVSDP_STATUS_RECORD)) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : ListenForSdpStatusCheckParameters() - Invalid parameters. Buffer "
                     "too small. Got 0x%x. Req >= 0x%x.\n",
                     unsigned(OutLen), unsigned(sizeof(KIVSDP_STATUS_RECORD)));
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_PENDING;
}

// DISPATCH_LEVEL, holding the device spin lock. The application's own
// request becomes the write: its system buffer already holds CID + PDU.
// The write is this device's request, checked and in a system buffer, so
// it goes down in kernel mode: the L2CAP device refuses channel requests
// of applications.
NTSTATUS CKivSdp::PrepareSdpRequestIrp(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : PrepareSdpRequestIrp()..\n");
    const ULONG InLen = pStack->Parameters.DeviceIoControl.InputBufferLength;
    Irp->RequestorMode = KernelMode;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_WRITE;
    pNext->MinorFunction = 0;
    pNext->Parameters.Write.Length = InLen;
    pNext->Parameters.Write.Key = 0;
    pNext->Parameters.Write.ByteOffset.QuadPart = 0;

    const UCHAR* p = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    CByteReader Header(p, InLen);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : PrepareSdpRequest() - IRP 0x%x ready for TX. CID = 0x%x. Packet length "
                 "(including CID) = 0x%x..\n",
                 KivSdpLow32(Irp), unsigned(Header.ReadLe16()), unsigned(InLen));
    SdpDumpBytes(SDP_ZONE_DUMP_MASK, "kivsdp : SDP TX REQUEST : ", p + 2, InLen - 2);

    IoSetCompletionRoutine(Irp, SendSdpRequestCompletionRoutine, this, TRUE, TRUE, TRUE);
    return STATUS_SUCCESS;
}

// Up to DISPATCH_LEVEL. Completion goes on to the application with the lower
// driver's status and byte count.
NTSTATUS CKivSdp::SendSdpRequestCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : SendSdpRequestCompletionRoutine() - pIrp = 0x%x..\n", KivSdpLow32(Irp));
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : SendSdpRequestCompletionRoutine() - IRP was completed with status "
                 "0x%x\n",
                 unsigned(Irp->IoStatus.Status));
    KivSdpCountUp(&pSdp->RequestsFinished);
    KivSdpCountDown(&pSdp->PendingRequests);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    pSdp->IrpCountDecrement();
    pSdp->m_RequestQueue.StartNextPacket();
    return status;
}

// PASSIVE_LEVEL, in the inbound work item. The CID is not delivered:
// applications tell responses apart by PDU ID and transaction ID.
VOID CKivSdp::ProcessSdpResponse(const UCHAR* pPdu, ULONG PduLen, USHORT)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : ProcessSdpResponse()..\n");
    const ULONG P = ULONG(ReadParameterLength(pPdu, PduLen)) + SDP_PDU_HEADER_SIZE;
    if (P > MAX_PDU_SIZE) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : ProcessSdpResponse() - Error! PDU len = 0x%x. Max allowed = 0x%x\n",
                     unsigned(P), unsigned(MAX_PDU_SIZE));
        return;
    }
    if (P != PduLen) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : ProcessSdpResponse() - Error! calculated PDU length = 0x%x. "
                     "Expected = 0x%x\n",
                     unsigned(P), unsigned(PduLen));
        return;
    }

    PIRP Irp = TakeCurrentListenIrp(m_ResponseQueue, &ResponsesDelivered, &PendingResponseListens);
    if (Irp == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : ProcessSdpResponse() - Hmm! We got an SDP response but we have no "
                     "IRP to complete.. *** Packet is LOST ***\n");
        return;
    }

    memcpy(Irp->AssociatedIrp.SystemBuffer, pPdu, PduLen);
    Irp->IoStatus.Information = PduLen;
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : ProcessSdpResponse() - Returning 0x%x bytes to caller..\n",
                 unsigned(PduLen));
    SdpDumpBytes(SDP_ZONE_DUMP_MASK, "kivsdp : SDP RX RESPONSE : ", pPdu, PduLen);
    KivSdpCountUp(&ResponsesDelivered);
    KivSdpCountDown(&PendingResponseListens);
    m_ResponseQueue.CompleteIrpAndStartNext(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
}

// Up to DISPATCH_LEVEL, from a status completion. An event that finds no
// listen request is not kept.
NTSTATUS CKivSdp::SetApiStatus(USHORT Cid, USHORT Status)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK,
                 "kivsdp : SetApiStatus() - Returning status 0x%x for CID 0x%x\n", unsigned(Status),
                 unsigned(Cid));

    PIRP Irp = TakeCurrentListenIrp(m_StatusQueue, &StatusDelivered, &PendingStatusListens);
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : SetApiStatus() - pIrpToComplete = 0x%x\n",
                 KivSdpLow32(Irp));
    if (Irp == NULL) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : SetApiStatus() - ERROR! We have no status IRP to complete!!\n");
        return STATUS_UNSUCCESSFUL;
    }

    CByteWriter Record(static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer),
                       sizeof(KIVSDP_STATUS_RECORD));
    Record.WriteLe16(Cid);
    Record.WriteLe16(Status);
    Irp->IoStatus.Information = sizeof(KIVSDP_STATUS_RECORD);
    KivSdpCountUp(&StatusDelivered);
    KivSdpCountDown(&PendingStatusListens);
    m_StatusQueue.CompleteIrpAndStartNext(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The inbound frame walk and the answer to one request PDU.
#include "frame.h"

#include "bytes.h"
#include "kivsdpioctl.h"
#include "sdpdebug.h"

void ProcessSdpRequest(CSdpDatabase& Database, const CChannelTable& Channels, const uint8_t* pPdu,
                       uint32_t PduLen, uint16_t Cid, const SDP_SERVER_HOST& Host)
{
    SdpDbgPrint(SDP_ZONE_READ_WRITE_MASK, "kivsdp : ProcessSdpRequest()..\n");
    uint16_t MaxMtu = 0;
    if (!SdpSuccess(Channels.GetMaxMTUFromCID(Cid, &MaxMtu))) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                    "kivsdp : ProcessSdpRequest() - Failed to find MTU size for CID 0x%x (CID "
                    "does probably not exist)\n",
                    Cid);
        return;
    }

    uint8_t LocalBlock[MAX_SDP_DATA_PACKET_SIZE];
    uint8_t* pBlock = Host.GetResponseBlock ? Host.GetResponseBlock(Host.Context) : LocalBlock;
    if (!pBlock) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                    "kivsdp : ProcessSdpRequest() - Fatal error!. Could not allocate a buffer for "
                    "our response!\n");
        return;
    }
    SdpDumpBytes(SDP_ZONE_DUMP_MASK, "kivsdp : SDP RX REQUEST : ", pPdu, PduLen);

    CByteWriter Frame(pBlock, 2);
    Frame.WriteLe16(Cid);
    const uint32_t Length = Database.ExecuteSdpRequest(pPdu, PduLen, pBlock + 2, MaxMtu);
    // The transactions guarantee the bound; a larger length is a programming error.
    if (Length > MaxMtu) SdpAssertFailed("length <= MaxMtu", __LINE__, __FILE__);

    void* Carrier = nullptr;
    if (Host.PrepareResponse) {
        Carrier = Host.PrepareResponse(Host.Context, pBlock, Length + 2);
        if (!Carrier) return;
    }
    SdpDumpBytes(SDP_ZONE_DUMP_MASK, "kivsdp : SDP TX RESPONSE : ", pBlock + 2, Length);
    if (Carrier)
        Host.SendPrepared(Host.Context, Carrier);
    else
        Host.SendResponse(Host.Context, pBlock, Length + 2);
}

void SdpProcessFrame(CSdpDatabase& Database, const CChannelTable& Channels, const uint8_t* pFrame,
                     uint32_t TotLen, const SDP_SERVER_HOST& Host)
{
    CByteReader Frame(pFrame, TotLen);
    const uint16_t hL2cap = Frame.ReadLe16();
    if (!Frame.Ok()) return;
    SdpDbgPrint(SDP_ZONE_READ_WRITE_MASK,
                "kivsdp : KivSdpProcessSdpPacket() - hL2cap = 0x%x. Frame length length = 0x%x\n",
                hL2cap, TotLen);

    uint32_t Wp = 2;
    while (Wp < TotLen) {
        if (TotLen - Wp < SDP_PDU_HEADER_SIZE) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivsdp : KivSdpProcessSdpPacket() - Aborting processing of incomming "
                        "PDU!!! Wp = 0x%x. TotLen = 0x%x\n",
                        Wp, TotLen);
            break;
        }
        CByteReader Header(pFrame + Wp, SDP_PDU_HEADER_SIZE);
        const uint8_t PduId = Header.ReadU8();
        Header.Skip(2);
        // Claimed and present lengths differ when the frame is cut short; the
        // PDU is then handled with the bytes that are there.
        const uint32_t PduLen = Header.ReadBe16() + SDP_PDU_HEADER_SIZE;
        uint32_t CurPduLen = PduLen;
        if (PduLen > TotLen - Wp) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivsdp : KivSdpProcessSdpPacket() - Hmm.. Wp = 0x%x. PduLen = 0x%x. "
                        "TotLen = 0x%x\n",
                        Wp, PduLen, TotLen);
            CurPduLen = TotLen - Wp;
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivsdp : KivSdpProcessSdpPacket() - CurPduLen re-sized to %d\n",
                        static_cast<int>(CurPduLen));
        }

        const uint8_t* pPdu = pFrame + Wp;
        switch (PduId) {
        case SDP_PDU_ERROR_RESPONSE:
        case SDP_PDU_SERVICE_SEARCH_RESPONSE:
        case SDP_PDU_SERVICE_ATTRIBUTE_RESPONSE:
        case SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_RESPONSE:
            if (Host.ProcessSdpResponse)
                Host.ProcessSdpResponse(Host.Context, pPdu, CurPduLen, hL2cap);
            break;
        case SDP_PDU_SERVICE_SEARCH_REQUEST:
        case SDP_PDU_SERVICE_ATTRIBUTE_REQUEST:
        case SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_REQUEST:
            ProcessSdpRequest(Database, Channels, pPdu, CurPduLen, hL2cap, Host);
            break;
        default:
            SdpDbgPrint(SDP_ZONE_WARN_MASK,
                        "kivsdp : KivSdpProcessSdpPacket() - Error! PDU ID = 0x%x\n", PduId);
            ProcessSdpRequest(Database, Channels, pPdu, CurPduLen, hL2cap, Host);
            break;
        }

        Wp += CurPduLen;
        if (Wp == TotLen) break;
        SdpDbgPrint(SDP_ZONE_INFO_MASK,
                    "kivsdp : KivSdpProcessSdpPacket() - Looks like we have multiple PDUs in the "
                    "L2CAP frame!!\n");
        SdpDbgPrint(SDP_ZONE_INFO_MASK,
                    "kivsdp : KivSdpProcessSdpPacket() -     Wp = 0x%x. TotLen = 0x%x\n", Wp,
                    TotLen);
    }
}

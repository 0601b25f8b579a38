// libFuzzer target: arbitrary inbound frames to the SDP core over a fixed
// database, at several MTUs, with database changes between frames and
// requests that carry the server's own continuation state (with forged
// resume fields), so the scan past the state check is reached too.
//
// Input: byte 0 picks the MTU, then a run of operations:
//   0 frame      len(2, low 10 bits) + payload                -> frame on the channel
//   1 resume     field(1) + value(2) + len(1) + request prefix -> prefix + last state
//   2 add-attr   handle(1) id(2) len(1) value                  -> application request
//   3 del-attr   handle(1) id(2)
//   4 record     sel(1): add a record, or delete one
//   5 channel    sel(1): reconfigure, reconnect, or disconnect
// Every response is checked: at most the MTU, a response PDU ID, a
// ParameterLength that matches, error responses of 11 bytes with a code the
// server sends; and no transaction touches the pool. Every frame is answered
// twice, once walking the database and once through its index and series
// memo, and the two answers must be the same bytes.
#include "sdpcore.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint16_t FUZZ_CID = 0x0040;
const uint16_t Mtus[] = {48, 49, 52, 64, 100, 255, 256, 511, 512, 672, 30, 0};

struct FUZZ_STATE {
    uint16_t Mtu = 48; // as stored by the channel table
    bool Connected = true;
    uint32_t Allocations = 0;
    bool InFrame = false;
    std::vector<uint8_t> LastState;         // 0C + 12 bytes of the last response, if any
    std::vector<std::vector<uint8_t>> Sent; // the frames of this answer
};

FUZZ_STATE* g_State = nullptr;

void* CountingAllocate(void*, size_t Bytes, uint32_t)
{
    if (g_State->InFrame) std::abort(); // a transaction must not allocate
    ++g_State->Allocations;
    return std::malloc(Bytes);
}

void CountingFree(void*, void* Block, uint32_t)
{
    if (g_State->InFrame) std::abort();
    std::free(Block);
}

uint16_t StoredMtu(uint16_t Mtu)
{
    return Mtu > MAX_MTU ? MAX_MTU : Mtu < MIN_MTU ? MIN_MTU : Mtu;
}

void CheckResponse(void* Context, uint8_t* pFrame, uint32_t FrameLen)
{
    auto* State = static_cast<FUZZ_STATE*>(Context);
    if (!State->Connected) // requests on an unknown channel are dropped
        std::abort();
    if (FrameLen < 2 + SDP_PDU_HEADER_SIZE || (pFrame[0] | pFrame[1] << 8) != FUZZ_CID)
        std::abort();
    State->Sent.emplace_back(pFrame, pFrame + FrameLen);
    const uint8_t* Pdu = pFrame + 2;
    uint32_t Len = FrameLen - 2;
    if (Len > State->Mtu) std::abort();
    if (uint32_t(Pdu[3] << 8 | Pdu[4]) + SDP_PDU_HEADER_SIZE != Len) std::abort();
    switch (Pdu[0]) {
    case SDP_PDU_ERROR_RESPONSE: {
        uint16_t Code = uint16_t(Pdu[5] << 8 | Pdu[6]);
        if (Len != SDP_ERROR_RESPONSE_SIZE ||
            (Code != 0x0002 && Code != 0x0003 && Code != 0x0004 && Code != 0x0005 &&
             Code != 0x00FF) ||
            Pdu[7] != 0 || Pdu[8] != 0 || Pdu[9] != 0 || Pdu[10] != 0)
            std::abort();
        return;
    }
    case SDP_PDU_SERVICE_SEARCH_RESPONSE:
    case SDP_PDU_SERVICE_ATTRIBUTE_RESPONSE:
    case SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_RESPONSE:
        break;
    default:
        std::abort();
    }
    // Every successful response ends with its continuation field.
    if (Len >= 13 + 7 && Pdu[Len - 13] == CONTINUATION_STATE_WIRE_SIZE)
        State->LastState.assign(Pdu + Len - 13, Pdu + Len);
}

class CReader {
public:
    CReader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool Empty() const { return m_Pos >= m_n; }
    uint8_t U8() { return m_Pos < m_n ? m_p[m_Pos++] : 0; }
    uint16_t U16()
    {
        uint16_t Hi = U8();
        return uint16_t(Hi << 8 | U8());
    }
    // Up to n bytes, fewer at the end of the input.
    std::vector<uint8_t> Bytes(size_t n)
    {
        size_t Take = n < m_n - m_Pos ? n : m_n - m_Pos;
        std::vector<uint8_t> v(m_p + m_Pos, m_p + m_Pos + Take);
        m_Pos += Take;
        return v;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_Pos = 0;
};

// Hex pairs separated by single spaces.
void AddAttr(CSdpDatabase& Db, uint32_t hRec, uint16_t Id, const std::string& Hex)
{
    std::vector<uint8_t> Value;
    for (size_t i = 0; i + 1 < Hex.size(); i += 3)
        Value.push_back(uint8_t(std::stoul(Hex.substr(i, 2), nullptr, 16)));
    (void)Db.AddNewServiceAttribute(hRec, Id, Value.data(), uint32_t(Value.size()), true);
}

void BuildDatabase(CSdpDatabase& Db)
{
    (void)Db.InitializeSdpDatabase();
    uint32_t h = Db.NextRecordHandle;
    // Serial port, object push, audio sink, and one long value that needs
    // many responses at a small MTU.
    (void)Db.CreateServiceRecord(h);
    AddAttr(Db, h, 0x0001, "35 03 19 11 01");
    AddAttr(Db, h, 0x0004, "35 0C 35 03 19 01 00 35 05 19 00 03 08 01");
    AddAttr(Db, h, 0x0005, "35 03 19 10 02");
    AddAttr(Db, h, 0x0009, "35 08 35 06 19 11 01 09 01 02");
    AddAttr(Db, h, 0x0100, "25 0B 53 65 72 69 61 6C 20 50 6F 72 74");
    (void)Db.CreateServiceRecord(++h);
    AddAttr(Db, h, 0x0001, "35 03 19 11 05");
    AddAttr(Db, h, 0x0004, "35 11 35 03 19 01 00 35 05 19 00 03 08 02 35 03 19 00 08");
    AddAttr(Db, h, 0x0005, "35 03 19 10 02");
    AddAttr(Db, h, 0x0303, "35 06 08 01 08 02 08 FF");
    (void)Db.CreateServiceRecord(++h);
    AddAttr(Db, h, 0x0001, "3D 03 19 11 0B");
    AddAttr(Db, h, 0x0004, "35 10 35 06 19 01 00 09 00 19 35 06 19 00 19 09 01 03");
    AddAttr(Db, h, 0x0009, "35 14 1C 00 00 11 0D 00 00 10 00 80 00 00 80 5F 9B 34 FB 09 01 03");
    std::string Long = "26 00 C8";
    for (int i = 0; i < 200; ++i)
        Long += " 41";
    AddAttr(Db, h, 0x0100, Long);
    // Small records in the public browse group, enough that a ServiceSearch
    // for it needs a continuation state at MTU 48 (six handles fit).
    for (int i = 0; i < 6; ++i) {
        (void)Db.CreateServiceRecord(++h);
        AddAttr(Db, h, 0x0005, "35 03 19 10 02");
    }
    Db.NextRecordHandle = h + 1;
}

SDP_STATUS Ioctl(CSdpDatabase& Db, SDP_STATUS (CSdpDatabase::*Handler)(SDP_IOCTL_BUFFER&),
                 std::vector<uint8_t> In, uint32_t OutLen)
{
    if (In.size() < OutLen) In.resize(OutLen);
    SDP_IOCTL_BUFFER Io{In.data(), uint32_t(In.size()), OutLen, 0};
    return (Db.*Handler)(Io);
}

void PutLe(std::vector<uint8_t>& v, uint32_t x, int n)
{
    for (int i = 0; i < n; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FUZZ_STATE State;
    g_State = &State;
    SDP_HOST_HOOKS Hooks{&State, nullptr, &CountingAllocate, &CountingFree};
    SdpSetHostHooks(&Hooks);

    CReader In(Data, Size);
    {
        CSdpDatabase Db;
        BuildDatabase(Db);
        CChannelTable Channels;
        uint16_t Mtu = Mtus[In.U8() % (sizeof(Mtus) / sizeof(Mtus[0]))];
        (void)Channels.CreateL2capContext(FUZZ_CID, Mtu);
        State.Mtu = StoredMtu(Mtu);
        SDP_SERVER_HOST Host{&State, nullptr, &CheckResponse, nullptr, nullptr, nullptr};

        auto SendFrame = [&](const std::vector<uint8_t>& Payload) {
            std::vector<uint8_t> Frame;
            PutLe(Frame, FUZZ_CID, 2);
            Frame.insert(Frame.end(), Payload.begin(), Payload.end());
            if (Frame.size() < 2 + SDP_PDU_HEADER_SIZE || Frame.size() > MAX_SDP_DATA_PACKET_SIZE)
                return;
            State.InFrame = true;
            State.Sent.clear();
            Db.SetFastPath(false);
            SdpProcessFrame(Db, Channels, Frame.data(), uint32_t(Frame.size()), Host);
            const std::vector<std::vector<uint8_t>> Walked = State.Sent;
            State.Sent.clear();
            Db.SetFastPath(true);
            SdpProcessFrame(Db, Channels, Frame.data(), uint32_t(Frame.size()), Host);
            if (State.Sent != Walked) std::abort();
            State.InFrame = false;
        };

        for (int Ops = 0; Ops < 64 && !In.Empty(); ++Ops) {
            switch (In.U8() % 6) {
            case 0:
                SendFrame(In.Bytes(In.U16() & 0x3FF));
                break;
            case 1: {
                // A request ending in the server's own state, one field forged.
                uint8_t Field = In.U8();
                uint16_t Value = In.U16();
                std::vector<uint8_t> Pdu = In.Bytes(In.U8());
                if (Pdu.size() < SDP_PDU_HEADER_SIZE) break;
                std::vector<uint8_t> St = State.LastState;
                if (St.size() != 13) break;
                switch (Field % 4) {
                case 1:
                    St[5 + (Value & 3)] = uint8_t(Value >> 8);
                    break; // hCurRec
                case 2:
                    St[9] = uint8_t(Value);
                    St[10] = uint8_t(Value >> 8);
                    break;
                case 3:
                    St[11] = uint8_t(Value);
                    St[12] = uint8_t(Value >> 8);
                    break;
                default:
                    break;
                }
                Pdu.insert(Pdu.end(), St.begin(), St.end());
                uint32_t P = uint32_t(Pdu.size() - SDP_PDU_HEADER_SIZE);
                Pdu[3] = uint8_t(P >> 8);
                Pdu[4] = uint8_t(P);
                SendFrame(Pdu);
                break;
            }
            case 2: {
                uint32_t hRec = SDP_FIRST_RECORD_HANDLE + In.U8() % 10;
                uint16_t Id = In.U16();
                std::vector<uint8_t> Value = In.Bytes(In.U8());
                std::vector<uint8_t> Buf;
                PutLe(Buf, hRec, 4);
                PutLe(Buf, Id, 2);
                PutLe(Buf, uint32_t(Value.size()), 4);
                Buf.insert(Buf.end(), Value.begin(), Value.end());
                uint32_t Len = uint32_t(Buf.size());
                (void)Ioctl(Db, &CSdpDatabase::UserIoctlAddAttribute, Buf, Len);
                break;
            }
            case 3: {
                std::vector<uint8_t> Buf;
                PutLe(Buf, SDP_FIRST_RECORD_HANDLE + In.U8() % 10, 4);
                PutLe(Buf, In.U16(), 2);
                (void)Ioctl(Db, &CSdpDatabase::UserIoctlDeleteAttribute, Buf, 6);
                break;
            }
            case 4: {
                uint8_t Sel = In.U8();
                if (Sel & 1) {
                    (void)Ioctl(Db, &CSdpDatabase::UserIoctlAddRecord, {}, 4);
                } else {
                    std::vector<uint8_t> Buf;
                    PutLe(Buf, SDP_FIRST_RECORD_HANDLE + (Sel >> 1) % 10, 4);
                    (void)Ioctl(Db, &CSdpDatabase::UserIoctlDeleteRecord, Buf, 4);
                }
                break;
            }
            case 5: {
                uint8_t Sel = In.U8();
                uint16_t NewMtu = Mtus[(Sel & 0x3F) % (sizeof(Mtus) / sizeof(Mtus[0]))];
                if (Sel & 0x80) {
                    (void)Channels.DestroyL2capContext(FUZZ_CID);
                    State.Connected = false;
                } else if (Sel & 0x40) {
                    (void)Channels.CreateL2capContext(FUZZ_CID, NewMtu);
                    State.Connected = true;
                    State.Mtu = StoredMtu(NewMtu);
                } else if (Channels.ReConfigL2capContext(FUZZ_CID, NewMtu) == SDP_STATUS_SUCCESS) {
                    State.Mtu = StoredMtu(NewMtu);
                }
                break;
            }
            }
        }
        (void)Db.TerminateSdpDatabase();
        if (Db.OutstandingAllocations != 0) std::abort();
    }
    SdpSetHostHooks(nullptr);
    g_State = nullptr;
    return 0;
}

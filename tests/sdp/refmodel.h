// An independent reference model of the SDP server: its own little service
// database, data element measuring, UUID matching, the three transactions
// with the attribute scan and continuation, and the frame walk. Written with
// plain std containers and no code of the core, so the differential test can
// judge the core (or any fast path inside it) by comparing every response byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace refmodel {

typedef std::vector<uint8_t> Bytes;

// Status values of the application requests, as the device reports them.
constexpr uint32_t REF_STATUS_SUCCESS = 0;
constexpr uint32_t REF_STATUS_INVALID_PARAMETER = 0xC000000Du;

struct REF_ATTRIBUTE {
    uint16_t Id;
    Bytes Value;
};

// Attributes in ascending ID order; the first is 0x0000 with 0A + handle.
struct REF_RECORD {
    std::vector<REF_ATTRIBUTE> Attributes;
};

// The resume record as it travels in a PDU (12 bytes little-endian).
struct REF_STATE {
    uint32_t ServerState = 0;
    uint32_t hCurRec = 0;
    uint16_t CurAttID = 0;
    uint16_t CurOffset = 0;
};

// Measuring and checking elements over a window of Avail readable bytes.
// ElementSize reads the length field only when MaxLen says it is there;
// VerifyElement refuses an element that reaches past Avail (the requests'
// lists that claim more than the PDU holds all end in 0x0003 anyway).
uint32_t ElementSize(const uint8_t* p, uint32_t MaxLen);
bool VerifyElement(const uint8_t* p, uint32_t Length, uint32_t Avail);

class CRefModel {
public:
    // A database holding the server record, as the device makes it.
    CRefModel();

    // The application's database requests. Out receives what the request
    // returns in its buffer (the handle, or the input echoed back).
    uint32_t AddRecord(Bytes& Out);
    uint32_t DelRecord(uint32_t hRec, Bytes& Out);
    uint32_t AddAttr(uint32_t hRec, uint16_t AttId, const Bytes& Value, Bytes& Out);
    uint32_t DelAttr(uint32_t hRec, uint16_t AttId, Bytes& Out);

    // Channel events; MTUs outside 48..512 are not modelled.
    void Connect(uint16_t Cid, uint16_t Mtu);
    void Config(uint16_t Cid, uint16_t Mtu);
    void Disconnect(uint16_t Cid);

    // One inbound frame (payload after the CID); returns the response PDUs
    // sent back on Cid, in order.
    std::vector<Bytes> Frame(uint16_t Cid, const Bytes& Payload);

    // One request PDU at that MTU (48..512): the response PDU.
    Bytes Answer(const Bytes& Pdu, uint32_t Mtu);

    uint32_t ChangeCount() const { return m_ChangeCount; }
    const std::vector<REF_RECORD>& Records() const { return m_Records; }

private:
    // Database steps.
    void CreateRecord(uint32_t hRec);
    void FreeRecord(size_t Index);
    void CreateAttribute(REF_RECORD& Rec, uint16_t AttId, const Bytes& Value);
    void FreeAttribute(REF_RECORD& Rec, size_t Index);
    uint32_t AddNewAttribute(uint32_t hRec, uint16_t AttId, const Bytes& Value, bool User);
    REF_RECORD* FindRecord(uint32_t hRec);
    static REF_ATTRIBUTE* FindAttribute(REF_RECORD& Rec, uint16_t AttId);
    static void BumpState(REF_RECORD& Rec, uint16_t AttId);

    // Transactions. Each fills the zeroed response of Mtu bytes.
    void ServiceSearch(const Bytes& Req, Bytes& Rsp, uint32_t Mtu);
    void ServiceAttribute(const Bytes& Req, Bytes& Rsp, uint32_t Mtu);
    void ServiceSearchAttribute(const Bytes& Req, Bytes& Rsp, uint32_t Mtu);

    std::vector<REF_RECORD> m_Records;
    uint32_t m_ChangeCount = 0;
    uint32_t m_NextHandle = 0;
    std::map<uint16_t, uint16_t> m_Channels;
};

} // namespace refmodel

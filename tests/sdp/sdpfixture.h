// SdpCoreFixture: a fresh database holding the server record, hooks that
// record every debug line with its zone and count every pool block, and
// helpers that build requests and answer them through the frame walk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sdpcore.h"

typedef std::vector<uint8_t> Bytes;

struct PRINTED_LINE {
    uint32_t Zone;
    std::string Text;
};

// Concatenation of byte runs, so that requests read like their layout.
Bytes Cat(std::initializer_list<Bytes> Parts);
Bytes Be16(uint16_t v);
Bytes Be32(uint32_t v);
Bytes Le32(uint32_t v);
// 35 len members (a sequence with an 8-bit length).
Bytes Seq(const Bytes& Members);
Bytes Uuid16(uint16_t v);
Bytes Id16(uint16_t v);
Bytes Range(uint16_t Lo, uint16_t Hi);
// A PDU: ID, transaction ID, ParameterLength, parameters.
Bytes Pdu(uint8_t Id, uint16_t Tid, const Bytes& Params);
Bytes ErrorPdu(uint16_t Tid, uint16_t Code);
// Request builders; Cont is the whole ContinuationState field (length byte
// included), {0x00} when empty.
Bytes SsReq(uint16_t Tid, const Bytes& Pattern, uint16_t MaxCount, const Bytes& Cont = {0});
Bytes SaReq(uint16_t Tid, uint32_t hRec, uint16_t MaxBytes, const Bytes& IdList,
            const Bytes& Cont = {0});
Bytes SsaReq(uint16_t Tid, const Bytes& Pattern, uint16_t MaxBytes, const Bytes& IdList,
             const Bytes& Cont = {0});
// A ContinuationState field (length byte included) holding that state.
Bytes State(uint32_t Server, uint32_t hRec, uint16_t AttId, uint16_t Offset);
// The ContinuationState field at the end of a response PDU (length byte included).
Bytes ContinuationOf(const Bytes& Rsp);
std::string Hex(const Bytes& b);

class SdpCoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Answers one PDU sent in its own frame on CID 0x0040 at that MTU; the
    // request must get exactly one response, whose PDU is returned.
    Bytes Answer(const Bytes& Request, uint16_t Mtu);
    // Runs one request straight through ExecuteSdpRequest at that MTU.
    Bytes Direct(const Bytes& Request, uint16_t Mtu);
    // Sends one frame (CID + payload) and returns every response frame sent.
    std::vector<Bytes> SendFrame(const Bytes& Frame);

    uint32_t AddRecord();
    void AddAttr(uint32_t hRec, uint16_t AttId, const Bytes& Value);

    bool Printed(uint32_t Zone, const std::string& Text) const;
    size_t CountPrinted(const std::string& Text) const;
    void ClearPrints() { Lines.clear(); }

    CSdpDatabase Db;
    CChannelTable Channels;
    std::vector<PRINTED_LINE> Lines;
    std::vector<Bytes> Responses;

    // Pool accounting and failure injection: allocation number FailAt
    // (counted from 0 after SetUp) returns null.
    uint64_t Allocations = 0;
    uint64_t Frees = 0;
    int64_t FailAt = -1;
    uint64_t Live() const { return Allocations - Frees; }
    // Makes the next allocation number 0 for FailAt.
    void ResetAllocIndex() { m_AllocIndex = 0; }
    // Calls of the allocate hook, failed ones included.
    uint64_t AllocCalls() const { return m_AllocIndex; }

    static void* HookAllocate(void* Context, size_t Bytes, uint32_t Tag);
    static void HookFree(void* Context, void* Block, uint32_t Tag);
    static void HookPrint(void* Context, uint32_t Zone, const char* Format, va_list Args);
    SDP_SERVER_HOST Host();

private:
    uint64_t m_AllocIndex = 0;
};

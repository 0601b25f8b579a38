// The SDP core test fixture and request builders.
#include "sdpfixture.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "kivsdpioctl.h"

Bytes Cat(std::initializer_list<Bytes> Parts)
{
    Bytes Out;
    for (const Bytes& p : Parts)
        Out.insert(Out.end(), p.begin(), p.end());
    return Out;
}

Bytes Be16(uint16_t v)
{
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Seq(const Bytes& Members)
{
    return Cat({{0x35, static_cast<uint8_t>(Members.size())}, Members});
}

Bytes Uuid16(uint16_t v)
{
    return Cat({{0x19}, Be16(v)});
}
Bytes Id16(uint16_t v)
{
    return Cat({{0x09}, Be16(v)});
}
Bytes Range(uint16_t Lo, uint16_t Hi)
{
    return Cat({{0x0A}, Be16(Lo), Be16(Hi)});
}

Bytes Pdu(uint8_t Id, uint16_t Tid, const Bytes& Params)
{
    return Cat({{Id}, Be16(Tid), Be16(static_cast<uint16_t>(Params.size())), Params});
}

Bytes ErrorPdu(uint16_t Tid, uint16_t Code)
{
    return Cat({{0x01}, Be16(Tid), {0x00, 0x06}, Be16(Code), {0, 0, 0, 0}});
}

Bytes SsReq(uint16_t Tid, const Bytes& Pattern, uint16_t MaxCount, const Bytes& Cont)
{
    return Pdu(0x02, Tid, Cat({Pattern, Be16(MaxCount), Cont}));
}

Bytes SaReq(uint16_t Tid, uint32_t hRec, uint16_t MaxBytes, const Bytes& IdList, const Bytes& Cont)
{
    return Pdu(0x04, Tid, Cat({Be32(hRec), Be16(MaxBytes), IdList, Cont}));
}

Bytes SsaReq(uint16_t Tid, const Bytes& Pattern, uint16_t MaxBytes, const Bytes& IdList,
             const Bytes& Cont)
{
    return Pdu(0x06, Tid, Cat({Pattern, Be16(MaxBytes), IdList, Cont}));
}

Bytes State(uint32_t Server, uint32_t hRec, uint16_t AttId, uint16_t Offset)
{
    Bytes b = {0x0C};
    for (uint32_t v : {Server, hRec, uint32_t(AttId) | uint32_t(Offset) << 16})
        for (int i = 0; i < 32; i += 8)
            b.push_back(static_cast<uint8_t>(v >> i));
    return b;
}

Bytes ContinuationOf(const Bytes& Rsp)
{
    if (Rsp.size() < 8) return {};
    size_t At;
    if (Rsp[0] == 0x03) {
        At = 9 + 4 * size_t(Rsp[7] << 8 | Rsp[8]);
    } else {
        At = 7 + size_t(Rsp[5] << 8 | Rsp[6]);
    }
    if (At >= Rsp.size()) return {};
    return Bytes(Rsp.begin() + static_cast<long>(At), Rsp.end());
}

std::string Hex(const Bytes& b)
{
    std::string s;
    char t[4];
    for (uint8_t c : b) {
        std::snprintf(t, sizeof(t), "%02X ", c);
        s += t;
    }
    return s;
}

void* SdpCoreFixture::HookAllocate(void* Context, size_t Size, uint32_t Tag)
{
    auto* f = static_cast<SdpCoreFixture*>(Context);
    EXPECT_EQ(Tag, SDP_DATABASE_POOL_TAG);
    const uint64_t Index = f->m_AllocIndex++;
    if (f->FailAt >= 0 && Index == static_cast<uint64_t>(f->FailAt)) return nullptr;
    f->Allocations++;
    return std::malloc(Size ? Size : 1);
}

void SdpCoreFixture::HookFree(void* Context, void* Block, uint32_t Tag)
{
    auto* f = static_cast<SdpCoreFixture*>(Context);
    EXPECT_EQ(Tag, SDP_DATABASE_POOL_TAG);
    f->Frees++;
    std::free(Block);
}

void SdpCoreFixture::HookPrint(void* Context, uint32_t Zone, const char* Format, va_list Args)
{
    auto* f = static_cast<SdpCoreFixture*>(Context);
    char Line[1024];
    std::vsnprintf(Line, sizeof(Line), Format, Args);
    // Byte dumps arrive piece by piece; join a piece to the open line of its zone.
    if (!f->Lines.empty() && f->Lines.back().Zone == Zone && !f->Lines.back().Text.empty() &&
        f->Lines.back().Text.back() != '\n') {
        f->Lines.back().Text += Line;
    } else {
        f->Lines.push_back({Zone, Line});
    }
}

SDP_SERVER_HOST SdpCoreFixture::Host()
{
    SDP_SERVER_HOST h = {};
    h.Context = this;
    h.SendResponse = [](void* Context, uint8_t* pFrame, uint32_t Len) {
        static_cast<SdpCoreFixture*>(Context)->Responses.emplace_back(pFrame, pFrame + Len);
    };
    h.ProcessSdpResponse = [](void*, const uint8_t*, uint32_t, uint16_t) {};
    return h;
}

void SdpCoreFixture::SetUp()
{
    SDP_HOST_HOOKS Hooks = {this, HookPrint, HookAllocate, HookFree};
    SdpSetHostHooks(&Hooks);
    SdpSetZoneMask(SDP_ZONE_DEFAULT_MASK);
    ASSERT_EQ(Db.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
    Lines.clear();
}

void SdpCoreFixture::TearDown()
{
    FailAt = -1;
    EXPECT_EQ(Db.TerminateSdpDatabase(), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Db.OutstandingAllocations, 0u);
    EXPECT_EQ(Live(), 0u) << "pool blocks left after terminating the database";
    for (const PRINTED_LINE& l : Lines)
        EXPECT_EQ(l.Text.find("NORN ASSERT"), std::string::npos) << l.Text;
    SdpSetHostHooks(nullptr);
    SdpSetZoneMask(SDP_ZONE_DEFAULT_MASK);
}

std::vector<Bytes> SdpCoreFixture::SendFrame(const Bytes& Frame)
{
    Responses.clear();
    SdpProcessFrame(Db, Channels, Frame.data(), static_cast<uint32_t>(Frame.size()), Host());
    return Responses;
}

Bytes SdpCoreFixture::Answer(const Bytes& Request, uint16_t Mtu)
{
    if (!SdpSuccess(Channels.ReConfigL2capContext(0x0040, Mtu)))
        Channels.CreateL2capContext(0x0040, Mtu);
    std::vector<Bytes> Frames = SendFrame(Cat({{0x40, 0x00}, Request}));
    EXPECT_EQ(Frames.size(), 1u);
    if (Frames.size() != 1 || Frames[0].size() < 2) return {};
    EXPECT_EQ(Frames[0][0], 0x40);
    EXPECT_EQ(Frames[0][1], 0x00);
    return Bytes(Frames[0].begin() + 2, Frames[0].end());
}

Bytes SdpCoreFixture::Direct(const Bytes& Request, uint16_t Mtu)
{
    Bytes Rsp(MAX_SDP_DATA_PACKET_SIZE, 0xEE);
    const uint32_t n = Db.ExecuteSdpRequest(Request.data(), static_cast<uint32_t>(Request.size()),
                                            Rsp.data(), Mtu);
    EXPECT_LE(n, Mtu);
    // Nothing is written past the MTU.
    for (size_t i = Mtu; i < Rsp.size(); i++)
        EXPECT_EQ(Rsp[i], 0xEE) << i;
    Rsp.resize(n);
    return Rsp;
}

uint32_t SdpCoreFixture::AddRecord()
{
    uint8_t Buffer[4] = {};
    SDP_IOCTL_BUFFER Io = {Buffer, 0, 4, 0};
    EXPECT_EQ(Db.UserIoctlAddRecord(Io), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Io.Information, 4u);
    return uint32_t(Buffer[0]) | uint32_t(Buffer[1]) << 8 | uint32_t(Buffer[2]) << 16 |
           uint32_t(Buffer[3]) << 24;
}

void SdpCoreFixture::AddAttr(uint32_t hRec, uint16_t AttId, const Bytes& Value)
{
    ASSERT_EQ(Db.AddNewServiceAttribute(hRec, AttId, Value.data(),
                                        static_cast<uint32_t>(Value.size()), true),
              SDP_STATUS_SUCCESS);
}

bool SdpCoreFixture::Printed(uint32_t Zone, const std::string& Text) const
{
    for (const PRINTED_LINE& l : Lines)
        if (l.Zone == Zone && l.Text == Text) return true;
    return false;
}

size_t SdpCoreFixture::CountPrinted(const std::string& Text) const
{
    size_t n = 0;
    for (const PRINTED_LINE& l : Lines)
        if (l.Text == Text) n++;
    return n;
}

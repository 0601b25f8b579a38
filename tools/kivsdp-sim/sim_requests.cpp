// Database request buffers for kivsdp-sim.
#include "sim_requests.h"

void PutLe16(std::vector<uint8_t>& Buf, uint16_t v)
{
    Buf.push_back(uint8_t(v));
    Buf.push_back(uint8_t(v >> 8));
}

void PutLe32(std::vector<uint8_t>& Buf, uint32_t v)
{
    PutLe16(Buf, uint16_t(v));
    PutLe16(Buf, uint16_t(v >> 16));
}

std::vector<uint8_t> BuildDelRecordInput(uint32_t Handle)
{
    std::vector<uint8_t> Buf;
    PutLe32(Buf, Handle);
    return Buf;
}

std::vector<uint8_t> BuildAddAttrInput(uint32_t Handle, uint16_t AttId,
                                       std::span<const uint8_t> Value)
{
    std::vector<uint8_t> Buf;
    PutLe32(Buf, Handle);
    PutLe16(Buf, AttId);
    PutLe32(Buf, uint32_t(Value.size()));
    Buf.insert(Buf.end(), Value.begin(), Value.end());
    return Buf;
}

std::vector<uint8_t> BuildDelAttrInput(uint32_t Handle, uint16_t AttId)
{
    std::vector<uint8_t> Buf;
    PutLe32(Buf, Handle);
    PutLe16(Buf, AttId);
    return Buf;
}

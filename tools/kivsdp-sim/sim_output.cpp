// Output line formatting for kivsdp-sim.
#include "sim_output.h"

#include <cstdio>

namespace {

void AppendBytes(std::string& Line, std::span<const uint8_t> Bytes)
{
    char Hex[4];
    for (uint8_t b : Bytes) {
        std::snprintf(Hex, sizeof(Hex), " %02X", b);
        Line += Hex;
    }
}

} // namespace

std::string FormatTxLine(uint16_t Cid, std::span<const uint8_t> Payload)
{
    char Head[16];
    std::snprintf(Head, sizeof(Head), "tx 0x%04X", unsigned(Cid));
    std::string Line = Head;
    AppendBytes(Line, Payload);
    return Line;
}

std::string FormatRequestLine(std::string_view Word, uint32_t Status,
                              std::span<const uint8_t> Output)
{
    char Code[16];
    std::snprintf(Code, sizeof(Code), " 0x%08X", unsigned(Status));
    std::string Line(Word);
    Line += Code;
    AppendBytes(Line, Output);
    return Line;
}

// Output lines of kivsdp-sim. Their text is a contract: tests and users compare
// it byte for byte, so nothing else is ever written to standard output.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// "tx 0x%04X" then " %02X" per payload byte.
std::string FormatTxLine(uint16_t Cid, std::span<const uint8_t> Payload);

// The command word, " 0x%08X" status, then " %02X" per output byte.
std::string FormatRequestLine(std::string_view Word, uint32_t Status,
                              std::span<const uint8_t> Output);

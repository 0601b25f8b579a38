// Input buffers of the database requests, built as an application builds them
// (little-endian, unaligned, packed). Both targets send exactly these bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

std::vector<uint8_t> BuildDelRecordInput(uint32_t Handle);
std::vector<uint8_t> BuildAddAttrInput(uint32_t Handle, uint16_t AttId,
                                       std::span<const uint8_t> Value);
std::vector<uint8_t> BuildDelAttrInput(uint32_t Handle, uint16_t AttId);

void PutLe16(std::vector<uint8_t>& Buf, uint16_t v);
void PutLe32(std::vector<uint8_t>& Buf, uint32_t v);

// Bounds-checked reader and capacity-checked writer of the SDP core.
#include "bytes.h"

#include <cstring>

uint8_t CByteReader::ReadU8()
{
    if (!Need(1)) return 0;
    return m_p[m_Pos++];
}

uint16_t CByteReader::ReadBe16()
{
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(m_p[m_Pos] << 8 | m_p[m_Pos + 1]);
    m_Pos += 2;
    return v;
}

uint32_t CByteReader::ReadBe32()
{
    if (!Need(4)) return 0;
    uint32_t v = static_cast<uint32_t>(m_p[m_Pos]) << 24 |
                 static_cast<uint32_t>(m_p[m_Pos + 1]) << 16 |
                 static_cast<uint32_t>(m_p[m_Pos + 2]) << 8 | m_p[m_Pos + 3];
    m_Pos += 4;
    return v;
}

uint16_t CByteReader::ReadLe16()
{
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(m_p[m_Pos] | m_p[m_Pos + 1] << 8);
    m_Pos += 2;
    return v;
}

uint32_t CByteReader::ReadLe32()
{
    if (!Need(4)) return 0;
    uint32_t v = m_p[m_Pos] | static_cast<uint32_t>(m_p[m_Pos + 1]) << 8 |
                 static_cast<uint32_t>(m_p[m_Pos + 2]) << 16 |
                 static_cast<uint32_t>(m_p[m_Pos + 3]) << 24;
    m_Pos += 4;
    return v;
}

CByteReader CByteReader::Take(size_t n)
{
    if (!Need(n)) {
        CByteReader Failed;
        Failed.m_Failed = true;
        return Failed;
    }
    CByteReader Sub(m_p + m_Pos, n);
    m_Pos += n;
    return Sub;
}

void CByteReader::Skip(size_t n)
{
    if (Need(n)) m_Pos += n;
}

uint8_t CByteReader::PeekU8(size_t Offset) const
{
    if (m_Failed || Offset >= m_Len - m_Pos) return 0;
    return m_p[m_Pos + Offset];
}

void CByteWriter::WriteU8(uint8_t v)
{
    if (Need(1)) m_p[m_Pos++] = v;
}

void CByteWriter::WriteBe16(uint16_t v)
{
    if (!Need(2)) return;
    m_p[m_Pos] = static_cast<uint8_t>(v >> 8);
    m_p[m_Pos + 1] = static_cast<uint8_t>(v);
    m_Pos += 2;
}

void CByteWriter::WriteBe32(uint32_t v)
{
    if (!Need(4)) return;
    for (int i = 0; i < 4; i++)
        m_p[m_Pos + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    m_Pos += 4;
}

void CByteWriter::WriteLe16(uint16_t v)
{
    if (!Need(2)) return;
    m_p[m_Pos] = static_cast<uint8_t>(v);
    m_p[m_Pos + 1] = static_cast<uint8_t>(v >> 8);
    m_Pos += 2;
}

void CByteWriter::WriteLe32(uint32_t v)
{
    if (!Need(4)) return;
    for (int i = 0; i < 4; i++)
        m_p[m_Pos + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    m_Pos += 4;
}

void CByteWriter::WriteBytes(const uint8_t* p, size_t n)
{
    if (n == 0 || !Need(n)) return;
    std::memcpy(m_p + m_Pos, p, n);
    m_Pos += n;
}

size_t CByteWriter::Reserve(size_t n)
{
    size_t Offset = m_Pos;
    if (Need(n)) m_Pos += n;
    return Offset;
}

void CByteWriter::PatchU8(size_t Offset, uint8_t v)
{
    if (m_Failed || Offset >= m_Pos) {
        m_Failed = true;
        return;
    }
    m_p[Offset] = v;
}

void CByteWriter::PatchBe16(size_t Offset, uint16_t v)
{
    if (m_Failed || Offset > m_Pos || m_Pos - Offset < 2) {
        m_Failed = true;
        return;
    }
    m_p[Offset] = static_cast<uint8_t>(v >> 8);
    m_p[Offset + 1] = static_cast<uint8_t>(v);
}

void CByteWriter::Seek(size_t Offset)
{
    if (m_Failed || Offset > m_Cap) {
        m_Failed = true;
        return;
    }
    m_Pos = Offset;
}

// Bounds-checked reader and capacity-checked writer of the SDP core.
#include "bytes.h"

#include <cstring>

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

uint8_t CByteReader::PeekU8(size_t Offset) const
{
    if (m_Failed || Offset >= m_Len - m_Pos) return 0;
    return m_p[m_Pos + Offset];
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

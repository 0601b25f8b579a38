// Bounds-checked byte reader and capacity-checked byte writer of the SDP
// core. Every byte of a remote request is read through CByteReader and every
// byte of a response written through CByteWriter; failures are sticky.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class CByteReader {
public:
    CByteReader() : m_p(nullptr), m_Len(0) {}
    CByteReader(const uint8_t* p, size_t Len) : m_p(p), m_Len(p ? Len : 0) {}

    uint8_t ReadU8();
    uint16_t ReadBe16(); // SDP fields
    uint32_t ReadBe32();
    uint16_t ReadLe16(); // CID prefix, application buffers, continuation state
    uint32_t ReadLe32();
    // Next n bytes as their own reader; on a short read an empty failed reader.
    CByteReader Take(size_t n);
    // Moves on n bytes without reading them.
    void Skip(size_t n);

    // Bytes from the current position on (never null unless empty).
    const uint8_t* Current() const { return m_p + (m_Failed ? m_Len : m_Pos); }
    size_t Remaining() const { return m_Failed ? 0 : m_Len - m_Pos; }
    size_t Position() const { return m_Pos; }
    bool Ok() const { return !m_Failed; }

private:
    bool Need(size_t n)
    {
        // Compare with what is left; m_Pos + n can wrap.
        if (m_Failed || n > m_Len - m_Pos) {
            m_Failed = true;
            return false;
        }
        return true;
    }

    const uint8_t* m_p;
    size_t m_Len;
    size_t m_Pos = 0;
    bool m_Failed = false;
};

// Writes into a caller's buffer of Capacity bytes. A write that does not fit
// writes nothing and makes the writer fail; nothing built by a failed writer
// is sent.
class CByteWriter {
public:
    CByteWriter(uint8_t* p, size_t Capacity) : m_p(p), m_Cap(p ? Capacity : 0) {}

    void WriteU8(uint8_t v);
    void WriteBe16(uint16_t v);
    void WriteBe32(uint32_t v);
    void WriteLe16(uint16_t v);
    void WriteLe32(uint32_t v);
    void WriteBytes(const uint8_t* p, size_t n);
    // Reserves n bytes (left as they are) for a field known only later, such
    // as a length; returns their offset, which a Patch call then fills.
    size_t Reserve(size_t n);
    // Overwrite bytes already inside the written part (reserved or written).
    void PatchU8(size_t Offset, uint8_t v);
    void PatchBe16(size_t Offset, uint16_t v);
    void PatchLe32(size_t Offset, uint32_t v);

    size_t Position() const { return m_Pos; }
    size_t Capacity() const { return m_Cap; }
    size_t Room() const { return m_Failed ? 0 : m_Cap - m_Pos; }
    bool Ok() const { return !m_Failed; }
    uint8_t* Data() const { return m_p; }

private:
    bool Need(size_t n)
    {
        if (m_Failed || n > m_Cap - m_Pos) {
            m_Failed = true;
            return false;
        }
        return true;
    }
    // Offset..Offset+n lies inside the written part; else the writer fails.
    bool Patchable(size_t Offset, size_t n);

    uint8_t* m_p;
    size_t m_Cap;
    size_t m_Pos = 0;
    bool m_Failed = false;
};

// The reads and writes of every field, inline: they run per byte of every
// request and response.

inline uint8_t CByteReader::ReadU8()
{
    if (!Need(1)) return 0;
    return m_p[m_Pos++];
}

inline uint16_t CByteReader::ReadBe16()
{
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(m_p[m_Pos] << 8 | m_p[m_Pos + 1]);
    m_Pos += 2;
    return v;
}

inline uint32_t CByteReader::ReadBe32()
{
    if (!Need(4)) return 0;
    uint32_t v = static_cast<uint32_t>(m_p[m_Pos]) << 24 |
                 static_cast<uint32_t>(m_p[m_Pos + 1]) << 16 |
                 static_cast<uint32_t>(m_p[m_Pos + 2]) << 8 | m_p[m_Pos + 3];
    m_Pos += 4;
    return v;
}

inline uint16_t CByteReader::ReadLe16()
{
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(m_p[m_Pos] | m_p[m_Pos + 1] << 8);
    m_Pos += 2;
    return v;
}

inline uint32_t CByteReader::ReadLe32()
{
    if (!Need(4)) return 0;
    uint32_t v = m_p[m_Pos] | static_cast<uint32_t>(m_p[m_Pos + 1]) << 8 |
                 static_cast<uint32_t>(m_p[m_Pos + 2]) << 16 |
                 static_cast<uint32_t>(m_p[m_Pos + 3]) << 24;
    m_Pos += 4;
    return v;
}

inline void CByteReader::Skip(size_t n)
{
    if (Need(n)) m_Pos += n;
}

inline void CByteWriter::WriteU8(uint8_t v)
{
    if (Need(1)) m_p[m_Pos++] = v;
}

inline void CByteWriter::WriteBe16(uint16_t v)
{
    if (!Need(2)) return;
    m_p[m_Pos] = static_cast<uint8_t>(v >> 8);
    m_p[m_Pos + 1] = static_cast<uint8_t>(v);
    m_Pos += 2;
}

inline void CByteWriter::WriteBe32(uint32_t v)
{
    if (!Need(4)) return;
    for (int i = 0; i < 4; i++)
        m_p[m_Pos + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    m_Pos += 4;
}

inline void CByteWriter::WriteLe16(uint16_t v)
{
    if (!Need(2)) return;
    m_p[m_Pos] = static_cast<uint8_t>(v);
    m_p[m_Pos + 1] = static_cast<uint8_t>(v >> 8);
    m_Pos += 2;
}

inline void CByteWriter::WriteLe32(uint32_t v)
{
    if (!Need(4)) return;
    for (int i = 0; i < 4; i++)
        m_p[m_Pos + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    m_Pos += 4;
}

inline void CByteWriter::WriteBytes(const uint8_t* p, size_t n)
{
    if (n == 0 || !Need(n)) return;
    std::memcpy(m_p + m_Pos, p, n);
    m_Pos += n;
}

inline CByteReader CByteReader::Take(size_t n)
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

inline size_t CByteWriter::Reserve(size_t n)
{
    const size_t Offset = m_Pos;
    if (Need(n)) m_Pos += n;
    return Offset;
}

inline bool CByteWriter::Patchable(size_t Offset, size_t n)
{
    if (m_Failed || Offset > m_Pos || m_Pos - Offset < n) {
        m_Failed = true;
        return false;
    }
    return true;
}

inline void CByteWriter::PatchU8(size_t Offset, uint8_t v)
{
    if (Patchable(Offset, 1)) m_p[Offset] = v;
}

inline void CByteWriter::PatchBe16(size_t Offset, uint16_t v)
{
    if (!Patchable(Offset, 2)) return;
    m_p[Offset] = static_cast<uint8_t>(v >> 8);
    m_p[Offset + 1] = static_cast<uint8_t>(v);
}

inline void CByteWriter::PatchLe32(size_t Offset, uint32_t v)
{
    if (!Patchable(Offset, 4)) return;
    for (int i = 0; i < 4; i++)
        m_p[Offset + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

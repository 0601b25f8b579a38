// btsnoop.cpp: btsnoop records and the HCI and L2CAP packets of a capture (see btsnoop.h).
// The file format is big-endian; HCI and L2CAP fields are little-endian.

#include "btsnoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace btsnoop {

namespace {

void Be32(BYTES& Out, uint32_t v)
{
    for (int Shift = 24; Shift >= 0; Shift -= 8)
        Out.push_back(uint8_t(v >> Shift));
}

void Be64(BYTES& Out, uint64_t v)
{
    for (int Shift = 56; Shift >= 0; Shift -= 8)
        Out.push_back(uint8_t(v >> Shift));
}

void Le16(BYTES& Out, uint16_t v)
{
    Out.push_back(uint8_t(v));
    Out.push_back(uint8_t(v >> 8));
}

BYTES Event(uint8_t Code, const BYTES& Params)
{
    // Sized first and filled in place: GCC 12 at -O3 misreads an insert after a braced
    // initialisation as an overflow.
    BYTES Out(3 + Params.size());
    Out[0] = H4_EVENT;
    Out[1] = Code;
    Out[2] = uint8_t(Params.size());
    std::copy(Params.begin(), Params.end(), Out.begin() + 3);
    return Out;
}

BYTES AclHeader(uint16_t Handle, uint16_t Boundary, size_t DataLength)
{
    BYTES Out{H4_ACL};
    Le16(Out, uint16_t((Handle & 0x0FFF) | Boundary << 12));
    Le16(Out, uint16_t(DataLength));
    return Out;
}

BYTES Cids(uint16_t First, uint16_t Second)
{
    BYTES Out;
    Le16(Out, First);
    Le16(Out, Second);
    return Out;
}

BYTES MtuOption(uint16_t Mtu)
{
    BYTES Out{CONF_OPTION_MTU, 2};
    Le16(Out, Mtu);
    return Out;
}

} // namespace

BYTES FileHeader()
{
    BYTES Out{'b', 't', 's', 'n', 'o', 'o', 'p', 0};
    Be32(Out, VERSION);
    Be32(Out, DATALINK_H4);
    return Out;
}

void AppendRecord(BYTES& Out, uint32_t Flags, int64_t TimestampUs, const BYTES& Packet)
{
    Be32(Out, uint32_t(Packet.size()));
    Be32(Out, uint32_t(Packet.size()));
    Be32(Out, Flags);
    Be32(Out, 0);
    Be64(Out, uint64_t(TimestampUs));
    Out.insert(Out.end(), Packet.begin(), Packet.end());
}

BYTES ConnectionComplete(uint16_t Handle, const uint8_t (&Addr)[6])
{
    BYTES Params{0x00}; // success
    Le16(Params, Handle);
    for (uint8_t b : Addr)
        Params.push_back(b);
    Params.push_back(0x01); // ACL link
    Params.push_back(0x00); // no encryption
    return Event(EVT_CONNECTION_COMPLETE, Params);
}

BYTES DisconnectionComplete(uint16_t Handle, uint8_t Reason)
{
    BYTES Params{0x00};
    Le16(Params, Handle);
    Params.push_back(Reason);
    return Event(EVT_DISCONNECTION_COMPLETE, Params);
}

std::vector<BYTES> AclPackets(uint16_t Handle, uint16_t Cid, const uint8_t* Payload, size_t Length,
                              size_t MaxAclData)
{
    BYTES Frame;
    Frame.reserve(4 + Length);
    Le16(Frame, uint16_t(Length));
    Le16(Frame, Cid);
    if (Length != 0) Frame.insert(Frame.end(), Payload, Payload + Length);
    if (MaxAclData == 0) MaxAclData = 1;
    std::vector<BYTES> Packets;
    for (size_t Offset = 0; Offset < Frame.size(); Offset += MaxAclData) {
        size_t Chunk = std::min(MaxAclData, Frame.size() - Offset);
        BYTES Packet = AclHeader(Handle, Offset == 0 ? ACL_PB_FIRST : ACL_PB_CONTINUING, Chunk);
        Packet.insert(Packet.end(), Frame.begin() + ptrdiff_t(Offset),
                      Frame.begin() + ptrdiff_t(Offset + Chunk));
        Packets.push_back(std::move(Packet));
    }
    return Packets;
}

BYTES SignallingPacket(uint16_t Handle, uint8_t Code, uint8_t Identifier, const BYTES& Data)
{
    BYTES Command{Code, Identifier};
    Le16(Command, uint16_t(Data.size()));
    Command.insert(Command.end(), Data.begin(), Data.end());
    return AclPackets(Handle, CID_SIGNALLING, Command.data(), Command.size()).front();
}

BYTES ConnectionRequest(uint16_t Handle, uint8_t Id, uint16_t Psm, uint16_t SourceCid)
{
    return SignallingPacket(Handle, SIG_CONNECTION_REQUEST, Id, Cids(Psm, SourceCid));
}

BYTES ConnectionResponse(uint16_t Handle, uint8_t Id, uint16_t DestinationCid, uint16_t SourceCid)
{
    BYTES Data = Cids(DestinationCid, SourceCid);
    Le16(Data, 0x0000); // result: connection successful
    Le16(Data, 0x0000); // status: no further information
    return SignallingPacket(Handle, SIG_CONNECTION_RESPONSE, Id, Data);
}

BYTES ConfigureRequest(uint16_t Handle, uint8_t Id, uint16_t DestinationCid, uint16_t Mtu)
{
    BYTES Data = Cids(DestinationCid, 0x0000); // flags: no continuation
    BYTES Option = MtuOption(Mtu);
    Data.insert(Data.end(), Option.begin(), Option.end());
    return SignallingPacket(Handle, SIG_CONFIGURE_REQUEST, Id, Data);
}

BYTES ConfigureResponse(uint16_t Handle, uint8_t Id, uint16_t SourceCid, uint16_t Mtu)
{
    BYTES Data = Cids(SourceCid, 0x0000); // flags
    Le16(Data, 0x0000);                   // result: success
    BYTES Option = MtuOption(Mtu);
    Data.insert(Data.end(), Option.begin(), Option.end());
    return SignallingPacket(Handle, SIG_CONFIGURE_RESPONSE, Id, Data);
}

BYTES DisconnectionRequest(uint16_t Handle, uint8_t Id, uint16_t DestinationCid, uint16_t SourceCid)
{
    return SignallingPacket(Handle, SIG_DISCONNECTION_REQUEST, Id, Cids(DestinationCid, SourceCid));
}

BYTES DisconnectionResponse(uint16_t Handle, uint8_t Id, uint16_t DestinationCid,
                            uint16_t SourceCid)
{
    return SignallingPacket(Handle, SIG_DISCONNECTION_RESPONSE, Id,
                            Cids(DestinationCid, SourceCid));
}

namespace {

uint64_t ReadBe(const BYTES& b, size_t Offset, size_t Width)
{
    uint64_t v = 0;
    for (size_t i = 0; i < Width; i++)
        v = v << 8 | b[Offset + i];
    return v;
}

} // namespace

bool ParseFile(const BYTES& File, std::vector<RECORD>& Out, std::string& Err)
{
    if (File.size() < FILE_HEADER_SIZE ||
        !std::equal(File.begin(), File.begin() + FILE_HEADER_SIZE, FileHeader().begin())) {
        Err = "not an H4 btsnoop file";
        return false;
    }
    std::vector<RECORD> Records;
    size_t Pos = FILE_HEADER_SIZE;
    while (Pos < File.size()) {
        // Sizes are compared with what is left, never added to the position first.
        if (File.size() - Pos < RECORD_HEADER_SIZE) {
            Err = "record header cut short at offset " + std::to_string(Pos);
            return false;
        }
        uint64_t Original = ReadBe(File, Pos, 4), Included = ReadBe(File, Pos + 4, 4);
        if (Included != Original) {
            Err = "record at offset " + std::to_string(Pos) + " is not whole";
            return false;
        }
        if (File.size() - Pos - RECORD_HEADER_SIZE < Included) {
            Err = "record at offset " + std::to_string(Pos) + " cut short";
            return false;
        }
        RECORD R;
        R.Flags = uint32_t(ReadBe(File, Pos + 8, 4));
        R.Timestamp = int64_t(ReadBe(File, Pos + 16, 8));
        auto Data = File.begin() + ptrdiff_t(Pos + RECORD_HEADER_SIZE);
        R.Packet.assign(Data, Data + ptrdiff_t(Included));
        Records.push_back(std::move(R));
        Pos += RECORD_HEADER_SIZE + size_t(Included);
    }
    Out = std::move(Records);
    return true;
}

} // namespace btsnoop

using namespace btsnoop;

CBtSnoopWriter::~CBtSnoopWriter()
{
    Close();
}

bool CBtSnoopWriter::Open(const std::string& Path, std::string& Err, CLOCK Clock, LOG Log)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    if (m_Fd >= 0) {
        Err = "capture already open";
        return false;
    }
    int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0) {
        Err = "cannot create " + Path + ": " + strerror(errno);
        return false;
    }
    m_Fd = Fd;
    m_Log = std::move(Log);
    m_Clock = Clock ? std::move(Clock) : CLOCK([] {
        timeval Now;
        gettimeofday(&Now, nullptr);
        return int64_t(Now.tv_sec) * 1000000 + Now.tv_usec;
    });
    m_Record = FileHeader();
    size_t Done = 0;
    while (Done < m_Record.size()) {
        ssize_t n = write(m_Fd, m_Record.data() + Done, m_Record.size() - Done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Err = "cannot write " + Path + ": " + strerror(errno);
            close(m_Fd);
            m_Fd = -1;
            return false;
        }
        Done += size_t(n);
    }
    return true;
}

bool CBtSnoopWriter::IsOpen() const
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    return m_Fd >= 0;
}

void CBtSnoopWriter::Close()
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    while (!m_Channels.empty())
        Down(m_Channels.begin()->first, true);
    if (m_Fd >= 0) {
        if (fsync(m_Fd) != 0 && errno != EINVAL && m_Log)
            m_Log(std::string("capture not synced: ") + strerror(errno));
        close(m_Fd);
        m_Fd = -1;
    }
}

// Called with m_Lock held. The record is built whole, then written in one call (repeated only
// for what a short write left), so a reader never sees half a record from a live capture
// unless the disk fills; after a failed write the capture stops with one log line.
void CBtSnoopWriter::Put(bool Received, bool Event, const BYTES& Packet)
{
    if (m_Fd < 0) return;
    m_Record.clear();
    AppendRecord(m_Record, (Received ? FLAG_RECEIVED : 0) | (Event ? FLAG_COMMAND_EVENT : 0),
                 m_Clock() + UNIX_EPOCH_US, Packet);
    size_t Done = 0;
    while (Done < m_Record.size()) {
        ssize_t n = write(m_Fd, m_Record.data() + Done, m_Record.size() - Done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (m_Log) m_Log(std::string("capture stopped: ") + strerror(errno));
            close(m_Fd);
            m_Fd = -1;
            return;
        }
        Done += size_t(n);
    }
}

uint16_t CBtSnoopWriter::FreeHandle() const
{
    uint16_t Handle = m_NextHandle;
    for (unsigned Tries = 0; Tries < MAX_HANDLE; Tries++) {
        bool Used = false;
        for (const auto& Entry : m_Channels)
            Used = Used || Entry.second.Handle == Handle;
        if (!Used) break;
        Handle = Handle == MAX_HANDLE ? 1 : uint16_t(Handle + 1);
    }
    return Handle;
}

uint8_t CBtSnoopWriter::NextIdentifier(CHANNEL& Ch)
{
    // Identifier 0 is not valid in a signalling command.
    uint8_t Id = Ch.NextId;
    Ch.NextId = Ch.NextId == 0xFF ? 1 : uint8_t(Ch.NextId + 1);
    return Id;
}

CBtSnoopWriter::CHANNEL* CBtSnoopWriter::Up(unsigned Device, uint16_t Cid, uint16_t Mtu,
                                            bool Outgoing)
{
    KEY Key{Device, Cid};
    // A CID seen up again without a close in between starts a new connection.
    if (m_Channels.count(Key) != 0) Down(Key, true);
    CHANNEL Ch;
    Ch.Handle = FreeHandle();
    m_NextHandle = Ch.Handle == MAX_HANDLE ? 1 : uint16_t(Ch.Handle + 1);
    m_LastMtu = Mtu;
    uint8_t Addr[6] = {
        uint8_t(Ch.Handle), uint8_t(Ch.Handle >> 8), uint8_t(Device), 0x00, 0x00, 0x00};
    Put(true, true, ConnectionComplete(Ch.Handle, Addr));
    // The side that connects sends the connection request; each side then configures the MTU it
    // receives, and the other side accepts it. Remote: received by this host.
    bool Remote = !Outgoing;
    uint8_t Id = NextIdentifier(Ch);
    Put(Remote, false, ConnectionRequest(Ch.Handle, Id, PSM_SDP, Cid));
    Put(!Remote, false, ConnectionResponse(Ch.Handle, Id, Cid, Cid));
    Id = NextIdentifier(Ch);
    Put(Remote, false, ConfigureRequest(Ch.Handle, Id, Cid, Mtu));
    Put(!Remote, false, ConfigureResponse(Ch.Handle, Id, Cid, Mtu));
    Id = NextIdentifier(Ch);
    Put(!Remote, false, ConfigureRequest(Ch.Handle, Id, Cid, Mtu));
    Put(Remote, false, ConfigureResponse(Ch.Handle, Id, Cid, Mtu));
    return &(m_Channels[Key] = Ch);
}

void CBtSnoopWriter::Down(KEY Key, bool Local)
{
    auto It = m_Channels.find(Key);
    if (It == m_Channels.end()) return;
    CHANNEL Ch = It->second;
    m_Channels.erase(It);
    uint16_t Cid = Key.second;
    uint8_t Id = NextIdentifier(Ch);
    Put(!Local, false, DisconnectionRequest(Ch.Handle, Id, Cid, Cid));
    Put(Local, false, DisconnectionResponse(Ch.Handle, Id, Cid, Cid));
    Put(true, true,
        DisconnectionComplete(Ch.Handle, Local ? REASON_LOCAL_HOST_TERMINATED
                                               : REASON_REMOTE_USER_TERMINATED));
}

void CBtSnoopWriter::ChannelUp(unsigned Device, uint16_t Cid, uint16_t Mtu, bool Outgoing)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    if (m_Fd < 0) return;
    Up(Device, Cid, Mtu, Outgoing);
}

void CBtSnoopWriter::Frame(unsigned Device, uint16_t Cid, bool Outbound, const uint8_t* Payload,
                           size_t Length)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    if (m_Fd < 0) return;
    auto It = m_Channels.find(KEY{Device, Cid});
    CHANNEL* Ch = It != m_Channels.end() ? &It->second : Up(Device, Cid, m_LastMtu, false);
    for (const BYTES& Packet : AclPackets(Ch->Handle, Cid, Payload, Length))
        Put(!Outbound, false, Packet);
}

void CBtSnoopWriter::ChannelDown(unsigned Device, uint16_t Cid, bool Local)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    Down(KEY{Device, Cid}, Local);
}

// btsnoop.h: captures of the daemon's L2CAP channels in the btsnoop file format (datalink H4).
// The socket radio carries bare L2CAP payloads; the capture wraps each one in HCI ACL data with
// the L2CAP basic header, and synthesizes the HCI connection and L2CAP signalling packets that
// tell a protocol analyser every channel is an SDP channel (PSM 0x0001).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace btsnoop {

using BYTES = std::vector<uint8_t>;

constexpr uint32_t VERSION = 1;
constexpr uint32_t DATALINK_H4 = 1002;
constexpr size_t FILE_HEADER_SIZE = 16;
constexpr size_t RECORD_HEADER_SIZE = 24;
// Record timestamps count microseconds from midnight, January 1st of year 0, in the calendar
// readers of the format use; this is the Unix epoch on that scale.
constexpr int64_t UNIX_EPOCH_US = 0x00DCDDB30F2F8000;

// Record flags: bit 0 set for a packet the host received, bit 1 set for a command or event.
constexpr uint32_t FLAG_RECEIVED = 0x1;
constexpr uint32_t FLAG_COMMAND_EVENT = 0x2;

// H4 packet types (the first byte of each record's packet).
constexpr uint8_t H4_COMMAND = 0x01;
constexpr uint8_t H4_ACL = 0x02;
constexpr uint8_t H4_EVENT = 0x04;

constexpr uint8_t EVT_CONNECTION_COMPLETE = 0x03;
constexpr uint8_t EVT_DISCONNECTION_COMPLETE = 0x05;
constexpr uint8_t REASON_REMOTE_USER_TERMINATED = 0x13;
constexpr uint8_t REASON_LOCAL_HOST_TERMINATED = 0x16;

constexpr uint16_t MAX_HANDLE = 0x0EFF;
// ACL packet boundary flags: the first fragment of a flushable L2CAP frame, and a continuation.
constexpr uint16_t ACL_PB_FIRST = 0x2;
constexpr uint16_t ACL_PB_CONTINUING = 0x1;
constexpr size_t MAX_ACL_DATA = 0xFFFF;

constexpr uint16_t CID_SIGNALLING = 0x0001;
constexpr uint16_t PSM_SDP = 0x0001;
constexpr uint8_t SIG_CONNECTION_REQUEST = 0x02;
constexpr uint8_t SIG_CONNECTION_RESPONSE = 0x03;
constexpr uint8_t SIG_CONFIGURE_REQUEST = 0x04;
constexpr uint8_t SIG_CONFIGURE_RESPONSE = 0x05;
constexpr uint8_t SIG_DISCONNECTION_REQUEST = 0x06;
constexpr uint8_t SIG_DISCONNECTION_RESPONSE = 0x07;
constexpr uint8_t CONF_OPTION_MTU = 0x01;

// The 16-byte file header: "btsnoop\0", version, datalink.
BYTES FileHeader();
// Appends one record: original and included length (the packet is always whole), flags,
// cumulative drops (0), timestamp, then the packet.
void AppendRecord(BYTES& Out, uint32_t Flags, int64_t TimestampUs, const BYTES& Packet);

// H4 event packets. Addr is the remote device address in the order it travels (least
// significant byte first).
BYTES ConnectionComplete(uint16_t Handle, const uint8_t (&Addr)[6]);
BYTES DisconnectionComplete(uint16_t Handle, uint8_t Reason);

// One L2CAP basic frame (length, CID, payload) as H4 ACL packets on Handle: a single packet, or
// the first and continuation fragments when the frame is longer than MaxAclData bytes.
std::vector<BYTES> AclPackets(uint16_t Handle, uint16_t Cid, const uint8_t* Payload, size_t Length,
                              size_t MaxAclData = MAX_ACL_DATA);

// One signalling command on CID 0x0001 as a single H4 ACL packet: code, identifier, length, data.
BYTES SignallingPacket(uint16_t Handle, uint8_t Code, uint8_t Identifier, const BYTES& Data);
BYTES ConnectionRequest(uint16_t Handle, uint8_t Id, uint16_t Psm, uint16_t SourceCid);
BYTES ConnectionResponse(uint16_t Handle, uint8_t Id, uint16_t DestinationCid, uint16_t SourceCid);
BYTES ConfigureRequest(uint16_t Handle, uint8_t Id, uint16_t DestinationCid, uint16_t Mtu);
BYTES ConfigureResponse(uint16_t Handle, uint8_t Id, uint16_t SourceCid, uint16_t Mtu);
BYTES DisconnectionRequest(uint16_t Handle, uint8_t Id, uint16_t DestinationCid,
                           uint16_t SourceCid);
BYTES DisconnectionResponse(uint16_t Handle, uint8_t Id, uint16_t DestinationCid,
                            uint16_t SourceCid);

// One record of a capture, as read back.
struct RECORD {
    uint32_t Flags = 0;
    int64_t Timestamp = 0;
    BYTES Packet;
};
// Reads a whole H4 capture: the header, then records until the end. Refused, with the offset
// and the reason, when the header is not an H4 btsnoop header or a record is cut short or not
// whole (included length below the original).
bool ParseFile(const BYTES& File, std::vector<RECORD>& Out, std::string& Err);

} // namespace btsnoop

// Writes a capture of the channels of one or more L2CAP devices. Each channel gets its own ACL
// connection handle and remote address; both ends use the channel's CID, so a packet's CID and
// handle name the channel in either direction. Every record goes to the file in one write, so a
// capture cut short by a crash ends on a whole record. Thread-safe: the radios call it from
// their poll threads and from the writers' threads.
class CBtSnoopWriter {
public:
    using CLOCK = std::function<int64_t()>; // microseconds since the Unix epoch
    using LOG = std::function<void(const std::string&)>;

    CBtSnoopWriter() = default;
    ~CBtSnoopWriter();
    CBtSnoopWriter(const CBtSnoopWriter&) = delete;
    CBtSnoopWriter& operator=(const CBtSnoopWriter&) = delete;

    // Creates (or truncates) the file and writes the header. Clock defaults to the real time.
    bool Open(const std::string& Path, std::string& Err, CLOCK Clock = nullptr, LOG Log = nullptr);
    // Closes every channel still open in the capture, then the file.
    void Close();
    bool IsOpen() const;

    // A channel came up. Outgoing: this side connected it (client role); otherwise the remote
    // side did. Writes the connection complete event and the L2CAP set-up, configuring Mtu in
    // both directions.
    void ChannelUp(unsigned Device, uint16_t Cid, uint16_t Mtu, bool Outgoing);
    // One L2CAP payload, sent (Outbound) or received. A channel not yet up is brought up first,
    // with the MTU of the last ChannelUp.
    void Frame(unsigned Device, uint16_t Cid, bool Outbound, const uint8_t* Payload, size_t Length);
    // The channel closed; Local: this side closed it. Writes the L2CAP disconnection and the
    // disconnection complete event. Unknown channels are ignored.
    void ChannelDown(unsigned Device, uint16_t Cid, bool Local);

private:
    struct CHANNEL {
        uint16_t Handle = 0;
        uint8_t NextId = 1;
    };
    using KEY = std::pair<unsigned, uint16_t>;

    CHANNEL* Up(unsigned Device, uint16_t Cid, uint16_t Mtu, bool Outgoing);
    // Key by value: callers may pass the key of the entry it erases.
    void Down(KEY Key, bool Local);
    uint16_t FreeHandle() const;
    static uint8_t NextIdentifier(CHANNEL& Ch);
    void Put(bool Received, bool Event, const btsnoop::BYTES& Packet);

    mutable std::mutex m_Lock;
    int m_Fd = -1;
    CLOCK m_Clock;
    LOG m_Log;
    std::map<KEY, CHANNEL> m_Channels;
    uint16_t m_NextHandle = 1;
    uint16_t m_LastMtu = 672;
    btsnoop::BYTES m_Record;
};

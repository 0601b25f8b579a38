// socketradio.h: the socket backend of the virtual L2CAP driver.
// Carries the remote side of one L2CAP device over SOCK_SEQPACKET sockets (AF_UNIX, or a handed
// L2CAP listener, btradio.h): every accepted (or outgoing) connection is one channel with its own
// CID, every message is one L2CAP payload, every frame the upper driver writes is sent as exactly
// one message. Host-side code: its sockets are watched by the runtime's system worker threads
// (kivrt::AddIoWatch, threaded scheduler only), so a message is read, its frame processed by the
// device above and the answer sent on one thread; each pass of a worker's loop reads at most one
// message of each ready channel, so a channel that floods gets its turn like any other. A driver
// calls it only through Transmit.
#pragma once

#include "kivl2caphost.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

class CSocketRadio : public CL2capRadio {
public:
    struct OPTIONS {
        std::string ListenPath; // empty: no server socket (outgoing channels only)
        // Instead of ListenPath, a listening SEQPACKET socket of another family (an L2CAP one,
        // btradio.h) served the same way. The radio owns it from Start on, even when Start fails.
        int ListenFd = -1;
        USHORT Mtu = 672; // reported with every connected event
        // When set, the MTU of each accepted channel, read from its socket, instead of Mtu.
        std::function<USHORT(int Fd)> ChannelMtu;
        // Further connections are accepted and closed at once, with a log line. The SDP device
        // above has 16 channel contexts: a channel past them would be connected and never
        // answered, so the default refuses it instead.
        size_t MaxConnections = 16;
        std::function<void(const std::string&)> Log; // one line per notable event, no newline
        // Sees every payload, inbound (Outbound false) and outbound, on the thread that moves it.
        std::function<void(USHORT Cid, bool Outbound, const UCHAR* Payload, ULONG Length)> Tap;
        // A channel came up (Up, with the MTU reported for it) or closed. Local: this side
        // connected it, or closed it. Called under the radio's lock, so it is ordered with the
        // Tap calls of the channel's frames: up before the first, closed after the last.
        std::function<void(USHORT Cid, bool Up, bool Local, USHORT Mtu)> ChannelEvent;
        // A channel that has neither received nor sent a message for this many seconds is
        // disconnected, so idle connections cannot hold every channel context; 0: never.
        unsigned IdleTimeoutS = 0;
    };
    // The largest payload passed to the device: a read of the upper driver holds 1024 bytes with
    // the CID prefix. Longer messages are dropped here with a log line.
    static constexpr ULONG MAX_INBOUND_PAYLOAD = KIVL2CAP_MAX_FRAME_SIZE - KIVL2CAP_CID_SIZE;
    static constexpr USHORT FIRST_CID = 0x0040;

    CSocketRadio() = default;
    ~CSocketRadio() override;
    CSocketRadio(const CSocketRadio&) = delete;
    CSocketRadio& operator=(const CSocketRadio&) = delete;

    // Binds and listens on the path (an existing socket file there is replaced) or takes
    // ListenFd, attaches to the device and gives the sockets to the worker threads. On failure
    // nothing is left and Err says why.
    bool Start(PDEVICE_OBJECT Dev, const OPTIONS& Opt, std::string& Err);
    // Takes the sockets from the workers, closes every connection (each open channel gets its
    // disconnected event while the device is still attached), removes the socket file and
    // detaches. Call it before the runtime's worker threads stop.
    void Stop();

    // Client role: connects a channel to another server's socket, or, for a Bluetooth address
    // (AA:BB:CC:DD:EE:FF), to PSM 1 of that device. The device sees the channel connected
    // (status 8) before this returns; *Cid is its CID. A socket of this process (the daemon's
    // own SDP and control sockets) is refused with STATUS_ACCESS_DENIED: the channel would carry
    // the process's answers back into it. A peer that sends anything but whole SDP response
    // PDUs is not an SDP server: its channel is closed before the device sees it.
    NTSTATUS Connect(const std::string& Path, USHORT* Cid, std::string& Err);
    // Closes a channel of either kind; the device sees status 32. STATUS_NOT_FOUND if unknown.
    NTSTATUS Disconnect(USHORT Cid);
    size_t Connections() const;
    // What the radio refused since Start: inbound messages it dropped (too long, or not taken by
    // the device), connections beyond MaxConnections; and the channels the idle timeout closed.
    uint64_t RefusedFrames() const { return m_RefusedFrames; }
    uint64_t RefusedConnections() const { return m_RefusedConnections; }
    uint64_t IdleDisconnects() const { return m_IdleDisconnects; }

    NTSTATUS Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client) override;

private:
    struct CHANNEL {
        USHORT Cid;
        int Fd;
        bool Outgoing; // made by Connect: the peer must behave as an SDP server
        kivrt::IO_WATCH* Watch = nullptr;
        std::atomic<int64_t> LastActive{0}; // steady clock, ns
        // The peer's socket was full: answers are dropped without a system call, and the
        // channel's messages are left unread, until the socket takes more (the watch then waits
        // for EPOLLOUT instead of EPOLLIN). FullLock orders the two.
        std::atomic<bool> Full{false};
        std::mutex FullLock;
    };
    using CHANNEL_PTR = std::shared_ptr<CHANNEL>;

    void Log(const std::string& Line) const;
    void AcceptOne();
    // Adds the connected socket as a channel; false when no CID is free (the fd is then closed).
    bool AddChannel(int Fd, bool Outgoing, USHORT Mtu, USHORT* Cid);
    void ReadOne(const CHANNEL_PTR& Channel, uint32_t Events);
    void SetFull(CHANNEL& Channel, bool Full);
    // False (the channel closed) when the channel is an outgoing one and Message is not one
    // whole SDP response PDU.
    bool FromSdpServer(const CHANNEL& Channel, const UCHAR* Message, size_t Length);
    // Local: this side closes it (Disconnect, Stop or the idle timeout), not the peer.
    void CloseChannel(USHORT Cid, bool Indicate, bool Local);
    void CloseIdleChannels();
    void CloseHungUpChannels();
    bool Running() const { return m_Running.load(); }

    OPTIONS m_Opt;
    // Shared by Transmit and lookups, exclusive to add or remove a channel: a socket is closed
    // only after its channel left the map, so no Transmit sends on a closed (or reused) fd.
    mutable std::shared_mutex m_Lock;
    std::map<USHORT, CHANNEL_PTR> m_Channels;
    USHORT m_NextCid = FIRST_CID;
    int m_ListenFd = -1;
    int m_TimerFd = -1;
    kivrt::IO_WATCH* m_ListenWatch = nullptr;
    kivrt::IO_WATCH* m_TimerWatch = nullptr;
    std::atomic<bool> m_Running{false};
    std::atomic<uint64_t> m_IdleDisconnects{0}, m_RefusedFrames{0}, m_RefusedConnections{0};
};

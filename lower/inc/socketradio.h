// socketradio.h: the socket backend of the virtual L2CAP driver.
// Carries the remote side of one L2CAP device over SOCK_SEQPACKET sockets (AF_UNIX, or a handed
// L2CAP listener, btradio.h): every accepted (or outgoing) connection is one channel with its own
// CID, every message is one L2CAP payload, every frame the upper driver writes is sent as exactly
// one message. Host-side code: it runs its own poll thread and is called by a driver only through
// Transmit.
#pragma once

#include "kivl2caphost.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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
    // ListenFd, attaches to the device and starts the poll thread. On failure nothing is left
    // and Err says why.
    bool Start(PDEVICE_OBJECT Dev, const OPTIONS& Opt, std::string& Err);
    // Stops the poll thread, closes every connection (each open channel gets its disconnected
    // event while the device is still attached), removes the socket file and detaches.
    void Stop();

    // Client role: connects a channel to another server's socket. The device sees the channel
    // connected (status 8) before this returns; *Cid is its CID.
    NTSTATUS Connect(const std::string& Path, USHORT* Cid, std::string& Err);
    // Closes a channel of either kind; the device sees status 32. STATUS_NOT_FOUND if unknown.
    NTSTATUS Disconnect(USHORT Cid);
    size_t Connections() const;
    // What the radio refused so far: inbound messages it dropped (too long, or not taken by the
    // device) and connections beyond MaxConnections.
    uint64_t RefusedFrames() const { return m_RefusedFrames; }
    uint64_t RefusedConnections() const { return m_RefusedConnections; }

    NTSTATUS Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client) override;
    void Detached() override;

private:
    void Run();
    void Log(const std::string& Line) const;
    void AcceptOne();
    // Adds the connected socket as a channel; -1 in *Cid when no CID is free (fd then closed).
    bool AddChannel(int Fd, bool Outgoing, USHORT Mtu, USHORT* Cid);
    void ReadOne(USHORT Cid, int Fd, short Events);
    // Local: this side closes it (Disconnect or Stop), not the peer.
    void CloseChannel(USHORT Cid, bool Indicate, bool Local);
    void Wake();
    PDEVICE_OBJECT Device() const;

    OPTIONS m_Opt;
    mutable std::mutex m_Lock;
    PDEVICE_OBJECT m_Device = nullptr;
    std::map<USHORT, int> m_Channels; // CID -> socket
    USHORT m_NextCid = FIRST_CID;
    int m_ListenFd = -1;
    int m_WakeFd = -1;
    std::atomic<bool> m_Stopping{false};
    std::atomic<uint64_t> m_RefusedFrames{0}, m_RefusedConnections{0};
    std::thread m_Thread;
    std::vector<UCHAR> m_Buffer;
};

// The daemon's control socket: applications open an SDP device and send it device-control
// requests (ctlproto.h), exactly as they would in process. One thread serves every client; it
// sleeps until a socket is ready or a request completes, and answers and frees a completed
// request in the turn that sees it.
#pragma once

#include <kivrt.h>

#include "daemoninfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kivctl {
struct CtlRequest;
}

class CControlServer {
public:
    using LogFn = std::function<void(const std::string&)>;
    // Client role: connect a channel of device Device to a server's socket / close it again.
    using ConnectFn = std::function<NTSTATUS(uint32_t Device, const std::string& Path,
                                             uint16_t* Cid, std::string& Err)>;
    using DisconnectFn = std::function<NTSTATUS(uint32_t Device, uint16_t Cid)>;
    // Fills the answer to CTL_INFO, on the server's thread.
    using InfoFn = std::function<void(kivtool::DAEMON_INFO&)>;

    // Bounds that keep one client from starving the others.
    static constexpr size_t MAX_CLIENTS = 64;
    static constexpr size_t MAX_PENDING_PER_CLIENT = 64;
    static constexpr size_t MAX_OUTBOX_BYTES = 512 * 1024;
    // Buffer bytes of the device-control requests not yet completed, per client and in all.
    static constexpr size_t MAX_PENDING_BYTES_PER_CLIENT = 1024 * 1024;
    static constexpr size_t MAX_PENDING_BYTES = 8 * 1024 * 1024;

    ~CControlServer();
    // Creates the socket with file mode 0660 (owner and group only, like a device node).
    bool Start(const std::string& Path, unsigned Devices, ConnectFn Connect,
               DisconnectFn Disconnect, LogFn Log, std::string& Err);
    // Before Start: what CTL_INFO answers (without it, CTL_INFO is not supported).
    void SetInfo(InfoFn Info) { m_Info = std::move(Info); }
    // Drops every client (their requests are cancelled and their handles closed), waits for the
    // requests still in the device to finish and removes the socket file.
    void Stop();

private:
    // The loop's eventfd. Each pending request's completion callback holds a reference, so the
    // descriptor stays open for as long as any request may still complete.
    struct WAKER {
        int Fd = -1;
        ~WAKER();
        void Wake() const;
    };
    struct PENDING {
        uint32_t Tag = 0;
        size_t Bytes = 0; // of In and Out, counted against the bounds
        kivrt::Overlapped Ov;
        std::vector<uint8_t> In, Out;
    };
    struct CLIENT {
        int Fd = -1;
        kivrt::APP_HANDLE Handle = nullptr;
        uint32_t Device = 0;
        std::list<std::unique_ptr<PENDING>> Pending;
        size_t PendingBytes = 0;
        std::list<std::vector<uint8_t>> Outbox;
        size_t OutboxBytes = 0;
        std::vector<uint16_t> Channels; // channels this client connected
        bool Dead = false;
    };

    void Run();
    void Accept();
    void Serve(CLIENT& C);
    void Handle(CLIENT& C, const uint8_t* p, size_t Length);
    // One for each request of the protocol (an IOCTL that reaches the device is answered by Reap).
    void OnOpen(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnIoctl(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnCancel(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnClose(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnConnect(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnDisconnect(CLIENT& C, const kivctl::CtlRequest& Rq);
    void OnInfo(CLIENT& C, const kivctl::CtlRequest& Rq);
    void Reply(CLIENT& C, uint8_t Op, uint32_t Tag, NTSTATUS Status, uint32_t Information,
               const uint8_t* Out = nullptr, size_t OutLength = 0);
    void Flush(CLIENT& C);
    void Reap(CLIENT& C);
    void CloseDevice(CLIENT& C);
    void Drop(CLIENT& C, const std::string& Why);
    void Log(const std::string& Line) const
    {
        if (m_Log) m_Log(Line);
    }

    std::string m_Path;
    unsigned m_Devices = 0;
    ConnectFn m_Connect;
    DisconnectFn m_Disconnect;
    LogFn m_Log;
    InfoFn m_Info;
    int m_ListenFd = -1;
    std::shared_ptr<WAKER> m_Waker;
    std::atomic<bool> m_Stopping{false};
    std::thread m_Thread;
    std::list<std::unique_ptr<CLIENT>> m_Clients;
    // Requests of closed clients, kept until the device completes them.
    std::list<std::unique_ptr<PENDING>> m_Orphans;
    size_t m_PendingBytes = 0; // of every client's requests and the orphans
};

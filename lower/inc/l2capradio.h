// l2capradio.h: the virtual L2CAP driver's "radio" backend interface.
// A backend carries the remote side of one L2CAP device: it is told of every frame the upper
// driver writes, and it drives channel events and inbound frames into the device through the
// KivL2capIndicate* calls of kivl2caphost.h. The in-memory backend (memoryradio.h) serves tests
// and the scenario runner; other backends (sockets) implement the same interface.
#pragma once

#include "wdm.h"

#include <atomic>

class CL2capRadio {
public:
    virtual ~CL2capRadio() = default;

    // The device this radio is attached to, or NULL. Read without a lock, so that the remote
    // side's frames and events never wait for a Transmit in progress.
    PDEVICE_OBJECT Device() const { return m_Device.load(); }

    // The upper driver wrote Length payload bytes (the CID prefix removed; Length may be 0) on
    // Cid, a channel the device knows as connected. Client is the FileObject field of the write:
    // an identity to compare, never to dereference (the SDP device puts its device object there).
    // Runs on the writer's thread at up to DISPATCH_LEVEL holding no lock of the driver, possibly
    // on several threads at once: it must not block. STATUS_SUCCESS completes the write with all
    // its bytes; any failure status fails the write with that status.
    virtual NTSTATUS Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client) = 0;

    // The device let go of the radio (it was detached or replaced, or the device was removed):
    // no Transmit call is in progress or will follow. Called at PASSIVE_LEVEL holding no lock.
    // A backend that overrides it calls this one.
    virtual void Detached() { m_Device = nullptr; }

protected:
    // Becomes the radio of the L2CAP device Dev (at PASSIVE_LEVEL); attaching again moves it
    // from the device it had. STATUS_INVALID_PARAMETER when Dev is no L2CAP device.
    NTSTATUS Attach(PDEVICE_OBJECT Dev);
    // Lets go of the device, if any; Detached() follows once no Transmit call is in progress.
    void Detach();

private:
    std::atomic<PDEVICE_OBJECT> m_Device{nullptr};
};

// memoryradio.cpp: the in-memory radio backend (see memoryradio.h).

#include "memoryradio.h"

CMemoryRadio::~CMemoryRadio()
{
    Detach();
}

NTSTATUS CMemoryRadio::Connect(USHORT Cid, USHORT Mtu)
{
    return Status(Cid, KIVL2CAP_STATUS_CONNECTED, Mtu);
}

NTSTATUS CMemoryRadio::Reconfigure(USHORT Cid, USHORT Mtu)
{
    return Status(Cid, KIVL2CAP_STATUS_CONFIG_ENDED, Mtu);
}

NTSTATUS CMemoryRadio::Disconnect(USHORT Cid)
{
    return Status(Cid, KIVL2CAP_STATUS_DISCONNECTED, 0);
}

NTSTATUS CMemoryRadio::Status(USHORT Cid, USHORT StatusCode, USHORT Mtu)
{
    PDEVICE_OBJECT Dev = Device();
    if (Dev == nullptr) return STATUS_DEVICE_NOT_READY;
    return KivL2capIndicateStatus(Dev, Cid, StatusCode, Mtu);
}

NTSTATUS CMemoryRadio::SendFrame(USHORT Cid, const std::vector<UCHAR>& Payload)
{
    PDEVICE_OBJECT Dev = Device();
    if (Dev == nullptr) return STATUS_DEVICE_NOT_READY;
    return KivL2capIndicateFrame(Dev, Cid, Payload.data(), ULONG(Payload.size()));
}

std::vector<CMemoryRadio::WRITTEN_FRAME> CMemoryRadio::TakeWritten()
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    std::vector<WRITTEN_FRAME> Taken;
    Taken.swap(m_Written);
    return Taken;
}

size_t CMemoryRadio::WrittenCount() const
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    return m_Written.size();
}

void CMemoryRadio::SetTransmitHook(TRANSMIT_HOOK Hook)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    m_Hook = std::move(Hook);
}

void CMemoryRadio::FailTransmits(NTSTATUS Status, ULONG Count)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    m_FailStatus = Status;
    m_FailCount = Count;
}

NTSTATUS CMemoryRadio::Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    if (m_FailCount != 0) {
        m_FailCount--;
        return m_FailStatus;
    }
    WRITTEN_FRAME Frame{Cid, std::vector<UCHAR>(Payload, Payload + Length), Client};
    if (m_Hook) m_Hook(Frame);
    m_Written.push_back(std::move(Frame));
    return STATUS_SUCCESS;
}

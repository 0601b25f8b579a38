// Holder of the device object an event log would write for. No operation of
// this system writes entries; the device keeps the object for its lifetime.
#pragma once

#include "NornDebug.h"

class CEventLog {
public:
    explicit CEventLog(PDEVICE_OBJECT pDeviceObject) : m_pDeviceObject(pDeviceObject) {}
    virtual ~CEventLog() {}

    void SetDeviceObject(PDEVICE_OBJECT pDeviceObject) { m_pDeviceObject = pDeviceObject; }
    PDEVICE_OBJECT GetDeviceObject() const { return m_pDeviceObject; }

    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);

private:
    PDEVICE_OBJECT m_pDeviceObject;
};

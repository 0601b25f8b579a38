// The default target: the whole device stack on the runtime's deterministic
// scheduler. The in-memory radio plays the remote side under the virtual
// L2CAP driver, the SDP driver sits above it, and an application handle on
// the SDP device sends the device-control requests. Every command ends with
// the work queue drained, so output depends on the script alone.
#pragma once

#include "sim_target.h"

#include <memory>
#include <ostream>

class CStackTarget : public CSimTarget {
public:
    // Builds and starts the stack; Ok() tells whether that worked.
    static std::unique_ptr<CStackTarget> Make(ISimTxSink& Sink);
    // Closes what is still open, removes the devices and unloads the drivers.
    // Writes every verifier record and leftover pool block to Report; returns
    // false when there was any.
    virtual bool Shutdown(std::ostream& Report) = 0;
    virtual bool Ok() const = 0;
};

// The table of connected L2CAP channels with the MTU to answer on each.
// No lock: each field is read and written whole; the host decides whether to
// guard it (the operations are short and safe at any IRQL).
#pragma once

#include "sdpdefs.h"

struct L2CAP_CONTEXT {
    bool InUse;
    uint16_t Cid; // meaningful only while InUse
    uint16_t Mtu; // always MIN_MTU..MAX_MTU
};

class CChannelTable {
public:
    // Adds a connected channel (or reuses the context already holding Cid).
    // SDP_STATUS_INSUFFICIENT_RESOURCES when all 16 are in use; table unchanged.
    SDP_STATUS CreateL2capContext(uint16_t Cid, uint16_t Mtu);
    // Frees the context of Cid; an unknown Cid changes nothing. Always success.
    SDP_STATUS DestroyL2capContext(uint16_t Cid);
    // Replaces the MTU of a known channel; SDP_STATUS_UNSUCCESSFUL otherwise.
    SDP_STATUS ReConfigL2capContext(uint16_t Cid, uint16_t Mtu);
    // The channel's MTU; for an unknown Cid *pMtu = MIN_MTU and
    // SDP_STATUS_INVALID_PARAMETER (callers treat that as not connected).
    SDP_STATUS GetMaxMTUFromCID(uint16_t Cid, uint16_t* pMtu) const;

    // All contexts, in table order (zeroed at construction).
    L2CAP_CONTEXT ChannelTable[L2CAP_CONTEXT_COUNT] = {};

private:
    L2CAP_CONTEXT* Find(uint16_t Cid);
};

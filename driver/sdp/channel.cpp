// The channel table: connected L2CAP channels and their MTUs.
#include "channel.h"

#include "kivsdpioctl.h"
#include "sdpdebug.h"

// The MTU rule: the stored MTU is clamped to MIN_MTU..MAX_MTU.
static uint16_t ApplyMtuRule(const char* Name, uint16_t Cid, uint16_t Mtu)
{
    if (Mtu > MAX_MTU) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : %s() - Forcing resize of MTU size = 0x%x. Using MAX = 0x%x\n", Name,
                    Mtu, MAX_MTU);
        return MAX_MTU;
    }
    if (Mtu < MIN_MTU) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : %s() - Forcing resize of MTU size = 0x%x. Using MIN = 0x%x\n", Name,
                    Mtu, MIN_MTU);
        return MIN_MTU;
    }
    SdpDbgPrint(SDP_ZONE_STATUS_MASK, "kivsdp : %s() - Using MTU size = 0x%x on CID = 0x%x\n", Name,
                Mtu, Cid);
    return Mtu;
}

L2CAP_CONTEXT* CChannelTable::Find(uint16_t Cid)
{
    for (L2CAP_CONTEXT& Context : ChannelTable) {
        if (Context.InUse && Context.Cid == Cid) return &Context;
    }
    return nullptr;
}

SDP_STATUS CChannelTable::CreateL2capContext(uint16_t Cid, uint16_t Mtu)
{
    if (L2CAP_CONTEXT* pContext = Find(Cid)) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : CreateL2capContext() - How did this happen? Reusing existing CID = "
                    "0x%x\n",
                    Cid);
        pContext->Mtu = ApplyMtuRule("CreateL2capContext", Cid, Mtu);
        return SDP_STATUS_SUCCESS;
    }
    for (L2CAP_CONTEXT& Context : ChannelTable) {
        if (Context.InUse) continue;
        Context.InUse = true;
        Context.Cid = Cid;
        Context.Mtu = ApplyMtuRule("CreateL2capContext", Cid, Mtu);
        return SDP_STATUS_SUCCESS;
    }
    SdpDbgPrint(SDP_ZONE_WARN_MASK,
                "kivsdp : CreateL2capContext() - ERROR!! Failed to find context to use "
                "(insufficient resources)\n");
    return SDP_STATUS_INSUFFICIENT_RESOURCES;
}

SDP_STATUS CChannelTable::DestroyL2capContext(uint16_t Cid)
{
    if (L2CAP_CONTEXT* pContext = Find(Cid)) {
        // Cid and Mtu stay as they were; only InUse says the context is free.
        pContext->InUse = false;
        SdpDbgPrint(SDP_ZONE_STATUS_MASK,
                    "kivsdp : DestroyL2capContext() - CID 0x%x marked free (not connected)\n", Cid);
    }
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CChannelTable::ReConfigL2capContext(uint16_t Cid, uint16_t Mtu)
{
    L2CAP_CONTEXT* pContext = Find(Cid);
    if (!pContext) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : ReConfigL2capContext() - ERROR!! Failed to find context to reconfig! "
                    "(CID 0x%x)\n",
                    Cid);
        return SDP_STATUS_UNSUCCESSFUL;
    }
    pContext->Mtu = ApplyMtuRule("ReConfigL2capContext", Cid, Mtu);
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CChannelTable::GetMaxMTUFromCID(uint16_t Cid, uint16_t* pMtu) const
{
    for (const L2CAP_CONTEXT& Context : ChannelTable) {
        if (Context.InUse && Context.Cid == Cid) {
            *pMtu = Context.Mtu;
            return SDP_STATUS_SUCCESS;
        }
    }
    SdpDbgPrint(SDP_ZONE_WARN_MASK,
                "kivsdp : GetMaxMTUFromCID() - ERROR!! Failed to find CID 0x%x. Returning MIN MTU "
                "size = 0x%x\n",
                Cid, MIN_MTU);
    *pMtu = MIN_MTU;
    return SDP_STATUS_INVALID_PARAMETER;
}

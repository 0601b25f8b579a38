// The inbound frame walk: a frame (2-byte little-endian CID, then SDP PDUs
// back to back) is split into PDUs; response PDUs go to the client path and
// each request is answered at its channel's MTU through the host's send
// callback, one PDU completely before the next.
#pragma once

#include "channel.h"
#include "database.h"

struct SDP_SERVER_HOST {
    void* Context;
    // Optional. A response block of MAX_SDP_DATA_PACKET_SIZE bytes, or null
    // when none is left (that response is dropped with a message). Without
    // this routine the frame is built in the core's own stack buffer.
    uint8_t* (*GetResponseBlock)(void* Context);
    // Required. Sends FrameLen bytes (CID little-endian + response PDU, at
    // most MTU + 2) down on the channel. A block from GetResponseBlock now
    // belongs to the host; the core's own buffer is valid during the call only.
    void (*SendResponse)(void* Context, uint8_t* pFrame, uint32_t FrameLen);
    // Optional. An inbound response PDU (ID 0x01, 0x03, 0x05, 0x07) for the
    // client path; CurPduLen bytes at pPdu. Null: the PDU is ignored.
    void (*ProcessSdpResponse)(void* Context, const uint8_t* pPdu, uint32_t PduLen, uint16_t Cid);
    // Optional, for a host whose send can fail before anything goes out: gets what will carry
    // the frame down, before the response is dumped, so only a response that will go out is
    // dumped. Null when nothing can carry it: the host has said why and taken the block back,
    // and the response is dropped. Otherwise SendPrepared sends it in place of SendResponse.
    void* (*PrepareResponse)(void* Context, uint8_t* pFrame, uint32_t FrameLen);
    void (*SendPrepared)(void* Context, void* Carrier);
};

// Walks one frame of TotLen bytes (CID included). A host that receives frames
// passes only those of at least 7 bytes, as the read path does; shorter ones
// are walked all the same (a frame below 2 bytes is ignored).
void SdpProcessFrame(CSdpDatabase& Database, const CChannelTable& Channels, const uint8_t* pFrame,
                     uint32_t TotLen, const SDP_SERVER_HOST& Host);

// Answers one request PDU received on Cid: drops it when the channel is not in
// the table, otherwise runs the transaction (under the database lock) and
// sends the response frame.
void ProcessSdpRequest(CSdpDatabase& Database, const CChannelTable& Channels, const uint8_t* pPdu,
                       uint32_t PduLen, uint16_t Cid, const SDP_SERVER_HOST& Host);

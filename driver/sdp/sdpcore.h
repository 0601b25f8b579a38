// The SDP server core in one include: data elements, the service database
// and its transactions, UUID matching and the attribute scan, the channel
// table, the frame walk, and the host hooks.
//
// A host uses it like this (all calls from one thread, or under its own lock
// around the channel table; the database lock comes through SetLockHooks):
//
//   SDP_HOST_HOOKS Hooks = {Ctx, Print, Allocate, Free};
//   SdpSetHostHooks(&Hooks);                 // once, before any database exists
//   SdpSetZoneMask(SDP_ZONE_DEFAULT_MASK);   // or SdpIoctlSetDebugZoneMask()
//
//   CSdpDatabase Db;                         // owns every record it makes
//   Db.SetLockHooks(Lock, Unlock, Ctx);      // optional
//   Db.InitializeSdpDatabase();              // the server record, handle 0
//   CChannelTable Channels;
//
//   Channels.CreateL2capContext(Cid, Mtu);   // channel connected
//   Channels.ReConfigL2capContext(Cid, Mtu); // configuration ended
//   Channels.DestroyL2capContext(Cid);       // disconnected / invalidated
//
//   SDP_IOCTL_BUFFER Io = {Buffer, InLen, OutLen, 0};
//   Db.UserIoctlAddRecord(Io);               // and the other UserIoctl* requests
//
//   SDP_SERVER_HOST Host = {Ctx, nullptr, SendResponse, DeliverResponse, nullptr, nullptr};
//   SdpProcessFrame(Db, Channels, Frame, FrameLen, Host);  // CID + PDUs
//
//   Db.TerminateSdpDatabase();               // or let ~CSdpDatabase do it
#pragma once

#include "sdpdefs.h"
#include "sdpdebug.h"
#include "bytes.h"
#include "dataelement.h"
#include "database.h"
#include "search.h"
#include "channel.h"
#include "frame.h"

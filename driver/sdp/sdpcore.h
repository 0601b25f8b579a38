// The SDP server core in one include: data elements, the service database
// and its transactions, UUID matching and the attribute scan, the channel
// table, the frame walk, and the host hooks.
#pragma once

#include "sdpdefs.h"
#include "sdpdebug.h"
#include "bytes.h"
#include "dataelement.h"
#include "database.h"
#include "search.h"
#include "channel.h"
#include "frame.h"

// The --core target: the SDP server core alone, over byte buffers. Channel
// events go straight to the channel table, frames to the frame walk, and
// database commands to the core's application request handlers.
#pragma once

#include "sim_target.h"

#include <memory>

std::unique_ptr<CSimTarget> MakeCoreTarget(ISimTxSink& Sink);

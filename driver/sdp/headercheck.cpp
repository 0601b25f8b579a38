// Every public header of the core must compile on its own and together with
// the shared application header.
#include "sdpcore.h"
#include "kivsdpioctl.h"

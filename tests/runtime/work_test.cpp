#include "test_drivers.h"

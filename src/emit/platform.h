// The one place that names the platform: Quartz Event Services on macOS, the stand-in elsewhere.
// Everything else calls the platform's operations by their own names through this header.
#pragma once

#ifdef HIDPIPE_QUARTZ
#include <ApplicationServices/ApplicationServices.h>
#include <time.h>
#else
#include "cg.h"
#endif

// The one place that names the platform: Quartz Event Services on macOS, our implementation of
// the same subset elsewhere. Everything else calls the platform's operations by their own names
// through this header.
#pragma once

#ifdef HIDPIPE_QUARTZ
#include <ApplicationServices/ApplicationServices.h>
#include <time.h>

// Quartz reports a failed creation only by the missing object, and hidpipe holds no connection
// of its own that could break: there is never more to say.
inline constexpr const char *delivery_error = nullptr;
inline constexpr const char *text_unsupported = nullptr;
inline constexpr const char *backend_note = nullptr;
inline const char *take_delivery_notes() { return nullptr; }
// CGEventPost returns once the event is with the window server's input stream.
inline bool await_delivery() { return true; }
// CGEventPost does not wait for the window server: there is no wait to end or bound.
inline void host_stop(int /*sig*/) {}
inline void host_grace(unsigned /*ms*/) {}
inline void host_guard(unsigned /*ms*/, const char * /*why*/) {}
inline void host_unguard() {}
inline bool host_verbose;
#else
#include "quartz/cg.h"
#include "quartz/status.h"
#endif

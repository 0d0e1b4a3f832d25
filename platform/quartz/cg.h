// The portable platform's declaration of the Quartz Event Services subset hidpipe calls, with the macOS
// SDK's own types, so that code compiling against it compiles against the real frameworks.
#pragma once

#include <cstdint>
#include <ctime>

// Opaque, distinct handle types, as in CoreGraphics.
struct cg_event;
struct cg_source;
typedef cg_event *CGEventRef;
typedef cg_source *CGEventSourceRef;
typedef const void *CFTypeRef;

typedef uint16_t CGKeyCode;

// CoreFoundation's UTF-16 code unit and count of them.
typedef uint16_t UniChar;
typedef unsigned long UniCharCount;

struct CGPoint {
  double x;
  double y;
};

// CF_ENUM makes named enums with a fixed underlying type: a plain int does not convert.
enum CGEventType : uint32_t {
  kCGEventNull = 0,
  kCGEventLeftMouseDown = 1,
  kCGEventLeftMouseUp = 2,
  kCGEventRightMouseDown = 3,
  kCGEventRightMouseUp = 4,
  kCGEventMouseMoved = 5,
  kCGEventLeftMouseDragged = 6,
  kCGEventRightMouseDragged = 7,
  kCGEventKeyDown = 10,
  kCGEventKeyUp = 11,
  kCGEventFlagsChanged = 12,
  kCGEventScrollWheel = 22,
  kCGEventOtherMouseDown = 25,
  kCGEventOtherMouseUp = 26,
  kCGEventOtherMouseDragged = 27,
};

enum CGMouseButton : uint32_t {
  kCGMouseButtonLeft = 0,
  kCGMouseButtonRight = 1,
  kCGMouseButtonCenter = 2,
};

enum CGScrollEventUnit : uint32_t {
  kCGScrollEventUnitPixel = 0,
  kCGScrollEventUnitLine = 1,
};

enum CGEventField : uint32_t {
  kCGMouseEventClickState = 1,
  kCGMouseEventDeltaX = 4,
  kCGMouseEventDeltaY = 5,
};

enum CGEventTapLocation : uint32_t {
  kCGHIDEventTap = 0,
  kCGSessionEventTap = 1,
  kCGAnnotatedSessionEventTap = 2,
};

enum CGEventSourceStateID : int32_t {
  kCGEventSourceStatePrivate = -1,
  kCGEventSourceStateCombinedSessionState = 0,
  kCGEventSourceStateHIDSystemState = 1,
};

// CF_OPTIONS makes a plain integer typedef and an unnamed enum of the masks.
typedef uint64_t CGEventFlags;
enum : uint64_t {
  kCGEventFlagMaskAlphaShift = 0x10000,
  kCGEventFlagMaskShift = 0x20000,
  kCGEventFlagMaskControl = 0x40000,
  kCGEventFlagMaskAlternate = 0x80000,
  kCGEventFlagMaskCommand = 0x100000,
  kCGEventFlagMaskNumericPad = 0x200000,
  kCGEventFlagMaskHelp = 0x400000,
  kCGEventFlagMaskSecondaryFn = 0x800000,
  kCGEventFlagMaskNonCoalesced = 0x100,
};

// Creates the event source; none when creation is made to fail.
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state);

// Creates an event of type kCGEventNull at the pointer's current location (off macOS: where the
// last posted mouse event put it); none on failure.
CGEventRef CGEventCreate(CGEventSourceRef source);

// The event's location.
CGPoint CGEventGetLocation(CGEventRef event);

// Creates a mouse event of the given type at a position; none on failure.
CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType type, CGPoint position,
                                   CGMouseButton button);

// Creates a key-down (keyDown true) or key-up event for a virtual key; none on failure.
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode key, bool keyDown);

// Creates a scroll event of wheelCount (1 to 3) wheels; the wheels after the first follow as
// further int32_t arguments. None on failure or for any other wheel count.
CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, ...);

// Sets the text a keyboard event types, as UTF-16 code units; as on macOS, at most the first 20
// are kept.
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar *unicodeString);

// Stores an integer field; only the click state and the mouse deltas are kept, other fields are
// ignored.
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value);

// Replaces the event's type.
void CGEventSetType(CGEventRef event, CGEventType type);

// Replaces the event's flags.
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);

// Delivers the event: records it, and writes it to the log when one is open.
void CGEventPost(CGEventTapLocation tap, CGEventRef event);

// Whether this process may post events (macOS 10.15 and later: the Accessibility permission).
// True, unless made false for testing.
bool CGPreflightPostEventAccess();

// Drops an event or the source. Anything else, or a second release, aborts the process, as a
// real over-release would crash it.
void CFRelease(CFTypeRef object);

// The macOS clock id of the uptime clock. Linux gives 8 another meaning (CLOCK_REALTIME_ALARM),
// so the portable platform never passes it through to the system. macOS's <time.h> has its own.
#ifndef CLOCK_UPTIME_RAW
#define CLOCK_UPTIME_RAW ((clockid_t)8)
#endif

// On a Mac, <time.h> declares the real clock_gettime_nsec_np; the portable platform's clock, which tests can
// set, takes the name there through a macro rather than redeclaring it.
#ifdef __APPLE__
#define clock_gettime_nsec_np cg_clock_gettime_nsec_np
#endif

// Nanoseconds of a monotonic clock for CLOCK_UPTIME_RAW (or the settable test clock); 0 for
// any other clock id.
uint64_t clock_gettime_nsec_np(clockid_t clock);

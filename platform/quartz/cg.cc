// The Quartz Event Services subset off macOS: events are small records in a fixed pool; posting
// records them in memory for tests, writes them to the log named by HIDPIPE_SIM_LOG and hands them
// to the backend chosen when the first event source is made.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include "backend.h"
#include "environment.h"
#include "host.h"
#include "quartz/cg_control.h"

struct cg_event {
  cg_record r;  // the fields the program sets and the log shows
  bool live;    // created and not yet released
};

struct cg_source {
  bool live;  // created and not yet released
};

namespace {

// hidpipe holds one event at a time; the rest of the pool is for tests that hold several.
cg_event events[64];
cg_source sources[4];
int live_objects;  // events and sources created and not released

std::vector<cg_record> posts;  // posted events, kept only while recording
bool recording;                // whether CGEventPost appends to posts
bool failing[5];               // per cg_failure: creations of that kind yield none
bool fixed_clock;              // whether the clock reads clock_ns instead of the system's
uint64_t clock_ns;             // the fixed clock's value
CGPoint pointer_at;            // where the last posted mouse event put the pointer

bool env_read;          // whether HIDPIPE_SIM_LOG and HIDPIPE_SIM_FAIL have been read
int log_fd = -1;        // the open log, or -1
bool log_waits;         // it may have no room (a pipe, a socket): writes wait for room, bounded
char log_path[256];     // its name, as HIDPIPE_SIM_LOG gives it
char log_error[320];    // why the log that was asked for could not be opened, or empty
char env_error[320];    // why a setting in the environment is bad, or empty
char start_error[420];  // why the last source creation failed, or empty
char start_note[640];   // what --verbose says at start of where events go
const backend *active;  // where posted events go besides the log, while a source is alive
char notes[1024];       // the backend's remarks not yet taken, one a line
size_t notes_length;    // how much of notes is used
unsigned notes_lost;    // remarks that found no room

template <typename T, size_t N>
bool owns(const void *p, const T (&pool)[N]) {
  // std::less gives a total order even between pointers into different objects.
  std::less<const void *> before;
  return !before(p, std::begin(pool)) && before(p, std::end(pool));
}

// Misuse of a handle is a fault in the program under test: crash as loudly as Quartz would.
cg_event &event_of(CGEventRef e) {
  if (e == nullptr || !owns(e, events) || !e->live) abort();
  return *e;
}

// How long the log may wait for room: a reader that stops reading must not stop the session.
constexpr unsigned log_wait_ms = 10000;

// One write of the log's: waiting for room, bounded, where the log may have none.
long write_some(const char *p, size_t n) {
  if (log_waits) return host_write(log_fd, p, n, log_wait_ms);
  // Windows' write takes an unsigned int: a gibibyte at a time suits every system.
  return static_cast<long>(
      write(log_fd, p, static_cast<unsigned>(n < (size_t{1} << 30) ? n : size_t{1} << 30)));
}

// Why a write of the log's failed, for the remark that ends it.
const char *why_unwritten(long w) {
  if (w == 0) return "nothing was written";
  if (errno == ETIMEDOUT) return "its reader took nothing for 10 s";
  if (errno == EINTR) return "a stop signal cut the write short";
  return strerror(errno);
}

void write_all(const char *p, size_t n) {
  while (n > 0 && log_fd >= 0) {
    long w = write_some(p, n);
    if (w < 0 && (errno == EAGAIN || (errno == EINTR && !log_waits))) continue;
    if (w <= 0) {
      // A reader that went away or stopped reading, a full disk, or a stop signal while the log
      // waited for room ends the log, not the process.
      note_delivery("the event log \"%s\" could not be written (%s); it ends here", log_path,
                    why_unwritten(w));
      close(log_fd);
      log_fd = -1;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void write_leaks() {
  if (log_fd < 0 || live_objects == 0) return;
  char line[32];
  int n = snprintf(line, sizeof line, "{\"leaked\":%d}\n", live_objects);
  write_all(line, static_cast<size_t>(n));
}

void read_env() {
  if (env_read) return;
  env_read = true;
  if (const char *path = getenv("HIDPIPE_SIM_LOG"); path != nullptr && *path != '\0') {
    snprintf(log_path, sizeof log_path, "%s", path);
    log_fd = host_open_log(path, log_error, sizeof log_error);
    struct stat st = {};
    log_waits = log_fd >= 0 && fstat(log_fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode);
    if (log_fd >= 0) atexit(write_leaks);
  }
  if (check_environment(env_error, sizeof env_error) != nullptr) return;
  if (const char *list = getenv("HIDPIPE_SIM_FAIL"); list != nullptr) {
    for (const char *p = list; *p != '\0';) {
      size_t n = strcspn(p, ",");
      for (size_t i = 0; i < std::size(failure_names); i++)
        if (strlen(failure_names[i]) == n && memcmp(failure_names[i], p, n) == 0) failing[i] = true;
      p += n;
      if (*p == ',') p++;
    }
  }
}

void check_source(CGEventSourceRef s) {
  // Quartz accepts a null source; anything else must be a live one.
  if (s != nullptr && (!owns(s, sources) || !s->live)) abort();
}

cg_event *make(CGEventSourceRef s, cg_failure failure, cg_kind kind, CGEventType type) {
  read_env();
  check_source(s);
  if (failing[failure]) return nullptr;
  for (cg_event &e : events) {
    if (e.live) continue;
    e = {};
    e.live = true;
    e.r.kind = kind;
    e.r.type = type;
    // Platform-made events carry flags of their own; posting must replace them.
    e.r.flags = kCGEventFlagMaskNonCoalesced;
    live_objects++;
    return &e;
  }
  return nullptr;
}

// Appends text to out at *len while it fits; returns false once it does not.
bool add(char *out, size_t size, size_t *len, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out + *len, size - *len, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= size - *len) return false;
  *len += static_cast<size_t>(n);
  return true;
}

// Integral coordinates are written without a fraction, as JSON readers expect integers.
bool add_number(char *out, size_t size, size_t *len, const char *key, double v) {
  if (v == static_cast<double>(static_cast<int64_t>(v)) && v > -9.0e15 && v < 9.0e15)
    return add(out, size, len, ",\"%s\":%" PRId64, key, static_cast<int64_t>(v));
  return add(out, size, len, ",\"%s\":%.17g", key, v);
}

// Appends ,"text":"..." with the UTF-16 units as UTF-8, escaped as JSON requires; a surrogate
// without its partner, which hidpipe never sends, is written as its escape.
bool add_text(char *out, size_t size, size_t *len, const UniChar *units, size_t count) {
  bool ok = add(out, size, len, ",\"text\":\"");
  for (size_t i = 0; ok && i < count; i++) {
    uint32_t c = units[i];
    bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      high = false;
      i++;
    }
    if (high || low || c < 0x20) {
      static const char *const short_forms[] = {"\\b", "\\t", "\\n", nullptr, "\\f", "\\r"};
      const char *form = c >= 8 && c <= 13 ? short_forms[c - 8] : nullptr;
      ok = form != nullptr ? add(out, size, len, "%s", form)
                           : add(out, size, len, "\\u%04x", static_cast<unsigned>(c));
    } else if (c == '"' || c == '\\') {
      ok = add(out, size, len, "\\%c", static_cast<char>(c));
    } else if (c < 0x80) {
      ok = add(out, size, len, "%c", static_cast<char>(c));
    } else if (c < 0x800) {
      ok = add(out, size, len, "%c%c", static_cast<char>(0xC0 | (c >> 6)),
               static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      ok = add(out, size, len, "%c%c%c", static_cast<char>(0xE0 | (c >> 12)),
               static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      ok = add(out, size, len, "%c%c%c%c", static_cast<char>(0xF0 | (c >> 18)),
               static_cast<char>(0x80 | ((c >> 12) & 0x3F)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
               static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return ok && add(out, size, len, "\"");
}

}  // namespace

const char *delivery_error;
const char *text_unsupported;
const char *backend_note;

void note_delivery(const char *format, ...) {
  char line[320];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) return;
  size_t length = strlen(line);
  if (notes_length + length + 2 > sizeof notes) {
    notes_lost++;
    return;
  }
  memcpy(notes + notes_length, line, length);
  notes_length += length;
  notes[notes_length++] = '\n';
  notes[notes_length] = '\0';
}

const char *take_delivery_notes() {
  static char taken[sizeof notes + 64];
  if (notes_length == 0 && notes_lost == 0) return nullptr;
  int n = snprintf(taken, sizeof taken, "%.*s", static_cast<int>(notes_length), notes);
  if (notes_lost > 0 && n >= 0 && static_cast<size_t>(n) < sizeof taken)
    snprintf(taken + n, sizeof taken - static_cast<size_t>(n), "and %u more remarks\n", notes_lost);
  notes_length = 0;
  notes[0] = '\0';
  notes_lost = 0;
  return taken;
}

size_t cg_format(const cg_record &r, char *out, size_t size) {
  size_t len = 0;
  bool ok = add(out, size, &len, "{\"tap\":%" PRIu32 ",\"type\":%" PRIu32 ",\"flags\":%" PRIu64,
                static_cast<uint32_t>(r.tap), static_cast<uint32_t>(r.type), r.flags);
  switch (r.kind) {
    case cg_mouse:
      ok = ok && add_number(out, size, &len, "x", r.at.x) && add_number(out, size, &len, "y", r.at.y) &&
           add(out, size, &len, ",\"button\":%" PRIu32 ",\"click\":%" PRId64, static_cast<uint32_t>(r.button),
               r.click);
      if (r.relative)
        ok = ok && add(out, size, &len, ",\"dx\":%" PRId64 ",\"dy\":%" PRId64, r.delta[0], r.delta[1]);
      break;
    case cg_keyboard:
      ok = ok && add(out, size, &len, ",\"keycode\":%u", static_cast<unsigned>(r.keycode));
      if (r.text_length > 0) ok = ok && add_text(out, size, &len, r.text, r.text_length);
      break;
    case cg_scroll:
      ok =
          ok && add(out, size, &len,
                    ",\"unit\":%" PRIu32 ",\"wheels\":%" PRIu32 ",\"wheel1\":%" PRId32 ",\"wheel2\":%" PRId32,
                    static_cast<uint32_t>(r.unit), r.wheels, r.wheel[0], r.wheel[1]);
      if (r.wheels >= 3) ok = ok && add(out, size, &len, ",\"wheel3\":%" PRId32, r.wheel[2]);
      break;
  }
  ok = ok && add(out, size, &len, "}");
  return ok ? len : 0;
}

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID /*state*/) {
  read_env();
  host_begin();
  start_error[0] = '\0';
  delivery_error = nullptr;
  // A log that was asked for and cannot be written is a server that cannot be reached.
  const char *why = nullptr;
  if (failing[cg_fail_source]) why = "creating the event source was made to fail (HIDPIPE_SIM_FAIL=source)";
  if (why == nullptr && env_error[0] != '\0') why = env_error;
  if (why == nullptr && log_error[0] != '\0') why = log_error;
  if (why == nullptr && active == nullptr) {
    const char *note = nullptr;
    active = choose_backend(&why, &note);
    if (active != nullptr) {
      snprintf(start_note, sizeof start_note, "%s%s%s", note != nullptr ? note : "",
               note != nullptr ? "; " : "", active->about());
      backend_note = start_note;
      text_unsupported = active->cannot_type();
    }
  }
  if (why == nullptr) {
    for (cg_source &s : sources) {
      if (s.live) continue;
      s.live = true;
      live_objects++;
      return &s;
    }
    why = "no event source is free";
  }
  snprintf(start_error, sizeof start_error, "%s",
           why != nullptr ? why : "the window system cannot be reached");
  delivery_error = start_error;
  return nullptr;
}

bool CGPreflightPostEventAccess() {
  read_env();
  return !failing[cg_fail_access];
}

CGEventRef CGEventCreate(CGEventSourceRef source) {
  cg_event *e = make(source, cg_fail_mouse, cg_mouse, kCGEventNull);
  if (e != nullptr) e->r.at = pointer_at;
  return e;
}

CGPoint CGEventGetLocation(CGEventRef event) { return event_of(event).r.at; }

CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType type, CGPoint position,
                                   CGMouseButton button) {
  cg_event *e = make(source, cg_fail_mouse, cg_mouse, type);
  if (e != nullptr) {
    e->r.at = position;
    e->r.button = button;
  }
  return e;
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode key, bool keyDown) {
  cg_event *e = make(source, cg_fail_keyboard, cg_keyboard, keyDown ? kCGEventKeyDown : kCGEventKeyUp);
  if (e != nullptr) {
    e->r.keycode = key;
    e->r.down = keyDown;
  }
  return e;
}

CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, ...) {
  if (wheelCount < 1 || wheelCount > 3) {
    check_source(source);
    return nullptr;
  }
  cg_event *e = make(source, cg_fail_scroll, cg_scroll, kCGEventScrollWheel);
  if (e == nullptr) return nullptr;
  e->r.unit = units;
  e->r.wheels = wheelCount;
  e->r.wheel[0] = wheel1;
  va_list ap;
  va_start(ap, wheel1);
  // int32_t arguments arrive promoted to int.
  for (uint32_t i = 1; i < wheelCount; i++) e->r.wheel[i] = static_cast<int32_t>(va_arg(ap, int));
  va_end(ap);
  return e;
}

void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar *unicodeString) {
  cg_event &e = event_of(event);
  constexpr auto most = static_cast<UniCharCount>(std::size(cg_record{}.text));
  UniCharCount n = stringLength < most ? stringLength : most;
  e.r.text_length = static_cast<uint8_t>(n);
  for (UniCharCount i = 0; i < n; i++) e.r.text[i] = unicodeString[i];
}

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
  cg_event &e = event_of(event);
  if (field == kCGMouseEventClickState) e.r.click = value;
  if (field == kCGMouseEventDeltaX || field == kCGMouseEventDeltaY) {
    e.r.relative = true;
    e.r.delta[field == kCGMouseEventDeltaY ? 1 : 0] = value;
  }
}

void CGEventSetType(CGEventRef event, CGEventType type) { event_of(event).r.type = type; }

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) { event_of(event).r.flags = flags; }

void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
  cg_event &e = event_of(event);
  e.r.tap = tap;
  if (e.r.kind == cg_mouse) pointer_at = e.r.at;
  if (recording) posts.push_back(e.r);
  if (log_fd >= 0) {
    char line[512];
    size_t n = cg_format(e.r, line, sizeof line - 1);
    line[n++] = '\n';
    write_all(line, n);
  }
  if (active != nullptr && !active->deliver(e.r)) delivery_error = active->error();
}

bool await_delivery() {
  if (delivery_error != nullptr) return false;
  if (active == nullptr || active->sync()) return true;
  delivery_error = active->error();
  return false;
}

void CFRelease(CFTypeRef object) {
  if (owns(object, events)) {
    event_of(static_cast<CGEventRef>(const_cast<void *>(object))).live = false;
  } else if (owns(object, sources)) {
    auto *s = static_cast<CGEventSourceRef>(const_cast<void *>(object));
    if (!s->live) abort();
    s->live = false;
    bool any_live = false;
    for (const cg_source &other : sources) any_live = any_live || other.live;
    if (!any_live && active != nullptr) {
      active->close();
      active = nullptr;
    }
  } else {
    abort();
  }
  live_objects--;
}

uint64_t clock_gettime_nsec_np(clockid_t clock) {
  if (clock != CLOCK_UPTIME_RAW) return 0;
  return fixed_clock ? clock_ns : host_clock_ns();
}

void cg_move_pointer(CGPoint at) { pointer_at = at; }

void cg_reset() {
  for (cg_event &e : events) e.live = false;
  for (cg_source &s : sources) s.live = false;
  live_objects = 0;
  posts.clear();
  recording = false;
  for (bool &f : failing) f = false;
  fixed_clock = false;
  clock_ns = 0;
  pointer_at = {};
  start_error[0] = '\0';
  delivery_error = nullptr;
  if (active != nullptr) active->close();
  active = nullptr;
  notes_length = 0;
  notes_lost = 0;
}

void cg_record_posts(bool on) { recording = on; }
const cg_record *cg_posts() { return posts.data(); }
size_t cg_post_count() { return posts.size(); }
void cg_clear_posts() { posts.clear(); }
void cg_fail(cg_failure which, bool on) { failing[which] = on; }

void cg_set_clock(uint64_t ns) {
  fixed_clock = true;
  clock_ns = ns;
}

int cg_live() { return live_objects; }

#include "ei/portal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "shared/bus.h"

namespace {

constexpr unsigned answer_ms = 3000;
// The user answers the desktop's dialog: some time, but not forever.
constexpr unsigned dialog_ms = 120000;
// A start that has not been answered by then is waiting for the user, most likely: said.
constexpr unsigned dialog_said_ms = 500;

const char *const portal = "org.freedesktop.portal.Desktop";
const char *const desktop = "/org/freedesktop/portal/desktop";
const char *const remote = "org.freedesktop.portal.RemoteDesktop";

char session[256];            // the portal's session, while open
unsigned requests;            // requests made, numbering their tokens
bool answered;                // the awaited request's Response came
uint32_t code;                // its response: 0 granted, 1 cancelled by the user, 2 refused otherwise
sd_bus_message *results;      // its message, read up to its results (for the caller), or null
sd_bus_slot *response_match;  // the match for that Response, while it is awaited

int on_response(sd_bus_message *m, void * /*data*/, sd_bus_error * /*e*/) {
  if (answered) return 0;
  answered = true;
  code = 2;
  if (sd.read(m, "u", &code) >= 0) results = sd.message_ref(m);
  return 0;
}

// A token for the next request, and the path the portal gives it (the caller's unique name, its
// dots turned to underscores); the match for its Response is added before the request goes.
bool next_request(sd_bus *bus, char *token, size_t token_size, char *why, size_t n) {
  snprintf(token, token_size, "hidpipe%u_%u", static_cast<unsigned>(getpid()), ++requests);
  const char *unique = nullptr;
  if (sd.get_unique_name(bus, &unique) < 0 || unique == nullptr || unique[0] != ':') {
    snprintf(why, n, "the session bus gave no name");
    return false;
  }
  char path[300];
  int at = snprintf(path, sizeof path, "%s/request/", desktop);
  for (const char *c = unique + 1; *c != '\0' && at + 1 < static_cast<int>(sizeof path); c++)
    path[at++] = *c == '.' ? '_' : *c;
  snprintf(path + at, sizeof path - static_cast<size_t>(at), "/%s", token);
  char rule[600];
  snprintf(rule, sizeof rule,
           "type='signal',sender='%s',interface='org.freedesktop.portal.Request',member='Response',path='%s'",
           portal, path);
  answered = false;
  if (results != nullptr) sd.message_unref(results);
  results = nullptr;
  // A request that failed to go leaves its match behind.
  sd.slot_unref(response_match);
  response_match = nullptr;
  if (sd.add_match_async(bus, &response_match, rule, on_response, nullptr, nullptr) < 0) {
    snprintf(why, n, "cannot watch the portal's answers");
    return false;
  }
  return true;
}

// With --verbose, says once that a start is waiting for the user, when it has waited that long.
void say_waiting(uint64_t began, bool *said) {
  if (*said || host_clock_ns() - began < uint64_t{dialog_said_ms} * 1000000u) return;
  *said = true;
  if (host_verbose)
    fprintf(
        stderr,
        "hidpipe: waiting for the desktop's answer to the RemoteDesktop portal: it may be asking the user to "
        "allow remote interaction (up to %u s)\n",
        dialog_ms / 1000);
}

// Waits up to ms for the Response of the request made last; true when it granted. With say set,
// says with --verbose that the user is being asked once the answer is late.
bool await_response(sd_bus *bus, unsigned ms, bool say, const char *member, char *why, size_t n) {
  uint64_t began = host_clock_ns(), until = began + uint64_t{ms} * 1000000u;
  bool said = !say;
  int processed = 0;
  while (!answered && (processed = sd.process(bus, nullptr)) >= 0) {
    if (processed > 0) continue;
    say_waiting(began, &said);
    uint64_t now = host_clock_ns();
    if (now >= until) break;
    unsigned left = static_cast<unsigned>((until - now) / 1000000u) + 1;
    // Woken to say so, while the user is not yet said to be asked.
    if (!bus_wait(bus, !said && left > dialog_said_ms ? dialog_said_ms : left) && host_stop_signal() != 0)
      break;
  }
  sd.slot_unref(response_match);
  response_match = nullptr;
  if (!answered) {
    snprintf(why, n, "%s: %s", member,
             processed < 0             ? "the session bus closed the connection"
             : host_stop_signal() != 0 ? "stopped"
                                       : "no answer");
    return false;
  }
  if (code != 0) {
    snprintf(why, n, "%s: %s", member, code == 1 ? "the user did not allow it" : "the desktop refused it");
    return false;
  }
  return true;
}

// The string that key has in the results read last (an a{sv}), into out; false when it has none.
bool result_string(const char *key, char *out, size_t n) {
  if (results == nullptr || sd.enter(results, 'a', "{sv}") <= 0) return false;
  bool found = false;
  while (!found && sd.enter(results, 'e', "sv") > 0) {
    const char *name = nullptr, *value = nullptr;
    if (sd.read(results, "s", &name) < 0) break;
    if (name != nullptr && strcmp(name, key) == 0 &&
        (sd.enter(results, 'v', "s") > 0 || sd.enter(results, 'v', "o") > 0)) {
      found = sd.read(results, "s", &value) > 0 || sd.read(results, "o", &value) > 0;
      if (found) snprintf(out, n, "%s", value);
      sd.exit(results);
    } else {
      sd.skip(results, "v");
    }
    sd.exit(results);
  }
  return found;
}

// A call of the portal's whose answer is only a request's path: unref'd, or why it failed.
bool sent(sd_bus_message *m) {
  if (m == nullptr) return false;
  sd.message_unref(m);
  return true;
}

// The restore token kept from the last start, into token; empty when there is none.
void read_token(char *token, size_t n) {
  token[0] = '\0';
  char path[512];
  if (!portal_token_path(path, sizeof path)) return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t got = read(fd, token, n - 1);
  close(fd);
  token[got > 0 ? got : 0] = '\0';
  token[strcspn(token, "\n")] = '\0';
}

// Keeps token for the next start, readable by the user alone: written beside, then renamed. With
// --verbose, says when it cannot.
void keep_token(const char *token) {
  char path[512], temporary[530];
  if (!portal_token_path(path, sizeof path)) {
    if (host_verbose)
      fprintf(stderr,
              "hidpipe: the portal's restore token is not kept: neither XDG_STATE_HOME nor HOME is set\n");
    return;
  }
  for (char *slash = strchr(path + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    mkdir(path, 0700);
    *slash = '/';
  }
  snprintf(temporary, sizeof temporary, "%s.%u", path, static_cast<unsigned>(getpid()));
  int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  size_t length = strlen(token);
  bool whole = fd >= 0 && fchmod(fd, 0600) == 0 && write(fd, token, length) == static_cast<ssize_t>(length);
  int error = errno;
  if (fd >= 0 && close(fd) != 0) whole = false;
  if (whole && rename(temporary, path) == 0) return;
  if (!whole) error = errno != 0 ? errno : error;
  unlink(temporary);
  if (host_verbose)
    fprintf(stderr, "hidpipe: the portal's restore token is not kept in %s (%s): the next start asks again\n",
            path, strerror(error));
}

}  // namespace

bool portal_token_path(char *path, size_t n) {
  const char *state = getenv("XDG_STATE_HOME"), *home = getenv("HOME");
  int made = 0;
  if (state != nullptr && state[0] == '/')
    made = snprintf(path, n, "%s/hidpipe/portal-restore-token", state);
  else if (home != nullptr && home[0] == '/')
    made = snprintf(path, n, "%s/.local/state/hidpipe/portal-restore-token", home);
  else
    return false;
  return made > 0 && static_cast<size_t>(made) < n;
}

int portal_socket(sd_bus *bus, char *why, size_t n) {
  char token[64], kept[512];
  session[0] = '\0';
  // The session.
  if (!next_request(bus, token, sizeof token, why, n) ||
      !sent(bus_call(bus, answer_ms, why, n, portal, desktop, remote, "CreateSession", "a{sv}", 2,
                     "handle_token", "s", token, "session_handle_token", "s", token)) ||
      !await_response(bus, answer_ms, false, "CreateSession", why, n))
    return -1;
  if (!result_string("session_handle", session, sizeof session)) {
    snprintf(why, n, "CreateSession: no session in the answer");
    return -1;
  }
  // Its keyboard and pointer (1 and 2), kept until revoked (persist mode 2), restored where a token is
  // kept.
  read_token(kept, sizeof kept);
  bool asked = next_request(bus, token, sizeof token, why, n);
  if (asked && kept[0] != '\0')
    asked = sent(bus_call(bus, answer_ms, why, n, portal, desktop, remote, "SelectDevices", "oa{sv}", session,
                          4, "handle_token", "s", token, "types", "u", 3u, "persist_mode", "u", 2u,
                          "restore_token", "s", kept));
  else if (asked)
    asked = sent(bus_call(bus, answer_ms, why, n, portal, desktop, remote, "SelectDevices", "oa{sv}", session,
                          3, "handle_token", "s", token, "types", "u", 3u, "persist_mode", "u", 2u));
  if (!asked || !await_response(bus, answer_ms, false, "SelectDevices", why, n)) return -1;
  // The start, where the desktop may ask the user.
  if (!next_request(bus, token, sizeof token, why, n) ||
      !sent(bus_call(bus, answer_ms, why, n, portal, desktop, remote, "Start", "osa{sv}", session, "", 1,
                     "handle_token", "s", token)) ||
      !await_response(bus, dialog_ms, true, "Start", why, n))
    return -1;
  // Each start gives a new token, and the old one no longer serves.
  if (result_string("restore_token", kept, sizeof kept))
    keep_token(kept);
  else if (host_verbose)
    fprintf(stderr, "hidpipe: the RemoteDesktop portal gave no restore token: the next start asks again\n");
  sd_bus_message *m =
      bus_call(bus, answer_ms, why, n, portal, desktop, remote, "ConnectToEIS", "oa{sv}", session, 0);
  int fd = -1;
  if (m != nullptr && sd.read(m, "h", &fd) >= 0 && fd >= 0)
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  else if (m != nullptr)
    snprintf(why, n, "ConnectToEIS: no socket in the answer");
  if (m != nullptr) sd.message_unref(m);
  return fd;
}

void portal_close(sd_bus *bus) {
  if (results != nullptr) sd.message_unref(results);
  results = nullptr;
  sd.slot_unref(response_match);
  response_match = nullptr;
  if (session[0] == '\0' || bus == nullptr) return;
  char why[200];
  sd_bus_message *m = bus_call(bus, answer_ms, why, sizeof why, portal, session,
                               "org.freedesktop.portal.Session", "Close", nullptr);
  if (m != nullptr) sd.message_unref(m);
  session[0] = '\0';
}

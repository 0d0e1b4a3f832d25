#include "shared/bus.h"

#include <dlfcn.h>
#include <poll.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "shared/symbols.h"

sd_functions sd;

namespace {

bool loaded;             // whether sd is filled
sd_bus_message *answer;  // the answer to the call bus_call waits for, taken; null until it comes

// An unanswered call's slot is dropped when bus_call gives up, so its late answer comes nowhere.
int on_reply(sd_bus_message *m, void * /*data*/, sd_bus_error * /*e*/) {
  if (answer == nullptr) answer = sd.message_ref(m);
  return 0;
}

}  // namespace

bool sd_load(const char **why) {
  if (loaded) return true;
  void *systemd = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (systemd == nullptr) {
    static char text[300];
    const char *e = dlerror();
    snprintf(text, sizeof text, "cannot load the D-Bus library (Debian: libsystemd0): %s",
             e != nullptr ? e : "not found");
    *why = text;
    return false;
  }
  loaded = find_symbol(systemd, "sd_bus_open_user", &sd.open_user) &&
           find_symbol(systemd, "sd_bus_close", &sd.close) &&
           find_symbol(systemd, "sd_bus_unref", &sd.unref) &&
           find_symbol(systemd, "sd_bus_message_new_method_call", &sd.new_method_call) &&
           find_symbol(systemd, "sd_bus_message_appendv", &sd.appendv) &&
           find_symbol(systemd, "sd_bus_message_append", &sd.append) &&
           find_symbol(systemd, "sd_bus_call_async", &sd.call_async) &&
           find_symbol(systemd, "sd_bus_slot_unref", &sd.slot_unref) &&
           find_symbol(systemd, "sd_bus_process", &sd.process) &&
           find_symbol(systemd, "sd_bus_get_fd", &sd.get_fd) &&
           find_symbol(systemd, "sd_bus_get_events", &sd.get_events) &&
           find_symbol(systemd, "sd_bus_add_match_async", &sd.add_match_async) &&
           find_symbol(systemd, "sd_bus_get_unique_name", &sd.get_unique_name) &&
           find_symbol(systemd, "sd_bus_message_unref", &sd.message_unref) &&
           find_symbol(systemd, "sd_bus_message_ref", &sd.message_ref) &&
           find_symbol(systemd, "sd_bus_message_read", &sd.read) &&
           find_symbol(systemd, "sd_bus_message_skip", &sd.skip) &&
           find_symbol(systemd, "sd_bus_message_enter_container", &sd.enter) &&
           find_symbol(systemd, "sd_bus_message_exit_container", &sd.exit) &&
           find_symbol(systemd, "sd_bus_message_get_error", &sd.get_error) &&
           find_symbol(systemd, "sd_bus_message_is_method_error", &sd.is_method_error);
  if (!loaded) *why = "the D-Bus library lacks a function hidpipe needs";
  return loaded;
}

bool bus_wait(sd_bus *bus, unsigned ms) {
  int events = sd.get_events(bus);
  return host_wait(sd.get_fd(bus), static_cast<short>(events > 0 ? events : POLLIN), ms) == host_ready;
}

sd_bus_message *bus_call(sd_bus *bus, unsigned ms, char *why, size_t n, const char *destination,
                         const char *path, const char *interface, const char *member, const char *types,
                         ...) {
  sd_bus_message *m = nullptr;
  sd_bus_slot *slot = nullptr;
  answer = nullptr;
  va_list ap;
  va_start(ap, types);
  bool sent = sd.new_method_call(bus, &m, destination, path, interface, member) >= 0 &&
              (types == nullptr || sd.appendv(m, types, ap) >= 0) &&
              sd.call_async(bus, &slot, m, on_reply, nullptr, uint64_t{ms} * 1000) >= 0;
  va_end(ap);
  if (m != nullptr) sd.message_unref(m);
  if (!sent) {
    snprintf(why, n, "cannot call %s.%s on the session bus", interface, member);
    return nullptr;
  }
  int processed = 0;
  while (answer == nullptr && (processed = sd.process(bus, nullptr)) >= 0)
    if (processed == 0 && answer == nullptr && !bus_wait(bus, ms)) break;
  sd.slot_unref(slot);
  if (answer == nullptr) {
    snprintf(why, n, "%s: %s", member,
             processed < 0             ? "the session bus closed the connection"
             : host_stop_signal() != 0 ? "stopped"
                                       : "no answer");
    return nullptr;
  }
  sd_bus_message *got = answer;
  answer = nullptr;
  if (sd.is_method_error(got, nullptr) != 0) {
    const sd_bus_error *e = sd.get_error(got);
    snprintf(why, n, "%s: %s", member, e != nullptr && e->message != nullptr ? e->message : "failed");
    sd.message_unref(got);
    return nullptr;
  }
  return got;
}

// The session bus through sd-bus, for the backends that talk to a compositor on it: libsystemd's
// functions, loaded at run time, and a call whose wait has a bound and ends at a stop signal.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>

// The functions used from libsystemd.
struct sd_functions {
  decltype(&sd_bus_open_user) open_user;
  decltype(&sd_bus_close) close;
  decltype(&sd_bus_unref) unref;
  decltype(&sd_bus_message_new_method_call) new_method_call;
  decltype(&sd_bus_message_appendv) appendv;
  decltype(&sd_bus_message_append) append;
  decltype(&sd_bus_call_async) call_async;
  decltype(&sd_bus_slot_unref) slot_unref;
  decltype(&sd_bus_process) process;
  decltype(&sd_bus_get_fd) get_fd;
  decltype(&sd_bus_get_events) get_events;
  decltype(&sd_bus_add_match_async) add_match_async;
  decltype(&sd_bus_get_unique_name) get_unique_name;
  decltype(&sd_bus_message_unref) message_unref;
  decltype(&sd_bus_message_ref) message_ref;
  decltype(&sd_bus_message_read) read;
  decltype(&sd_bus_message_skip) skip;
  decltype(&sd_bus_message_enter_container) enter;
  decltype(&sd_bus_message_exit_container) exit;
  decltype(&sd_bus_message_get_error) get_error;
  decltype(&sd_bus_message_is_method_error) is_method_error;
};

extern sd_functions sd;  // filled by sd_load

// Loads libsystemd and fills sd, once; false, with why set, when it or a function is missing.
bool sd_load(const char **why);

// Waits until bus has something for us, or can take what waits to be written, for at most ms:
// sd-bus's own waits (its flush among them) have no bound and go on through signals, so it is only
// ever asked to process what is at hand. False on a stop signal or when the time ran out.
bool bus_wait(sd_bus *bus, unsigned ms);

// Calls member and waits at most ms for its answer: the reply (for the caller to unref), or null
// with why (n bytes) saying why: no answer, a stop signal, the connection broken, or the error the
// callee answered with.
sd_bus_message *bus_call(sd_bus *bus, unsigned ms, char *why, size_t n, const char *destination,
                         const char *path, const char *interface, const char *member, const char *types, ...);

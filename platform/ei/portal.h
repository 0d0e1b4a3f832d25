// The desktop's RemoteDesktop portal (xdg-desktop-portal, version 2), the way to EIS that a desktop
// offers every program, sandboxed ones too: a session whose keyboard and pointer the user grants
// once, remembered by a restore token in $XDG_STATE_HOME/hidpipe/, and an EIS socket for it.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>

// Asks the portal on bus for a session, its devices (with the kept restore token, when there is one)
// and its start, which may wait for the user to answer the desktop's dialog (said with --verbose;
// 120 s at most, and at once on a stop signal); keeps the new token. Returns the EIS socket, or -1
// with why (n bytes) saying what the portal answered.
int portal_socket(sd_bus *bus, char *why, size_t n);

// Closes the portal's session, if one is open.
void portal_close(sd_bus *bus);

// Where the restore token is kept, into path (n bytes); false when neither XDG_STATE_HOME nor HOME
// says.
bool portal_token_path(char *path, size_t n);

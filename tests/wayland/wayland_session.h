// A Wayland compositor of a test's own (headless sway, or KWin without a display), run as an
// unprivileged user with its own XDG_RUNTIME_DIR, and the programs that talk to it: the observer
// window (tests/wayland/wayland_observer.cc) and hidpipe. Shared by the Wayland tests and benchmark.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What lets a program use KWin's fake input: nothing, with KWin's checks off; else, with them on, no
// grant, a .desktop file in the user's applications folder naming hidpipe in the runtime folder (the
// path install gives), or that file and an XDG applications menu, which KWin 6 looks through.
enum class kwin_grant { unchecked, none, file, file_and_menu };

class wayland_session {
 public:
  // Starts sway (or KWin) with its own runtime folder. Returns false, with why() set, when it is
  // not installed or does not come up.
  bool start_sway(const std::vector<std::string> &env = {});
  // With bus, KWin runs inside a session bus of its own, for its EIS (connectToEIS).
  bool start_kwin(const std::vector<std::string> &env = {}, kwin_grant grant = kwin_grant::unchecked,
                  bool bus = false);
  // Headless mutter with two virtual monitors (1280x720, then 1024x720 to its right), inside a
  // session bus of its own with PipeWire, and the desktop's own pointer and keyboard (devices, the
  // program tests/gnome/mutter_devices.cc). xkb_symbols, when given, stands for the "us" layout: plain
  // mutter takes the default layout, and libxkbcommon reads the user's own files first.
  // With portal, the bus also offers the desktop's RemoteDesktop portal with GNOME's backend, which
  // asks the user in a dialog (answer_dialog).
  bool start_mutter(const std::string &devices, const std::string &xkb_symbols = "", bool portal = false);
  void stop();
  ~wayland_session() { stop(); }

  const std::string &why() const { return why_; }
  // The compositor's process (mutter's or KWin's own, within its session bus).
  pid_t compositor() const { return mutter_ > 0 ? mutter_ : compositor_; }

  // The end of the compositor's own log (at most bytes of it), to say what it made of a failure.
  std::string log_tail(size_t bytes = 4000) const;

  // The runtime folder, which is also the compositor's user's HOME.
  const std::string &runtime() const { return runtime_; }

  // The environment a client of the compositor needs, as "NAME=value".
  std::vector<std::string> client_env() const;

  // Runs swaymsg with args as the compositor's user, against this sway; returns its exit status.
  int swaymsg(const std::vector<std::string> &args) const;

  // Runs busctl --user with args as the compositor's user, on mutter's session bus; an argument
  // "SERIAL" stands for the serial of the monitors' configuration now. Returns its exit status.
  int busctl(std::vector<std::string> args) const;

  // Gives KWin's session bus the desktop's RemoteDesktop portal, KDE's backend behind it, with remote
  // desktop access allowed beforehand as Plasma 6.3 lets an administrator do (the permission store's
  // kde-authorized table): no dialog. False, with why() set, when the portal is not installed.
  bool allow_portal();

  // Starts answering GNOME's remote-desktop dialog through AT-SPI as the user would: the switch
  // that allows remote interaction, then the button of that name ("Share", "Cancel"). Returns the
  // answerer's process, which exits 0 once it pressed it and 1 when no dialog came within 20 s.
  pid_t answer_dialog(const std::string &button) const;

  // Copies a program into the runtime folder, where the compositor's user may run it; returns the
  // copy's path.
  std::string install(const std::string &program) const;

  // Starts a program as the compositor's user with a pipe as its standard input and another as its
  // standard output; extra environment settings come first. With eager, it runs before others
  // for the CPU, where the tests run as root.
  pid_t spawn(const std::string &program, const std::vector<std::string> &args,
              const std::vector<std::string> &env, int *input, int *output, bool eager = false) const;

 private:
  bool wait_for_socket(const std::string &name);
  // Makes runtime_, owned by the compositor's user; false if it cannot.
  bool make_runtime();
  // Starts the compositor as its user, its output into compositor.log in runtime_.
  void launch(const std::string &program, std::vector<std::string> args, std::vector<std::string> env);

  std::string runtime_;   // XDG_RUNTIME_DIR, owned by the compositor's user
  std::string socket_;    // WAYLAND_DISPLAY, a name inside runtime_
  pid_t compositor_ = 0;  // sway or kwin_wayland, or dbus-run-session around pipewire and mutter
  pid_t devices_ = 0;     // mutter's desktop devices
  int devices_in_ = -1;   // their standard input, which keeps them
  std::string bus_;       // mutter's session bus
  pid_t mutter_ = 0;      // mutter, or KWin, inside the session bus of their own
  std::string why_;       // why start failed
};

// The observer window on a session: started, then its lines, until it has been quiet for a while.
class observer {
 public:
  // Starts the observer and waits until its window is on screen; false if it does not come up.
  bool start(const wayland_session &s, const std::vector<std::string> &env = {});

  // The lines received since the last call, once count have arrived or quiet_ms have passed
  // without one.
  std::vector<std::string> take(size_t count, int quiet_ms = 300);

  // The lines of every event that the compositor had sent it by now, which it reads at once
  // (nothing waits for more to come); those taken before are left out.
  std::vector<std::string> drain();

  // The user switches their keyboard (the observer's own) to layout and types on it, so that the
  // compositor tells every client its keymap; returns once it has. Lines meanwhile are kept for take.
  bool use_layout(const std::string &layout);

  // Each window of OBSERVER_OUTPUTS fills its output again (after the monitors were rearranged);
  // returns once they have. Lines meanwhile are kept for take.
  bool refill();

  void stop();
  ~observer() { stop(); }

 private:
  // Writes command to its input and waits for the line answer; the lines before it are kept.
  bool ask(const std::string &command, const std::string &answer);
  pid_t pid_ = 0;
  int input_ = -1, output_ = -1;
  std::string pending_;  // received and not yet cut into lines
};

// Chromium on the session (Debian's chromium, --ozone-platform=wayland) showing a page of ours: a
// text area with the focus, which reports on the browser's console each input event and each wheel
// event, one line each:
//   ready                      once the page has loaded and the text area has the focus
//   input TYPE HEX ...         an input event's inputType and the code points of its data
//   wheel DY DX MODE           a wheel event's deltaY, deltaX and deltaMode
//   locked 1 | locked 0        the pointer was locked (a press asks for it) or let go
//   move DX DY                 a motion's movementX and movementY, while the pointer is locked
class browser {
 public:
  // Starts Chromium and waits until the page is ready; false, with why() set, if it does not come
  // up (not installed: apt-get install chromium).
  bool start(const wayland_session &s);

  // The page's lines since the last call, once count have arrived or quiet_ms have passed without
  // one.
  std::vector<std::string> take(size_t count, int quiet_ms = 500);

  const std::string &why() const { return why_; }
  void stop();
  ~browser() { stop(); }

 private:
  pid_t pid_ = 0;
  int input_ = -1, output_ = -1;
  std::string pending_;  // received and not yet cut into lines
  std::string why_;      // why start failed
};

// The program's path on PATH, or an empty string.
std::string on_path(const std::string &name);

// Runs hidpipe on the session with input (its standard input closed after it); returns its exit
// status, and what it wrote to standard error in *err.
int run_hidpipe(const wayland_session &s, const std::string &hidpipe, const std::string &input,
                const std::vector<std::string> &env = {}, std::string *err = nullptr);

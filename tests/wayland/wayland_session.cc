#include "wayland_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

extern char **environ;

namespace {

// The user compositors run as when the tests run as root, which they refuse: nobody.
constexpr uid_t unprivileged = 65534;

void give_away(const std::string &path) {
  if (geteuid() == 0 && chown(path.c_str(), unprivileged, unprivileged) != 0) return;
}

// In a child: becomes the unprivileged user, when running as root.
void drop_privileges() {
  if (geteuid() != 0) return;
  if (setgroups(0, nullptr) != 0 || setgid(unprivileged) != 0 || setuid(unprivileged) != 0) _exit(126);
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> p;
  for (std::string &s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

bool copy_file(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  return in.good() && out.good() && chmod(to.c_str(), 0755) == 0;
}

void remove_tree(const std::string &path) {
  DIR *d = opendir(path.c_str());
  for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child = path + "/" + name;
    struct stat st = {};
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      remove_tree(child);
    else
      unlink(child.c_str());
  }
  if (d != nullptr) closedir(d);
  rmdir(path.c_str());
}

}  // namespace

std::string on_path(const std::string &name) {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool wayland_session::wait_for_socket(const std::string &name) {
  for (int tries = 0; tries < 300; tries++) {
    if (name.empty()) {
      // sway takes the first free name, wayland-1 in a folder of its own.
      DIR *d = opendir(runtime_.c_str());
      for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d))
        if (strncmp(e->d_name, "wayland-", 8) == 0 && strstr(e->d_name, ".lock") == nullptr)
          socket_ = e->d_name;
      if (d != nullptr) closedir(d);
    } else if (access((runtime_ + "/" + name).c_str(), F_OK) == 0) {
      socket_ = name;
    }
    if (!socket_.empty()) return true;
    if (waitpid(compositor_, nullptr, WNOHANG) == compositor_) {
      compositor_ = 0;
      break;
    }
    usleep(50000);
  }
  why_ = "the compositor did not come up; its log: " + runtime_ + "/compositor.log";
  return false;
}

bool wayland_session::make_runtime() {
  char dir[] = "/tmp/hidpipe-wayland-XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  runtime_ = dir;
  give_away(runtime_);
  return true;
}

void wayland_session::launch(const std::string &program, std::vector<std::string> args,
                             std::vector<std::string> env) {
  std::string log = runtime_ + "/compositor.log";
  compositor_ = fork();
  if (compositor_ == 0) {
    // A group of its own, so that stopping it stops what it started (mutter's bus and PipeWire).
    setpgid(0, 0);
    drop_privileges();
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execve(program.c_str(), pointers(args).data(), pointers(env).data());
    _exit(127);
  }
}

bool wayland_session::start_sway(const std::vector<std::string> &env) {
  std::string sway = on_path("sway");
  if (sway.empty()) {
    why_ = "sway is not installed (apt-get install sway)";
    return false;
  }
  if (!make_runtime()) return false;
  // sway lets windows lock the pointer only where a seat is configured.
  std::ofstream(runtime_ + "/sway.conf")
      << "output HEADLESS-1 resolution 1280x720\nxwayland disable\nseat * pointer_constraint enable\n";
  std::vector<std::string> vars = env;
  for (const char *v : {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"})
    vars.emplace_back(v);
  vars.push_back("XDG_RUNTIME_DIR=" + runtime_);
  vars.push_back("HOME=" + runtime_);
  vars.emplace_back("PATH=/usr/bin:/bin");
  launch(sway, {"sway", "-c", runtime_ + "/sway.conf"}, vars);
  return wait_for_socket("");
}

bool wayland_session::start_kwin(const std::vector<std::string> &env, kwin_grant grant, bool bus) {
  std::string kwin = on_path("kwin_wayland");
  if (kwin.empty()) {
    why_ = "KWin is not installed (apt-get install kwin-wayland)";
    return false;
  }
  if (!make_runtime()) return false;
  // The packaged binary has file capabilities, which a container may refuse to exec; a plain copy,
  // still named kwin_wayland, runs.
  std::string copy = runtime_ + "/kwin_wayland";
  if (!copy_file(kwin, copy)) {
    why_ = "cannot copy " + kwin;
    return false;
  }
  std::vector<std::string> vars = env;
  if (grant == kwin_grant::unchecked) vars.emplace_back("KWIN_WAYLAND_NO_PERMISSION_CHECKS=1");
  for (const std::string &v :
       {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + runtime_, std::string("PATH=/usr/bin:/bin")})
    vars.push_back(v);
  // The user's own folders under HOME: applications in .local/share, menus in .config.
  std::vector<std::pair<std::string, std::string>> files;
  if (grant == kwin_grant::file || grant == kwin_grant::file_and_menu)
    files.emplace_back("/.local/share/applications/hidpipe.desktop",
                       "[Desktop Entry]\nType=Application\nName=hidpipe\nExec=" + runtime_ +
                           "/hidpipe\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
  if (grant == kwin_grant::file_and_menu)
    files.emplace_back("/.config/menus/applications.menu",
                       "<!DOCTYPE Menu PUBLIC \"-//freedesktop//DTD Menu 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/menu-spec/1.0/menu.dtd\">\n"
                       "<Menu><Name>Applications</Name><DefaultAppDirs/><Include><All/></Include></Menu>\n");
  // On its bus the desktop's portal takes KDE's backend by name: the desktop's variables, which would
  // name it too, hang a bare KWin. KWin starts the portal as it starts.
  if (bus) files.emplace_back("/.config/xdg-desktop-portal/portals.conf", "[preferred]\ndefault=kde\n");
  for (const auto &[name, text] : files) {
    for (size_t slash = 1; (slash = name.find('/', slash)) != std::string::npos; slash++) {
      mkdir((runtime_ + name.substr(0, slash)).c_str(), 0755);
      give_away(runtime_ + name.substr(0, slash));
    }
    std::ofstream(runtime_ + name) << text;
    give_away(runtime_ + name);
  }
  std::vector<std::string> args = {
      "kwin_wayland", "--virtual", "--socket",        "wayland-hidpipe",       "--width",         "1280",
      "--height",     "720",       "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities"};
  if (!bus) {
    launch(copy, args, vars);
    return wait_for_socket("wayland-hidpipe");
  }
  // The bus's address for the others, then KWin.
  std::string dbus = on_path("dbus-run-session"), script = runtime_ + "/kwin.sh";
  std::ofstream out(script);
  // KWin's process is the script's, which execs it.
  out << "echo $$ > \"$XDG_RUNTIME_DIR/kwin.pid\"\n"
         "echo \"$DBUS_SESSION_BUS_ADDRESS\" > \"$XDG_RUNTIME_DIR/bus.tmp\"\n"
         "mv \"$XDG_RUNTIME_DIR/bus.tmp\" \"$XDG_RUNTIME_DIR/bus\"\n"
         "exec env -u WAYLAND_DISPLAY -u XDG_CURRENT_DESKTOP -u QT_QPA_PLATFORM "
      << copy;
  for (size_t i = 1; i < args.size(); i++) out << " " << args[i];
  out << "\n";
  out.close();
  chmod(script.c_str(), 0755);
  give_away(script);
  // The services the bus starts reach KWin's display, as on Plasma: the portal's KDE backend, a Qt
  // program, offers remote desktops only on Wayland and in KDE. KWin itself takes neither: it would
  // nest in the display, and hang with the desktop's name.
  vars.emplace_back("WAYLAND_DISPLAY=wayland-hidpipe");
  vars.emplace_back("QT_QPA_PLATFORM=wayland");
  vars.emplace_back("XDG_CURRENT_DESKTOP=KDE");
  launch(dbus, {"dbus-run-session", "--", "/bin/sh", script}, vars);
  if (!wait_for_socket("wayland-hidpipe")) return false;
  std::ifstream(runtime_ + "/bus") >> bus_;
  std::ifstream(runtime_ + "/kwin.pid") >> mutter_;
  // KWin takes its name on the bus a moment after its socket.
  for (int tries = 0; tries < 50 && busctl({"status", "org.kde.KWin"}) != 0; tries++) usleep(100000);
  return true;
}

bool wayland_session::start_mutter(const std::string &devices, const std::string &xkb_symbols, bool portal) {
  std::string mutter = on_path("mutter"), dbus = on_path("dbus-run-session"), pipewire = on_path("pipewire");
  if (mutter.empty() || dbus.empty() || pipewire.empty()) {
    why_ =
        "mutter, dbus-run-session or pipewire is not installed (apt-get install mutter dbus-daemon pipewire)";
    return false;
  }
  if (portal && (access("/usr/libexec/xdg-desktop-portal-gnome", X_OK) != 0 || on_path("python3").empty() ||
                 access("/usr/lib/python3/dist-packages/pyatspi", F_OK) != 0)) {
    why_ =
        "GNOME's portal or AT-SPI is not installed (apt-get install xdg-desktop-portal-gnome "
        "python3-pyatspi)";
    return false;
  }
  if (!make_runtime()) return false;
  std::vector<std::string> vars = {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + runtime_,
                                   "XDG_CONFIG_HOME=" + runtime_, "PATH=/usr/bin:/bin"};
  if (portal) {
    // The portal takes GNOME's backend by name; the services the bus starts, its dialog among them,
    // reach mutter's display, as on GNOME.
    mkdir((runtime_ + "/xdg-desktop-portal").c_str(), 0755);
    give_away(runtime_ + "/xdg-desktop-portal");
    std::ofstream(runtime_ + "/xdg-desktop-portal/portals.conf") << "[preferred]\ndefault=gnome;gtk\n";
    give_away(runtime_ + "/xdg-desktop-portal/portals.conf");
    vars.emplace_back("WAYLAND_DISPLAY=wayland-hidpipe");
    vars.emplace_back("XDG_CURRENT_DESKTOP=GNOME");
    vars.emplace_back("XDG_SESSION_TYPE=wayland");
  }
  if (!xkb_symbols.empty()) {
    for (const char *dir : {"/xkb", "/xkb/symbols"}) {
      mkdir((runtime_ + dir).c_str(), 0755);
      give_away(runtime_ + dir);
    }
    std::ofstream(runtime_ + "/xkb/symbols/us") << xkb_symbols;
    give_away(runtime_ + "/xkb/symbols/us");
  }
  // The bus's address for the others, PipeWire for the screen casts, mutter last.
  std::string script = runtime_ + "/mutter.sh";
  std::ofstream(script) << "echo \"$DBUS_SESSION_BUS_ADDRESS\" > \"$XDG_RUNTIME_DIR/bus.tmp\"\n"
                           "mv \"$XDG_RUNTIME_DIR/bus.tmp\" \"$XDG_RUNTIME_DIR/bus\"\n"
                        << pipewire << " &\n"
                        << "echo $$ > \"$XDG_RUNTIME_DIR/mutter.pid\"\n"
                        << "exec env -u WAYLAND_DISPLAY -u XDG_CURRENT_DESKTOP " << mutter
                        << " --headless --wayland --no-x11 --wayland-display=wayland-hidpipe"
                           " --virtual-monitor 1280x720 --virtual-monitor 1024x720\n";
  chmod(script.c_str(), 0755);
  give_away(script);
  launch(dbus, {"dbus-run-session", "--", "/bin/sh", script}, vars);
  if (!wait_for_socket("wayland-hidpipe")) return false;
  std::ifstream(runtime_ + "/bus") >> bus_;
  std::ifstream(runtime_ + "/mutter.pid") >> mutter_;
  // The remote-desktop service comes up with the compositor; the devices need it.
  int out = -1;
  for (int tries = 0; tries < 100 && devices_ <= 0; tries++) {
    devices_ = spawn(install(devices), {}, {}, &devices_in_, &out);
    char line[64] = {};
    pollfd p{out, POLLIN, 0};
    ssize_t n = poll(&p, 1, 5000) > 0 ? read(out, line, sizeof line - 1) : 0;
    close(out);
    if (n > 0 && strncmp(line, "ready", 5) == 0) break;
    close(devices_in_);
    waitpid(devices_, nullptr, 0);
    devices_ = 0;
    devices_in_ = -1;
    usleep(100000);
  }
  if (devices_ <= 0)
    why_ = "mutter's remote-desktop interface did not come up; its log: " + runtime_ + "/compositor.log";
  return devices_ > 0;
}

void wayland_session::stop() {
  if (devices_in_ >= 0) close(devices_in_);
  if (devices_ > 0) waitpid(devices_, nullptr, 0);
  devices_ = 0;
  devices_in_ = -1;
  bus_.clear();
  mutter_ = 0;
  if (compositor_ > 0) {
    kill(-compositor_, SIGTERM);
    int waited = 0;
    while (waitpid(compositor_, nullptr, WNOHANG) == 0 && waited++ < 100) usleep(20000);
    kill(-compositor_, SIGKILL);
    waitpid(compositor_, nullptr, 0);
  }
  compositor_ = 0;
  if (!runtime_.empty()) remove_tree(runtime_);
  runtime_.clear();
  socket_.clear();
}

std::vector<std::string> wayland_session::client_env() const {
  std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + socket_};
  if (!bus_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_);
  return env;
}

int wayland_session::swaymsg(const std::vector<std::string> &args) const {
  std::string socket;
  DIR *d = opendir(runtime_.c_str());
  for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d))
    if (strncmp(e->d_name, "sway-ipc.", 9) == 0) socket = runtime_ + "/" + e->d_name;
  if (d != nullptr) closedir(d);
  std::string program = on_path("swaymsg");
  if (socket.empty() || program.empty()) return -1;
  std::vector<std::string> words = {"swaymsg", "-s", socket};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<std::string> env = client_env();
  pid_t pid = fork();
  if (pid == 0) {
    drop_privileges();
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execve(program.c_str(), pointers(words).data(), pointers(env).data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int wayland_session::busctl(std::vector<std::string> args) const {
  std::string program = on_path("busctl");
  if (program.empty() || bus_.empty()) return -1;
  auto run = [&](std::vector<std::string> words, std::string *output) {
    words.insert(words.begin(), {"busctl", "--user"});
    std::vector<std::string> env = client_env();
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      drop_privileges();
      dup2(fds[1], 1);
      close(fds[0]);
      execve(program.c_str(), pointers(words).data(), pointers(env).data());
      _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) output->append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  for (std::string &a : args) {
    if (a != "SERIAL") continue;
    std::string state;
    run({"call", "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
         "org.gnome.Mutter.DisplayConfig", "GetCurrentState"},
        &state);
    // "ua(...)... SERIAL ...": the first value after the signature.
    size_t space = state.find(' ');
    a = space == std::string::npos ? "0" : state.substr(space + 1, state.find(' ', space + 1) - space - 1);
  }
  std::string ignored;
  return run(args, &ignored);
}

bool wayland_session::allow_portal() {
  if (access("/usr/libexec/xdg-desktop-portal", X_OK) != 0 ||
      access("/usr/share/xdg-desktop-portal/portals/kde.portal", F_OK) != 0) {
    why_ = "the portal is not installed (apt-get install xdg-desktop-portal xdg-desktop-portal-kde)";
    return false;
  }
  if (busctl({"call", "org.freedesktop.impl.portal.PermissionStore",
              "/org/freedesktop/impl/portal/PermissionStore", "org.freedesktop.impl.portal.PermissionStore",
              "SetPermission", "sbssas", "kde-authorized", "true", "remote-desktop", "", "1", "yes"}) != 0) {
    why_ = "the portal's permission could not be given on KWin's bus";
    return false;
  }
  return true;
}

std::string wayland_session::log_tail(size_t bytes) const {
  std::ifstream in(runtime_ + "/compositor.log");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

pid_t wayland_session::answer_dialog(const std::string &button) const {
  int input = -1, output = -1;
  pid_t pid = spawn(on_path("python3"), {install(ANSWER_DIALOG), button}, {}, &input, &output);
  if (pid > 0) {
    close(input);
    close(output);
  }
  return pid;
}

std::string wayland_session::install(const std::string &program) const {
  std::string copy = runtime_ + "/" + program.substr(program.rfind('/') + 1);
  if (!copy_file(program, copy)) return program;
  give_away(copy);
  return copy;
}

pid_t wayland_session::spawn(const std::string &program, const std::vector<std::string> &args,
                             const std::vector<std::string> &env, int *input, int *output, bool eager) const {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> vars = env;
  for (const std::string &v : client_env()) vars.push_back(v);
  for (char **e = environ; *e != nullptr; e++)
    if (strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 && strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 &&
        strncmp(*e, "HIDPIPE_", 8) != 0 && strncmp(*e, "DISPLAY=", 8) != 0 &&
        strncmp(*e, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0)
      vars.emplace_back(*e);
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    if (eager) setpriority(PRIO_PROCESS, 0, -10);
    drop_privileges();
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execve(program.c_str(), pointers(words).data(), pointers(vars).data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  *input = in[1];
  *output = out[0];
  return pid;
}

bool observer::start(const wayland_session &s, const std::vector<std::string> &env) {
  // The window reads its events before anything else runs: on a busy machine the compositor would
  // otherwise drop it as too slow during a burst, and the tests would measure that.
  pid_ = s.spawn(s.install(WAYLAND_OBSERVER), {}, env, &input_, &output_, true);
  if (pid_ <= 0) return false;
  // Room for a whole burst's lines: a window that waits for its reader stops reading its own
  // events, and the compositor drops a client that falls that far behind.
  fcntl(output_, F_SETPIPE_SZ, 1 << 20);
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < until;) {
    for (const std::string &line : take(1, 100))
      if (line.rfind("ready", 0) == 0) return true;
  }
  return false;
}

std::vector<std::string> observer::take(size_t count, int quiet_ms) {
  std::vector<std::string> lines;
  auto quiet_since = std::chrono::steady_clock::now();
  size_t at = 0;  // where the next line starts in pending_: erasing line by line is quadratic in a burst
  while (lines.size() < count) {
    size_t newline = pending_.find('\n', at);
    if (newline != std::string::npos) {
      lines.push_back(pending_.substr(at, newline - at));
      at = newline + 1;
      continue;
    }
    pending_.erase(0, at);
    at = 0;
    int left = quiet_ms - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - quiet_since)
                                               .count());
    pollfd p{output_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char buf[65536];
    ssize_t n = read(output_, buf, sizeof buf);
    if (n <= 0) break;
    pending_.append(buf, static_cast<size_t>(n));
    quiet_since = std::chrono::steady_clock::now();
  }
  pending_.erase(0, at);
  return lines;
}

std::vector<std::string> observer::drain() {
  std::vector<std::string> lines;
  if (write(input_, "?", 1) != 1) return lines;
  for (;;) {
    std::vector<std::string> one = take(1, 5000);
    if (one.empty() || one[0] == "drained") return lines;
    lines.push_back(one[0]);
  }
}

bool observer::ask(const std::string &command, const std::string &answer) {
  if (write(input_, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return false;
  std::string kept;
  for (;;) {
    std::vector<std::string> one = take(1, 5000);
    if (one.empty()) break;
    if (one[0] == answer) {
      pending_ = kept + pending_;
      return true;
    }
    kept += one[0] + "\n";
  }
  pending_ = kept + pending_;
  return false;
}

bool observer::use_layout(const std::string &layout) { return ask("L" + layout + "\n", "layout " + layout); }

bool observer::refill() { return ask("F", "filled"); }

void observer::stop() {
  if (input_ >= 0) close(input_);
  if (pid_ > 0) {
    int waited = 0;
    while (waitpid(pid_, nullptr, WNOHANG) == 0 && waited++ < 100) usleep(20000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
  pid_ = 0;
  input_ = output_ = -1;
}

namespace {

// The browser's page. Its lines go to the console, which Chromium writes to standard error.
constexpr char page[] = R"(<!doctype html>
<html><body style="margin:0"><textarea id="t" style="width:100%;height:100vh;border:0"></textarea>
<script>
const t = document.getElementById('t');
const hex = s => Array.from(s || '').map(c => c.codePointAt(0).toString(16)).join(' ');
t.addEventListener('input', e => console.log('input ' + e.inputType + ' ' + hex(e.data)));
document.addEventListener('wheel', e => console.log('wheel ' + e.deltaY + ' ' + e.deltaX + ' ' + e.deltaMode),
                          {passive: true});
// A press locks the pointer, as a game's page does (the Pointer Lock API); locked, each motion is
// reported by its movement.
document.addEventListener('mousedown', () => document.body.requestPointerLock());
document.addEventListener('pointerlockchange', () => console.log('locked ' + (document.pointerLockElement ? 1 : 0)));
document.addEventListener('mousemove', e => {
  if (document.pointerLockElement) console.log('move ' + e.movementX + ' ' + e.movementY);
});
window.addEventListener('load', () => { t.focus(); console.log('ready'); });
</script></body></html>
)";

// The message of a console line, or an empty string: [...:INFO:CONSOLE:N] "MESSAGE", source: ...
std::string console_message(const std::string &line) {
  size_t at = line.find(":CONSOLE");
  size_t open = at == std::string::npos ? at : line.find("] \"", at);
  size_t close = line.rfind("\", source:");
  if (open == std::string::npos || close == std::string::npos || close < open + 3) return {};
  return line.substr(open + 3, close - open - 3);
}

}  // namespace

bool browser::start(const wayland_session &s) {
  std::string chromium = on_path("chromium");
  if (chromium.empty()) {
    why_ = "Chromium is not installed (apt-get install chromium)";
    return false;
  }
  std::string runtime;
  for (const std::string &v : s.client_env())
    if (v.rfind("XDG_RUNTIME_DIR=", 0) == 0) runtime = v.substr(16);
  std::string file = runtime + "/page.html";
  std::ofstream(file) << page;
  give_away(file);
  // As an automated browser is run without a desktop around it: no sandbox (the tests' user may not
  // make namespaces), no GPU, nothing fetched from the network.
  pid_ = s.spawn(chromium,
                 {"--ozone-platform=wayland", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-features=Translate", "--user-data-dir=" + runtime + "/chromium",
                  "--enable-logging=stderr", "--v=0", "--app=file://" + file},
                 {"HOME=" + runtime}, &input_, &output_);
  if (pid_ <= 0) {
    why_ = "cannot start chromium";
    return false;
  }
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       std::chrono::steady_clock::now() < until;) {
    for (const std::string &line : take(1, 200))
      if (line == "ready") return true;
  }
  why_ = "Chromium's page did not come up";
  return false;
}

std::vector<std::string> browser::take(size_t count, int quiet_ms) {
  std::vector<std::string> lines;
  auto quiet_since = std::chrono::steady_clock::now();
  while (lines.size() < count) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string message = console_message(pending_.substr(0, newline));
      pending_.erase(0, newline + 1);
      if (!message.empty()) lines.push_back(message);
      continue;
    }
    int left = quiet_ms - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - quiet_since)
                                               .count());
    pollfd p{output_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char buf[65536];
    ssize_t n = read(output_, buf, sizeof buf);
    if (n <= 0) break;
    pending_.append(buf, static_cast<size_t>(n));
    quiet_since = std::chrono::steady_clock::now();
  }
  return lines;
}

void browser::stop() {
  if (input_ >= 0) close(input_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int waited = 0;
    while (waitpid(pid_, nullptr, WNOHANG) == 0 && waited++ < 100) usleep(20000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
  pid_ = 0;
  input_ = output_ = -1;
}

int run_hidpipe(const wayland_session &s, const std::string &hidpipe, const std::string &input,
                const std::vector<std::string> &env, std::string *err) {
  std::vector<std::string> vars = env;
  vars.emplace_back("HIDPIPE_BACKEND=wayland");
  int in = -1, out = -1;
  pid_t pid = s.spawn(hidpipe, {"-v"}, vars, &in, &out);
  if (pid <= 0) return -1;
  signal(SIGPIPE, SIG_IGN);
  for (size_t done = 0; done < input.size();) {
    ssize_t n = write(in, input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in);
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  close(out);
  int status = 0;
  waitpid(pid, &status, 0);
  if (err != nullptr) *err = said;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

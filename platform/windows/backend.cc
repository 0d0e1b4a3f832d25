// The Windows backend: every event through SendInput, into the input stream of the desktop the
// process runs on, as a real keyboard and mouse would. Windows keeps the state of keys and buttons
// and counts double clicks itself from these presses.
#include <windows.h>

#include <cstdio>
#include <iterator>

#include "backend.h"
#include "quartz/cg_control.h"
#include "windows/keys.h"

namespace {

char about[200];      // where events go, for --verbose
int sent_x, sent_y;   // the position last sent
bool placed;          // whether a position was sent yet
INPUT batch[2 * 20];  // the inputs of one event: at most a text's 20 units, down and up
UINT batch_length;    // how many of batch are in use

// The virtual desktop: the bounding box of all monitors, in pixels.
struct box {
  int left, top, width, height;
};

box measured;           // the virtual desktop, as last read
ULONGLONG measured_at;  // when, in GetTickCount64's milliseconds

// The virtual desktop, read again at most every quarter second: asking for it costs more than a
// move (a trip to the window system under Wine), and monitors come and go at a human pace.
box desktop() {
  ULONGLONG now = GetTickCount64();
  if (measured.width <= 0 || now - measured_at >= 250) {
    measured = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    measured_at = now;
  }
  return measured;
}

// A pixel as SendInput's absolute coordinate over the virtual desktop (0 to 65535). Windows
// maps a coordinate back to a pixel as v * size / 65536, rounded down; the middle of the pixel's
// span lands on the pixel itself, the right and bottom edges included, where (p * 65536) / size
// would land one pixel short. Positions off the desktop are held to its edge.
LONG absolute(double v, int origin, int size) {
  if (size <= 0) return 0;
  double p = v - origin;
  long long pixel = !(p > 0) ? 0 : p >= size - 1 ? size - 1 : static_cast<long long>(p);
  return static_cast<LONG>((pixel * 65536 + 32768) / size);
}

INPUT &next() {
  INPUT &in = batch[batch_length++];
  in = {};
  return in;
}

// A mouse input; at the event's place too when the pointer was put elsewhere (or always, for a
// move), so that a button acts where the command says.
void mouse(const cg_record &r, DWORD flags, DWORD data, bool move) {
  INPUT &in = next();
  in.type = INPUT_MOUSE;
  in.mi.dwFlags = flags;
  in.mi.mouseData = data;
  int x = static_cast<int>(r.at.x), y = static_cast<int>(r.at.y);
  if (move || !placed || x != sent_x || y != sent_y) {
    box d = desktop();
    in.mi.dx = absolute(r.at.x, d.left, d.width);
    in.mi.dy = absolute(r.at.y, d.top, d.height);
    // Each move its own message, as each move of a real mouse is: Windows would merge moves
    // that wait in a queue.
    in.mi.dwFlags |=
        MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_MOVE_NOCOALESCE;
    sent_x = x;
    sent_y = y;
    placed = true;
  }
}

// A move by the event's deltas, as a mouse reports it: Windows' pointer speed and acceleration
// apply to the cursor, while programs that read raw input get the deltas as they are.
void move_by(const cg_record &r) {
  INPUT &in = next();
  in.type = INPUT_MOUSE;
  in.mi.dx = static_cast<LONG>(r.delta[0]);
  in.mi.dy = static_cast<LONG>(r.delta[1]);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_MOVE_NOCOALESCE;
  // Where the cursor then is, only Windows knows: a button goes to its place first.
  placed = false;
}

void button(const cg_record &r) {
  bool press = is_press(r.type);
  switch (r.button) {
    case kCGMouseButtonLeft: mouse(r, press ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP, 0, false); break;
    case kCGMouseButtonRight: mouse(r, press ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP, 0, false); break;
    case kCGMouseButtonCenter:
      mouse(r, press ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP, 0, false);
      break;
    default:
      // Back and forward are the X buttons 1 and 2.
      if (r.button == 3 || r.button == 4)
        mouse(r, press ? MOUSEEVENTF_XDOWN : MOUSEEVENTF_XUP, r.button == 3 ? XBUTTON1 : XBUTTON2, false);
      break;
  }
}

void scroll(const cg_record &r) {
  // Wheel deltas are in 120ths of a notch, so a pixel is one unit and nothing is rounded away.
  // Quartz's positive wheel 1 scrolls up, as a positive wheel delta does; its positive wheel 2
  // scrolls left, where a positive horizontal delta scrolls right.
  for (uint32_t w = 0; w < 2 && w < r.wheels; w++) {
    int32_t amount = w == 0 ? r.wheel[0] : -r.wheel[1];
    if (amount == 0) continue;
    INPUT &in = next();
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = w == 0 ? MOUSEEVENTF_WHEEL : MOUSEEVENTF_HWHEEL;
    in.mi.mouseData = static_cast<DWORD>(amount);
  }
}

// The layout of the window that receives keys: the foreground window's thread's.
HKL layout() {
  HWND w = GetForegroundWindow();
  return GetKeyboardLayout(w != nullptr ? GetWindowThreadProcessId(w, nullptr) : 0);
}

void key(const cg_record &r) {
  if (r.keycode >= windows_keys.size()) return;
  windows_key k = windows_keys.at(r.keycode);
  if (k.vk == 0) return;
  WORD vk = k.vk;
  if (types_character(k.vk)) {
    // The key at this place on the user's layout.
    UINT mapped = MapVirtualKeyExW(k.scan & 0xFF, MAPVK_VSC_TO_VK, layout());
    if (mapped != 0) vk = static_cast<WORD>(mapped);
  }
  INPUT &in = next();
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(k.scan & 0xFF);
  in.ki.dwFlags = ((k.scan & 0xFF00) != 0 ? KEYEVENTF_EXTENDEDKEY : 0) | (r.down ? 0 : KEYEVENTF_KEYUP);
}

void text(const cg_record &r) {
  // Each UTF-16 unit pressed and released as a Unicode packet; a surrogate pair arrives as its
  // two units, which applications join into one character.
  for (size_t i = 0; i < r.text_length && i < std::size(r.text); i++) {
    for (bool down : {true, false}) {
      INPUT &in = next();
      in.type = INPUT_KEYBOARD;
      in.ki.wScan = r.text[i];
      in.ki.dwFlags = KEYEVENTF_UNICODE | (down ? 0 : KEYEVENTF_KEYUP);
    }
  }
}

// Pixels are pixels whatever the monitors' scaling: without this Windows would scale the
// coordinates of a program it thinks unaware of DPI.
void be_dpi_aware() {
  using per_monitor = BOOL(WINAPI *)(DPI_AWARENESS_CONTEXT);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  auto set_context = user32 != nullptr ? reinterpret_cast<per_monitor>(reinterpret_cast<void *>(
                                             GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                                       : nullptr;
  // Per monitor from Windows 10 1703, looked up so that older Windows still start hidpipe; before
  // it, system-wide. The context is a small integer in a handle's clothing, as Windows defines it.
  if (set_context == nullptr ||
      !set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))  // NOLINT(performance-no-int-to-ptr)
    SetProcessDPIAware();
}

bool sendinput_open() {
  be_dpi_aware();
  placed = false;
  measured = {};
  box d = desktop();
  snprintf(about, sizeof about, "events go to Windows' SendInput (%dx%d pixels at %d,%d)", d.width, d.height,
           d.left, d.top);
  return true;
}

bool sendinput_deliver(const cg_record &r) {
  batch_length = 0;
  switch (r.kind) {
    case cg_keyboard:
      if (r.text_length > 0) {
        // Text is typed on the key-down that carries it.
        if (r.down) text(r);
      } else {
        key(r);
      }
      break;
    case cg_mouse:
      if (is_button(r.type))
        button(r);
      else if (r.relative)
        move_by(r);
      else
        mouse(r, 0, 0, true);
      break;
    case cg_scroll: scroll(r); break;
  }
  // Windows refuses input to a program of higher integrity and on the secure desktop (the lock
  // screen, an elevation prompt) without an error that would tell hidpipe more: the session goes
  // on, as a real keyboard's does.
  if (batch_length > 0) SendInput(batch_length, batch, sizeof(INPUT));
  return true;
}

void sendinput_close() {}
const char *sendinput_error() { return nullptr; }
const char *sendinput_about() { return about; }
const char *sendinput_cannot_type() { return nullptr; }
// SendInput returned for every event: they are in the system's input stream.
bool sendinput_sync() { return true; }

}  // namespace

const backend sendinput_backend = {"sendinput",     sendinput_open,  sendinput_deliver,     sendinput_close,
                                   sendinput_error, sendinput_about, sendinput_cannot_type, sendinput_sync};

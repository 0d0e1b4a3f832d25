// An observer of what Windows delivers: a window of ours covering the desktop, holding the
// keyboard focus, and low-level hooks that see every mouse and keyboard input before any window
// does. It prints one line each, flushed:
//   ready WIDTH HEIGHT                   once the window holds the focus and the hooks are in
//   move X Y F | down B X Y F | up B X Y F    the pointer's place, B one of left right middle x1 x2
//   wheel DELTA F | hwheel DELTA F       in 120ths of a notch; F is "injected" or "real"
//   key VK SCAN EXT down|up F            from the keyboard hook: virtual key and scan code in hex,
//                                        EXT 1 for an extended key
//   message keydown|keyup VK MODS        the window's WM_(SYS)KEYDOWN/UP, with the modifiers that
//                                        GetKeyState gives then: some of "shift ctrl alt", or "-"
//   char HEX                             each WM_CHAR, a UTF-16 unit in hex
//   sync                                 the window received F24's release (see below)
//   held none | held VK...               the answer to "held": what GetAsyncKeyState says is down
// It reads commands on standard input: "held", and "sync" to press and release F24 itself and
// report when the window has it, which orders everything sent before. F24's own events are not
// printed. It ends when its input does.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr UINT command_message = WM_APP + 1;  // a line from standard input, in the wParam
constexpr WORD sentinel = VK_F24;             // the key that orders sync

HWND window;

const char *origin(bool injected) { return injected ? "injected" : "real"; }

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
  putchar('\n');
  fflush(stdout);
}

LRESULT CALLBACK on_mouse(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto *m = reinterpret_cast<const MSLLHOOKSTRUCT *>(data);
    const char *from = origin((m->flags & LLMHF_INJECTED) != 0);
    auto x = static_cast<int>(m->pt.x), y = static_cast<int>(m->pt.y);
    auto high = static_cast<SHORT>(HIWORD(m->mouseData));
    switch (message) {
      case WM_MOUSEMOVE: say("move %d %d %s", x, y, from); break;
      case WM_LBUTTONDOWN: say("down left %d %d %s", x, y, from); break;
      case WM_LBUTTONUP: say("up left %d %d %s", x, y, from); break;
      case WM_RBUTTONDOWN: say("down right %d %d %s", x, y, from); break;
      case WM_RBUTTONUP: say("up right %d %d %s", x, y, from); break;
      case WM_MBUTTONDOWN: say("down middle %d %d %s", x, y, from); break;
      case WM_MBUTTONUP: say("up middle %d %d %s", x, y, from); break;
      case WM_XBUTTONDOWN: say("down x%d %d %d %s", high, x, y, from); break;
      case WM_XBUTTONUP: say("up x%d %d %d %s", high, x, y, from); break;
      case WM_MOUSEWHEEL: say("wheel %d %s", high, from); break;
      case WM_MOUSEHWHEEL: say("hwheel %d %s", high, from); break;
      default: break;
    }
  }
  return CallNextHookEx(nullptr, code, message, data);
}

LRESULT CALLBACK on_key(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto *k = reinterpret_cast<const KBDLLHOOKSTRUCT *>(data);
    bool up = message == WM_KEYUP || message == WM_SYSKEYUP;
    if (k->vkCode != sentinel)
      say("key %02lx %02lx %d %s %s", k->vkCode, k->scanCode, (k->flags & LLKHF_EXTENDED) != 0 ? 1 : 0,
          up ? "up" : "down", origin((k->flags & LLKHF_INJECTED) != 0));
  }
  return CallNextHookEx(nullptr, code, message, data);
}

// The modifiers as the window sees them while it handles a key.
const char *modifiers() {
  static char out[32];
  out[0] = '\0';
  if (GetKeyState(VK_SHIFT) < 0) strcat(out, out[0] != '\0' ? " shift" : "shift");
  if (GetKeyState(VK_CONTROL) < 0) strcat(out, out[0] != '\0' ? " ctrl" : "ctrl");
  if (GetKeyState(VK_MENU) < 0) strcat(out, out[0] != '\0' ? " alt" : "alt");
  return out[0] != '\0' ? out : "-";
}

void press_sentinel() {
  INPUT in[2] = {};
  for (int i = 0; i < 2; i++) {
    in[i].type = INPUT_KEYBOARD;
    in[i].ki.wVk = sentinel;
    in[i].ki.dwFlags = i == 0 ? 0 : KEYEVENTF_KEYUP;
  }
  SendInput(2, in, sizeof(INPUT));
}

void report_held() {
  char out[1024] = "held";
  size_t n = strlen(out);
  bool any = false;
  for (int vk = 1; vk < 255; vk++) {
    // The generic Shift, Control and Alt repeat their sides; the sentinel is ours.
    if (vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU || vk == sentinel) continue;
    if ((GetAsyncKeyState(vk) & 0x8000) == 0) continue;
    n += static_cast<size_t>(snprintf(out + n, sizeof out - n, " %02x", vk));
    any = true;
  }
  say("%s", any ? out : "held none");
}

LRESULT CALLBACK on_window(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
      bool up = message == WM_KEYUP || message == WM_SYSKEYUP;
      if (wp == sentinel) {
        if (up) say("sync");
      } else {
        say("message %s %02x %s", up ? "keyup" : "keydown", static_cast<unsigned>(wp), modifiers());
      }
      // Alt and F10 would open the system menu, which takes the focus away.
      return 0;
    }
    case WM_CHAR:
    case WM_SYSCHAR: say("char %04x", static_cast<unsigned>(wp)); return 0;
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case command_message: {
      auto *line = reinterpret_cast<char *>(wp);
      if (strcmp(line, "held") == 0) report_held();
      if (strcmp(line, "sync") == 0) press_sentinel();
      delete[] line;
      return 0;
    }
    case WM_CLOSE: PostQuitMessage(0); return 0;
    default: break;
  }
  return DefWindowProcW(w, message, wp, lp);
}

// Reads commands and hands each to the window's thread; ends the observer at the end of input.
DWORD WINAPI read_commands(void *) {
  char line[64];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    char *copy = new char[strlen(line) + 1];
    strcpy(copy, line);
    PostMessageW(window, command_message, reinterpret_cast<WPARAM>(copy), 0);
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}

}  // namespace

int main() {
  SetProcessDPIAware();
  HINSTANCE self = GetModuleHandleW(nullptr);
  WNDCLASSW c = {};
  c.lpfnWndProc = on_window;
  c.hInstance = self;
  c.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  c.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  c.lpszClassName = L"hidpipe_observer";
  RegisterClassW(&c);
  int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  window = CreateWindowExW(WS_EX_TOPMOST, c.lpszClassName, L"observer", WS_POPUP | WS_VISIBLE, left, top,
                           width, height, nullptr, nullptr, self, nullptr);
  if (window == nullptr) {
    say("no window");
    return 1;
  }
  SetForegroundWindow(window);
  SetFocus(window);
  HHOOK mouse_hook = SetWindowsHookExW(WH_MOUSE_LL, on_mouse, self, 0);
  HHOOK key_hook = SetWindowsHookExW(WH_KEYBOARD_LL, on_key, self, 0);
  if (mouse_hook == nullptr || key_hook == nullptr) {
    say("no hooks");
    return 1;
  }
  // Whatever the window's appearance queued goes before "ready".
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  say("ready %d %d", width, height);
  CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr);
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  UnhookWindowsHookEx(mouse_hook);
  UnhookWindowsHookEx(key_hook);
  return 0;
}

// The ceiling for hidpipe.exe: the same SendInput calls, one per event as hidpipe makes them, from
// a bare loop with nothing to read or parse.
//   sendinput_loop moves N    N absolute moves over the virtual desktop
//   sendinput_loop keys N     N taps of the A key (press, release)
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

int main(int argc, char **argv) {
  if (argc < 3 || (strcmp(argv[1], "moves") != 0 && strcmp(argv[1], "keys") != 0)) return 2;
  long n = atol(argv[2]);
  SetProcessDPIAware();
  int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  INPUT in = {};
  for (long i = 0; i < n; i++) {
    if (argv[1][0] == 'm') {
      in.type = INPUT_MOUSE;
      in.mi.dx = static_cast<LONG>(((1 + i % 1000) * 65536LL + 32768) / width);
      in.mi.dy = static_cast<LONG>(((1 + i / 1000 % 700) * 65536LL + 32768) / height);
      in.mi.dwFlags =
          MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_MOVE_NOCOALESCE;
      SendInput(1, &in, sizeof in);
    } else {
      for (bool down : {true, false}) {
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = 'A';
        in.ki.wScan = 0x1E;
        in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
        SendInput(1, &in, sizeof in);
      }
    }
  }
  return 0;
}

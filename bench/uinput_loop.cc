// The uinput ceiling: a bare loop that makes the same device as hidpipe's uinput backend and writes
// the frames of N pointer moves (ABS_X, ABS_Y, SYN_REPORT), one write each, as hidpipe does for
// "M x y". Run under the same interposer as hidpipe, so that both pay the same per write.
//   uinput_loop N
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

// The place of move i, as scripts/bench writes the same moves for hidpipe: "M x y" lines.
int move_x(long i) { return static_cast<int>(100 + i % 1000); }
int move_y(long i) { return static_cast<int>(100 + i / 1000 % 1000); }

int main(int argc, char **argv) {
  long moves = argc > 1 ? atol(argv[1]) : 0;
  int fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    perror("/dev/uinput");
    return 1;
  }
  ioctl(fd, UI_SET_EVBIT, EV_ABS);
  for (int axis : {ABS_X, ABS_Y}) {
    ioctl(fd, UI_SET_ABSBIT, axis);
    uinput_abs_setup abs = {};
    abs.code = static_cast<uint16_t>(axis);
    abs.absinfo.maximum = 4095;
    ioctl(fd, UI_ABS_SETUP, &abs);
  }
  uinput_setup setup = {};
  snprintf(setup.name, sizeof setup.name, "hidpipe");
  ioctl(fd, UI_DEV_SETUP, &setup);
  ioctl(fd, UI_DEV_CREATE);
  for (long i = 0; i < moves; i++) {
    input_event frame[3] = {
        {{}, EV_ABS, ABS_X, move_x(i)}, {{}, EV_ABS, ABS_Y, move_y(i)}, {{}, EV_SYN, SYN_REPORT, 0}};
    if (write(fd, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) return 1;
  }
  ioctl(fd, UI_DEV_DESTROY);
  close(fd);
  return 0;
}

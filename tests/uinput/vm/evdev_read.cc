// Reads the events of the input device named hidpipe (or the name given), as a desktop would,
// inside the test VM: waits for the device to appear under /dev/input, then prints each event as
// "type code value" until the device goes away (hidpipe destroys it at exit), then "end".
//   evdev_read [NAME]
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Opens the event node whose device is called name; -1 when there is none yet.
int find_device(const char *name) {
  DIR *d = opendir("/dev/input");
  int found = -1;
  for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr && found < 0; e = readdir(d)) {
    if (strncmp(e->d_name, "event", 5) != 0) continue;
    char path[300];
    snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
    int fd = open(path, O_RDONLY);
    char device[64] = {};
    if (fd >= 0 && ioctl(fd, EVIOCGNAME(sizeof device - 1), device) >= 0 && strcmp(device, name) == 0) {
      found = fd;
    } else if (fd >= 0) {
      close(fd);
    }
  }
  if (d != nullptr) closedir(d);
  return found;
}

}  // namespace

int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "hidpipe";
  int fd = -1;
  for (int tries = 0; tries < 3000 && fd < 0; tries++) {
    fd = find_device(name);
    if (fd < 0) usleep(2000);
  }
  if (fd < 0) {
    puts("no device");
    return 1;
  }
  puts("opened");
  fflush(stdout);
  for (;;) {
    input_event e[64];
    ssize_t n = read(fd, e, sizeof e);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // ENODEV: the device was destroyed
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof e[0]; i++)
      printf("%d %d %d\n", e[i].type, e[i].code, e[i].value);
    fflush(stdout);
  }
  puts("end");
  return 0;
}

// An interposer standing for /dev/uinput, loaded into hidpipe with LD_PRELOAD: opening /dev/uinput gives a
// descriptor of /dev/null, whose ioctls are answered as the kernel would answer a good request and
// whose writes still cost a real write. With UINPUT_FAKE_LOG naming a file, it records every call
// on that descriptor, one line each:
//   open | close | evbit N | keybit N | relbit N | absbit N | ledbit N | abs CODE MIN MAX | setup NAME BUS
//   create | destroy | write | event TYPE CODE VALUE   (each write's events follow its line)
// The calls on a second descriptor open at the same time (a second device) start with "2 ".
// With UINPUT_FAKE_DENY set, opening /dev/uinput fails with EACCES, as without permission. With
// UINPUT_FAKE_CAPS set, the first read gives Caps Lock's light on, as a desktop with Caps Lock
// locked sets it; reads give nothing else.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int fakes[2] = {-1, -1};  // the descriptors that stand for /dev/uinput, one a device
FILE *log_file;           // where calls are recorded, or null
bool log_checked;         // whether UINPUT_FAKE_LOG has been read
bool light_given;         // whether the Caps Lock light has been read

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library's write, looked up once: every event write goes through it, and the benchmark
// compares what hidpipe adds to it.
ssize_t real_write(int fd, const void *data, size_t size) {
  static auto *const write_ = real<ssize_t (*)(int, const void *, size_t)>("write");
  return write_(fd, data, size);
}

// Which of the fake descriptors fd is, or -1 for another.
int fake_of(int fd) {
  if (fd < 0) return -1;
  for (int i = 0; i < 2; i++)
    if (fakes[i] == fd) return i;
  return -1;
}

void note(int device, const char *format, ...) __attribute__((format(printf, 2, 3)));
void note(int device, const char *format, ...) {
  if (!log_checked) {
    log_checked = true;
    if (const char *path = getenv("UINPUT_FAKE_LOG"); path != nullptr && *path != '\0')
      log_file = real<FILE *(*)(const char *, const char *)>("fopen")(path, "a");
  }
  if (log_file == nullptr) return;
  if (device > 0) fprintf(log_file, "%d ", device + 1);
  va_list ap;
  va_start(ap, format);
  vfprintf(log_file, format, ap);
  va_end(ap);
  fputc('\n', log_file);
  fflush(log_file);
}

// Opens path as the caller asked, unless it is /dev/uinput: then /dev/null stands for it.
int open_as(const char *path, int flags, mode_t mode, int (*open_real)(const char *, int, ...)) {
  if (strcmp(path, "/dev/uinput") != 0) return open_real(path, flags, mode);
  if (getenv("UINPUT_FAKE_DENY") != nullptr) {
    errno = EACCES;
    return -1;
  }
  int slot = fakes[0] < 0 ? 0 : fakes[1] < 0 ? 1 : -1;
  if (slot < 0) {
    errno = EMFILE;
    return -1;
  }
  int fd = open_real("/dev/null", O_WRONLY | (flags & O_CLOEXEC));
  if (fd >= 0) {
    fakes[slot] = fd;
    note(slot, "open");
  }
  return fd;
}

mode_t mode_of(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_of(flags, ap);
  va_end(ap);
  return open_as(path, flags, mode, real<int (*)(const char *, int, ...)>("open"));
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_of(flags, ap);
  va_end(ap);
  return open_as(path, flags, mode, real<int (*)(const char *, int, ...)>("open64"));
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int d = fake_of(fd);
  if (d < 0) return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, arg);
  auto number = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  switch (request) {
    case UI_SET_EVBIT: note(d, "evbit %d", number); return 0;
    case UI_SET_KEYBIT: note(d, "keybit %d", number); return 0;
    case UI_SET_RELBIT: note(d, "relbit %d", number); return 0;
    case UI_SET_ABSBIT: note(d, "absbit %d", number); return 0;
    case UI_SET_LEDBIT: note(d, "ledbit %d", number); return 0;
    case UI_ABS_SETUP: {
      const auto *abs = static_cast<const uinput_abs_setup *>(arg);
      note(d, "abs %d %d %d", abs->code, abs->absinfo.minimum, abs->absinfo.maximum);
      return 0;
    }
    case UI_DEV_SETUP: {
      // The name's spaces as underscores, so that the line stays words.
      const auto *setup = static_cast<const uinput_setup *>(arg);
      char name[UINPUT_MAX_NAME_SIZE];
      snprintf(name, sizeof name, "%s", setup->name);
      for (char &c : name)
        if (c == ' ') c = '_';
      note(d, "setup %s %d", name, setup->id.bustype);
      return 0;
    }
    case UI_DEV_CREATE: note(d, "create"); return 0;
    case UI_DEV_DESTROY: note(d, "destroy"); return 0;
    default:
      // No sysfs device stands behind the fake one (UI_GET_SYSNAME and the rest).
      note(d, "ioctl %#lx", request);
      errno = ENOTTY;
      return -1;
  }
}

ssize_t write(int fd, const void *data, size_t size) {
  if (int d = fake_of(fd); d >= 0) {
    note(d, "write");
    const auto *events = static_cast<const input_event *>(data);
    for (size_t i = 0; i < size / sizeof(input_event); i++)
      note(d, "event %d %d %d", events[i].type, events[i].code, events[i].value);
  }
  return real_write(fd, data, size);
}

ssize_t read(int fd, void *data, size_t size) {
  int d = fake_of(fd);
  if (d < 0) return real<ssize_t (*)(int, void *, size_t)>("read")(fd, data, size);
  if (d == 0 && getenv("UINPUT_FAKE_CAPS") != nullptr && !light_given && size >= sizeof(input_event)) {
    light_given = true;
    input_event light = {};
    light.type = EV_LED;
    light.code = LED_CAPSL;
    light.value = 1;
    memcpy(data, &light, sizeof light);
    return sizeof light;
  }
  errno = EAGAIN;
  return -1;
}

int close(int fd) {
  if (int d = fake_of(fd); d >= 0) {
    note(d, "close");
    fakes[d] = -1;
  }
  return real<int (*)(int)>("close")(fd);
}

}  // extern "C"

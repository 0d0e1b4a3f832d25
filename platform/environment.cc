// The checks of the portable platform's settings in the environment.
#include "environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// An unsigned decimal number that is the whole of text and at most most: its value, or -1.
long whole_number(const char *text, long most) {
  if (*text < '0' || *text > '9') return -1;
  long v = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    v = v * 10 + (*text - '0');
    if (v > most) return -1;
  }
  return *text == '\0' ? v : -1;
}

}  // namespace

bool env_set(const char *variable) {
  const char *v = getenv(variable);
  return v != nullptr && *v != '\0';
}

const char *screen_size(const char *text, int *w, int *h) {
  if (text == nullptr) return "it is not set";
  const char *x = strchr(text, 'x');
  if (x == nullptr) return "expected WIDTHxHEIGHT in pixels, such as 1920x1080";
  char width[16] = {};
  size_t n = static_cast<size_t>(x - text);
  if (n == 0 || n >= sizeof width) return "expected WIDTHxHEIGHT in pixels, such as 1920x1080";
  memcpy(width, text, n);
  long a = whole_number(width, 65535), b = whole_number(x + 1, 65535);
  if (a < 0 || b < 0) {
    bool digits =
        strspn(width, "0123456789") == n && x[1] != '\0' && strspn(x + 1, "0123456789") == strlen(x + 1);
    return digits ? "the width and height must be 1 to 65535 pixels"
                  : "expected WIDTHxHEIGHT in pixels, such as 1920x1080";
  }
  if (a == 0 || b == 0) return "the width and height must be 1 to 65535 pixels";
  *w = static_cast<int>(a);
  *h = static_cast<int>(b);
  return nullptr;
}

long env_number(const char *variable, long fallback) {
  if (!env_set(variable)) return fallback;
  long v = whole_number(getenv(variable), 1000000000);
  return v >= 0 ? v : fallback;
}

const char *check_environment(char *out, size_t size) {
  if (env_set("HIDPIPE_SCREEN")) {
    int w = 0, h = 0;
    if (const char *why = screen_size(getenv("HIDPIPE_SCREEN"), &w, &h); why != nullptr) {
      snprintf(out, size, "HIDPIPE_SCREEN=%s: %s", getenv("HIDPIPE_SCREEN"), why);
      return out;
    }
  }
  if (const char *eis = getenv("HIDPIPE_EIS"); eis != nullptr && *eis != '\0' && strcmp(eis, "kwin") != 0 &&
                                               strcmp(eis, "mutter") != 0 && strcmp(eis, "portal") != 0) {
    snprintf(out, size, "HIDPIPE_EIS=%s: expected kwin, mutter or portal (the one way to EIS to take)", eis);
    return out;
  }
  if (env_set("HIDPIPE_UINPUT_SETTLE_MS") && whole_number(getenv("HIDPIPE_UINPUT_SETTLE_MS"), 10000) < 0) {
    snprintf(out, size, "HIDPIPE_UINPUT_SETTLE_MS=%s: expected milliseconds, 0 to 10000",
             getenv("HIDPIPE_UINPUT_SETTLE_MS"));
    return out;
  }
  if (const char *list = getenv("HIDPIPE_SIM_FAIL"); list != nullptr) {
    for (const char *p = list; *p != '\0';) {
      size_t n = strcspn(p, ",");
      bool known = false;
      for (const char *name : failure_names) known = known || (strlen(name) == n && memcmp(name, p, n) == 0);
      if (!known && n > 0) {
        snprintf(
            out, size,
            "HIDPIPE_SIM_FAIL=%s: unknown creation \"%.*s\"; the names are source, mouse, keyboard, scroll "
            "and access",
            list, static_cast<int>(n), p);
        return out;
      }
      p += n;
      if (*p == ',') p++;
    }
  }
  return nullptr;
}

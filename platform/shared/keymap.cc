// Finding the user's keymap where hidpipe cannot send one, in the order in which the desktop itself
// would make it.
#include "shared/keymap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "environment.h"

namespace {

// The configuration files that name the system's layout: Debian's, then the one systemd-localed
// writes for X servers elsewhere.
constexpr const char *debian_file = "/etc/default/keyboard";
constexpr const char *localed_file = "/etc/X11/xorg.conf.d/00-keyboard.conf";

// The variables through which libxkbcommon takes names from the environment.
constexpr const char *default_variables[] = {"XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT",
                                             "XKB_DEFAULT_VARIANT", "XKB_DEFAULT_OPTIONS"};

const char *skip_space(const char *p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

// Copies a value (quoted with " or ', or bare up to a space or a comment) to out, and returns where
// it ends.
const char *copy_value(const char *p, char *out, size_t size) {
  char quote = *p == '"' || *p == '\'' ? *p++ : '\0';
  size_t n = 0;
  for (; *p != '\0' && *p != '\n'; p++) {
    if (quote != '\0' ? *p == quote : (*p == ' ' || *p == '\t' || *p == '#')) break;
    if (n + 1 < size) out[n++] = *p;
  }
  out[n] = '\0';
  return quote != '\0' && *p == quote ? p + 1 : p;
}

// The field of names that a configuration's name sets, or null.
char *field_of(keymap_names *names, const char *name, size_t length, bool xorg, size_t *size) {
  struct field {
    const char *shell, *xorg;
    char *value;
    size_t size;
  };
  const field fields[] = {
      {"XKBRULES", "XkbRules", names->rules, sizeof names->rules},
      {"XKBMODEL", "XkbModel", names->model, sizeof names->model},
      {"XKBLAYOUT", "XkbLayout", names->layout, sizeof names->layout},
      {"XKBVARIANT", "XkbVariant", names->variant, sizeof names->variant},
      {"XKBOPTIONS", "XkbOptions", names->options, sizeof names->options},
  };
  for (const field &f : fields) {
    const char *want = xorg ? f.xorg : f.shell;
    // The X server reads option names without regard to case; the shell does not.
    if (strlen(want) == length &&
        (xorg ? strncasecmp(want, name, length) : strncmp(want, name, length)) == 0) {
      *size = f.size;
      return f.value;
    }
  }
  return nullptr;
}

// Compiles a keymap from names (null: the environment's, else the defaults) in a new quiet context;
// environment says whether the context may read XKB_DEFAULT_*.
xkb_keymap *compile(const xkb_rule_names *names, bool environment) {
  xkb_context *context =
      xkb_quiet_context(environment ? XKB_CONTEXT_NO_FLAGS : XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (context == nullptr) return nullptr;
  xkb_keymap *keymap = xkb.keymap_new_from_names(context, names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  xkb.context_unref(context);
  return keymap;
}

// The layout name a keymap gives its first layout, for remarks.
const char *layout_name(xkb_keymap *keymap, xkb_layout_index_t layout) {
  const char *name = xkb.keymap_layout_get_name(keymap, layout);
  return name != nullptr ? name : "unnamed";
}

// Compiles the names a configuration file gives; null when it gives none or they make no keymap,
// noting that in remark.
xkb_keymap *from_file(const char *path, bool xorg, char (&remark)[240]) {
  keymap_names names = {};
  if (!read_keymap_file(path, xorg, &names)) return nullptr;
  xkb_rule_names rule_names = {names.rules[0] != '\0' ? names.rules : nullptr, names.model, names.layout,
                               names.variant, names.options};
  xkb_keymap *keymap = compile(&rule_names, false);
  if (keymap == nullptr)
    snprintf(remark, sizeof remark, "; the layout \"%.40s\" of %s makes no keymap: %.80s", names.layout, path,
             xkb_complaint());
  return keymap;
}

// The name an X server's line gives an option (Option "XkbLayout" "de"): its start in *name, its
// length in *length; returns where the value begins, or null when the line is no option.
const char *xorg_option(const char *p, const char **name, size_t *length) {
  if (strncasecmp(p, "Option", 6) != 0 || (p[6] != ' ' && p[6] != '\t')) return nullptr;
  p = skip_space(p + 6);
  if (*p != '"') return nullptr;
  *name = ++p;
  while (*p != '\0' && *p != '"' && *p != '\n') p++;
  if (*p != '"') return nullptr;
  *length = static_cast<size_t>(p - *name);
  return skip_space(p + 1);
}

// The same for a shell assignment (XKBLAYOUT="de", perhaps exported).
const char *shell_assignment(const char *p, const char **name, size_t *length) {
  if (strncmp(p, "export ", 7) == 0) p = skip_space(p + 7);
  *name = p;
  while (isalnum(static_cast<unsigned char>(*p)) != 0 || *p == '_') p++;
  if (*p != '=') return nullptr;
  *length = static_cast<size_t>(p - *name);
  return p + 1;
}

}  // namespace

namespace {

// Takes the name a line sets, if it sets one.
void read_line_names(const char *line, bool xorg, keymap_names *out) {
  const char *p = skip_space(line);
  const char *name = nullptr;
  size_t length = 0, size = 0;
  const char *value = xorg ? xorg_option(p, &name, &length) : shell_assignment(p, &name, &length);
  if (value == nullptr) return;
  if (char *field = field_of(out, name, length, xorg, &size); field != nullptr)
    copy_value(value, field, size);
}

}  // namespace

bool read_keymap_names(const char *text, bool xorg, keymap_names *out) {
  *out = {};
  for (const char *line = text; line != nullptr && *line != '\0';) {
    read_line_names(line, xorg, out);
    const char *next = strchr(line, '\n');
    line = next != nullptr ? next + 1 : nullptr;
  }
  return out->layout[0] != '\0';
}

bool read_keymap_file(const char *path, bool xorg, keymap_names *out) {
  *out = {};
  // A FIFO or a device at the path would make a plain open or read wait without end.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st = {};
  FILE *f = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
  if (f == nullptr) {
    close(fd);
    return false;
  }
  // Line by line, however long the file; the rest of a line longer than the buffer is no line.
  char line[1024];
  bool continued = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (!continued) read_line_names(line, xorg, out);
    continued = strchr(line, '\n') == nullptr;
  }
  fclose(f);
  return out->layout[0] != '\0';
}

bool user_keymap(found_keymap *out) {
  *out = {};
  char remark[240] = {};
  if (env_set("WAYLAND_DISPLAY")) {
    out->keymap = wayland_seat_keymap();
    if (out->keymap != nullptr) {
      snprintf(out->source, sizeof out->source,
               "the layout \"%.80s\" of the seat of the Wayland display \"%.80s\"",
               layout_name(out->keymap, 0), getenv("WAYLAND_DISPLAY"));
      return true;
    }
  }
  if (env_set("DISPLAY")) {
    const char *why = nullptr;
    out->keymap = x11_server_keymap(&out->layout, &out->caps_locked, &why);
    if (out->keymap != nullptr) {
      snprintf(out->source, sizeof out->source, "the layout \"%.80s\" of the X server \"%.80s\"",
               layout_name(out->keymap, out->layout), getenv("DISPLAY"));
      return true;
    }
    if (why != nullptr) snprintf(remark, sizeof remark, "; the X server's keymap is not known: %.120s", why);
  }
  for (const char *v : default_variables) {
    if (!env_set(v)) continue;
    out->keymap = compile(nullptr, true);
    if (out->keymap == nullptr) {
      snprintf(out->source, sizeof out->source,
               "%s=%.80s and the other XKB_DEFAULT_ variables make no keymap: %.200s", v, getenv(v),
               xkb_complaint());
      return false;
    }
    snprintf(out->source, sizeof out->source, "the layout \"%.80s\" that the XKB_DEFAULT_ variables name%s",
             layout_name(out->keymap, 0), remark);
    return true;
  }
  for (bool xorg : {false, true}) {
    const char *path = xorg ? localed_file : debian_file;
    out->keymap = from_file(path, xorg, remark);
    if (out->keymap != nullptr) {
      snprintf(out->source, sizeof out->source, "the layout \"%.80s\" of %s%s", layout_name(out->keymap, 0),
               path, remark);
      return true;
    }
  }
  out->keymap = compile(nullptr, false);
  if (out->keymap != nullptr)
    snprintf(out->source, sizeof out->source, "the layout \"%.80s\" of the default rules%s",
             layout_name(out->keymap, 0), remark);
  else
    snprintf(out->source, sizeof out->source, "no keymap can be made from the default rules: %.100s%s",
             xkb_complaint(), remark);
  return true;
}

// Where a backend is not built, its source finds nothing.
#ifndef HIDPIPE_WAYLAND
xkb_keymap *wayland_seat_keymap() { return nullptr; }
#endif
#ifndef HIDPIPE_X11_KEYMAP
xkb_keymap *x11_server_keymap(xkb_layout_index_t * /*layout*/, bool * /*caps_locked*/, const char **why) {
  *why = "this build reads no X server's keymap (it needs libxkbcommon-x11-dev)";
  return nullptr;
}
#endif

// The names of the system's layout, as the configuration files that the desktop reads give them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "shared/keymap.h"

namespace {

struct names_case {
  const char *what;
  bool xorg;  // an X server's InputClass section, else /etc/default/keyboard
  const char *text;
  const char *layout, *variant, *model, *options;  // layout null: names none
};

const names_case names_cases[] = {
    {"Debian's file", false,
     "# KEYBOARD CONFIGURATION FILE\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"de\"\nXKBVARIANT=\"nodeadkeys\"\n"
     "XKBOPTIONS=\"ctrl:nocaps\"\nBACKSPACE=\"guess\"\n",
     "de", "nodeadkeys", "pc105", "ctrl:nocaps"},
    {"bare and single-quoted values, exported", false,
     "export XKBLAYOUT=fr\nXKBVARIANT='azerty' # the usual\n", "fr", "azerty", "", ""},
    {"two layouts", false, "XKBLAYOUT=\"us,ru\"\n", "us,ru", "", "", ""},
    {"a commented layout names none", false, "#XKBLAYOUT=\"de\"\nXKBMODEL=pc105\n", nullptr, "", "", ""},
    {"names differ only by case: not in the shell", false, "xkblayout=de\n", nullptr, "", "", ""},
    {"an unterminated line at the end", false, "XKBLAYOUT=\"ch", "ch", "", "", ""},
    {"systemd-localed's file", true,
     "# Written by systemd-localed(8)\nSection \"InputClass\"\n        Identifier \"system-keyboard\"\n"
     "        MatchIsKeyboard \"on\"\n        Option \"XkbLayout\" \"fr\"\n        Option \"XkbModel\" "
     "\"pc105\"\n"
     "        Option \"XkbVariant\" \"bepo\"\n        Option \"XkbOptions\" "
     "\"grp:alt_shift_toggle\"\nEndSection\n",
     "fr", "bepo", "pc105", "grp:alt_shift_toggle"},
    {"option names in any case", true, "Option \"xkblayout\" \"it\"\n", "it", "", "", ""},
    {"an option without its value", true, "Option \"XkbLayout\"\n", nullptr, "", "", ""},
    {"other options", true, "Option \"AutoRepeat\" \"500 30\"\n", nullptr, "", "", ""},
    {"the shell's form in an X file", true, "XKBLAYOUT=de\n", nullptr, "", "", ""},
};

TEST(keymap_names, from_configuration_files) {
  for (const names_case &c : names_cases) {
    keymap_names n;
    bool found = read_keymap_names(c.text, c.xorg, &n);
    EXPECT_EQ(found, c.layout != nullptr) << c.what;
    if (c.layout == nullptr) continue;
    EXPECT_EQ(std::string(n.layout), c.layout) << c.what;
    EXPECT_EQ(std::string(n.variant), c.variant) << c.what;
    EXPECT_EQ(std::string(n.model), c.model) << c.what;
    EXPECT_EQ(std::string(n.options), c.options) << c.what;
  }
}

// A value longer than its field is cut, never written past it.
TEST(keymap_names, long_values_are_cut) {
  std::string text = "XKBLAYOUT=\"" + std::string(1000, 'x') + "\"\n";
  keymap_names n;
  ASSERT_TRUE(read_keymap_names(text.c_str(), false, &n));
  EXPECT_EQ(std::string(n.layout), std::string(sizeof n.layout - 1, 'x'));
}

// The file itself, whatever its length; and what is not a regular file (a FIFO, which would keep
// a reader waiting for a writer, a directory) names nothing, at once.
TEST(keymap_names, from_the_file_itself) {
  char dir[] = "/tmp/hidpipe-keyboard-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/keyboard", fifo = std::string(dir) + "/fifo";
  struct file_case {
    const char *what;
    std::string text;
    const char *layout;  // null: names none
  };
  std::string comments;
  for (int i = 0; i < 500; i++) comments += "# a comment of forty characters, a line\n";
  const file_case cases[] = {
      {"a layout after 20 KB of comments", comments + "XKBLAYOUT=\"de\"\n", "de"},
      {"the rest of a long line is no line",
       "# " + std::string(3000, 'x') + " XKBLAYOUT=\"de\"\nXKBMODEL=pc105\n", nullptr},
  };
  for (const file_case &c : cases) {
    {
      std::ofstream out(file);
      out << c.text;
    }
    keymap_names n;
    EXPECT_EQ(read_keymap_file(file.c_str(), false, &n), c.layout != nullptr) << c.what;
    if (c.layout != nullptr) {
      EXPECT_EQ(std::string(n.layout), c.layout) << c.what;
    }
  }
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  keymap_names n;
  EXPECT_FALSE(read_keymap_file(fifo.c_str(), false, &n)) << "a FIFO";
  EXPECT_FALSE(read_keymap_file(dir, false, &n)) << "a directory";
  unlink(file.c_str());
  unlink(fifo.c_str());
  rmdir(dir);
}

}  // namespace

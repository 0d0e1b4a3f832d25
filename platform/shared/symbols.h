// Functions looked up in a library that a backend loads with dlopen when it is chosen.
#pragma once

#include <dlfcn.h>

// Sets *f to the function name in library, typed as the table member it fills; false when the
// library lacks it.
template <typename F>
bool find_symbol(void *library, const char *name, F *f) {
  *f = reinterpret_cast<F>(dlsym(library, name));
  return *f != nullptr;
}

// The automatic choice of the backend on Windows: SendInput, which every desktop session has.
#include "choose.h"

const backend *automatic(const char ** /*note*/) { return opened(&sendinput_backend); }

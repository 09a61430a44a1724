// libquil.so is the library's code (the quilcore archive) linked whole; its
// exports are the functions declared QUIL_API in quil.h, everything else is
// hidden. This file only gives the shared-library target a source of its own.
#include "quil.h"

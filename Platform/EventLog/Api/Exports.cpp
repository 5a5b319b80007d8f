// The shared library's exports are the C functions of the core library, linked in whole; this
// unit only anchors the library.
#include "Win32/WinEvt.h"

#include "Win32/WinEvt.h"

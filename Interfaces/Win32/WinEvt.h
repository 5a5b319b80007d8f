// Windows Event Log API (wevtapi) declarations for builds without the SDK.
// Implemented by Platform/EventLog.
#pragma once

#include "WinTypes.h"

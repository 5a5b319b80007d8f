// The one platform header of the module: the Windows SDK on Windows, our declarations of the
// same API subset elsewhere. Module code includes this and calls the API by its Windows names.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h comes first: the other SDK headers rely on it.
#include <windows.h>

#include <oleauto.h>
#include <rpc.h>
#include <shlwapi.h>
#include <winevt.h>
#else
#include "Win32/OleAuto.h"
#include "Win32/ProcessEnv.h"
#include "Win32/Rpc.h"
#include "Win32/ShlwApi.h"
#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"
#include "Win32/WinFile.h"
#include "Win32/WinNls.h"
#include "Win32/WinReg.h"
#include "Win32/WinSecurity.h"
#include "Win32/WinTypes.h"
#endif

// A function the module exports, with C linkage (the module exports GetComponentsModuleObject
// only; everything else is hidden).
#if defined(_WIN32)
#define MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// A function kept out of line, where a count of stack frames depends on it.
#if defined(_MSC_VER)
#define NOINLINE __declspec(noinline)
#else
#define NOINLINE __attribute__((noinline))
#endif

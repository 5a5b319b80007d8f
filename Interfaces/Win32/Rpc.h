// UUID generation of the Windows API subset the module calls, for builds without the SDK.
#pragma once

#include "WinError.h"
#include "WinTypes.h"

using RPC_STATUS = LONG;

// Fills a random (version 4) UUID; RPC_S_OK on success.
PAL_API RPC_STATUS WINAPI UuidCreate(UUID* uuid);

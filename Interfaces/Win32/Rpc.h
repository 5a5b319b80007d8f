// UUID generation of the Windows API subset the module calls, for builds without the SDK.
#pragma once

#include "WinError.h"
#include "WinTypes.h"

using RPC_STATUS = LONG;

constexpr RPC_STATUS RPC_S_INVALID_ARG = static_cast<RPC_STATUS>(ERROR_INVALID_PARAMETER);

// Fills a random (version 4, RFC 4122 variant) UUID from the kernel's random source; RPC_S_OK
// on success, RPC_S_INVALID_ARG for a null pointer.
PAL_API RPC_STATUS WINAPI UuidCreate(UUID* uuid);

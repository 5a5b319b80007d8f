// The version check. This platform answers as Windows 10.0 build 19045 on the NT platform, a
// workstation without a service pack: new enough for everything the module asks.

#include "Win32/WinBase.h"
#include "Win32/WinNls.h"

#include <array>

namespace {

constexpr DWORD kMajor = 10;
constexpr DWORD kMinor = 0;
constexpr DWORD kBuild = 19045;
constexpr DWORD kPlatformId = 2;
constexpr BYTE kProductType = 1;

// The bit position of a type's condition in the mask: three bits per type, in bit order.
int ConditionShift(DWORD type) noexcept {
    int index = 0;
    while (type > 1) {
        type >>= 1;
        ++index;
    }
    return index * 3;
}

BYTE Condition(ULONGLONG mask, DWORD type) noexcept {
    return static_cast<BYTE>((mask >> ConditionShift(type)) & 7);
}

// Compares a system value with the requested one under a condition.
bool Holds(BYTE condition, int64_t system, int64_t requested) noexcept {
    switch (condition) {
    case VER_EQUAL:
        return system == requested;
    case VER_GREATER:
        return system > requested;
    case VER_GREATER_EQUAL:
        return system >= requested;
    case VER_LESS:
        return system < requested;
    case VER_LESS_EQUAL:
        return system <= requested;
    default:
        return false;
    }
}

} // namespace

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
    if (typeMask == 0 || condition == 0) {
        return conditionMask;
    }
    for (DWORD type = 1; type <= VER_PRODUCT_TYPE; type <<= 1) {
        if ((typeMask & type) != 0) {
            conditionMask |= static_cast<ULONGLONG>(condition & 7) << ConditionShift(type);
        }
    }
    return conditionMask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, ULONGLONG conditionMask) {
    if (info == nullptr || typeMask == 0 || conditionMask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool holds = true;
    // Major, minor and the service pack numbers are compared as one version, in that order,
    // under the condition of the most significant one asked for.
    struct Part {
        DWORD type;
        int64_t system;
        int64_t requested;
    };
    const std::array<Part, 4> parts{{{VER_MAJORVERSION, kMajor, info->dwMajorVersion},
                                     {VER_MINORVERSION, kMinor, info->dwMinorVersion},
                                     {VER_SERVICEPACKMAJOR, 0, info->wServicePackMajor},
                                     {VER_SERVICEPACKMINOR, 0, info->wServicePackMinor}}};
    BYTE versionCondition = 0;
    int comparison = 0;
    for (const auto& part : parts) {
        if ((typeMask & part.type) == 0) {
            continue;
        }
        if (versionCondition == 0) {
            versionCondition = Condition(conditionMask, part.type);
        }
        if (comparison == 0 && part.system != part.requested) {
            comparison = part.system < part.requested ? -1 : 1;
        }
    }
    if (versionCondition != 0) {
        holds = holds && Holds(versionCondition, comparison, 0);
    }
    if ((typeMask & VER_BUILDNUMBER) != 0) {
        holds =
            holds && Holds(Condition(conditionMask, VER_BUILDNUMBER), kBuild, info->dwBuildNumber);
    }
    if ((typeMask & VER_PLATFORMID) != 0) {
        holds = holds &&
                Holds(Condition(conditionMask, VER_PLATFORMID), kPlatformId, info->dwPlatformId);
    }
    if ((typeMask & VER_PRODUCT_TYPE) != 0) {
        holds = holds &&
                Holds(Condition(conditionMask, VER_PRODUCT_TYPE), kProductType, info->wProductType);
    }
    if (!holds) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}

#include "ErrorHandling/ErrorDescription.h"

#include "Base/Text.h"
#include "ErrorHandling/ErrorMessages.h"
#include "Helpers/UniqueHandle.h"

#include <cwctype>

namespace {

constexpr wchar_t HexDigits[] = L"0123456789ABCDEF";

std::wstring Hex(uint64_t value, int digits) {
    std::wstring text(static_cast<size_t>(digits) + 2, L'0');
    text[1] = L'x';
    for (int i = digits + 1; i >= 2; --i, value >>= 4) {
        text[static_cast<size_t>(i)] = HexDigits[value & 0xF];
    }
    return text;
}

// Creates an error object holding the structured description and makes it the thread's.
// Failures are ignored: the code itself is never lost.
void SetThreadErrorObject(const ErrorDescription& description) noexcept {
    try {
        Base::ComPtr<ICreateErrorInfo> create;
        if (FAILED(CreateErrorInfo(create.ReleaseAndGetAddressOf())) || !create) {
            return;
        }
        const std::wstring description16 = FormatErrorDescription(description, 0);
        const UniqueBstr text(
            SysAllocStringLen(description16.c_str(), static_cast<UINT>(description16.size())));
        if (FAILED(create->SetDescription(text.Get()))) {
            return;
        }
        if (FAILED(create->SetGUID(ErrorInfoFormatGuid))) {
            return;
        }
        Base::ComPtr<IErrorInfo> info;
        if (FAILED(create->QueryInterface(IID_IErrorInfo, info.ReleaseAndGetVoidAddressOf()))) {
            return;
        }
        SetErrorInfo(0, info.Get());
    } catch (...) {
        // Allocation failed while composing the text: no error object.
    }
}

} // namespace

std::wstring HexCode(uint32_t value) {
    return Hex(value, 8);
}

std::wstring HexAddress(const void* address) {
    return Hex(reinterpret_cast<uintptr_t>(address), 16);
}

ErrorDescription BuildErrorDescription(const HRES& hres) {
    return BuildErrorDescription(hres.Code(), hres.ErrorInfo(), hres.Callers(), hres.CallerCount());
}

ErrorDescription BuildErrorDescription(HRESULT code, IErrorInfo* errorInfo, void* const* callers,
                                       uint32_t callerCount) {
    ErrorDescription description;
    if (errorInfo != nullptr) {
        UniqueBstr text;
        if (SUCCEEDED(errorInfo->GetDescription(text.Put())) && text) {
            GUID guid{};
            bool structured = false;
            if (SUCCEEDED(errorInfo->GetGUID(&guid)) && guid == ErrorInfoFormatGuid) {
                structured = ParseErrorDescriptionText(text.Get(), description);
            }
            if (!structured) {
                description.message = text.Get();
            } else if (description.code != code) {
                // The error object belongs to another failure.
                description = ErrorDescription{};
            }
        }
    }
    description.code = code;
    if (description.message.empty()) {
        description.message = GetErrorMessage(code);
    }
    if (callerCount > 0) {
        if (!description.location.empty()) {
            description.location += L';';
        }
        for (uint32_t i = 0; i < callerCount; ++i) {
            if (i > 0) {
                description.location += L',';
            }
            description.location += HexAddress(callers[i]);
        }
    }
    return description;
}

std::wstring FormatErrorDescription(const ErrorDescription& description, uint32_t flags) {
    std::wstring text;
    if ((flags & ERRDESC_NO_CODE) == 0) {
        text = HexCode(static_cast<uint32_t>(description.code));
        text += L' ';
    }
    if ((flags & ERRDESC_NO_MESSAGE) == 0 && !description.message.empty()) {
        text += description.message;
    }
    if ((flags & ERRDESC_NO_LOCATION) == 0 && !description.location.empty()) {
        text += L" [";
        text += description.location;
        text += L']';
    }
    text.resize(Base::TrimEnd(text).size());
    return text;
}

bool ParseErrorDescriptionText(std::wstring_view text, ErrorDescription& description) {
    if (text.empty()) {
        return false;
    }
    // The leading number, as wcstoul reads it: white space, a sign, and base 16 after "0x",
    // 8 after a leading 0, else 10.
    const std::wstring owned(text);
    wchar_t* end = nullptr;
    const unsigned long long number = std::wcstoull(owned.c_str(), &end, 0);
    if (end == owned.c_str()) {
        return false;
    }
    const size_t consumed = static_cast<size_t>(end - owned.c_str());
    std::wstring message;
    if (consumed < owned.size() && owned[consumed] == L' ') {
        message = owned.substr(consumed + 1);
    }
    std::wstring location;
    if (message.size() > 1 && message.back() == L']') {
        const size_t open = message.find(L'[');
        if (open != std::wstring::npos) {
            location = message.substr(open + 1, message.size() - open - 2);
            message.resize(open);
            message.resize(Base::TrimEnd(message).size());
        }
    }
    description.code = static_cast<HRESULT>(static_cast<uint32_t>(number));
    description.message = std::move(message);
    description.location = std::move(location);
    return true;
}

HRESULT SetErrorInfoFromHres(const HRES& hres) noexcept {
    if (hres.Failed()) {
        try {
            SetThreadErrorObject(BuildErrorDescription(hres));
        } catch (...) {
            // No memory for the text: the code alone goes back.
        }
    }
    return hres.Code();
}

HRESULT SetErrorWithMessage(HRESULT code, std::wstring_view text) noexcept {
    try {
        ErrorDescription description;
        description.code = code;
        description.message = GetErrorMessage(code);
        description.message += text;
        SetThreadErrorObject(description);
    } catch (...) {
    }
    return code;
}

HRESULT WrapError(HRESULT outer, const HRES& inner, uint32_t flags) noexcept {
    try {
        ErrorDescription description;
        description.code = outer;
        description.message = GetErrorMessage(outer);
        description.message += L" (";
        description.message += FormatErrorDescription(BuildErrorDescription(inner), flags);
        description.message += L')';
        SetThreadErrorObject(description);
    } catch (...) {
    }
    return outer;
}

std::wstring GetThreadErrorText(HRESULT code) {
    Base::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.ReleaseAndGetAddressOf()) != S_OK) {
        info.Reset();
    }
    return FormatErrorDescription(BuildErrorDescription(code, info.Get(), nullptr, 0), 0);
}

std::wstring ErrorText(const HRES& hres) {
    return FormatErrorDescription(BuildErrorDescription(hres), 0);
}

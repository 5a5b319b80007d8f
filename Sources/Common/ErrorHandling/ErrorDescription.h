// The text form of failures. An error object whose GUID is ErrorInfoFormatGuid carries the
// structured description "0x%08X message [location]", which is parsed back when the failure
// crosses into another module of the host family; any other error object's text is a message.
#pragma once

#include "ErrorHandling/ErrorHandling.h"

#include <string>
#include <string_view>

// {64107A4E-9383-4398-97FF-EE55F0DA7FDF}
constexpr GUID ErrorInfoFormatGuid = {
    0x64107A4E, 0x9383, 0x4398, {0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF}};

struct ErrorDescription {
    HRESULT code = 0;
    std::wstring message;
    // Groups of code addresses, one group per module crossing, separated by ";".
    std::wstring location;
};

// Flags of FormatErrorDescription.
constexpr uint32_t ERRDESC_NO_CODE = 1;
constexpr uint32_t ERRDESC_NO_MESSAGE = 2;
constexpr uint32_t ERRDESC_NO_LOCATION = 4;

// The description of an HRES: the structured error object if it belongs to this code, else the
// code's message text, and the callers appended as one more location group.
ErrorDescription BuildErrorDescription(const HRES& hres);
// The same from its parts (no callers when callerCount is 0).
ErrorDescription BuildErrorDescription(HRESULT code, IErrorInfo* errorInfo, void* const* callers,
                                       uint32_t callerCount);
// "0x%08X " + message + " [location]", parts left out by flags, trailing white space removed.
std::wstring FormatErrorDescription(const ErrorDescription& description, uint32_t flags);
// Parses the structured text back; false when it has no leading number.
bool ParseErrorDescriptionText(std::wstring_view text, ErrorDescription& description);

// Makes a failing HRES the thread's error object; returns its code in every case.
HRESULT SetErrorInfoFromHres(const HRES& hres) noexcept;
// Makes {code, GetErrorMessage(code) + text} the thread's error object; returns the code.
HRESULT SetErrorWithMessage(HRESULT code, std::wstring_view text) noexcept;
// Makes {outer, GetErrorMessage(outer) + " (" + inner's text by flags + ")"} the thread's error
// object; returns the outer code.
HRESULT WrapError(HRESULT outer, const HRES& inner, uint32_t flags) noexcept;
// Takes the thread's error object and returns the text of the failure `code` with it.
std::wstring GetThreadErrorText(HRESULT code);

// The text of an HRES: FormatErrorDescription(BuildErrorDescription(hres), 0).
std::wstring ErrorText(const HRES& hres);

// Writes "0x" and eight upper-case hexadecimal digits.
std::wstring HexCode(uint32_t value);
// Writes "0x" and the address in 16 upper-case hexadecimal digits.
std::wstring HexAddress(const void* address);

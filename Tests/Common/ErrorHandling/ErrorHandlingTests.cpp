#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/ErrorMessages.h"

#include <gtest/gtest.h>

namespace {

// Sets an error object with a given description and GUID on the calling thread.
void SetThreadError(const wchar_t* text, const GUID& guid) {
    Base::ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.ReleaseAndGetAddressOf()), S_OK);
    BSTR description = SysAllocString(text);
    create->SetDescription(description);
    SysFreeString(description);
    create->SetGUID(guid);
    Base::ComPtr<IErrorInfo> info;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, info.ReleaseAndGetVoidAddressOf()), S_OK);
    SetErrorInfo(0, info.Get());
}

bool ThreadHasErrorObject() {
    Base::ComPtr<IErrorInfo> info;
    const HRESULT hr = GetErrorInfo(0, info.ReleaseAndGetAddressOf());
    if (info) {
        SetErrorInfo(0, info.Get());
    }
    return hr == S_OK && info;
}

constexpr GUID ForeignGuid = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

} // namespace

TEST(HRES, SuccessCapturesNothingAndTakesNoErrorObject) {
    SetThreadError(L"pending", ForeignGuid);
    HRES hres = S_FALSE;
    EXPECT_TRUE(hres.Succeeded());
    EXPECT_EQ(hres.CallerCount(), 0u);
    EXPECT_EQ(hres.ErrorInfo(), nullptr);
    EXPECT_TRUE(ThreadHasErrorObject()) << "a success must leave the thread's error object";
    EXPECT_NO_THROW(ThrowIfFailed(hres));
    SetErrorInfo(0, nullptr);
}

TEST(HRES, FailureTakesTheThreadErrorObjectAndCallers) {
    SetThreadError(L"0x80070005 denied here", ErrorInfoFormatGuid);
    HRES hres = E_ACCESSDENIED;
    EXPECT_TRUE(hres.Failed());
    EXPECT_NE(hres.ErrorInfo(), nullptr);
    EXPECT_FALSE(ThreadHasErrorObject()) << "taking the error object clears it from the thread";
    EXPECT_GE(hres.CallerCount(), 1u);
    const ErrorDescription description = BuildErrorDescription(hres);
    EXPECT_EQ(description.message, L"denied here");
}

TEST(HRES, Win32AndApiForms) {
    HRES hres;
    hres = Win32Error{ERROR_ACCESS_DENIED};
    EXPECT_EQ(hres.Code(), static_cast<HRESULT>(0x80070005));
    hres = Win32Error{0};
    EXPECT_EQ(hres.Code(), 0);
    SetLastError(ERROR_NOT_FOUND);
    hres = ApiResult{FALSE};
    EXPECT_EQ(hres.Code(), HR_NOT_FOUND);
    EXPECT_EQ(HRES(ApiResult{TRUE}).Code(), S_OK);
    EXPECT_EQ(HresultFromWin32(5), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(HresultFromWin32(0), 0);
    EXPECT_EQ(HresultFromWin32(0x80004005), static_cast<HRESULT>(0x80004005));
}

TEST(HRES, ThrowingFormsCarryTheFailure) {
    try {
        HRES(E_INVALIDARG, ThrowOnFailure);
        FAIL() << "not thrown";
    } catch (const HRES& caught) {
        EXPECT_EQ(caught.Code(), E_INVALIDARG);
    }
    EXPECT_NO_THROW(HRES(S_OK, ThrowOnFailure));
    try {
        RaiseError(0);
        FAIL() << "not thrown";
    } catch (const HRX& caught) {
        EXPECT_EQ(caught.Code(), E_FAIL);
    }
}

TEST(ErrorDescription, ParsesTheStructuredText) {
    ErrorDescription d;
    ASSERT_TRUE(ParseErrorDescriptionText(L"0x80004005 Something broke [0x00000000DEADBEEF]", d));
    EXPECT_EQ(d.code, E_FAIL);
    EXPECT_EQ(d.message, L"Something broke");
    EXPECT_EQ(d.location, L"0x00000000DEADBEEF");

    ASSERT_TRUE(ParseErrorDescriptionText(L"0x80004005", d));
    EXPECT_EQ(d.code, E_FAIL);
    EXPECT_TRUE(d.message.empty());
    EXPECT_TRUE(d.location.empty());

    ASSERT_TRUE(ParseErrorDescriptionText(L"  42 answer", d)) << "decimal with leading blanks";
    EXPECT_EQ(d.code, 42);
    EXPECT_EQ(d.message, L"answer");

    EXPECT_FALSE(ParseErrorDescriptionText(L"Access denied", d));
    EXPECT_FALSE(ParseErrorDescriptionText(L"", d));
}

TEST(ErrorDescription, FormatsWithFlags) {
    const ErrorDescription d{static_cast<HRESULT>(0x80070005), L"Access is denied", L"0x1,0x2"};
    EXPECT_EQ(FormatErrorDescription(d, 0), L"0x80070005 Access is denied [0x1,0x2]");
    EXPECT_EQ(FormatErrorDescription(d, ERRDESC_NO_LOCATION), L"0x80070005 Access is denied");
    EXPECT_EQ(FormatErrorDescription(d, ERRDESC_NO_CODE | ERRDESC_NO_MESSAGE), L" [0x1,0x2]");
    EXPECT_EQ(FormatErrorDescription({E_FAIL, L"", L""}, 0), L"0x80004005");
}

TEST(ErrorDescription, ErrorObjectOfAnotherFailureIsIgnored) {
    SetThreadError(L"0x80004005 not mine", ErrorInfoFormatGuid);
    HRES hres = E_INVALIDARG;
    const ErrorDescription d = BuildErrorDescription(hres);
    EXPECT_EQ(d.code, E_INVALIDARG);
    EXPECT_EQ(d.message, GetErrorMessage(E_INVALIDARG));
    EXPECT_EQ(d.location.find(L';'), std::wstring::npos) << "only the local callers remain";
    EXPECT_FALSE(d.location.empty());
}

TEST(ErrorDescription, ForeignErrorObjectKeepsItsTextAsMessage) {
    SetThreadError(L"0x80004005 whatever [x]", ForeignGuid);
    const std::wstring text = GetThreadErrorText(E_INVALIDARG);
    EXPECT_EQ(text, L"0x80070057 0x80004005 whatever [x]");
}

TEST(ErrorDescription, RoundTripThroughTheThreadErrorObject) {
    // A failure crossing a boundary and coming back keeps its message and gains a location group.
    SetErrorWithMessage(HresultFromWin32(ERROR_INVALID_DATA), L" Count of events can't be 0");
    HRES first = HresultFromWin32(ERROR_INVALID_DATA);
    SetErrorInfoFromHres(first);
    HRES second = HresultFromWin32(ERROR_INVALID_DATA);
    const ErrorDescription d = BuildErrorDescription(second);
    EXPECT_EQ(d.message, GetErrorMessage(HresultFromWin32(ERROR_INVALID_DATA)) +
                             L" Count of events can't be 0");
    EXPECT_NE(d.location.find(L';'), std::wstring::npos) << d.location;
}

TEST(ErrorDescription, WrapErrorNestsTheInnerTextWithoutLocation) {
    HRES inner = HresultFromWin32(ERROR_TIMEOUT);
    WrapError(HR_INVALID_FILTER_SET, inner, ERRDESC_NO_LOCATION);
    HRES outer = HR_INVALID_FILTER_SET;
    const ErrorDescription d = BuildErrorDescription(outer);
    EXPECT_EQ(d.message, GetErrorMessage(HR_INVALID_FILTER_SET) + L" (0x800705B4 " +
                             GetErrorMessage(HresultFromWin32(ERROR_TIMEOUT)) + L")");
}

TEST(ErrorMessages, SystemTextsLoseTheirTrailingPeriodAndLineBreak) {
    // The system's own text of the Win32 code (Windows, Wine and the stand-in word it
    // differently), as it ends.
    wchar_t system[256];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, ERROR_ACCESS_DENIED, 0, system, 256, nullptr);
    ASSERT_GT(length, 3u);
    ASSERT_TRUE(std::wstring(system, length).ends_with(L".\r\n"));
    const std::wstring text = GetErrorMessage(E_ACCESSDENIED);
    EXPECT_EQ(text, std::wstring(system, length - 3));
}

TEST(ErrorMessages, UnknownCodesHaveNoDescription) {
    EXPECT_EQ(GetErrorMessage(static_cast<HRESULT>(0x8004FFF1)), L"<no description>");
    EXPECT_EQ(GetErrorMessage(static_cast<HRESULT>(0xA0DE0001)), L"<no description>");
}

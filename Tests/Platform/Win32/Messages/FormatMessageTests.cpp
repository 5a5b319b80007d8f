#include "PeBuilder.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr DWORD kLookup = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;

// The text FormatMessageW gives, or nothing with the last error in *error.
std::optional<std::wstring> Format(DWORD flags, LPCVOID source, DWORD id, DWORD language = 0,
                                   DWORD* error = nullptr, void* arguments = nullptr) {
    LPWSTR buffer = nullptr;
    SetLastError(ERROR_SUCCESS);
    const DWORD length = FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, source, id,
                                        language, reinterpret_cast<LPWSTR>(&buffer), 0, arguments);
    if (error != nullptr) {
        *error = GetLastError();
    }
    if (length == 0) {
        EXPECT_EQ(buffer, nullptr);
        return std::nullopt;
    }
    std::wstring text(buffer, length);
    EXPECT_EQ(buffer[length], L'\0');
    EXPECT_EQ(LocalFree(buffer), nullptr);
    return text;
}

DWORD FailureOf(DWORD flags, LPCVOID source, DWORD id, DWORD language = 0) {
    DWORD error = 0;
    EXPECT_EQ(Format(flags, source, id, language, &error), std::nullopt) << "id " << id;
    return error;
}

class LoadedModule {
public:
    explicit LoadedModule(const std::wstring& path)
        : m_module(LoadLibraryExW(path.c_str(), nullptr, 0x22)) {}
    ~LoadedModule() {
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

} // namespace

TEST(FormatMessageSystem, GivesWindowsTextsWithLineEnd) {
    const DWORD flags = kLookup | FORMAT_MESSAGE_FROM_SYSTEM;
    EXPECT_EQ(Format(flags, nullptr, ERROR_ACCESS_DENIED), L"Access is denied.\r\n");
    EXPECT_EQ(Format(flags, nullptr, ERROR_FILE_NOT_FOUND),
              L"The system cannot find the file specified.\r\n");
    EXPECT_EQ(Format(flags, nullptr, ERROR_INVALID_PARAMETER), L"The parameter is incorrect.\r\n");
    EXPECT_EQ(Format(flags, nullptr, ERROR_NOT_FOUND), L"Element not found.\r\n");
    EXPECT_EQ(Format(flags, nullptr, ERROR_TIMEOUT),
              L"This operation returned because the timeout period expired.\r\n");
    EXPECT_EQ(Format(flags, nullptr, ERROR_EVT_INVALID_QUERY),
              L"The specified query is invalid.\r\n");
    EXPECT_EQ(Format(flags, nullptr, static_cast<DWORD>(E_FAIL)), L"Unspecified error\r\n");
    EXPECT_EQ(Format(flags, nullptr, static_cast<DWORD>(E_NOTIMPL)), L"Not implemented\r\n");
    EXPECT_EQ(Format(flags, nullptr, static_cast<DWORD>(E_UNEXPECTED)),
              L"Catastrophic failure\r\n");
    EXPECT_EQ(Format(flags, nullptr, static_cast<DWORD>(REGDB_E_CLASSNOTREG)),
              L"Class not registered\r\n");
    EXPECT_EQ(Format(flags, nullptr, static_cast<DWORD>(DISP_E_TYPEMISMATCH)),
              L"Type mismatch.\r\n");
}

TEST(FormatMessageSystem, CoversEveryEventLogCode) {
    for (DWORD code = ERROR_EVT_INVALID_CHANNEL_PATH; code <= ERROR_EVT_FILTER_OUT_OF_RANGE;
         ++code) {
        if (code == 15006) {
            continue; // no such code
        }
        const auto text = Format(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
        ASSERT_TRUE(text.has_value()) << code;
        EXPECT_TRUE(text->ends_with(L"\r\n")) << code;
    }
}

TEST(FormatMessageSystem, Win32HresultsHaveNoEntryOfTheirOwn) {
    // 0x80070005 is found only through its Win32 code 5, by the caller.
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80070005),
              ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345),
              ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessageSystem, InsertsStayWhenIgnored) {
    EXPECT_EQ(Format(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT),
              L"%1 is not a valid Win32 application.\r\n");
}

TEST(FormatMessageSystem, LanguageMustExistWhenGiven) {
    EXPECT_EQ(Format(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, GetUserDefaultLangID()),
              L"Access is denied.\r\n");
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407),
              ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(FormatMessageModule, ReadsRavelinByFullHresult) {
    LoadedModule ravelin(PeBuilder::BinDirectory() + L"Ravelin.dll");
    ASSERT_NE(ravelin.Get(), nullptr) << GetLastError();
    for (const DWORD code : {0x80040513u, 0x80042001u, 0x80042002u, 0x80047F03u, 0x80047F04u}) {
        const auto text = Format(kLookup | FORMAT_MESSAGE_FROM_HMODULE, ravelin.Get(), code);
        ASSERT_TRUE(text.has_value()) << std::hex << code;
        EXPECT_GT(text->size(), 10u);
        EXPECT_TRUE(text->ends_with(L".\r\n"));
    }
    // The low 16 bits alone are no message of the module.
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_HMODULE, ravelin.Get(), 0x0513),
              ERROR_MR_MID_NOT_FOUND);
    // With the system table as well, the module comes first and the system fills the gaps.
    const DWORD both = kLookup | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    EXPECT_EQ(Format(both, ravelin.Get(), 5), L"Access is denied.\r\n");
    EXPECT_EQ(Format(both, ravelin.Get(), 0x80042002u),
              Format(kLookup | FORMAT_MESSAGE_FROM_HMODULE, ravelin.Get(), 0x80042002u));
}

TEST(FormatMessageModule, DecodesUnicodeAndAnsiEntries) {
    const PeBuilder::TempFile file(
        PeBuilder::BuildFile({{0x0409,
                               {PeBuilder::Utf16(1, u"Caf\u00e9 \U0001F600\r\n"),
                                PeBuilder::Ansi(2, "Euro \x80 sign\r\n")}}}));
    LoadedModule module(file.Path());
    ASSERT_NE(module.Get(), nullptr);
    EXPECT_EQ(Format(kLookup | FORMAT_MESSAGE_FROM_HMODULE, module.Get(), 1),
              L"Caf\u00e9 \U0001F600\r\n");
    EXPECT_EQ(Format(kLookup | FORMAT_MESSAGE_FROM_HMODULE, module.Get(), 2),
              L"Euro \u20AC sign\r\n");
}

TEST(FormatMessageModule, SearchesLanguagesWhenNoneGiven) {
    const PeBuilder::TempFile file(PeBuilder::BuildFile({
        {0x0407, {PeBuilder::Utf16(1, u"German")}},
        {0x0409, {PeBuilder::Utf16(1, u"English")}},
        {0x0000, {PeBuilder::Utf16(1, u"Neutral")}},
    }));
    LoadedModule module(file.Path());
    ASSERT_NE(module.Get(), nullptr);
    const DWORD flags = kLookup | FORMAT_MESSAGE_FROM_HMODULE;
    EXPECT_EQ(Format(flags, module.Get(), 1), L"Neutral");
    EXPECT_EQ(Format(flags, module.Get(), 1, 0x0407), L"German");
    EXPECT_EQ(Format(flags, module.Get(), 1, 0x0409), L"English");

    const PeBuilder::TempFile germanOnly(
        PeBuilder::BuildFile({{0x0407, {PeBuilder::Utf16(1, u"German")}}}), "german.dll");
    LoadedModule german(germanOnly.Path());
    EXPECT_EQ(Format(flags, german.Get(), 1), L"German");
    EXPECT_EQ(FailureOf(flags, german.Get(), 1, 0x0409), ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(FormatMessageModule, ReportsMissingTablesAndModules) {
    // A PE file with a resource directory but no message table.
    std::vector<uint8_t> bytes = PeBuilder::BuildFile({{0x0409, {PeBuilder::Utf16(1, u"x")}}});
    PeBuilder::Put32(bytes, PeBuilder::kResourceFileOffset + 16, 6); // RT_STRING instead
    const PeBuilder::TempFile file(bytes);
    LoadedModule module(file.Path());
    ASSERT_NE(module.Get(), nullptr);
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_HMODULE, module.Get(), 1),
              ERROR_RESOURCE_TYPE_NOT_FOUND);
    // A handle that is no loaded message module.
    EXPECT_EQ(FailureOf(kLookup | FORMAT_MESSAGE_FROM_HMODULE, reinterpret_cast<void*>(0x1234), 1),
              ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST(FormatMessageFromString, ExpandsEscapesAndStringInserts) {
    const wchar_t* args[] = {L"first", L"second"};
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     L"%2 and %1!s!%n100%% done%0 never", 0, 0, nullptr, args),
              L"second and first\r\n100% done");
    const DWORD_PTR numbers[] = {static_cast<DWORD_PTR>(-5), 255};
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, L"%1!d! %2!X!", 0,
                     0, nullptr, const_cast<DWORD_PTR*>(numbers)),
              L"-5 FF");
    EXPECT_EQ(
        Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, L"%1!d! at %2%n", 0),
        L"%1!d! at %2\r\n");
    // Inserts without an argument array cannot be served.
    DWORD error = 0;
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING, L"%1", 0, 0, &error), std::nullopt);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(FormatMessageWidth, ZeroKeepsLineBreaksMaskJoinsLinesOthersWrap) {
    const wchar_t* text = L"one two three\r\nfour%nfive";
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, text, 0),
              L"one two three\r\nfour\r\nfive");
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_MAX_WIDTH_MASK,
                     text, 0),
              L"one two three four\r\nfive");
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS | 8, text, 0),
              L"one two\r\nthree\r\nfour\r\nfive");
}

TEST(FormatMessageBuffer, CallerBufferMustHoldTextAndNul) {
    wchar_t buffer[19];
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                             0, buffer, 19, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    wchar_t enough[20];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                             0, enough, 20, nullptr),
              19u);
    EXPECT_STREQ(enough, L"Access is denied.\r\n");
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, nullptr, 20, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

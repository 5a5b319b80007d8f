#include "Logging/TraceScope.h"

#include "Logging/CallDepth.h"

#include "Base/Text.h"

#include <atomic>
#include <cwchar>
#include <exception>

namespace Logging {

namespace {

// Performance-counter counts per 10 microseconds, computed by the first thread that needs it.
int64_t CounterDivisor() noexcept {
    static std::atomic<int64_t> s_divisor{0};
    int64_t divisor = s_divisor.load(std::memory_order_relaxed);
    if (divisor == 0) {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        divisor = frequency.QuadPart / 100000;
        if (divisor == 0) {
            divisor = 1;
        }
        s_divisor.store(divisor, std::memory_order_relaxed);
    }
    return divisor;
}

int64_t Counter() noexcept {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

} // namespace

std::wstring ElapsedTimeText(int64_t microseconds) {
    if (microseconds >= 0) {
        // What the number format below gives for a time that is not negative, written directly:
        // every traced operation's closing line carries one.
        Base::DecimalRoom room;
        const std::wstring_view whole =
            Base::DecimalDigits(static_cast<uint64_t>(microseconds / 1000), room);
        std::wstring result = L" [";
        for (size_t i = 0; i < whole.size(); ++i) {
            if (i > 0 && (whole.size() - i) % 3 == 0) {
                result.push_back(L' ');
            }
            result.push_back(whole[i]);
        }
        const auto fraction = static_cast<int>(microseconds % 1000);
        result.push_back(L'.');
        result.push_back(static_cast<wchar_t>(L'0' + fraction / 100));
        result.push_back(static_cast<wchar_t>(L'0' + fraction / 10 % 10));
        result.push_back(static_cast<wchar_t>(L'0' + fraction % 10));
        result += L" ms]";
        return result;
    }
    wchar_t plain[64];
    std::swprintf(plain, std::size(plain), L"%lld.%03lld",
                  static_cast<long long>(microseconds / 1000),
                  static_cast<long long>(microseconds % 1000));
    wchar_t decimal[] = L".";
    wchar_t thousand[] = L" ";
    const NUMBERFMTW format{3, 1, 3, decimal, thousand, 1};
    wchar_t number[64];
    const wchar_t* text = plain;
    if (GetNumberFormatW(LOCALE_INVARIANT, 0, plain, &format, number, 64) != 0) {
        text = number;
    }
    std::wstring result = L" [";
    result += text;
    result += L" ms]";
    if (result.size() > 127) {
        result.resize(127);
    }
    return result;
}

TraceScope::TraceScope(uint32_t severity, uint32_t exceptionSeverity, std::wstring name,
                       const wchar_t* sourceFile, uint32_t sourceLine) noexcept
    : m_severity(severity), m_exceptionSeverity(exceptionSeverity), m_name(std::move(name)),
      m_sourceFile(sourceFile), m_sourceLine(sourceLine),
      m_exceptionsAtEntry(std::uncaught_exceptions()) {
    auto& log = LogManager::Instance();
    if (log.IsEnabled(m_severity)) {
        try {
            log.Write(m_severity, L"Entering: " + m_name, m_sourceFile, m_sourceLine);
        } catch (...) {
            // The line could not be composed; the scope still indents.
        }
        ++ThreadCallDepth();
        ++m_depthAdded;
    }
    // Read after the "Entering: " line, so that its cost is not counted.
    m_start = Counter();
}

TraceScope::~TraceScope() {
    const int64_t now = Counter();
    const bool exceptional = std::uncaught_exceptions() != m_exceptionsAtEntry;
    const uint32_t severity = exceptional ? m_exceptionSeverity : m_severity;
    auto& log = LogManager::Instance();
    if (log.IsEnabled(severity)) {
        const int64_t microseconds = (now - m_start) * 10 / CounterDivisor();
        try {
            std::wstring line = exceptional ? L"EXCEPTION at: " : L"Exiting: ";
            line += m_name;
            line += ElapsedTimeText(microseconds);
            // The closing line stands at the depth of the opening one.
            ThreadCallDepth() -= static_cast<int32_t>(m_depthAdded);
            m_depthAdded = 0;
            log.Write(severity, line, m_sourceFile, m_sourceLine);
        } catch (...) {
            // The line could not be composed; the depth is restored below all the same.
        }
    }
    ThreadCallDepth() -= static_cast<int32_t>(m_depthAdded);
}

std::unique_ptr<TraceScope> OpenTraceScope(uint32_t severity, const wchar_t* name,
                                           const wchar_t* sourceFile,
                                           uint32_t sourceLine) noexcept {
    try {
        std::wstring composed;
        try {
            composed = name != nullptr ? name : L"";
        } catch (...) {
            composed += L"... (***EXCEPTION***)";
        }
        return std::make_unique<TraceScope>(severity, severity, std::move(composed), sourceFile,
                                            sourceLine);
    } catch (...) {
        return nullptr;
    }
}

} // namespace Logging

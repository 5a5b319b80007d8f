#include "ErrorHandling/ErrorMessages.h"

#include "Base/Mutex.h"
#include "ErrorHandling/ErrorHandling.h"
#include "ErrorHandling/ErrorMessageModules.h"
#include "Helpers/UniqueHandle.h"

#include <unordered_map>

namespace {

constexpr HRESULT OwnCodesFirst = static_cast<HRESULT>(0x80040200);
constexpr HRESULT OwnCodesEnd = static_cast<HRESULT>(0x80050000);

// Texts found so far, per code. Only grows; the first insertion for a code wins.
class ErrorMessageCache {
public:
    bool Find(HRESULT code, std::wstring& text) const {
        Base::SharedLockGuard lock(m_lock);
        const auto found = m_texts.find(code);
        if (found == m_texts.end()) {
            return false;
        }
        text = found->second;
        return true;
    }

    void Insert(HRESULT code, const std::wstring& text) {
        Base::LockGuard lock(m_lock);
        m_texts.emplace(code, text);
    }

private:
    mutable Base::SharedMutex m_lock;
    std::unordered_map<HRESULT, std::wstring> m_texts GUARDED_BY(m_lock);
};

// Created when the module is loaded, like the log.
ErrorMessageCache g_cache;

bool LookupInList(const ErrorMessageModules::List& list, DWORD messageId, std::wstring& text) {
    for (HMODULE module : list) {
        if (module == nullptr) {
            break;
        }
        if (LookupMessage(module, messageId, text)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool LookupMessage(HMODULE module, DWORD messageId, std::wstring& text) {
    const DWORD source =
        module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    const LANGID languages[] = {GetUserDefaultLangID(), 0};
    for (LANGID language : languages) {
        UniqueLocalMemory buffer;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source, module,
            messageId, language, reinterpret_cast<LPWSTR>(buffer.Put()), 0, nullptr);
        if (length != 0 && buffer) {
            text.assign(static_cast<const wchar_t*>(buffer.Get()), length);
            return true;
        }
    }
    return false;
}

std::wstring GetErrorMessage(HRESULT code) {
    std::wstring text;
    if (g_cache.Find(code, text)) {
        return text;
    }
    bool found = false;
    if (code >= OwnCodesFirst && code < OwnCodesEnd) {
        found =
            LookupInList(ErrorMessageModules::Instance().Primary(), static_cast<DWORD>(code), text);
    }
    const DWORD ids[] = {static_cast<DWORD>(code), HresultFacility(code) == FACILITY_WIN32
                                                       ? static_cast<DWORD>(code) & 0xFFFFu
                                                       : 0xFFFFFFFFu};
    for (DWORD id : ids) {
        if (found || id == 0xFFFFFFFFu) {
            continue;
        }
        found = LookupMessage(nullptr, id, text) ||
                LookupInList(ErrorMessageModules::Instance().Fallback(), id, text);
    }
    if (!found) {
        text = L"<no description>";
    }
    const size_t keep = text.find_last_not_of(L" .\r\n");
    text.resize(keep == std::wstring::npos ? 0 : keep + 1);
    g_cache.Insert(code, text);
    return text;
}

// COM error objects and the per-thread error object slot.
#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Win32/OleAuto.h"

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace {

// One error object: ICreateErrorInfo fills it, IErrorInfo reads it. Its fields may be set and
// read from several threads, so they are guarded by a mutex; the reference count is atomic.
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
public:
    ErrorInfo() = default;
    ErrorInfo(const ErrorInfo&) = delete;
    ErrorInfo& operator=(const ErrorInfo&) = delete;

    // IUnknown (both bases share one reference count and identity).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
            *object = static_cast<IErrorInfo*>(this);
        } else if (iid == IID_ICreateErrorInfo) {
            *object = static_cast<ICreateErrorInfo*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return m_references.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG remaining = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0) {
            // The object owns itself through its reference count, as every COM object does.
            delete this;
        }
        return remaining;
    }

    // IErrorInfo
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        if (guid == nullptr) {
            return E_INVALIDARG;
        }
        Base::LockGuard lock(m_mutex);
        *guid = m_guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override {
        return Read(&ErrorInfo::m_source, source);
    }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
        return Read(&ErrorInfo::m_description, description);
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* helpFile) override {
        return Read(&ErrorInfo::m_helpFile, helpFile);
    }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* helpContext) override {
        if (helpContext == nullptr) {
            return E_INVALIDARG;
        }
        Base::LockGuard lock(m_mutex);
        *helpContext = m_helpContext;
        return S_OK;
    }

    // ICreateErrorInfo
    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
        Base::LockGuard lock(m_mutex);
        m_guid = guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR source) override {
        return Write(&ErrorInfo::m_source, source);
    }
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR description) override {
        return Write(&ErrorInfo::m_description, description);
    }
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR helpFile) override {
        return Write(&ErrorInfo::m_helpFile, helpFile);
    }
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD helpContext) override {
        Base::LockGuard lock(m_mutex);
        m_helpContext = helpContext;
        return S_OK;
    }

private:
    ~ErrorInfo() = default;

    using TextField = std::optional<std::wstring> ErrorInfo::*;

    // A field that was never set (or set to null) reads as a null BSTR.
    HRESULT Read(TextField field, BSTR* out) EXCLUDES(m_mutex) {
        if (out == nullptr) {
            return E_INVALIDARG;
        }
        Base::LockGuard lock(m_mutex);
        const std::optional<std::wstring>& text = this->*field;
        *out = nullptr;
        if (!text) {
            return S_OK;
        }
        *out = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT Write(TextField field, LPCOLESTR text) noexcept EXCLUDES(m_mutex) {
        return Base::HresultBoundary<HRESULT>([&] {
            std::optional<std::wstring> value;
            if (text != nullptr) {
                value.emplace(text);
            }
            Base::LockGuard lock(m_mutex);
            (this->*field).swap(value);
            return S_OK;
        });
    }

    std::atomic<ULONG> m_references{1};
    Base::Mutex m_mutex;
    GUID m_guid GUARDED_BY(m_mutex) = GUID_NULL;
    std::optional<std::wstring> m_source GUARDED_BY(m_mutex);
    std::optional<std::wstring> m_description GUARDED_BY(m_mutex);
    std::optional<std::wstring> m_helpFile GUARDED_BY(m_mutex);
    DWORD m_helpContext GUARDED_BY(m_mutex) = 0;
};

// The thread's error object; what is left in it when the thread ends is released then.
struct ThreadErrorSlot {
    IErrorInfo* object = nullptr;

    ThreadErrorSlot() = default;
    ThreadErrorSlot(const ThreadErrorSlot&) = delete;
    ThreadErrorSlot& operator=(const ThreadErrorSlot&) = delete;
    ~ThreadErrorSlot() {
        if (IErrorInfo* left = std::exchange(object, nullptr); left != nullptr) {
            left->Release();
        }
    }
};

thread_local ThreadErrorSlot t_errorSlot;

} // namespace

HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** errorInfo) {
    if (errorInfo == nullptr) {
        return E_INVALIDARG;
    }
    auto* object = new (std::nothrow) ErrorInfo();
    *errorInfo = object;
    return object == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT WINAPI SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo) {
    if (reserved != 0) {
        return E_INVALIDARG;
    }
    if (errorInfo != nullptr) {
        errorInfo->AddRef();
    }
    // Released after the slot holds the new object: the release may run code that sets it again.
    if (IErrorInfo* previous = std::exchange(t_errorSlot.object, errorInfo); previous != nullptr) {
        previous->Release();
    }
    return S_OK;
}

HRESULT WINAPI GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo) {
    if (errorInfo == nullptr || reserved != 0) {
        return E_INVALIDARG;
    }
    *errorInfo = std::exchange(t_errorSlot.object, nullptr);
    return *errorInfo != nullptr ? S_OK : S_FALSE;
}

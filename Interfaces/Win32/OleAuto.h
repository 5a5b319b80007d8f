// COM error objects and BSTRs of the Windows API subset the module calls, for builds without the
// SDK. The interfaces keep the COM slot order (QueryInterface, AddRef, Release first).
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* helpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR source) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR description) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR helpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD helpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {1CF2B120-547D-101B-8E65-08002B2BD119}
constexpr IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
// {22F03340-547D-101B-8E65-08002B2BD119}
constexpr IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

// A new, empty error object with one reference. Fields never set read as null BSTRs and
// GUID_NULL; the object answers IID_IUnknown, IID_IErrorInfo and IID_ICreateErrorInfo.
PAL_API HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** errorInfo);
// The calling thread's error object: SetErrorInfo replaces it (adding a reference; null clears
// it), GetErrorInfo hands its reference over and empties the slot (S_FALSE and null when there
// is none). An object left in the slot is released when the thread ends.
PAL_API HRESULT WINAPI SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo);
PAL_API HRESULT WINAPI GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo);

// BSTRs: a 32-bit byte length before the characters, a NUL after them. SysAllocString(null)
// and SysStringLen(null) give null and 0; SysAllocStringLen(null, n) gives n zero characters.
PAL_API BSTR WINAPI SysAllocString(const OLECHAR* text);
PAL_API BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
PAL_API void WINAPI SysFreeString(BSTR text);
PAL_API UINT WINAPI SysStringLen(BSTR text);
PAL_API UINT WINAPI SysStringByteLen(BSTR text);

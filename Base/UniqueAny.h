// One ownership policy for every kind of handle: UniqueAny<Handle, Close, Empty, KeepError> is
// the sole owner of one handle and closes it with Close when it is reset or destroyed. Each kind
// of handle is a one-line alias:
//
//   using UniqueFd = Base::UniqueAny<int, &CloseFd, -1>;
//   using UniqueLibrary = Base::UniqueAny<void*, &::dlclose>;
//
// The close runs while a KeepError object lives, which saves the thread's error state before and
// puts it back after, so that closing a handle on a failure path never changes the failure the
// caller is about to read. The default keeps errno; Helpers/UniqueHandle.h has the Windows
// aliases, which keep the thread's last error.
#pragma once

#include <cerrno>
#include <utility>

namespace Base {

// Keeps errno across a close.
class KeepErrno {
public:
    KeepErrno() noexcept : m_saved(errno) {}
    ~KeepErrno() { errno = m_saved; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

private:
    int m_saved;
};

template <typename Handle, auto Close, Handle Empty = Handle{}, typename KeepError = KeepErrno>
class UniqueAny {
public:
    UniqueAny() noexcept = default;
    // Takes ownership of `handle` (Empty: nothing).
    explicit UniqueAny(Handle handle) noexcept : m_handle(handle) {}
    UniqueAny(UniqueAny&& other) noexcept : m_handle(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { Reset(); }

    // Closes the handle held, if any, and takes `handle` instead.
    void Reset(Handle handle = Empty) noexcept {
        const Handle old = std::exchange(m_handle, handle);
        if (old != Empty) {
            const KeepError keep;
            static_cast<void>(Close(old));
        }
    }
    // Gives up ownership: the caller closes the handle.
    [[nodiscard]] Handle Release() noexcept { return std::exchange(m_handle, Empty); }
    // Closes the handle held and yields the field for a call that returns a new one.
    Handle* Put() noexcept {
        Reset();
        return &m_handle;
    }

    Handle Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != Empty; }

private:
    Handle m_handle = Empty;
};

} // namespace Base

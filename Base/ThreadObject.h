// What a thread keeps from call to call: room for a function's work that it reuses, made once per
// thread, and safe to ask for at any point of the thread's life.
#pragma once

#include <optional>
#include <type_traits>

#if defined(_MSC_VER)
#define BASE_NOINLINE __declspec(noinline)
#else
#define BASE_NOINLINE [[gnu::noinline]]
#endif

namespace Base {

// The calling thread's T, made at its first use; null once it is destroyed with the thread's
// thread-locals, for code that runs later on the thread (a thread-local's destructor that runs
// after it, or a static object's at exit). Once made, it costs one thread-local look-up. Each T is
// one thread's one object: give every use a type of its own.
// Not inlined: in a shared library each use of a thread-local by name may look its address up
// again, a call each time, where the pointer a call returns is looked up once.
template <class T>
BASE_NOINLINE T* ThreadObject() noexcept(std::is_nothrow_default_constructible_v<T>) {
    // Trivially destroyed, so that they can be read for as long as the thread runs.
    constinit thread_local T* t_object = nullptr;
    constinit thread_local bool t_gone = false;
    if (t_object != nullptr) {
        return t_object;
    }
    if (t_gone) {
        return nullptr;
    }
    struct Holder {
        T object;
        Holder() noexcept(std::is_nothrow_default_constructible_v<T>) { t_object = &object; }
        ~Holder() {
            t_object = nullptr;
            t_gone = true;
        }
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
    };
    thread_local Holder holder;
    return &holder.object;
}

// The calling thread's room T, or `spare`, made here, once the thread's is gone.
template <class T>
T& ThreadRoom(std::optional<T>& spare) noexcept(std::is_nothrow_default_constructible_v<T>) {
    if (T* const room = ThreadObject<T>()) {
        return *room;
    }
    return spare.emplace();
}

} // namespace Base

#undef BASE_NOINLINE

// What a thread keeps from call to call: room for a function's work that it reuses, made once per
// thread, and safe to ask for at any point of the thread's life.
#pragma once

#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#if defined(_MSC_VER)
#define BASE_NOINLINE __declspec(noinline)
#else
#define BASE_NOINLINE [[gnu::noinline]]
#endif

namespace Base {

namespace ThreadObjectDetail {

// Has `cleanup(object)` called as the calling thread ends, among its thread-locals' destructors and
// in the same reverse order of registration. False when that cannot be arranged (memory is short).
//
// This is the registration the compiler makes for a thread-local with a destructor, but given the
// address of an object on the heap. MinGW's GCC emulates thread-locals and may free a thread's
// thread-local storage before it runs their destructors: a destructor handed a thread-local's own
// address would read freed memory there.
bool AtThreadExit(void (*cleanup)(void*), void* object) noexcept;

// The calling thread's T and whether it has been destroyed. Trivially destroyed, so that nothing
// reads them once they are freed. Where the thread-local storage is freed before the cleanups run
// (MinGW), a cleanup that reads them sees them anew: a T asked for there is made again, and
// destroyed again with what the cleanups make.
template <class T>
struct Slot {
    static constinit inline thread_local T* object = nullptr;
    static constinit inline thread_local bool gone = false;

    // Makes the thread's T, unless it is gone. Apart from ThreadObject, whose look-up then saves no
    // registers.
    BASE_NOINLINE static T* Make() noexcept(std::is_nothrow_default_constructible_v<T>) {
        if (gone) {
            return nullptr;
        }
        std::unique_ptr<T> made(new (std::nothrow) T());
        if (made == nullptr || !AtThreadExit(&Destroy, made.get())) {
            return nullptr;
        }
        object = made.release();
        return object;
    }

    static void Destroy(void* made) noexcept {
        object = nullptr;
        gone = true;
        std::unique_ptr<T>(static_cast<T*>(made)).reset();
    }
};

} // namespace ThreadObjectDetail

// The calling thread's T, made on the heap at its first use and destroyed as the thread ends. Null
// once it is destroyed, for code that runs later on the thread (a thread-local's destructor that
// runs after it, or a static object's at exit), and null when memory is too short to make it. Once
// made, it costs one thread-local look-up. Each T is one thread's one object: give every use a type
// of its own.
//
// Not inlined: in a shared library each use of a thread-local by name may look its address up
// again, a call each time, where the pointer a call returns is looked up once.
template <class T>
BASE_NOINLINE T* ThreadObject() noexcept(std::is_nothrow_default_constructible_v<T>) {
    using Slot = ThreadObjectDetail::Slot<T>;
    if (T* const object = Slot::object) {
        return object;
    }
    return Slot::Make();
}

// The calling thread's room T, or `spare`, made here, once the thread's is gone or cannot be made.
template <class T>
T& ThreadRoom(std::optional<T>& spare) noexcept(std::is_nothrow_default_constructible_v<T>) {
    if (T* const room = ThreadObject<T>()) {
        return *room;
    }
    return spare.emplace();
}

} // namespace Base

#undef BASE_NOINLINE

// Clang's thread-safety annotations: shared data names the lock that guards it, and functions name
// the locks they need or take, so that the compiler checks every access (-Wthread-safety). Other
// compilers see nothing.
#pragma once

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
// An object that holds a lock for its lifetime.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// Data read and written only under the lock `x`.
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
// Pointed-to data read and written only under the lock `x`.
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
// Locks that must be taken in this order.
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller holds the lock (exclusively, or at least shared).
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes or lets go of the lock.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the lock (the function takes it).
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
// The analysis trusts that the lock is held here.
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) THREAD_ANNOTATION(assert_shared_capability(x))
// Not checked: for what the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// basekit/vrk/ThreadSafety.h
// Annotations that let Clang check, at compile time, which lock guards which data
// (-Wthread-safety): a member marked VRK_GUARDED_BY(m) may be touched only with m held,
// a function marked VRK_REQUIRES(m) only called with m held, one marked VRK_EXCLUDES(m)
// only called with m free. Under other compilers they expand to nothing, so they cost
// nothing and change nothing; they document the locking either way.
//
// The analysis is local: it follows each function body on its own and trusts the
// annotations of what it calls. It does not know that a lock is re-entrant, so taking
// one twice in the same body is reported even where the lock allows it.
#pragma once

#if defined(__clang__)
#define VRK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VRK_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks.
#define VRK_CAPABILITY(name) VRK_THREAD_ANNOTATION(capability(name))
// On a class: an object that holds a lock from its construction to its destruction.
#define VRK_SCOPED_CAPABILITY VRK_THREAD_ANNOTATION(scoped_lockable)
// On a member: read or written only with the lock held.
#define VRK_GUARDED_BY(x) VRK_THREAD_ANNOTATION(guarded_by(x))
// On a pointer member: what it points at is read or written only with the lock held.
#define VRK_PT_GUARDED_BY(x) VRK_THREAD_ANNOTATION(pt_guarded_by(x))
// On a function: called with the lock(s) held, and returns with them still held.
#define VRK_REQUIRES(...) VRK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// On a function: called with the lock(s) free (it takes them itself).
#define VRK_EXCLUDES(...) VRK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: takes the lock(s) (no argument: the object itself) and returns holding them.
#define VRK_ACQUIRE(...) VRK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// On a function: lets the lock(s) go (no argument: the object itself).
#define VRK_RELEASE(...) VRK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// On a function: holds the lock(s) on return exactly when it answers `result`.
#define VRK_TRY_ACQUIRE(...) VRK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// On a function: left out of the analysis (say why where it is used).
#define VRK_NO_THREAD_SAFETY_ANALYSIS VRK_THREAD_ANNOTATION(no_thread_safety_analysis)

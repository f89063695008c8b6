// Clang's thread-safety attributes (-Wthread-safety): which lock guards which member, which
// functions expect a lock held, and in which order two locks may be taken. They are checked by
// the thread-safety preset (clang) and expand to nothing for every other compiler, so the MinGW
// and g++ builds see plain declarations. Reference: clang's "Thread Safety Analysis" page.
//
// Attribute arguments name capabilities (usually a Mutex member); a lock of another object is
// named through an accessor marked RETURN_CAPABILITY.
#ifndef MOBILEINFO_SUPPORT_THREAD_ANNOTATIONS_H
#define MOBILEINFO_SUPPORT_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define MOBILEINFO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MOBILEINFO_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(x) MOBILEINFO_THREAD_ANNOTATION(capability(x))
// An RAII class that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY MOBILEINFO_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the lock held.
#define GUARDED_BY(x) MOBILEINFO_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(x) MOBILEINFO_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order: this lock is taken before (after) the named ones whenever both are held. Checked
// with -Wthread-safety-beta where one function takes both, and for cycles.
#define ACQUIRED_BEFORE(...) MOBILEINFO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MOBILEINFO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller holds the locks.
#define REQUIRES(...) MOBILEINFO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller does not hold the locks (the function takes them).
#define EXCLUDES(...) MOBILEINFO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes (gives back) the locks, and returns with them held (released).
#define ACQUIRE(...) MOBILEINFO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MOBILEINFO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns the first argument.
#define TRY_ACQUIRE(...) MOBILEINFO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function returns only with the lock held (a run-time assertion the analysis trusts).
#define ASSERT_CAPABILITY(x) MOBILEINFO_THREAD_ANNOTATION(assert_capability(x))
// The function returns the named lock (an accessor that names a lock for other annotations).
#define RETURN_CAPABILITY(x) MOBILEINFO_THREAD_ANNOTATION(lock_returned(x))
// The function is not checked: for the lock wrappers themselves, which the analysis cannot see
// through.
#define NO_THREAD_SAFETY_ANALYSIS MOBILEINFO_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // MOBILEINFO_SUPPORT_THREAD_ANNOTATIONS_H

// Clang's thread-safety analysis, as macros that vanish for other compilers.
// A field marked GUARDED_BY(mu) may only be touched with `mu` held; a function
// marked REQUIRES(mu) may only be called with it held. The analysis runs in
// the thread-safety build stage (-Wthread-safety -Werror), so a rule written
// here is checked by the compiler instead of by a comment.
#ifndef ZY_PLATFORM_THREAD_ANNOTATIONS_H_
#define ZY_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define ZY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZY_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZY_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZY_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZY_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZY_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZY_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZY_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ZY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZY_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) ZY_THREAD_ANNOTATION(lock_returned(x))
// For the rare function whose locking the analysis cannot follow; say why
// beside every use.
#define NO_THREAD_SAFETY_ANALYSIS ZY_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // ZY_PLATFORM_THREAD_ANNOTATIONS_H_

// Clang's thread-safety attributes, so that what each lock guards is stated
// once in the code and checked by -Wthread-safety in clang builds. Other
// compilers see empty macros.
#ifndef NORV_BASE_THREADANNOTATIONS_H
#define NORV_BASE_THREADANNOTATIONS_H

#if defined(__clang__)
#define NORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NORV_THREAD_ANNOTATION(x)
#endif

#define NORV_CAPABILITY(name) NORV_THREAD_ANNOTATION(capability(name))
#define NORV_SCOPED_CAPABILITY NORV_THREAD_ANNOTATION(scoped_lockable)
#define NORV_GUARDED_BY(m) NORV_THREAD_ANNOTATION(guarded_by(m))
#define NORV_PT_GUARDED_BY(m) NORV_THREAD_ANNOTATION(pt_guarded_by(m))
#define NORV_REQUIRES(...) NORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define NORV_ACQUIRE(...) NORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define NORV_RELEASE(...) NORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NORV_EXCLUDES(...) NORV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NORV_NO_THREAD_SAFETY_ANALYSIS NORV_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif

// ThreadSanitizer builds only. Qt starts every process with
// clone(CLONE_VM | CLONE_VFORK). The sanitizer's clone hook does its fork
// bookkeeping in the child, which shares the parent's memory, and so
// corrupts the parent's own state: its later locks go unseen (false races)
// or the runtime aborts on an internal check. The child only sets up and
// calls execve, so it is sent straight to libc's clone here.

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TALLISEN_THREAD_SANITIZER
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TALLISEN_THREAD_SANITIZER
#endif

#ifdef TALLISEN_THREAD_SANITIZER

#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/types.h>

extern "C" int clone(int (*function)(void*), void* stack, int flags, void* argument, ...) noexcept
{
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const Clone libcClone = [] {
        void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        auto found = libc ? reinterpret_cast<Clone>(dlsym(libc, "clone")) : nullptr;
        if (!found) {
            std::abort();
        }
        return found;
    }();
    va_list rest;
    va_start(rest, argument);
    auto* parentTid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    auto* childTid = va_arg(rest, pid_t*);
    va_end(rest);
    return libcClone(function, stack, flags, argument, parentTid, tls, childTid);
}

#endif

// The C library versions every module binds to, so that one build runs on glibc 2.17 and later
// (manylinux2014). Included ahead of every source of every module by the build.
//
// glibc 2.34 moved libdl and libpthread into libc and gave the moved functions a new default
// version; a link against a newer glibc binds them to it, and an older system refuses to load
// the module. Each function keeps its original version, the same code, so a reference bound to
// that one loads everywhere: on a system before 2.34 from libdl or libpthread, which the build
// links (and the interpreter loads) there. A line here binds nothing in a source that does not
// call the function.
#pragma once

#if defined(__linux__) && defined(__x86_64__)
#include <features.h>
#if defined(__GLIBC__)
#define QUORBEL_GLIBC_2_2_5(name) __asm__(".symver " #name "," #name "@GLIBC_2.2.5");
QUORBEL_GLIBC_2_2_5(dlsym)
QUORBEL_GLIBC_2_2_5(dlopen)
QUORBEL_GLIBC_2_2_5(dlclose)
QUORBEL_GLIBC_2_2_5(dlerror)
QUORBEL_GLIBC_2_2_5(pthread_create)
QUORBEL_GLIBC_2_2_5(pthread_join)
QUORBEL_GLIBC_2_2_5(pthread_detach)
QUORBEL_GLIBC_2_2_5(pthread_once)
QUORBEL_GLIBC_2_2_5(pthread_key_create)
QUORBEL_GLIBC_2_2_5(pthread_key_delete)
QUORBEL_GLIBC_2_2_5(pthread_getspecific)
QUORBEL_GLIBC_2_2_5(pthread_setspecific)
QUORBEL_GLIBC_2_2_5(pthread_mutex_trylock)
QUORBEL_GLIBC_2_2_5(pthread_sigmask) // 2.32
__asm__(".symver pthread_condattr_setclock,pthread_condattr_setclock@GLIBC_2.3.3");
#undef QUORBEL_GLIBC_2_2_5
#endif
#endif

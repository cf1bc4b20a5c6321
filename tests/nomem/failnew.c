/* Makes the module's own C++ allocations fail on request.
 *
 * Preloaded into a sweep child (LD_PRELOAD), this replaces the nothrow forms
 * of operator new and operator new[], which the module calls for coroutine
 * frames, scopes and cache entries; the interpreter's allocator is untouched.
 * The child arms it through ctypes:
 *
 *   failnew_arm(n, stop)   allocations number n..stop-1 fail (stop 0: n onward)
 *   failnew_disarm()       stops failing; returns how many were counted
 */
#include <stddef.h>
#include <stdlib.h>

static long counted = 0, fail_from = 0, fail_to = 0;
static int armed = 0;

void failnew_arm(long n, long stop) {
  counted = 0;
  fail_from = n;
  fail_to = stop;
  armed = 1;
}

long failnew_disarm(void) {
  armed = 0;
  return counted;
}

static void* allocate(size_t n) {
  if (armed) {
    long i = ++counted;
    if (i >= fail_from && (fail_to <= 0 || i < fail_to)) return NULL;
  }
  return malloc(n ? n : 1);
}

/* operator new(std::size_t, const std::nothrow_t&) and the array form. */
void* _ZnwmRKSt9nothrow_t(size_t n, const void* tag) { (void)tag; return allocate(n); }
void* _ZnamRKSt9nothrow_t(size_t n, const void* tag) { (void)tag; return allocate(n); }

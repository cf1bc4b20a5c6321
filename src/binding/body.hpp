// How an operation body is written.
//
// An async operation's body is a C++20 coroutine returning `Body`, running
// over an explicit per-call scope that holds every Python object it needs:
//
//   struct SubmitScope final : binding::ScopeOf<SubmitScope> {
//     Ref self, task, status;
//     auto refs() noexcept { return std::tie(self, task, status); }
//     void bind(const binding::Args& a) noexcept {
//       self = Ref::borrow(a[0]);
//       task = Ref::borrow(a[1]);
//     }
//   };
//   binding::Body submit(SubmitScope& s) noexcept {
//     s.line = lines::kSubmitBroadcast;
//     Ref r = co_await binding::await_(std::move(awaitable));
//     if (!r) co_return binding::error();   // the error leaves the body
//     co_return Ref::none();
//   }
//
// The driver (coroutine.cpp) owns everything Python can observe. The body
// only suspends at an await, resumes with a value or a pending error (a null
// Ref), finishes with a value or an error (a null Ref), and records its line
// in `s.line`. When an error leaves the body the driver adds the traceback
// entry for `s.line` with the operation's plain name.
//
// Every await is its own statement (`Ref r = co_await await_(x);`).
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <tuple>

#include "binding/function.hpp"

namespace binding {

// ---------------------------------------------------------------- scopes

class Scope {
 public:
  const Operation* op = nullptr;  // names and lines for tracebacks
  int line = 0;                   // source line of the step running now

  virtual int traverse(visitproc visit, void* arg) noexcept = 0;
  virtual void clear() noexcept = 0;    // drops every reference it holds
  virtual void recycle() noexcept = 0;  // clears, then returns to its free list

 protected:
  ~Scope() = default;
};

// A scope type with its own free list of up to 8 released records. Derived
// types list their references in `refs()` and fill them in `bind()`.
template <class Derived, int kFreeMax = 8>
class ScopeOf : public Scope {
 public:
  // A cleared scope from the free list, or a new one from the interpreter's
  // allocator (so tracemalloc counts it and the allocation-failure hooks
  // reach it); null with MemoryError.
  static Derived* acquire() noexcept {
    if (kKeepFree && free_count_ > 0) return free_[--free_count_];
    static_assert(alignof(Derived) <= alignof(std::max_align_t));
    void* memory = PyMem_Malloc(sizeof(Derived));
    if (!memory) {
      PyErr_NoMemory();
      return nullptr;
    }
    return new (memory) Derived();
  }

  int traverse(visitproc visit, void* arg) noexcept override {
    int rc = 0;
    std::apply([&](auto&... r) { ((rc = rc ? rc : visit_one(r, visit, arg)), ...); },
               static_cast<Derived*>(this)->refs());
    return rc;
  }
  void clear() noexcept override {
    std::apply([](auto&... r) { (r.reset(), ...); }, static_cast<Derived*>(this)->refs());
  }
  void recycle() noexcept override {
    clear();
    line = 0;
    op = nullptr;
    if (kKeepFree && free_count_ < kFreeMax) {
      free_[free_count_++] = static_cast<Derived*>(this);
    } else {
      Derived* self = static_cast<Derived*>(this);
      self->~Derived();
      PyMem_Free(self);
    }
  }

 private:
#if defined(ZORVIC_FAULT_INJECTION)
  static constexpr bool kKeepFree = false;  // every scope a new allocation, so a sweep can fail it
#else
  static constexpr bool kKeepFree = true;
#endif
  static int visit_one(Ref& r, visitproc visit, void* arg) noexcept {
    return r ? visit(r.get(), arg) : 0;
  }
  static inline Derived* free_[kFreeMax] = {};
  static inline int free_count_ = 0;
};

// ---------------------------------------------------------------- the body

class Body {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  struct promise_type {
    Scope* scope = nullptr;
    Ref sent;  // what an await resumes with (null: an error is pending)
    Ref yielded;  // what a suspension passes out to the driver's caller
    Ref delegate;  // the object the body awaits while suspended, if any
    Ref result;  // the value the body finished with (null: error pending)

    Body get_return_object() noexcept { return Body(Handle::from_promise(*this)); }
    static Body get_return_object_on_allocation_failure() noexcept {
      PyErr_NoMemory();
      return Body();
    }
    static void* operator new(std::size_t n) noexcept;
    static void operator delete(void* p, std::size_t n) noexcept;

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref r) noexcept { result = std::move(r); }
    // Generators only: pass a value out and suspend.
    std::suspend_always yield_value(Ref v) noexcept {
      yielded = std::move(v);
      return {};
    }
    void unhandled_exception() noexcept { std::terminate(); }  // bodies never throw
  };

  Body() noexcept = default;
  Body(Body&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Body& operator=(Body&& o) noexcept {
    if (h_) h_.destroy();
    h_ = std::exchange(o.h_, {});
    return *this;
  }
  ~Body() {
    if (h_) h_.destroy();
  }
  explicit operator bool() const noexcept { return bool(h_); }
  Handle handle() const noexcept { return h_; }
  Handle release() noexcept { return std::exchange(h_, {}); }

 private:
  explicit Body(Handle h) noexcept : h_(h) {}
  Handle h_{};
};

// ---------------------------------------------------------------- awaiting

// Runs the first step of awaiting `awaitable` from the body whose promise is
// given (the "awaiting inside a body" algorithm of coroutine.cpp). Returns
// true when the awaited object yielded: `yielded` and `delegate` are set and
// the body suspends. Returns false when the await finished at once: `sent`
// holds its result, or is null with the error pending.
bool begin_await(Body::promise_type& p, Ref awaitable) noexcept;

struct [[nodiscard]] Await {
  Ref awaitable;
  Body::promise_type* promise = nullptr;

  bool await_ready() const noexcept { return false; }
  bool await_suspend(Body::Handle h) noexcept {
    promise = &h.promise();
    return begin_await(*promise, std::move(awaitable));
  }
  Ref await_resume() noexcept { return std::move(promise->sent); }
};

// `Ref r = co_await await_(obj);` awaits a Python awaitable. A null `obj`
// (an error is pending) resumes at once with that error.
inline Await await_(Ref obj) noexcept { return Await{std::move(obj)}; }

// Finishing with the pending error: `co_return binding::error();`
inline Ref error() noexcept { return Ref(); }

// ---------------------------------------------------------------- handlers

// An exception taken off the thread by a body's handler or final part.
class Caught {
 public:
  Caught() noexcept = default;
  explicit operator bool() const noexcept { return bool(exc_); }
  PyObject* get() const noexcept { return exc_.get(); }
  // True when the caught exception is an instance of `type`.
  bool is(PyObject* type) const noexcept;
  // Puts the exception back as the pending one (for re-raising); returns the
  // null Ref a body finishes with, or a None Ref when nothing was caught.
  Ref reraise() noexcept;
  // Drops it (the handler absorbed it).
  void clear() noexcept { exc_.reset(); }

 private:
  friend Caught catch_here(Scope& s) noexcept;
  friend Caught hold_error() noexcept;
  Ref exc_;
};

// An `except` clause: takes the pending exception and records the entry for
// `s.line` with the module-qualified name on it before the handler runs.
Caught catch_here(Scope& s) noexcept;
// A `finally` part: takes the pending exception without adding an entry.
Caught hold_error() noexcept;

// How many HandlingGuards are alive: while none is, the bodies have left the
// thread's handled exception as they found it (the driver relies on this).
inline int handling_depth = 0;

// While alive, makes `caught` the thread's handled exception, so that
// sys.exc_info() and logger.exception() inside a handler see it.
class HandlingGuard {
 public:
  explicit HandlingGuard(const Caught& caught) noexcept
      : saved_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(caught.get());
    ++handling_depth;
  }
  ~HandlingGuard() {
    --handling_depth;
    PyErr_SetHandledException(saved_.get());
  }
  HandlingGuard(const HandlingGuard&) = delete;
  HandlingGuard& operator=(const HandlingGuard&) = delete;

 private:
  Ref saved_;
};

// ---------------------------------------------------------------- starting

// Creates a coroutine object of the module's coroutine type running `body`
// over `scope` (taken over in every case: recycled on failure).
Ref make_coroutine(const Operation& op, Scope* scope, Body body) noexcept;
// The same for the module's generator type.
Ref make_generator(const Operation& op, Scope* scope, Body body) noexcept;

// The AsyncStart of an operation whose scope type is S and whose body is run:
// the table row says `.start = binding::start<SubmitScope, submit>`.
template <class S, Body (*run)(S&) noexcept>
Ref start(const Operation& op, const Args& args) noexcept {
  S* s = S::acquire();
  if (!s) return {};
  s->op = &op;
  s->line = op.line;
  s->bind(args);
  Body body = run(*s);
  if (!body) {
    s->recycle();
    return {};
  }
  return make_coroutine(op, s, std::move(body));
}

}  // namespace binding

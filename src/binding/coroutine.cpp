// The coroutine, coroutine-wrapper and generator types, and the one driver
// that resumes an operation body.
//
// A coroutine object owns a suspended C++ body (body.hpp) and its scope. One
// engine, send_ex(), resumes it and reports one of three outcomes (yielded,
// returned, error); send(), __next__, the fast send slot, throw() and close()
// are thin adapters over it. Everything Python can observe lives here: the
// running flag, the object being awaited and its cached send entry, the
// handled-exception state, the traceback entry of an escaping error, the
// "never awaited" warning, and dropping every reference when the body ends.
#include "binding/coroutine.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/compiler.hpp"
#include "binding/monitoring.hpp"
#include "binding/stack.hpp"
#include "binding/static_type.hpp"
#include "binding/traceback.hpp"

namespace binding {
namespace {

const Name kSendName{"send"};
const Name kThrowName{"throw"};
const Name kCloseName{"close"};
const Name kAwaitName{"__await__"};
const Name kModuleNameString{kModuleName};
const Name kWarningsName{"warnings"};
const Name kWarnUnawaitedName{"_warn_unawaited_coroutine"};

// Static types (see static_type.hpp): their instances carry a writable
// __module__ of their own, while the types' __module__ stays a string. The
// pointers are set once a type is ready.
PyTypeObject* coroutine_type_ = nullptr;
PyTypeObject* wrapper_type_ = nullptr;
PyTypeObject* generator_type_ = nullptr;

// ================================================================ objects

enum class Stage : unsigned char { created, suspended, finished };

// Everything a coroutine or generator object holds besides its header.
struct CoroState {
  Body::Handle handle{};      // the body's frame; empty once finished
  Scope* scope = nullptr;     // the per-call record; null once finished
  const Operation* op = nullptr;
  Ref delegate;               // what the body awaits while suspended (cr_await)
  sendfunc cached_send = nullptr;  // the delegate type's fast send entry
  Ref handled;                // the exception the body is handling, if any
  // __name__, __qualname__ and __module__ as the host set them; while these
  // are empty an unfinished object reads the operation's own (op->objects),
  // which live as long as the process, and a finished one reads None.
  Ref name, qualname, module;
  Ref frame;                  // cr_frame, made on first access
  // cr_origin: where the coroutine was made, when origin tracking was on
  // then. Kept after the coroutine finishes (the interpreter's own keep
  // theirs), until the object goes.
  Ref origin;
  Stage stage = Stage::created;
  bool running = false;
  bool at_yield = false;      // a generator suspended at co_yield, not an await
  bool is_generator = false;
};

struct CoroObject {
  PyObject ob_base;
  CoroState s;
};

struct WrapperObject {
  PyObject ob_base;
  Ref coro;
};

CoroObject* as_coro(PyObject* o) noexcept { return reinterpret_cast<CoroObject*>(o); }
WrapperObject* as_wrapper(PyObject* o) noexcept { return reinterpret_cast<WrapperObject*>(o); }

bool is_body_object(PyObject* o) noexcept {
  return Py_IS_TYPE(o, coroutine_type_) || Py_IS_TYPE(o, generator_type_);
}

// The object of ours to drive directly when `o` is one (a wrapper stands for
// its coroutine), or null for anything else.
CoroObject* direct_target(PyObject* o) noexcept {
  if (is_body_object(o)) return as_coro(o);
  if (Py_IS_TYPE(o, wrapper_type_)) return as_coro(as_wrapper(o)->coro.get());
  return nullptr;
}

// ================================================================ free lists

#if ZORVIC_ASAN
constexpr int kFreeObjects = 0;  // let the sanitizer see every object
#else
constexpr int kFreeObjects = 16;
#endif

// Memory of released objects of one layout, reused by the next allocation
// before the allocator is asked (a wrapper per `await` from Python, a
// coroutine per call). Only objects that are untracked and were never
// finalized are kept, so a reused one starts exactly like a new one; its
// header is filled again by PyObject_Init. They still pay with the
// interpreter's allocator: some 900 instructions of a worker's 110,000 are
// the allocation and collector bookkeeping they skip.
template <class T>
class FreeObjects {
 public:
  T* take(PyTypeObject* type) noexcept {
    if (count_ == 0) return PyObject_GC_New(T, type);
    PyObject* o = free_[--count_];
    return reinterpret_cast<T*>(PyObject_Init(o, type));
  }
  // Keeps the memory of `o` (its type's reference already dropped) or frees it.
  void give(PyObject* o) noexcept {
    if (count_ < kFreeObjects && !PyObject_GC_IsFinalized(o)) {
      free_[count_++] = o;
    } else {
      PyObject_GC_Del(o);
    }
  }

 private:
  PyObject* free_[kFreeObjects > 0 ? kFreeObjects : 1] = {};
  int count_ = 0;
};

FreeObjects<CoroObject> free_coroutines;
FreeObjects<WrapperObject> free_wrappers;

const char* already_executing(const CoroState& st) noexcept {
  return st.is_generator ? "generator already executing" : "coroutine already executing";
}

// ================================================================ helpers

// Sets the running flag for its lifetime. send(), throw() and close() hold it
// from their first step that can run Python code (a call, an attribute
// lookup, dropping a reference) to their last, so such code that reaches the
// same coroutine is refused with "already executing" and can never finish or
// resume it behind the driver's back.
class Running {
 public:
  explicit Running(CoroState& st) noexcept : st_(st) { st_.running = true; }
  ~Running() { st_.running = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  CoroState& st_;
};

// Installs the body's handled exception as the thread's for its lifetime,
// then stores whatever the body left there and restores the caller's.
//
// The public calls see the topmost handled exception that is not None, so an
// empty slot shows whatever an outer frame is handling. `lower_` is that
// outer value: reading it back after the body means the body left its slot
// empty, and restoring it means the caller's slot was empty too.
//
// The common case costs one read: when nothing is handled anywhere on the
// thread and the body holds nothing either, installing "nothing" changes
// nothing and `lower_` is empty; afterwards only what the body left behind
// has to be taken back, and a body can leave something only from inside a
// handler (a HandlingGuard still alive at its suspension): the host's own
// code restores the state it found.
class HandledSwap {
 public:
  explicit HandledSwap(CoroState& st) noexcept : st_(st), depth_(handling_depth) {
    saved_ = Ref::steal(PyErr_GetHandledException());
    if (!saved_ && !st_.handled) return;
    installed_ = true;
    PyErr_SetHandledException(nullptr);
    lower_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(st_.handled.get());
  }
  ~HandledSwap() {
    if (!installed_ && handling_depth == depth_) return;  // the thread is as it was
    Ref now = Ref::steal(PyErr_GetHandledException());
    if (now.get() == lower_.get()) now.reset();
    if (installed_ || now) {
      PyErr_SetHandledException(saved_.get() == lower_.get() ? nullptr : saved_.get());
    }
    Ref old = std::exchange(st_.handled, std::move(now));
  }
  HandledSwap(const HandledSwap&) = delete;
  HandledSwap& operator=(const HandledSwap&) = delete;

 private:
  CoroState& st_;
  const int depth_;
  Ref saved_, lower_;
  bool installed_ = false;
};

// The value of a finished iteration: the pending StopIteration's value (taken
// off the thread), None when nothing is pending, or null when another error
// is pending.
Ref fetch_stop_value() noexcept {
  if (!PyErr_Occurred()) return Ref::none();
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return {};
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyObject* value = reinterpret_cast<PyStopIterationObject*>(exc.get())->value;
  return Ref::borrow(value ? value : Py_None);
}

// Raises StopIteration carrying a body's return value. Tuples and exceptions
// are wrapped in a StopIteration first: given to PyErr_SetObject as they are,
// a tuple would become the constructor's arguments and an exception would be
// raised itself.
void set_return_value(PyObject* value) noexcept {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
  } else if (PyTuple_Check(value) || PyExceptionInstance_Check(value)) {
    Ref exc = call(PyExc_StopIteration, value);
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
  } else {
    PyErr_SetObject(PyExc_StopIteration, value);
  }
}

// Replaces a pending StopIteration by RuntimeError caused by it.
void replace_stop_iteration() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyException_SetCause(exc.get(), cause.new_ref());
  PyException_SetContext(exc.get(), cause.release());
  PyErr_SetRaisedException(exc.release());
}

// ================================================================ finishing

// Destroys a frame suspended in the middle of the body (only when close could
// not finish it): its locals are released as if the body were running.
void destroy_suspended(CoroState& st, Body::Handle h) noexcept {
  HandledSwap swap(st);
  h.destroy();
}

// Drops everything at once: the frame, the scope (back to its free list) and
// every reference, which then read as None. The state is consistent before
// any reference is released, since releasing one can run Python code.
void finish(CoroObject* c) noexcept {
  CoroState& st = c->s;
  st.stage = Stage::finished;
  st.at_yield = false;
  st.cached_send = nullptr;
  Body::Handle h = std::exchange(st.handle, {});
  Scope* scope = std::exchange(st.scope, nullptr);
  if (h) {
    Body::promise_type& p = h.promise();
    Ref sent = std::move(p.sent), yielded = std::move(p.yielded);
    Ref delegate = std::move(p.delegate), result = std::move(p.result);
    if (h.done()) {
      h.destroy();
    } else {
      destroy_suspended(st, h);
    }
  }
  if (scope) scope->recycle();
  Ref dropped[] = {std::move(st.delegate), std::move(st.handled), std::move(st.name),
                   std::move(st.qualname), std::move(st.module),  std::move(st.frame)};
}

// An error leaves the body at `line`: the coroutine finishes with it
// (reported as PY_UNWIND when `fire`).
PySendResult finish_with_error(CoroObject* c, int line, bool fire) noexcept {
  replace_stop_iteration();
  const Operation& op = *c->s.op;
  add_traceback(op.name, line);
  if (fire) (void)monitoring::fire_unwind(op.monitoring, op.objects.code);
  finish(c);
  return PYGEN_ERROR;
}

// ================================================================ events
//
// Each entry into the driver (send, throw, close) is one monitoring scope of
// the operation (monitoring.hpp), and fires what a Python coroutine or
// generator fires on the same path: PY_START or PY_RESUME when send() enters
// it, PY_THROW when throw() or close() does, then PY_YIELD, PY_RETURN or
// PY_UNWIND as it leaves. A callback's error is raised where the body
// stands, as the interpreter raises it in the frame.

int fire_entry(const CoroState& st, monitoring::Event event) noexcept {
  monitoring::State& m = st.op->monitoring;
  PyObject* code = st.op->objects.code;
  switch (event) {
    case monitoring::start: return monitoring::fire_start(m, code);
    case monitoring::resume: return monitoring::fire_resume(m, code);
    default: return monitoring::fire_throw(m, code);
  }
}

// PY_THROW for a body about to resume with `sent`: the interpreter enters
// the frame with the exception pending, and with StopIteration carrying the
// value when what it awaited has finished. Returns what the body resumes
// with: `sent`, or null with the error pending (the one it had, or a
// callback's).
Ref fire_throw_with(const CoroState& st, Ref sent) noexcept {
  if (sent) set_return_value(sent.get());
  sent.reset();
  if (!PyErr_Occurred()) return {};  // StopIteration could not be made
  if (fire_entry(st, monitoring::throw_) < 0) return {};
  return fetch_stop_value();
}

// ================================================================ the driver

PySendResult send_ex(CoroObject* c, PyObject* arg, PyObject** out) noexcept;
PySendResult suspend_reported(CoroObject* c, Ref yielded, PyObject** out) noexcept;
void drop_delegate(CoroState& st) noexcept;
PySendResult throw_ex(CoroObject* c, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) noexcept;
int close_ex(CoroObject* c) noexcept;

// Runs the body from where it stopped. `sent` is what its await resumes with;
// null means the pending error is raised there. The caller holds the running
// flag, has dropped any delegation and fired the entry's event; `fire` says
// whether the exit's is fired.
PySendResult resume_body(CoroObject* c, Ref sent, PyObject** out, bool fire) noexcept {
  CoroState& st = c->s;
  if (st.stage == Stage::finished) {
    // Unreachable while the running flag is held as described above; kept so
    // that a mistake there is an exception rather than a resumed dead frame.
    PyErr_SetString(PyExc_SystemError, "resuming a finished body");
    return PYGEN_ERROR;
  }
  if (!sent && (st.stage == Stage::created || st.at_yield)) {
    // Nothing can handle an error at the start of a body or at a yield.
    return finish_with_error(c, st.stage == Stage::created ? st.op->line : st.scope->line, fire);
  }
  st.stage = Stage::suspended;
  st.at_yield = false;
  Body::promise_type& p = st.handle.promise();
  p.sent = std::move(sent);
  {
    HandledSwap swap(st);
    st.handle.resume();
  }
  if (st.handle.done()) {
    Ref result = std::move(p.result);
    if (result && fire &&
        monitoring::fire_return(st.op->monitoring, st.op->objects.code, result.get()) < 0) {
      result.reset();
    }
    if (!result) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
      }
      return finish_with_error(c, st.scope->line, fire);
    }
    finish(c);
    *out = result.release();
    return PYGEN_RETURN;
  }
  Ref yielded = std::move(p.yielded);
  st.delegate = std::move(p.delegate);
  st.at_yield = !st.delegate;
  if (st.delegate && !direct_target(st.delegate.get())) {
    PyAsyncMethods* am = Py_TYPE(st.delegate.get())->tp_as_async;
    st.cached_send = am ? am->am_send : nullptr;
  }
  if (!yielded) {
    PyErr_SetString(PyExc_SystemError, "body suspended without a value");
    return PYGEN_ERROR;
  }
  if (fire) return suspend_reported(c, std::move(yielded), out);
  *out = yielded.release();
  return PYGEN_NEXT;
}

// Passes out a value the body or its delegate yielded, after PY_YIELD. When
// a callback raises, the error is raised where the body is suspended, as the
// interpreter raises it at the yield: what was awaited is let go and the body
// resumes with the error.
PySendResult suspend_reported(CoroObject* c, Ref yielded, PyObject** out) noexcept {
  CoroState& st = c->s;
  if (monitoring::fire_yield(st.op->monitoring, st.op->objects.code, yielded.get()) < 0) {
    yielded.reset();
    drop_delegate(st);
    return resume_body(c, Ref(), out, true);
  }
  *out = yielded.release();
  return PYGEN_NEXT;
}

// Drops the delegation (after the awaited object finished or was closed).
void drop_delegate(CoroState& st) noexcept {
  st.cached_send = nullptr;
  Ref dropped = std::move(st.delegate);
}

// Passes `arg` to the awaited object. Returns true when it yielded (`*out`
// holds the value). Otherwise the delegation is dropped and `sent` holds the
// await's result, or is null with the error pending.
bool send_to_delegate(CoroState& st, PyObject* arg, PyObject** out, Ref& sent) noexcept {
  PyObject* d = st.delegate.get();
  if (CoroObject* target = direct_target(d)) {
    PyObject* value = nullptr;
    if (send_ex(target, arg, &value) == PYGEN_NEXT) {
      *out = value;
      return true;
    }
    sent = Ref::steal(value);
  } else if (st.cached_send) {
    PyObject* value = nullptr;
    if (st.cached_send(d, arg, &value) == PYGEN_NEXT) {
      *out = value;
      return true;
    }
    sent = Ref::steal(value);
  } else {
    Ref value = arg == Py_None && PyIter_Check(d) ? Ref::steal(Py_TYPE(d)->tp_iternext(d))
                                                  : call_method(d, kSendName.get(), arg);
    if (value) {
      *out = value.release();
      return true;
    }
    sent = fetch_stop_value();
  }
  drop_delegate(st);
  return false;
}

// Resumption: send(), __next__ and the fast send slot.
PySendResult send_ex(CoroObject* c, PyObject* arg, PyObject** out) noexcept {
  CoroState& st = c->s;
  *out = nullptr;
  if (st.running) {
    PyErr_SetString(PyExc_ValueError, already_executing(st));
    return PYGEN_ERROR;
  }
  if (st.stage == Stage::finished) {
    if (st.is_generator) {
      *out = Py_NewRef(Py_None);
      return PYGEN_RETURN;
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  RecursionLevel level;
  if (!level) return PYGEN_ERROR;
  Running running(st);
  if (st.stage == Stage::created && arg != Py_None) {
    // Refused before the body starts: nothing is reported.
    PyErr_SetString(PyExc_TypeError, st.is_generator
                                         ? "can't send non-None value to a just-started generator"
                                         : "can't send non-None value to a just-started coroutine");
    return finish_with_error(c, st.op->line, false);
  }
  const bool fire = monitoring::enter(st.op->monitoring, level.thread());
  if (fire &&
      fire_entry(st, st.stage == Stage::created ? monitoring::start : monitoring::resume) < 0) {
    drop_delegate(st);
    return resume_body(c, Ref(), out, true);
  }
  Ref sent;
  if (st.delegate) {
    if (send_to_delegate(st, arg, out, sent)) {
      return fire ? suspend_reported(c, Ref::steal(std::exchange(*out, nullptr)), out) : PYGEN_NEXT;
    }
  } else {
    sent = Ref::borrow(arg);
  }
  return resume_body(c, std::move(sent), out, fire);
}

// Builds the exception that throw(typ[, val[, tb]]) raises.
Ref build_exception(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
    return {};
  }
  if (val == Py_None) val = nullptr;
  Ref exc;
  if (PyExceptionClass_Check(typ)) {
    if (val && PyExceptionInstance_Check(val) &&
        PyType_IsSubtype(Py_TYPE(val), reinterpret_cast<PyTypeObject*>(typ))) {
      exc = Ref::borrow(val);
    } else if (!val) {
      exc = call(typ);
    } else if (PyTuple_Check(val)) {
      exc = Ref::steal(PyObject_Call(typ, val, nullptr));
    } else {
      exc = call(typ, val);
    }
    if (!exc) return {};
    if (!PyExceptionInstance_Check(exc.get())) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %R", typ,
                   Py_TYPE(exc.get()));
      return {};
    }
  } else if (PyExceptionInstance_Check(typ)) {
    if (val) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return {};
    }
    exc = Ref::borrow(typ);
  } else {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return {};
  }
  if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return {};
  return exc;
}

// Closes an awaited object: ours by the rules of close(), anything else by
// its close() method when it has one. Returns -1 with the close error pending.
int close_delegate(PyObject* d) noexcept {
  if (CoroObject* target = direct_target(d)) return close_ex(target);
  PyObject* meth = nullptr;
  if (PyObject_GetOptionalAttr(d, kCloseName.get(), &meth) < 0) {
    PyErr_WriteUnraisable(d);
    return 0;
  }
  if (!meth) return 0;
  Ref close = Ref::steal(meth);
  Ref result = call(close.get());
  return result ? 0 : -1;
}

// Throws into the awaited object with the arguments throw() received: ours
// directly, anything else through its throw() method. Returns false when the
// object has no throw() (the exception is then raised in the body); otherwise
// `result` is the outcome for the caller. The caller holds the running flag,
// so the delegation cannot change under the calls made here. While the
// awaited object keeps running the body is not entered, and nothing is
// reported for it; when it has finished, the body is entered by the throw.
bool throw_into_delegate(CoroObject* c, PyObject* const* args, Py_ssize_t nargs, PyObject** out,
                         PySendResult& result, bool fire) noexcept {
  CoroState& st = c->s;
  PyObject* d = st.delegate.get();
  Ref sent;
  if (CoroObject* target = direct_target(d)) {
    PyObject* value = nullptr;
    PySendResult r = throw_ex(target, args, nargs, &value);
    if (r == PYGEN_NEXT) {
      *out = value;
      result = PYGEN_NEXT;
      return true;
    }
    sent = Ref::steal(value);
  } else {
    PyObject* meth = nullptr;
    int found = PyObject_GetOptionalAttr(d, kThrowName.get(), &meth);
    if (found < 0) {
      result = PYGEN_ERROR;  // propagates at once; the delegation stays
      return true;
    }
    if (found == 0) return false;
    Ref thrower = Ref::steal(meth);
    Ref value = Ref::steal(PyObject_Vectorcall(thrower.get(), args, size_t(nargs), nullptr));
    if (value) {
      *out = value.release();
      result = PYGEN_NEXT;
      return true;
    }
    sent = fetch_stop_value();
  }
  // The awaited object finished: its result or error resumes the body.
  drop_delegate(st);
  if (fire) sent = fire_throw_with(st, std::move(sent));
  result = resume_body(c, std::move(sent), out, fire);
  return true;
}

// Throw: the exception built from the arguments is raised where the
// coroutine is suspended, or thrown into what it awaits.
PySendResult throw_ex(CoroObject* c, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) noexcept {
  CoroState& st = c->s;
  *out = nullptr;
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : nullptr;
  PyObject* tb = nargs > 2 ? args[2] : nullptr;
  if (st.running) {
    PyErr_SetString(PyExc_ValueError, already_executing(st));
    return PYGEN_ERROR;
  }
  RecursionLevel level;
  if (!level) return PYGEN_ERROR;
  Running running(st);
  const bool fire = monitoring::enter(st.op->monitoring, level.thread());
  if (st.delegate) {
    if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
      // Close what is awaited first; an error from that is what the body sees.
      int rc = close_delegate(st.delegate.get());
      drop_delegate(st);
      if (rc < 0) {
        if (fire) (void)fire_entry(st, monitoring::throw_);
        return resume_body(c, Ref(), out, fire);
      }
    } else {
      PySendResult result;
      if (throw_into_delegate(c, args, nargs, out, result, fire)) return result;
    }
  }
  // Bad arguments leave the coroutine as it was, still awaiting.
  Ref exc = build_exception(typ, val, tb);
  if (!exc) return PYGEN_ERROR;
  if (st.delegate) drop_delegate(st);
  if (st.stage == Stage::finished) {
    if (st.is_generator) {
      PyErr_SetRaisedException(exc.release());
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return PYGEN_ERROR;
  }
  PyErr_SetRaisedException(exc.release());
  if (fire) (void)fire_entry(st, monitoring::throw_);
  return resume_body(c, Ref(), out, fire);
}

// Close: GeneratorExit at the suspension point. 0 when the body ended
// properly, -1 with an error pending otherwise.
int close_ex(CoroObject* c) noexcept {
  CoroState& st = c->s;
  if (st.running) {
    PyErr_SetString(PyExc_ValueError, already_executing(st));
    return -1;
  }
  if (st.stage == Stage::finished) return 0;
  if (st.stage == Stage::created) {
    finish(c);
    return 0;
  }
  RecursionLevel level;
  if (!level) return -1;
  Running running(st);
  // The interpreter closes a generator suspended at a yield outside any try
  // block without entering it, and reports nothing; the module's generators
  // are generator expressions, whose yields are all such. Anything else is
  // entered with GeneratorExit (or the error of closing what it awaits), as
  // by throw().
  const bool fire = monitoring::enter(st.op->monitoring, level.thread()) && !st.at_yield;
  int rc = 0;
  if (st.delegate) {
    rc = close_delegate(st.delegate.get());
    drop_delegate(st);
  }
  if (rc == 0) PyErr_SetNone(PyExc_GeneratorExit);
  if (fire) (void)fire_entry(st, monitoring::throw_);
  PyObject* value = nullptr;
  PySendResult r = resume_body(c, Ref(), &value, fire);
  Ref result = Ref::steal(value);
  if (r == PYGEN_ERROR) {
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (r == PYGEN_RETURN && result.get() == Py_None) return 0;
  PyErr_SetString(PyExc_RuntimeError, st.is_generator ? "generator ignored GeneratorExit"
                                                      : "coroutine ignored GeneratorExit");
  return -1;
}

// ================================================================ awaited objects

// The error of an await slot or __await__: an Exception becomes the chained
// TypeError; cancellations, interrupts and exits pass unchanged.
void replace_await_error(PyObject* awaited) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s",
               Py_TYPE(awaited)->tp_name);
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyException_SetCause(exc.get(), cause.new_ref());
  PyException_SetContext(exc.get(), cause.release());
  PyErr_SetRaisedException(exc.release());
}

// A host generator marked as an iterable coroutine (types.coroutine).
bool is_iterable_coroutine(PyObject* o) noexcept {
  if (!PyGen_CheckExact(o)) return false;
  Ref code =
      Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
  return reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE;
}

// Turns an awaited object into the iterator to delegate to.
Ref awaitable_iter(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  unaryfunc await_slot = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
  Ref iter;
  if (await_slot) {
    iter = Ref::steal(await_slot(o));
  } else if (is_iterable_coroutine(o)) {
    return Ref::borrow(o);
  } else {
    PyObject* meth = nullptr;
    int found = PyObject_GetOptionalAttr(o, kAwaitName.get(), &meth);
    if (found == 0) {
      PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                   type->tp_name);
      return {};
    }
    if (found > 0) {
      Ref await = Ref::steal(meth);
      iter = call(await.get());
    }
  }
  if (!iter) {
    replace_await_error(o);
    return {};
  }
  if (Py_IS_TYPE(iter.get(), coroutine_type_) || PyCoro_CheckExact(iter.get())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return {};
  }
  if (!PyIter_Check(iter.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                 Py_TYPE(iter.get())->tp_name);
    return {};
  }
  return iter;
}

}  // namespace

// ================================================================ frames

// A body's frame comes from the interpreter's allocator (the GIL is held
// wherever a body starts or ends), so tracemalloc and memory profilers count
// it, the allocation-failure hooks reach it and a finished frame goes back to
// the interpreter's pools. Every frame is a new allocation: keeping released
// frames for reuse saved about 0.1% of a worker's instructions, and would
// hold memory back and show tracemalloc where a recycled frame was first made.
void* Body::promise_type::operator new(std::size_t n) noexcept { return PyMem_Malloc(n); }

void Body::promise_type::operator delete(void* p, std::size_t) noexcept { PyMem_Free(p); }

// ================================================================ awaiting inside a body

bool begin_await(Body::promise_type& p, Ref awaitable) noexcept {
  if (!awaitable) {
    p.sent.reset();
    return false;
  }
  PyObject* o = awaitable.get();
  if (Py_IS_TYPE(o, coroutine_type_)) {
    // One of ours: driven directly, without a wrapper.
    if (as_coro(o)->s.delegate) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      p.sent.reset();
      return false;
    }
    PyObject* value = nullptr;
    if (send_ex(as_coro(o), Py_None, &value) == PYGEN_NEXT) {
      p.yielded = Ref::steal(value);
      p.delegate = std::move(awaitable);
      return true;
    }
    p.sent = Ref::steal(value);
    return false;
  }
  // A native coroutine is delegated to directly, as the interpreter's own
  // await does: no wrapper, and cr_await shows the coroutine itself.
  Ref iter = PyCoro_CheckExact(o) ? std::move(awaitable) : awaitable_iter(o);
  if (!iter) {
    p.sent.reset();
    return false;
  }
  // The first step goes through the fast send entry when the iterator's type
  // has one (native coroutines and generators, asyncio futures): an await
  // that finishes at once then creates no StopIteration.
  PyObject* it = iter.get();
  PyAsyncMethods* am = Py_TYPE(it)->tp_as_async;
  if (am && am->am_send) {
    PyObject* value = nullptr;
    switch (am->am_send(it, Py_None, &value)) {
      case PYGEN_NEXT:
        p.yielded = Ref::steal(value);
        p.delegate = std::move(iter);
        return true;
      case PYGEN_RETURN: p.sent = Ref::steal(value); return false;
      case PYGEN_ERROR: break;
    }
    Py_XDECREF(value);
    p.sent.reset();
    return false;
  }
  Ref value = Ref::steal(Py_TYPE(it)->tp_iternext(it));
  if (value) {
    p.yielded = std::move(value);
    p.delegate = std::move(iter);
    return true;
  }
  p.sent = fetch_stop_value();
  return false;
}

// ================================================================ handlers

bool Caught::is(PyObject* type) const noexcept {
  return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
}

Ref Caught::reraise() noexcept {
  if (!exc_) return Ref::none();
  PyErr_SetRaisedException(exc_.release());
  return {};
}

Caught catch_here(Scope& s) noexcept {
  Caught caught;
  add_traceback(s.op->objects.traceback_name, s.line);
  caught.exc_ = Ref::steal(PyErr_GetRaisedException());
  return caught;
}

Caught hold_error() noexcept {
  Caught caught;
  caught.exc_ = Ref::steal(PyErr_GetRaisedException());
  return caught;
}

namespace {

// ================================================================ slots: coroutine and generator

PyObject* coro_send(PyObject* self, PyObject* arg) noexcept {
  PyObject* value = nullptr;
  PySendResult r = send_ex(as_coro(self), arg, &value);
  if (r == PYGEN_RETURN) {
    set_return_value(value);
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

PyObject* coro_throw(PyObject* self, PyObject* args) noexcept {
  PyObject *typ = nullptr, *val = nullptr, *tb = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
  PyObject* argv[] = {typ, val, tb};
  PyObject* value = nullptr;
  PySendResult r = throw_ex(as_coro(self), argv, PyTuple_GET_SIZE(args), &value);
  if (r == PYGEN_RETURN) {
    set_return_value(value);
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

PyObject* coro_close(PyObject* self, PyObject*) noexcept {
  if (close_ex(as_coro(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

// __next__ of the generator and of the wrapper: exhaustion without a value
// returns null with nothing pending.
PyObject* iternext(CoroObject* c) noexcept {
  PyObject* value = nullptr;
  PySendResult r = send_ex(c, Py_None, &value);
  if (r == PYGEN_RETURN) {
    if (value != Py_None) set_return_value(value);
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

PyObject* gen_iternext(PyObject* self) noexcept { return iternext(as_coro(self)); }

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
  return send_ex(as_coro(self), arg, out);
}

PyObject* coro_await(PyObject* self) noexcept {
  WrapperObject* w = free_wrappers.take(wrapper_type_);
  if (!w) return nullptr;
  new (&w->coro) Ref(Ref::borrow(self));
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject*>(w);
}

const char* short_type_name(PyObject* self) noexcept {
  if (Py_IS_TYPE(self, generator_type_)) return "generator";
  if (Py_IS_TYPE(self, wrapper_type_)) return "coroutine_wrapper";
  return "coroutine";
}

PyObject* refuse_pickle(PyObject* self, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", short_type_name(self));
  return nullptr;
}

// The value a name attribute reads: as set by the host, else the operation's
// own while the object is unfinished, else None.
PyObject* name_value(const CoroState& st, const Ref& set, PyObject* own) noexcept {
  if (set) return set.new_ref();
  return Py_NewRef(st.stage != Stage::finished && own ? own : Py_None);
}

PyObject* get_name(PyObject* self, void*) noexcept {
  const CoroState& st = as_coro(self)->s;
  return name_value(st, st.name, st.op->objects.name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Ref old = std::exchange(as_coro(self)->s.name, Ref::borrow(value));
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
  const CoroState& st = as_coro(self)->s;
  return name_value(st, st.qualname, st.op->objects.qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Ref old = std::exchange(as_coro(self)->s.qualname, Ref::borrow(value));
  return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept {
  const CoroState& st = as_coro(self)->s;
  return name_value(st, st.module, kModuleNameString.get());
}

// Any value; deleting leaves None.
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  Ref old = std::exchange(as_coro(self)->s.module, Ref::borrow(value ? value : Py_None));
  return 0;
}

PyObject* get_await(PyObject* self, void*) noexcept {
  const Ref& delegate = as_coro(self)->s.delegate;
  return delegate ? delegate.new_ref() : Py_NewRef(Py_None);
}

// The operation's code object while unfinished, None afterwards.
PyObject* code_of(const CoroState& st) noexcept {
  return st.stage != Stage::finished ? st.op->objects.code : nullptr;
}

PyObject* get_code(PyObject* self, void*) noexcept {
  PyObject* code = code_of(as_coro(self)->s);
  return Py_NewRef(code ? code : Py_None);
}

// The frame is made on first access from the code object, with an empty
// globals dict, and kept.
PyObject* get_frame(PyObject* self, void*) noexcept {
  CoroState& st = as_coro(self)->s;
  PyObject* code = code_of(st);
  if (!code || !PyCode_Check(code)) Py_RETURN_NONE;
  if (!st.frame) {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return nullptr;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)));
    if (!frame) return nullptr;
    if (!st.frame) st.frame = std::move(frame);
  }
  return st.frame.new_ref();
}

PyObject* get_running(PyObject* self, void*) noexcept {
  return PyBool_FromLong(as_coro(self)->s.running);
}

// True while the object waits at an await (a generator: also at a yield);
// False while it is new, running or finished. inspect.getcoroutinestate and
// getgeneratorstate read it after cr_running/gi_running.
PyObject* get_suspended(PyObject* self, void*) noexcept {
  const CoroState& st = as_coro(self)->s;
  return PyBool_FromLong(st.stage == Stage::suspended && !st.running);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  CoroState& st = as_coro(self)->s;
  if (st.scope) {
    if (int rc = st.scope->traverse(visit, arg)) return rc;
  }
  if (st.handle) {
    Body::promise_type& p = st.handle.promise();
    Py_VISIT(p.sent.get());
    Py_VISIT(p.yielded.get());
    Py_VISIT(p.delegate.get());
    Py_VISIT(p.result.get());
  }
  Py_VISIT(st.delegate.get());
  Py_VISIT(st.handled.get());
  Py_VISIT(st.name.get());
  Py_VISIT(st.qualname.get());
  Py_VISIT(st.module.get());
  Py_VISIT(st.frame.get());
  return 0;
}

int coro_clear(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  if (!c->s.running) finish(c);
  return 0;
}

// The never-awaited warning of a coroutine that knows where it was made
// (cr_origin): issued by the host's warnings._warn_unawaited_coroutine, as
// the interpreter issues its own coroutines', so that the text gains the
// "Coroutine created at (most recent call last)" lines. False when that
// function could not be reached or failed with anything but the warning
// raised as an error (reported as unraisable): the plain warning follows.
ZORVIC_NOINLINE bool warn_with_origin(PyObject* self) noexcept {
  Ref warnings = Ref::steal(PyImport_GetModule(kWarningsName.get()));
  if (!warnings && Py_IsFinalizing()) {
    PyErr_Clear();  // too late to import; sys.modules may be gone
  } else if (!warnings && !PyErr_Occurred()) {
    warnings = Ref::steal(PyImport_Import(kWarningsName.get()));
    if (!warnings && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
  }
  bool warned = false;
  PyObject* fn = nullptr;
  if (warnings && PyObject_GetOptionalAttr(warnings.get(), kWarnUnawaitedName.get(), &fn) > 0) {
    Ref warn = Ref::steal(fn);
    Ref result = call(warn.get(), self);
    warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
  return warned;
}

// Finalization: a finished object needs nothing; a coroutine never started
// warns; anything else unfinished is closed. The pending exception is kept.
void coro_finalize(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  CoroState& st = c->s;
  if (st.stage == Stage::finished) return;
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  if (!st.is_generator && st.stage == Stage::created && !saved) {
    if (st.origin && warn_with_origin(self)) {
      // warned, with the lines of where the coroutine was made
    } else if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                                st.qualname ? st.qualname.get() : st.op->objects.qualname) < 0) {
      PyErr_WriteUnraisable(self);
    }
  } else if (close_ex(c) < 0) {
    PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(saved.release());
}

// The body of coro_dealloc, inside the trashcan.
void coro_destroy(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  PyObject_ClearWeakRefs(self);
  if (c->s.stage != Stage::finished) {  // the finalizer has nothing to do otherwise
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
  }
  finish(c);  // destroys a frame that close could not finish
  c->s.~CoroState();
  free_coroutines.give(self);
}

void coro_dealloc(PyObject* self) noexcept;

// Deallocations put off while the stack or the recursion budget was short.
// Deallocating an unfinished coroutine closes it, which closes what it
// awaits, and destroying its frame drops what the body held: down a long
// chain each of these recurses. The interpreter's trashcan only steps in
// when its own C budget runs low, which the driver no longer spends, so a
// coroutine dropped where its close could not go far is kept here instead
// and deallocated later, where at least half of the stack and of the budget
// are free (at the end of a shallower deallocation). One list for all
// threads: the interpreter lock orders its users.
class DeferredDeallocs {
 public:
  // Takes `o` (untracked, no references left) when its deallocation should
  // wait; false when it can go ahead here.
  bool defer(PyObject* o) noexcept {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (ts->py_recursion_remaining >= levels_needed(ts) &&
        stack_has_room(ts, ZORVIC_STACK_ADDRESS(), kStack)) {
      return false;
    }
    if (count_ == capacity_) {
      std::size_t capacity = capacity_ ? 2 * capacity_ : 64;
      void* grown = PyMem_RawRealloc(items_, capacity * sizeof(PyObject*));
      if (!grown) return false;  // no room to wait: the checks in the driver still hold
      items_ = static_cast<PyObject**>(grown);
      capacity_ = capacity;
    }
    items_[count_++] = o;
    return true;
  }

  // Deallocates what waits, when this is a place for it: well clear of
  // where defer() holds back, so nothing drained here waits again.
  void drain() noexcept {
    if (count_ == 0 || draining_) return;
    PyThreadState* ts = PyThreadState_GetUnchecked();
    const int levels = std::max(levels_needed(ts) + 1, ts->py_recursion_limit / 2);
    draining_ = true;
    while (count_ > 0 && ts->py_recursion_remaining >= levels &&
           stack_has_room(ts, ZORVIC_STACK_ADDRESS(), kStack + kStack / 2) &&
           stack_half_free(ts, ZORVIC_STACK_ADDRESS())) {
      PyObject* o = items_[--count_];
      coro_dealloc(o);
      if (count_ > 0 && items_[count_ - 1] == o) break;  // held back again after all
    }
    draining_ = false;
  }

 private:
  // What a deallocation needs to go ahead: enough levels and stack for the
  // finalizer to close the coroutine and what it awaits at least a little
  // way down (at a very low recursion limit, a quarter of it).
  static constexpr std::size_t kStack = 8 * 1024;
  static int levels_needed(PyThreadState* ts) noexcept {
    return std::min(50, ts->py_recursion_limit / 4);
  }

  PyObject** items_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  bool draining_ = false;
};

DeferredDeallocs deferred_deallocs;

// Dropping a coroutine drops what it awaits, which can be the next coroutine
// of a long chain: an unfinished one waits while the stack is short, and the
// trashcan defers the deep end of a chain of finished ones too.
void coro_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  if (as_coro(self)->s.stage != Stage::finished && deferred_deallocs.defer(self)) return;
  Py_TRASHCAN_BEGIN(self, coro_dealloc)
  coro_destroy(self);
  Py_TRASHCAN_END
  deferred_deallocs.drain();
}

// ================================================================ slots: the wrapper

PyObject* wrapper_send(PyObject* self, PyObject* arg) noexcept {
  return coro_send(as_wrapper(self)->coro.get(), arg);
}

PyObject* wrapper_throw(PyObject* self, PyObject* args) noexcept {
  return coro_throw(as_wrapper(self)->coro.get(), args);
}

PyObject* wrapper_close(PyObject* self, PyObject*) noexcept {
  return coro_close(as_wrapper(self)->coro.get(), nullptr);
}

PyObject* wrapper_iternext(PyObject* self) noexcept {
  return iternext(as_coro(as_wrapper(self)->coro.get()));
}

PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
  return send_ex(as_coro(as_wrapper(self)->coro.get()), arg, out);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_wrapper(self)->coro.get());
  return 0;
}

void wrapper_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  as_wrapper(self)->coro.~Ref();
  free_wrappers.give(self);
}

// ================================================================ types

// The tables name only the fields they set.
ZORVIC_SOME_FIELDS_BEGIN

PyMethodDef coroutine_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", coro_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise "
     "StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The layout cr_origin is read at: a Ref is one object pointer, and a null
// one reads None (the member type the interpreter's own cr_origin has).
static_assert(std::is_standard_layout_v<CoroObject> && sizeof(Ref) == sizeof(PyObject*));

PyMemberDef coroutine_members[] = {
    {"cr_origin", _Py_T_OBJECT, offsetof(CoroObject, s) + offsetof(CoroState, origin), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"cr_await", get_await, nullptr, "object being awaited, or None", nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {
    .am_await = coro_await,  // __await__: a new wrapper
    .am_send = coro_am_send,  // PyIter_Send without StopIteration
};

// clang-format off
PyTypeObject coroutine_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(&PyType_Type, 0)
    .tp_name = "zorvic.core.worker_pool.coroutine",
    .tp_basicsize = sizeof(CoroObject),
    .tp_dealloc = coro_dealloc,               // finalizer first, then drops everything
    .tp_as_async = &coroutine_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
                Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = coro_traverse,             // scope, promise, names, code, frame
    .tp_clear = coro_clear,                   // finishes the coroutine
    .tp_methods = coroutine_methods,          // send, throw, close, pickling refused
    .tp_members = coroutine_members,          // cr_origin
    .tp_getset = coroutine_getset,            // the other cr_* and the names
    .tp_free = PyObject_GC_Del,
    .tp_finalize = coro_finalize,             // never-awaited warning or close
};
// clang-format on

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", wrapper_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise "
     "StopIteration."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_async = {
    .am_send = wrapper_am_send,  // the coroutine's fast send
};

// clang-format off
PyTypeObject wrapper_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(&PyType_Type, 0)
    .tp_name = "zorvic.core.worker_pool.coroutine_wrapper",
    .tp_basicsize = sizeof(WrapperObject),
    .tp_dealloc = wrapper_dealloc,
    .tp_as_async = &wrapper_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = wrapper_traverse,          // its coroutine (whose clear breaks cycles)
    .tp_iter = PyObject_SelfIter,             // an iterator: __iter__ is itself
    .tp_iternext = wrapper_iternext,          // advances the coroutine with None
    .tp_methods = wrapper_methods,            // forwarded to the coroutine
    .tp_free = PyObject_GC_Del,
};
// clang-format on

PyMethodDef generator_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", coro_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise "
     "StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"gi_yieldfrom", get_await, nullptr, "object being iterated by 'yield from', or None", nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__name__", get_name, set_name, "name of the generator", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the generator", nullptr},
    {"gi_frame", get_frame, nullptr, "Frame of the generator", nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods generator_async = {
    .am_send = coro_am_send,  // PyIter_Send without StopIteration
};

// clang-format off
PyTypeObject generator_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(&PyType_Type, 0)
    .tp_name = "zorvic.core.worker_pool.generator",
    .tp_basicsize = sizeof(CoroObject),
    .tp_dealloc = coro_dealloc,
    .tp_as_async = &generator_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
                Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_iter = PyObject_SelfIter,             // an iterator: __iter__ is itself
    .tp_iternext = gen_iternext,              // resumes it with None
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = coro_finalize,             // closes an unfinished generator; never warns
};
// clang-format on

ZORVIC_SOME_FIELDS_END

// What the interpreter records as cr_origin for a coroutine made here: a
// (filename, line, function) entry for each Python frame from the calling one
// outwards, innermost first, at most `depth` of them. Null with an error set.
ZORVIC_NOINLINE Ref compute_origin(int depth) noexcept {
  Ref entries = Ref::steal(PyList_New(0));
  if (!entries) return {};
  PyFrameObject* current = PyEval_GetFrame();
  if (!current && PyErr_Occurred()) return {};
  Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(current));
  for (int i = 0; frame && i < depth; ++i) {
    auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
    auto* co = reinterpret_cast<PyCodeObject*>(code.get());
    Ref entry =
        Ref::steal(Py_BuildValue("OiO", co->co_filename, PyFrame_GetLineNumber(f), co->co_name));
    if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return {};
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    if (!frame && PyErr_Occurred()) return {};
  }
  return Ref::steal(PyList_AsTuple(entries.get()));
}

Ref make_body_object(PyTypeObject* type, bool generator, const Operation& op, Scope* scope,
                     Body body) noexcept {
  if (!body || !type) {
    body = Body();
    scope->recycle();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "coroutine types are not ready");
    return {};
  }
  // Origin tracking (sys.set_coroutine_origin_tracking_depth, on in asyncio's
  // debug mode) is read where sys.get_coroutine_origin_tracking_depth() reads
  // it, the thread state, rather than through the sys module.
  Ref origin;
  if (!generator) {
    if (int depth = PyThreadState_Get()->coroutine_origin_tracking_depth; depth > 0) {
      origin = compute_origin(depth);
      if (!origin) {
        body = Body();
        scope->recycle();
        return {};
      }
    }
  }
  // A coroutine that records its origin is a new allocation: the warning that
  // names where it was made also shows tracemalloc's traceback of the object
  // when tracemalloc runs, which for recycled memory would be another call's.
  CoroObject* c = origin ? PyObject_GC_New(CoroObject, type) : free_coroutines.take(type);
  if (!c) {
    body = Body();
    scope->recycle();
    return {};
  }
  new (&c->s) CoroState();
  CoroState& st = c->s;
  scope->op = &op;
  st.handle = body.release();
  st.handle.promise().scope = scope;
  st.scope = scope;
  st.op = &op;
  st.is_generator = generator;
  st.origin = std::move(origin);
  PyObject_GC_Track(c);
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

PyTypeObject* ready_type(PyTypeObject& type) noexcept {
  return ready_static_type(type) < 0 ? nullptr : &type;
}

}  // namespace

// ================================================================ public entry points

Ref make_coroutine(const Operation& op, Scope* scope, Body body) noexcept {
  return make_body_object(coroutine_type_, false, op, scope, std::move(body));
}

Ref make_generator(const Operation& op, Scope* scope, Body body) noexcept {
  return make_body_object(generator_type_, true, op, scope, std::move(body));
}

int init_coroutine_types() noexcept {
  if (!coroutine_type_) coroutine_type_ = ready_type(coroutine_type_object);
  if (!coroutine_type_) return -1;
  if (!wrapper_type_) wrapper_type_ = ready_type(wrapper_type_object);
  if (!wrapper_type_) return -1;
  if (!generator_type_) generator_type_ = ready_type(generator_type_object);
  if (!generator_type_) return -1;
  return 0;
}

PyTypeObject* coroutine_type() noexcept { return coroutine_type_; }
PyTypeObject* coroutine_wrapper_type() noexcept { return wrapper_type_; }
PyTypeObject* generator_type() noexcept { return generator_type_; }

}  // namespace binding

// Small helpers shared by the WorkerPool bodies: module globals looked up at
// each use, the logger, the status broadcast test and message building.
// Everything here is inline; the header has no .cpp of its own.
#pragma once

#include <exception>  // std::terminate, used by body.hpp
#include <initializer_list>

#include "binding/body.hpp"
#include "worker_pool/names.hpp"

namespace worker_pool::common {

using binding::Ref;

inline const binding::Name kLogger{"logger"};
inline const binding::Name kTime{"time"};
inline const binding::Name kOnStatusChange{"_on_status_change"};

// A module global (`asyncio`, `time`, `logger`, `WorkerState`, ...), looked up
// afresh in the module namespace, then the builtins.
inline Ref global(PyObject* name) noexcept { return binding::lookup_global(name); }

// `name.attr` with both looked up afresh: `WorkerState.RUNNING`,
// `asyncio.CancelledError`.
inline Ref global_attr(PyObject* name, PyObject* attr) noexcept {
  Ref module = global(name);
  if (!module) return {};
  return binding::getattr(module.get(), attr);
}

// `time.time()`: a wall-clock reading.
inline Ref wall_clock() noexcept {
  Ref clock = global_attr(kTime, kTime);
  if (!clock) return {};
  return binding::call(clock.get());
}

// The bound logger method `logger.<level>` ("info", "error", "exception").
// Looked up before the message is built, as `logger.info(f"...")` does.
inline Ref logger_method(PyObject* level) noexcept { return global_attr(kLogger, level); }

// Calls a logger method with one preformatted message; -1 on error.
inline int log(const Ref& method, const Ref& message) noexcept {
  Ref r = binding::call(method.get(), message.get());
  return r ? 0 : -1;
}

// Every broadcast first reads `self._on_status_change` afresh and tests it.
// 1 with `callback` holding it when it is true, 0 when false, -1 on error.
inline int status_callback(PyObject* self, Ref& callback) noexcept {
  callback = binding::getattr(self, kOnStatusChange);
  if (!callback) return -1;
  int set = PyObject_IsTrue(callback.get());
  if (set <= 0) callback.reset();
  return set;
}

// The parts run together, each formatted as by str(): a log message or an
// f-string. Null with an error set when a part is null or str() fails.
inline Ref text(std::initializer_list<PyObject*> parts) noexcept {
  Ref pieces = Ref::steal(PyTuple_New(Py_ssize_t(parts.size())));
  if (!pieces) return {};
  Py_ssize_t i = 0;
  for (PyObject* part : parts) {
    if (!part) return {};
    PyObject* piece = PyUnicode_CheckExact(part) ? Py_NewRef(part) : PyObject_Str(part);
    if (!piece) return {};
    PyTuple_SET_ITEM(pieces.get(), i++, piece);
  }
  return Ref::steal(PyUnicode_Join(state().empty_str.get(), pieces.get()));
}

// `obj.<counter> += 1`.
inline int add_one(PyObject* obj, PyObject* counter) noexcept {
  Ref value = binding::getattr(obj, counter);
  if (!value) return -1;
  Ref sum = Ref::steal(PyNumber_InPlaceAdd(value.get(), state().int_1.get()));
  if (!sum) return -1;
  return binding::setattr(obj, counter, sum.get());
}

}  // namespace worker_pool::common

// Small helpers shared by the WorkerPool bodies: module globals looked up at
// each use, the logger, the status broadcast test and message building.
// Everything here is inline; the header has no .cpp of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "binding/body.hpp"
#include "worker_pool/names.hpp"

namespace worker_pool::common {

using binding::Ref;

inline const binding::Name kLogger{"logger"};
inline const binding::Name kTime{"time"};
inline const binding::Name kOnStatusChange{"_on_status_change"};
inline const binding::Name kWorkerState{"WorkerState"};

// A module global (`asyncio`, `time`, `logger`, `WorkerState`, ...), looked up
// afresh in the module namespace, then the builtins.
inline Ref global(PyObject* name) noexcept { return binding::lookup_global(name); }

// `name.attr` with both looked up afresh: `WorkerState.RUNNING`,
// `asyncio.CancelledError`.
inline Ref global_attr(PyObject* name, PyObject* attr) noexcept {
  return binding::lookup_global_attr(name, attr);
}

// `value == WorkerState.<member>`: the generic == and the truth of its
// result, with WorkerState looked up now. 1, 0, or -1 with an error set.
inline int is_state(PyObject* value, PyObject* member) noexcept {
  Ref wanted = global_attr(kWorkerState, member);
  if (!wanted) return -1;
  Ref equal = Ref::steal(PyObject_RichCompare(value, wanted.get(), Py_EQ));
  if (!equal) return -1;
  return PyObject_IsTrue(equal.get());
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
  constexpr std::size_t kMaxParts = 8;
  if (parts.size() > kMaxParts) {
    PyErr_SetString(PyExc_SystemError, "too many parts for one text");
    return {};
  }
  Ref pieces[kMaxParts];
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  std::size_t n = 0;
  for (PyObject* part : parts) {
    if (!part) return {};
    Ref piece = PyUnicode_CheckExact(part) ? Ref::borrow(part) : Ref::steal(PyObject_Str(part));
    if (!piece) return {};
    length += PyUnicode_GET_LENGTH(piece.get());
    widest = std::max<Py_UCS4>(widest, PyUnicode_MAX_CHAR_VALUE(piece.get()));
    pieces[n++] = std::move(piece);
  }
  if (n == 2) return Ref::steal(PyUnicode_Concat(pieces[0].get(), pieces[1].get()));
  Ref out = Ref::steal(PyUnicode_New(length, widest));
  if (!out) return {};
  // The new string is filled in place: a piece of the same width by copying
  // its bytes, any other through the converting copy.
  const int kind = PyUnicode_KIND(out.get());
  char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* piece = pieces[i].get();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
    if (PyUnicode_KIND(piece) == kind) {
      std::memcpy(data + at * kind, PyUnicode_DATA(piece), static_cast<std::size_t>(len) * kind);
    } else if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, len) < 0) {
      return {};
    }
    at += len;
  }
  return out;
}

// The keyword names of a call (`WorkerStatus(task_id=..., state=..., name=...)`)
// as the tuple vectorcall wants, made on first use and kept for the life of
// the process, so that a call does not build it each time. Declare at
// namespace scope: `common::Keywords kRecordKeywords{kTaskIdKeyword, kStateKeyword};`
// then pass `kRecordKeywords.get()` (null with an error set if it cannot be made).
class Keywords {
 public:
  template <class... N>
  explicit Keywords(const N&... names) noexcept : names_{&names...}, count_(sizeof...(N)) {
    static_assert(sizeof...(N) <= kMax, "too many keywords");
  }
  PyObject* get() noexcept {
    if (!tuple_) {
      PyObject* t = PyTuple_New(count_);
      if (!t) return nullptr;
      for (Py_ssize_t i = 0; i < count_; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(names_[i]->get()));
      tuple_ = t;  // never released: static storage outlives the interpreter
    }
    return tuple_;
  }

 private:
  static constexpr std::size_t kMax = 4;
  const binding::Name* names_[kMax];
  Py_ssize_t count_;
  PyObject* tuple_ = nullptr;
};

// `obj.<counter> += 1`.
inline int add_one(PyObject* obj, PyObject* counter) noexcept {
  Ref value = binding::getattr(obj, counter);
  if (!value) return -1;
  Ref sum = Ref::steal(PyNumber_InPlaceAdd(value.get(), state().int_1.get()));
  if (!sum) return -1;
  return binding::setattr(obj, counter, sum.get());
}

}  // namespace worker_pool::common

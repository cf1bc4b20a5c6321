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

// A module global (`asyncio`, `time`, `logger`, `WorkerState`, ...), looked up
// afresh in the module namespace, then the builtins.
inline Ref global(PyObject* name) noexcept { return binding::lookup_global(name); }

// `name.attr` with both looked up afresh: `WorkerState.RUNNING`,
// `asyncio.CancelledError`.
inline Ref global_attr(PyObject* name, PyObject* attr) noexcept {
  return binding::lookup_global_attr(name, attr);
}

// `name.attr` remembered at the caller's own site (see binding::GlobalAttrSite).
inline Ref global_attr(binding::GlobalAttrSite& site, PyObject* name, PyObject* attr) noexcept {
  return binding::lookup_global_attr(site, name, attr);
}

// `WorkerState.<member>`, each member remembered at a site of its own.
inline Ref state_member(PyObject* member) noexcept {
  constexpr int kSites = 8;  // the six members, and room to spare
  static binding::GlobalAttrSite sites[kSites];
  static PyObject* members[kSites] = {};  // interned names, compared by identity
  for (int i = 0; i < kSites; ++i) {
    if (!members[i]) members[i] = member;
    if (members[i] == member) return global_attr(sites[i], kWorkerState, member);
  }
  return global_attr(kWorkerState, member);
}

// `value == WorkerState.<member>`: the generic == and the truth of its
// result, with WorkerState looked up now. 1, 0, or -1 with an error set.
// Two objects of one type that compares as str does (the members of the
// module's WorkerState: str.__eq__ runs no Python code) are compared here.
inline int is_state(PyObject* value, PyObject* member) noexcept {
  Ref wanted = state_member(member);
  if (!wanted) return -1;
  if (Py_TYPE(value) == Py_TYPE(wanted.get()) &&
      Py_TYPE(value)->tp_richcompare == PyUnicode_Type.tp_richcompare) {
    return value == wanted.get() || PyUnicode_Compare(value, wanted.get()) == 0;
  }
  Ref equal = Ref::steal(PyObject_RichCompare(value, wanted.get(), Py_EQ));
  if (!equal) return -1;
  return PyObject_IsTrue(equal.get());
}

// `time.time()`: a wall-clock reading.
inline Ref wall_clock() noexcept {
  static binding::GlobalAttrSite site;
  Ref clock = global_attr(site, kTime, kTime);
  if (!clock) return {};
  return binding::call(clock.get());
}

// The bound logger method `logger.<level>` ("info", "error", "exception").
// Looked up before the message is built, as `logger.info(f"...")` does.
inline Ref logger_method(PyObject* level) noexcept { return global_attr(kLogger, level); }
inline Ref logger_method(binding::GlobalAttrSite& site, PyObject* level) noexcept {
  return global_attr(site, kLogger, level);
}

// Calls a logger method with one preformatted message; -1 on error.
inline int log(const Ref& method, const Ref& message) noexcept {
  Ref r = binding::call(method.get(), message.get());
  return r ? 0 : -1;
}

// Every broadcast first reads `self._on_status_change` afresh and tests it.
// 1 with `callback` holding it when it is true, 0 when false, -1 on error.
inline int status_callback(PyObject* self, Ref& callback) noexcept {
  callback = binding::get_field(self, kPoolOnStatusChange);
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
// namespace scope: `common::Keywords kRecordKeywords{kTaskId, kState};`
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

// ---- the pool's tables (_active, _tasks, _all_tasks)
//
// An exact dict is read and written through the dict API: its methods cannot
// be replaced, the API runs the same lookup (and the same __hash__ and __eq__
// of the key), and a method called from C raises no profiler event, so no
// observer tells the two apart. A dict subclass, or any other mapping, has its
// methods looked up and called as written.

inline const binding::Name kPop{"pop"};

// `table.get(key)`.
inline Ref table_get(PyObject* table, PyObject* key) noexcept {
  if (PyDict_CheckExact(table)) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(table, key, &found) < 0) return {};
    return found ? Ref::steal(found) : Ref::none();
  }
  return binding::call_method(table, kGet, key);
}

// `table.pop(key)`: KeyError(key) when it is missing, as dict.pop raises it.
inline Ref table_pop(PyObject* table, PyObject* key) noexcept {
  if (PyDict_CheckExact(table)) {
    PyObject* found = nullptr;
    int rc = PyDict_Pop(table, key, &found);
    if (rc > 0) return Ref::steal(found);
    if (rc == 0) {
      Ref args = Ref::steal(PyTuple_Pack(1, key));
      if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    }
    return {};
  }
  return binding::call_method(table, kPop, key);
}

// `table.pop(key, None)`.
inline Ref table_pop_or_none(PyObject* table, PyObject* key) noexcept {
  if (PyDict_CheckExact(table)) {
    PyObject* found = nullptr;
    int rc = PyDict_Pop(table, key, &found);
    if (rc < 0) return {};
    return rc > 0 ? Ref::steal(found) : Ref::none();
  }
  return binding::call_method(table, kPop, key, Py_None);
}

// `key in table`: 1, 0, or -1 with an error set.
inline int table_contains(PyObject* table, PyObject* key) noexcept {
  if (PyDict_CheckExact(table)) return PyDict_Contains(table, key);
  return PySequence_Contains(table, key);
}

// `table[key] = value`: 0, or -1 with an error set.
inline int table_store(PyObject* table, PyObject* key, PyObject* value) noexcept {
  if (PyDict_CheckExact(table)) return PyDict_SetItem(table, key, value);
  return PyObject_SetItem(table, key, value);
}

// `self.<counter> += 1`.
inline int add_one(PyObject* self, const binding::Field& counter) noexcept {
  Ref value = binding::get_field(self, counter);
  if (!value) return -1;
  Ref sum = Ref::steal(PyNumber_InPlaceAdd(value.get(), state().int_1.get()));
  if (!sum) return -1;
  return binding::set_field(self, counter, sum.get());
}

}  // namespace worker_pool::common

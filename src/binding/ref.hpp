// Owning references and the one error convention of this extension.
//
// A null Ref means a Python error is pending. Functions return a Ref (null on
// error) or an int (-1 on error); no C++ exception is ever thrown.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace binding {

class [[nodiscard]] Ref {
 public:
  constexpr Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }
  static Ref boolean(bool b) noexcept { return Ref(Py_NewRef(b ? Py_True : Py_False)); }

  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new strong reference to the same object (for returning to Python).
  PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
  Ref copy() const noexcept { return borrow(p_); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// An interned module string, created with the other constants when the module
// executes (see intern_all) and kept for the life of the process. Declare them
// at namespace scope: `const binding::Name kActive{"_active"};`
class Name {
 public:
  explicit Name(const char* text) noexcept;
  PyObject* get() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }
  operator PyObject*() const noexcept { return obj_; }

 private:
  friend int intern_all() noexcept;
  const char* text_;
  mutable PyObject* obj_ = nullptr;
  Name* next_;
};

// Interns every Name declared anywhere in the module and computes its hash.
// Returns -1 with an error set on failure.
int intern_all() noexcept;

// Adds the object and the name to a pending AttributeError that carries
// neither, as the interpreter's own attribute lookup does (they feed the
// "Did you mean" hint of the printed error).
void attribute_error_context(PyObject* o, PyObject* name) noexcept;

// Small conveniences over the C API that return Refs.
//
// `o.name` and `o.name = v`. For the generic lookup of ordinary instances the
// type's slot is called directly with the exact str name: that is what
// PyObject_GetAttr and PyObject_SetAttr end up calling, without their steps
// that only matter for other names (a type check, interning a name the module
// interned already), and with the same context on an AttributeError.
inline Ref getattr(PyObject* o, PyObject* name) noexcept {
  if (Py_TYPE(o)->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
    PyObject* r = PyObject_GenericGetAttr(o, name);
    if (!r) attribute_error_context(o, name);
    return Ref::steal(r);
  }
  return Ref::steal(PyObject_GetAttr(o, name));
}
inline int setattr(PyObject* o, PyObject* name, PyObject* v) noexcept {
  if (Py_TYPE(o)->tp_setattro == PyObject_GenericSetAttr && PyUnicode_CheckExact(name) &&
      PyUnicode_CHECK_INTERNED(name)) {
    return PyObject_GenericSetAttr(o, name, v);
  }
  return PyObject_SetAttr(o, name, v);
}
// Calls a method with positional arguments only.
template <class... A>
Ref call_method(PyObject* o, PyObject* name, A... args) noexcept {
  PyObject* argv[] = {o, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
Ref call(PyObject* f, A... args) noexcept {
  if constexpr (sizeof...(A) == 0) {
    return Ref::steal(PyObject_CallNoArgs(f));
  } else {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
}

}  // namespace binding

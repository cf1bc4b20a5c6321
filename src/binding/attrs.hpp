// Attribute reads, writes and method calls on ordinary instances that take
// the short way when nothing in the type can tell it from the long one.
//
// Both shortcuts rest on what the generic attribute lookup does: an instance
// of a class whose attribute access is the generic one (tp_getattro and
// tp_setattro untouched) finds `o.name` in its type's MRO first (a data
// descriptor wins there), then in its own dict, then in the MRO again. When
// the type's version tag says that no class of the MRO has the name, the
// instance dict is all there is; when the MRO holds a plain method descriptor
// that the instance dict does not shadow, `o.name(...)` is that function
// called with `o` in front, which is what the bound method would do.
#pragma once

#include "binding/ref.hpp"

namespace binding {

// An attribute that lives in the instance dicts of one kind of object (the
// pool's fields). It remembers the version tag of the last type found to
// qualify (generic attribute access both ways, a managed dict, the name in no
// class of its MRO); while a type carries that tag, nothing can have changed
// in any of its classes since (setting a class attribute, adding a property
// or an attribute hook, a subclass's own definitions all give the class a
// new tag).
class Field : public Name {
 public:
  explicit Field(const char* text) noexcept : Name(text) {}

 private:
  friend Ref get_field(PyObject* o, const Field& field) noexcept;
  friend int set_field(PyObject* o, const Field& field, PyObject* value) noexcept;
  mutable unsigned int absent_under_ = 0;  // 0: no type remembered
};

// `o.field`, from the instance dict when the type qualifies (see above), else
// through the generic lookup. The instance's dict is made if it has none yet,
// as reading `o.__dict__` would make it.
Ref get_field(PyObject* o, const Field& field) noexcept;

// `o.field = value` (value not null), into the instance dict on the same
// condition.
int set_field(PyObject* o, const Field& field, PyObject* value) noexcept;

// `o.name`, looked up to be called at once. When the type's attribute is a
// function or a method descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR) that the
// instance dict does not shadow, `function` holds it unbound and `self` holds
// `o`; otherwise `function` holds the attribute as the generic lookup gives it
// and `self` is null.
struct Method {
  Ref function;
  Ref self;
};

// 1 with `out` filled, -1 with an error set (AttributeError when missing).
int lookup_method(PyObject* o, PyObject* name, Method& out) noexcept;
// The same, but a missing attribute is 0 with no error (getattr with a default).
int lookup_optional_method(PyObject* o, PyObject* name, Method& out) noexcept;

// Calls what lookup_method found with positional arguments.
template <class... A>
Ref call(const Method& m, A... args) noexcept {
  PyObject* argv[] = {nullptr, m.self.get(), args...};
  if (m.self) {
    return Ref::steal(PyObject_Vectorcall(
        m.function.get(), argv + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  return Ref::steal(PyObject_Vectorcall(m.function.get(), argv + 2,
                                        sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace binding

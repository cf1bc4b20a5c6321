// Attribute reads, writes and method calls on ordinary instances: the short
// ways of attrs.hpp, each taken only when the generic lookup would end in the
// same place.
#include "binding/attrs.hpp"

#include "binding/compiler.hpp"

namespace binding {
namespace {

// True when `type` qualifies for `field`: its attribute access is the generic
// one both ways, its instances have a managed dict, and no class of its MRO
// has the name. Decided under the type's version tag, which the field then
// remembers: setting __getattribute__, __setattr__ or any class attribute
// gives the type a new one. A type that cannot be given a tag never qualifies.
ZORVIC_NOINLINE bool qualifies(PyTypeObject* type, const Field& field,
                               unsigned int& remembered) noexcept {
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
    return false;
  }
  if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return false;
  const unsigned int tag = type->tp_version_tag;
  if (_PyType_Lookup(type, field.get())) return false;
  if (type->tp_version_tag != tag) return false;  // the lookup itself changed the type
  remembered = tag;
  return true;
}

bool in_dict_alone(PyTypeObject* type, const Field& field, unsigned int& remembered) noexcept {
  const unsigned int tag = type->tp_version_tag;
  return (tag != 0 && tag == remembered) || qualifies(type, field, remembered);
}

// The instance dict of `o`, whose type has a managed dict (borrowed), made if
// the object has none yet; null without an error when it cannot be had.
PyObject* instance_dict(PyObject* o) noexcept {
  PyObject** slot = _PyObject_GetDictPtr(o);  // makes the dict; a failure to is cleared
  if (!slot || !*slot || !PyDict_CheckExact(*slot)) return nullptr;
  return *slot;
}

// The AttributeError of the generic lookup, with its name and object.
void no_attribute(PyObject* o, PyObject* name) noexcept {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(o)->tp_name,
               name);
  attribute_error_context(o, name);
}

int method(PyObject* o, PyObject* name, Method& out, bool optional) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
    PyObject* found = _PyType_Lookup(type, name);
    if (found && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
        !Py_TYPE(found)->tp_descr_set) {
      // A non-data descriptor: the instance dict comes first, then it.
      Ref function = Ref::borrow(found);
      PyObject** slot = _PyObject_GetDictPtr(o);
      const bool managed = type->tp_flags & Py_TPFLAGS_MANAGED_DICT;
      if (slot || !managed) {
        Ref dict = Ref::borrow(slot ? *slot : nullptr);
        PyObject* shadow = nullptr;
        if (dict && PyDict_GetItemRef(dict.get(), name, &shadow) < 0) return -1;
        if (shadow) {
          out.function = Ref::steal(shadow);
          out.self.reset();
        } else {
          out.function = std::move(function);
          out.self = Ref::borrow(o);
        }
        return 1;
      }
    }
  }
  out.self.reset();
  if (optional) {
    PyObject* found = nullptr;
    int rc = PyObject_GetOptionalAttr(o, name, &found);
    out.function = Ref::steal(found);
    return rc;
  }
  out.function = getattr(o, name);
  return out.function ? 1 : -1;
}

}  // namespace

Ref get_field(PyObject* o, const Field& field) noexcept {
  if (in_dict_alone(Py_TYPE(o), field, field.absent_under_)) {
    if (PyObject* dict = instance_dict(o)) {
      PyObject* value = nullptr;
      if (PyDict_GetItemRef(dict, field.get(), &value) < 0) return {};
      if (!value) no_attribute(o, field.get());
      return Ref::steal(value);
    }
  }
  return getattr(o, field.get());
}

int set_field(PyObject* o, const Field& field, PyObject* value) noexcept {
  if (in_dict_alone(Py_TYPE(o), field, field.absent_under_)) {
    if (PyObject* dict = instance_dict(o)) return PyDict_SetItem(dict, field.get(), value);
  }
  return setattr(o, field.get(), value);
}

int lookup_method(PyObject* o, PyObject* name, Method& out) noexcept {
  return method(o, name, out, false);
}

int lookup_optional_method(PyObject* o, PyObject* name, Method& out) noexcept {
  return method(o, name, out, true);
}

}  // namespace binding

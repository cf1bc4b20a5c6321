#include "binding/static_type.hpp"

#include <cstring>

namespace binding {
namespace {

// Like a type made from a spec, instances without a __module__ of their own
// read the type's from its dict: the part of the name before its last dot.
int add_module_entry(PyTypeObject& type) noexcept {
  const char* dot = std::strrchr(type.tp_name, '.');
  if (!dot) return 0;
  Ref key = Ref::steal(PyUnicode_InternFromString("__module__"));
  if (!key) return -1;
  int has = PyDict_Contains(type.tp_dict, key.get());
  if (has != 0) return has < 0 ? -1 : 0;
  Ref module = Ref::steal(PyUnicode_FromStringAndSize(type.tp_name, dot - type.tp_name));
  if (!module || PyDict_SetItem(type.tp_dict, key.get(), module.get()) < 0) return -1;
  PyType_Modified(&type);
  return 0;
}

}  // namespace

int ready_static_type(PyTypeObject& type) noexcept {
  // Readied by an earlier attempt, which may have failed just after.
  if (type.tp_flags & Py_TPFLAGS_READY) return add_module_entry(type);
  if (PyType_Ready(&type) < 0) {
    // A later attempt (the module executed again) readies the type from
    // scratch. What this one made is left behind, not released: an
    // allocation failure inside the interpreter's dict operations can leave
    // the half-built dict inconsistent, and releasing it could crash.
    type.tp_dict = nullptr;
    type.tp_mro = nullptr;
    type.tp_flags &= ~static_cast<unsigned long>(Py_TPFLAGS_READYING);
    return -1;
  }
  return add_module_entry(type);
}

}  // namespace binding

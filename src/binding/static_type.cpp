#include "binding/static_type.hpp"

#include <cstddef>
#include <cstring>

namespace binding {
namespace {

// The special members of a spec set one of `type`'s offsets; true for those.
bool take_offset(PyTypeObject& type, const PyMemberDef& m) noexcept {
  if (std::strcmp(m.name, "__dictoffset__") == 0) {
    type.tp_dictoffset = m.offset;
  } else if (std::strcmp(m.name, "__weaklistoffset__") == 0) {
    type.tp_weaklistoffset = m.offset;
  } else if (std::strcmp(m.name, "__vectorcalloffset__") == 0) {
    type.tp_vectorcall_offset = m.offset;
  } else {
    return false;
  }
  return true;
}

// The members of a spec without the special ones. The copy lives as long as
// the type (the process).
int take_members(PyTypeObject& type, const PyMemberDef* members) noexcept {
  std::size_t all = 0;
  while (members[all].name) ++all;
  auto* kept = static_cast<PyMemberDef*>(PyMem_RawCalloc(all + 1, sizeof(PyMemberDef)));
  if (!kept) {
    PyErr_NoMemory();
    return -1;
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i < all; ++i) {
    if (!take_offset(type, members[i])) kept[n++] = members[i];
  }
  type.tp_members = kept;
  return 0;
}

// Like a type made from a spec, instances without a __module__ of their own
// read the type's from its dict: the part of the name before its last dot.
int add_module_entry(PyTypeObject& type, const char* name) noexcept {
  const char* dot = std::strrchr(name, '.');
  if (!dot) return 0;
  Ref key = Ref::steal(PyUnicode_InternFromString("__module__"));
  if (!key) return -1;
  int has = PyDict_Contains(type.tp_dict, key.get());
  if (has != 0) return has < 0 ? -1 : 0;
  Ref module = Ref::steal(PyUnicode_FromStringAndSize(name, dot - name));
  if (!module || PyDict_SetItem(type.tp_dict, key.get(), module.get()) < 0) return -1;
  PyType_Modified(&type);
  return 0;
}

}  // namespace

int ready_static_type(PyTypeObject& type, PyAsyncMethods& async, const PyType_Spec& spec) noexcept {
  // Readied by an earlier attempt, which may have failed just after.
  if (type.tp_flags & Py_TPFLAGS_READY) return add_module_entry(type, spec.name);
  Py_SET_TYPE(&type, &PyType_Type);
  Py_SET_REFCNT(&type, 1);
  type.tp_name = spec.name;
  type.tp_basicsize = spec.basicsize;
  type.tp_itemsize = spec.itemsize;
  type.tp_flags = spec.flags & ~static_cast<unsigned long>(Py_TPFLAGS_HEAPTYPE);
  bool has_async = false;
  for (const PyType_Slot* s = spec.slots; s->slot; ++s) {
    void* p = s->pfunc;
    switch (s->slot) {
      case Py_tp_dealloc: type.tp_dealloc = reinterpret_cast<destructor>(p); break;
      case Py_tp_repr: type.tp_repr = reinterpret_cast<reprfunc>(p); break;
      case Py_tp_call: type.tp_call = reinterpret_cast<ternaryfunc>(p); break;
      case Py_tp_traverse: type.tp_traverse = reinterpret_cast<traverseproc>(p); break;
      case Py_tp_clear: type.tp_clear = reinterpret_cast<inquiry>(p); break;
      case Py_tp_finalize: type.tp_finalize = reinterpret_cast<destructor>(p); break;
      case Py_tp_descr_get: type.tp_descr_get = reinterpret_cast<descrgetfunc>(p); break;
      case Py_tp_iter: type.tp_iter = reinterpret_cast<getiterfunc>(p); break;
      case Py_tp_iternext: type.tp_iternext = reinterpret_cast<iternextfunc>(p); break;
      case Py_tp_methods: type.tp_methods = static_cast<PyMethodDef*>(p); break;
      case Py_tp_getset: type.tp_getset = static_cast<PyGetSetDef*>(p); break;
      case Py_tp_free: type.tp_free = reinterpret_cast<freefunc>(p); break;
      case Py_tp_doc: type.tp_doc = static_cast<const char*>(p); break;
      case Py_tp_members:
        if (!type.tp_members && take_members(type, static_cast<PyMemberDef*>(p)) < 0) return -1;
        break;
      case Py_am_await:
        async.am_await = reinterpret_cast<unaryfunc>(p);
        has_async = true;
        break;
      case Py_am_send:
        async.am_send = reinterpret_cast<sendfunc>(p);
        has_async = true;
        break;
      default:
        PyErr_Format(PyExc_SystemError, "%s: slot %d is not supported for a static type", spec.name,
                     s->slot);
        return -1;
    }
  }
  if (has_async) type.tp_as_async = &async;
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
  return add_module_entry(type, spec.name);
}

}  // namespace binding

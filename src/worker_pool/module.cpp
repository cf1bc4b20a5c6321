// Module set-up: the one exported entry point, the create and exec steps of
// multi-phase initialisation, and the module body in source order.
//
// The module lives once per process: the first interpreter that creates it is
// the only one allowed to, the module object executed first is kept for the
// life of the process, and every later import is handed that same object.
#include <cstdint>

#include "binding/coroutine.hpp"
#include "binding/function.hpp"
#include "binding/traceback.hpp"
#include "worker_pool/lines.hpp"
#include "worker_pool/names.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/records.hpp"

namespace worker_pool {
namespace {

using binding::Name;
using binding::Ref;

// The function name of the traceback entry for a failure while executing.
constexpr const char* kInitFunction = "init zorvic.core.worker_pool";

// The modules of the `from ... import` statements and the logger's call.
const Name kDataclasses{"dataclasses"};
const Name kEnumModule{"enum"};
const Name kTyping{"typing"};
const Name kGetLogger{"getLogger"};
const Name kLoggerName{"zorvic.worker_pool"};

// ---------------------------------------------------------------- process-wide

// Raw strong references on purpose: they are kept for the life of the process
// and must never be dropped by a C++ static destructor after finalisation.
PyObject* g_module = nullptr;    // set while an exec has started and not failed
PyObject* g_builtins = nullptr;  // the builtins module, taken at exec
int64_t g_interpreter_id = -1;   // the first interpreter that created the module

// ---------------------------------------------------------------- create

// Copies spec.<attr> into the module's dict as <key>; a spec without the
// attribute is skipped. `skip_none` leaves out a None value.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                        bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, key, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  // Module state is process-wide, so only one interpreter may ever hold it.
  PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
    return nullptr;
  }
  return module.release();
}

// ---------------------------------------------------------------- imports

// The sys.modules entry for `name`, or a null Ref (an error only if one is
// pending). A None entry blocks the module; the regular import reports it.
Ref imported(PyObject* name) noexcept {
  Ref found = Ref::steal(PyImport_GetModule(name));
  if (found.get() == Py_None) found.reset();
  return found;
}

Ref regular_import(PyObject* globals, PyObject* name, PyObject* fromlist) noexcept {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return {};
  return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), fromlist, 0));
}

// import <name>
int import_module(PyObject* globals, const Name& name) noexcept {
  Ref module = imported(name);
  if (!module) {
    if (PyErr_Occurred()) return -1;
    module = regular_import(globals, name, nullptr);
    if (!module) return -1;
  }
  return PyDict_SetItem(globals, name, module.get());
}

// from <name> import <wanted...>
template <size_t N>
int import_from(PyObject* globals, const Name& name, const Name* const (&wanted)[N]) noexcept {
  // A module already imported is used only when it has every requested name.
  Ref module = imported(name);
  if (!module && PyErr_Occurred()) return -1;
  for (size_t i = 0; module && i < N; ++i) {
    int has = PyObject_HasAttrWithError(module.get(), *wanted[i]);
    if (has < 0) return -1;
    if (!has) module.reset();
  }
  if (!module) {
    Ref fromlist = Ref::steal(PyList_New(N));
    if (!fromlist) return -1;
    for (size_t i = 0; i < N; ++i) {
      PyList_SET_ITEM(fromlist.get(), i, Py_NewRef(wanted[i]->get()));
    }
    module = regular_import(globals, name, fromlist.get());
    if (!module) return -1;
  }
  for (size_t i = 0; i < N; ++i) {
    PyObject* attr = wanted[i]->get();
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), attr, &raw) < 0) return -1;
    Ref value = Ref::steal(raw);
    if (!value) {
      // A submodule may be listed in sys.modules without being an attribute.
      Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", name.get(), attr));
      if (!full) return -1;
      if (PyMapping_GetOptionalItem(PyImport_GetModuleDict(), full.get(), &raw) < 0) return -1;
      value = Ref::steal(raw);
      if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
        return -1;
      }
    }
    if (PyDict_SetItem(globals, attr, value.get()) < 0) return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- body steps

// logger = logging.getLogger("zorvic.worker_pool")
int create_logger(PyObject* globals) noexcept {
  Ref logging = binding::lookup_global(kLogging);
  if (!logging) return -1;
  Ref get_logger = binding::getattr(logging.get(), kGetLogger);
  if (!get_logger) return -1;
  Ref logger = binding::call(get_logger.get(), kLoggerName.get());
  if (!logger) return -1;
  return PyDict_SetItem(globals, kLogger, logger.get());
}

// class WorkerPool: its namespace, each member at its own line, then the class.
int build_worker_pool(PyObject* globals, int& line) noexcept {
  line = lines::kWorkerPool;
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return -1;
  Ref doc = Ref::steal(PyUnicode_FromString(pool_doc));
  if (!doc || PyDict_SetItem(ns.get(), kDunderModule, kThisModule) < 0 ||
      PyDict_SetItem(ns.get(), kDunderQualname, kWorkerPool) < 0 ||
      PyDict_SetItem(ns.get(), kDunderDoc, doc.get()) < 0) {
    return -1;
  }
  for (int i = 0; i < pool_member_count; ++i) {
    const Member& m = pool_members[i];
    line = m.op->line;
    Ref value = binding::make_function(*m.op);
    if (!value) return -1;
    if (m.setter) {
      line = m.setter->line;
      Ref setter = binding::make_function(*m.setter);
      if (!setter) return -1;
      value = binding::call(state().property.get(), value.get(), setter.get());
      if (!value) return -1;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(m.name));
    if (!key || PyDict_SetItem(ns.get(), key.get(), value.get()) < 0) return -1;
  }
  line = lines::kWorkerPool;
  Ref cls = binding::call(reinterpret_cast<PyObject*>(&PyType_Type), kWorkerPool.get(),
                          state().empty_tuple.get(), ns.get());
  if (!cls) return -1;
  return PyDict_SetItem(globals, kWorkerPool, cls.get());
}

// The module body, statement by statement. `line` is left at the line of the
// statement that failed.
int run_body(PyObject* globals, int& line) noexcept {
  static const Name* const kFromDataclasses[] = {&kDataclass, &kField};
  static const Name* const kFromEnum[] = {&kEnum};
  static const Name* const kFromTyping[] = {&kAny, &kCallable, &kAwaitable};

  line = lines::kImportAsyncio;
  if (import_module(globals, kAsyncio) < 0) return -1;
  line = lines::kImportLogging;
  if (import_module(globals, kLogging) < 0) return -1;
  line = lines::kImportTime;
  if (import_module(globals, kTime) < 0) return -1;
  line = lines::kImportUuid;
  if (import_module(globals, kUuid) < 0) return -1;
  line = lines::kImportDataclasses;
  if (import_from(globals, kDataclasses, kFromDataclasses) < 0) return -1;
  line = lines::kImportEnum;
  if (import_from(globals, kEnumModule, kFromEnum) < 0) return -1;
  line = lines::kImportTyping;
  if (import_from(globals, kTyping, kFromTyping) < 0) return -1;

  line = lines::kLogger;
  if (create_logger(globals) < 0) return -1;

  if (build_worker_state(globals, line) < 0 || build_worker_task(globals, line) < 0 ||
      build_worker_status(globals, line) < 0 || build_worker_executor(globals, line) < 0 ||
      build_worker_pool(globals, line) < 0) {
    return -1;
  }

  line = lines::kTestDict;
  Ref test = Ref::steal(PyDict_New());
  if (!test) return -1;
  return PyDict_SetItem(globals, kDunderTest, test.get());
}

// ---------------------------------------------------------------- exec

// The part of executing that comes before the module body: the namespace
// gets its builtins, a runtime of another minor version than the one built
// against is warned about, and the constants and names are created. A
// failure here gets no traceback entry.
int prepare(PyObject* module) noexcept {
  PyObject* globals = PyModule_GetDict(module);
  if (!globals) return -1;
  if (!g_builtins) {
    g_builtins = PyImport_ImportModule("builtins");
    if (!g_builtins) return -1;
  }
  binding::set_module_namespace(globals, g_builtins);
  if (PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) return -1;

  const int runtime_major = int((Py_Version >> 24) & 0xFF);
  const int runtime_minor = int((Py_Version >> 16) & 0xFF);
  if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, binding::kModuleName, "does not match",
                  runtime_major, runtime_minor);
    if (PyErr_WarnEx(nullptr, message, 1) < 0) return -1;
  }

  if (create_constants() < 0 || binding::intern_all() < 0) return -1;
  return 0;
}

// Lists the module in sys.modules under its full name when that key is free,
// so that code the module body runs and that looks the module up by name
// finds it (dataclass() does, to read the records' string annotations).
// `inserted` tells whether this exec made the entry.
int register_in_sys_modules(PyObject* module, bool& inserted) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyMapping_HasKeyWithError(modules, kThisModule);
  if (present < 0) return -1;
  if (present) return 0;
  if (PyObject_SetItem(modules, kThisModule, module) < 0) return -1;
  inserted = true;
  return 0;
}

// Takes back the sys.modules entry this exec made, if it still names `module`,
// so that no later import finds a half-built module. The pending error stays.
void unregister_from_sys_modules(PyObject* module) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = nullptr;
  int rc = PyMapping_GetOptionalItem(modules, kThisModule, &found);
  Ref entry = Ref::steal(found);
  if (rc > 0 && entry.get() == module) rc = PyObject_DelItem(modules, kThisModule);
  if (rc < 0) PyErr_Clear();  // the exec failure is the error to report
  PyErr_SetRaisedException(pending.release());
}

// Readies the binding layer's types, lists the module in sys.modules, fetches
// the builtins and creates the slices and the generators of stats(), then
// runs the module body. On failure `line` is the line to report.
int execute(PyObject* module, bool& inserted, int& line) noexcept {
  line = lines::kTestDict;
  if (binding::init_function_type() < 0 || binding::init_coroutine_types() < 0) return -1;
  if (register_in_sys_modules(module, inserted) < 0) return -1;
  if (fetch_builtins(g_builtins) < 0) return -1;
  if (create_slices() < 0 || binding::prepare_operation(stats_running_genexpr) < 0 ||
      binding::prepare_operation(stats_queued_genexpr) < 0) {
    return -1;
  }
  return run_body(PyModule_GetDict(module), line);
}

int exec_module(PyObject* module) noexcept {
  if (g_module) {
    if (g_module == module) return 0;  // the body never runs twice
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'worker_pool' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  g_module = Py_NewRef(module);

  bool inserted = false;
  int rc = prepare(module);
  if (rc == 0) {
    int line = lines::kTestDict;
    rc = execute(module, inserted, line);
    if (rc < 0) binding::add_traceback(kInitFunction, line);
  }
  if (rc < 0) {
    if (inserted) unregister_from_sys_modules(module);
    Py_CLEAR(g_module);  // a later import starts again with a new create step
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- definition

constexpr const char kModuleDoc[] =
    "Worker Pool \xe2\x80\x94 manages concurrent agent workers for parallel task execution.\n"
    "\n"
    "Unlike the older process manager, which spawned scripts and talked to them over\n"
    "stdin/stdout, this pool manages in-process agent workers: lightweight agents that\n"
    "can call the language model, use tools and report their status back to the main\n"
    "agent.\n"
    "\n"
    "This makes it possible to:\n"
    "  - work on two things at once (one worker researching while another writes),\n"
    "  - run a monitor in the background,\n"
    "  - hand simple subtasks to a cheaper model while the main agent uses a stronger one.\n"
    "\n"
    "Each worker:\n"
    "  - has its own language-model client, with the model chosen by the router,\n"
    "  - may use a subset of the tools,\n"
    "  - reports status updates in real time,\n"
    "  - has a timeout and can be cancelled,\n"
    "  - runs as an asyncio task, not as a subprocess.\n";

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},  // no module-level functions
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "worker_pool",  // m_name
    kModuleDoc,     // m_doc
    0,              // m_size: all state is process-wide
    module_methods,  // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace worker_pool

PyMODINIT_FUNC PyInit_worker_pool(void) { return PyModuleDef_Init(&worker_pool::module_def); }

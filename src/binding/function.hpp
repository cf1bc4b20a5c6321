// The module's function type and the declarative operation tables.
//
// Every operation the module offers to Python is described once, by an
// Operation row: its names, `def` line, parameters with their annotations,
// defaults and checks, return annotation, docstring, and its body. Binding,
// `__code__`, `__annotations__`, `__defaults__`, the coroutine's names and the
// traceback names all derive from that row.
#pragma once

#include <cstddef>

#include "binding/monitoring.hpp"
#include "binding/ref.hpp"

namespace binding {

struct Operation;
class Scope;

// How an argument is checked or converted when it is bound.
enum class Check : unsigned char {
  none,          // stored as given (self, the module's own classes)
  exact_str,     // must be exactly str
  exact_list,    // must be exactly list
  list_or_none,  // exactly list, or None
  to_int,        // int coercion: any number goes through int()
  to_float,      // float conversion: the body receives a double
};

struct Default {
  enum Kind : unsigned char { required, none, integer, real };
  Kind kind = required;
  double value = 0;
};
inline constexpr Default kRequired{Default::required, 0};
inline constexpr Default kNoneDefault{Default::none, 0};
constexpr Default int_default(long v) { return {Default::integer, double(v)}; }
constexpr Default float_default(double v) { return {Default::real, v}; }

struct Param {
  const char* name = nullptr;        // nullptr ends the list
  const char* annotation = nullptr;  // nullptr: no annotation
  Default fallback = kRequired;
  Check check = Check::none;
  int line = 0;  // the line declaring it, for int coercion errors; 0: the def line
};

inline constexpr int kMaxParams = 4;  // self and up to three more

// The bound and converted arguments of one call; slot 0 is `self` (when the
// operation has one). Objects are borrowed from the caller or owned by `owned`
// (the results of int coercion); doubles hold float-converted parameters.
struct Args {
  PyObject* obj[kMaxParams] = {};
  double real[kMaxParams] = {};
  Ref owned[kMaxParams];
  int count = 0;
  PyObject* operator[](int i) const noexcept { return obj[i]; }
};

// What a plain body sees: its arguments and the source line of the step it
// is running. When the body returns null, the function type adds the
// traceback entry for `line` with the operation's module-qualified name.
struct Call {
  const Args& args;
  int line;
  PyObject* operator[](int i) const noexcept { return args.obj[i]; }
};

using PlainBody = Ref (*)(Call&) noexcept;
// Creates the coroutine of an async operation (see binding::start in body.hpp).
using AsyncStart = Ref (*)(const Operation&, const Args&) noexcept;

enum class Kind : unsigned char { plain, async_, generator };

// Objects created once per operation when its function object is made, and
// kept for the life of the process.
struct OperationObjects {
  PyObject* name = nullptr;          // "submit"
  PyObject* qualname = nullptr;      // "WorkerPool.submit"
  PyObject* code = nullptr;          // the function's __code__, also cr_code
  const char* traceback_name = nullptr;  // "zorvic.core.worker_pool.WorkerPool.submit"
};

struct Operation {
  const char* name;
  const char* qualname;  // without the module
  int line;              // the `def` line
  Param params[kMaxParams];
  const char* returns = nullptr;  // return annotation; nullptr: none
  const char* doc = nullptr;      // nullptr: no docstring
  Kind kind = Kind::plain;
  PlainBody plain = nullptr;
  AsyncStart start = nullptr;
  // Filled when the function object is created.
  OperationObjects objects{};
  // Which sys.monitoring tools listen to its events (monitoring.hpp); kept
  // with the operation, and changed by the entries that report them.
  mutable monitoring::State monitoring{};

  int param_count() const noexcept {
    int n = 0;
    while (n < kMaxParams && params[n].name) ++n;
    return n;
  }
};

// The module's namespace and builtins, for global lookups and tracebacks.
void set_module_namespace(PyObject* globals, PyObject* builtins) noexcept;
PyObject* module_globals() noexcept;  // borrowed
PyObject* module_builtins() noexcept;  // borrowed

// Looks a module-level name up in the module namespace, then the builtins;
// NameError "name '%U' is not defined" when neither has it.
Ref lookup_global(PyObject* name) noexcept;

// `name.attr`: the global looked up as above, then its attribute. Both
// lookups give what a full lookup gives at this moment; values found plainly
// in dictionaries that have not changed since are remembered (function.cpp).
Ref lookup_global_attr(PyObject* name, PyObject* attr) noexcept;

// One place in the module's code that reads `name.attr`, with its own
// remembered entry: what lookup_global_attr remembers, for this site alone,
// held strongly and valid under the same watchers and version tags. Declare
// it with static storage (`static binding::GlobalAttrSite site;`); it is
// never destroyed.
class GlobalAttrSite {
 public:
  static constexpr std::size_t kStorage = 80;
  constexpr GlobalAttrSite() noexcept = default;

 private:
  friend Ref lookup_global_attr(GlobalAttrSite& site, PyObject* name, PyObject* attr) noexcept;
  alignas(std::max_align_t) unsigned char storage_[kStorage] = {};
  bool made_ = false;
};

// `name.attr` as lookup_global_attr gives it, remembered at `site`. A site
// used for another (name, attr) simply looks that one up and remembers it.
Ref lookup_global_attr(GlobalAttrSite& site, PyObject* name, PyObject* attr) noexcept;

// Readies the function type. Returns -1 with an error set on failure.
int init_function_type() noexcept;
PyTypeObject* function_type() noexcept;

// Creates the function object for an operation (and fills op.objects).
// The Operation must live for the life of the process.
Ref make_function(Operation& op) noexcept;

// Fills op.objects without a function object (for the generators of a body).
int prepare_operation(Operation& op) noexcept;

// The module-qualified name, e.g. "zorvic.core.worker_pool.WorkerPool.stats".
inline constexpr const char* kModuleName = "zorvic.core.worker_pool";

}  // namespace binding

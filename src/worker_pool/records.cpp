// The worker records. The classes themselves are made by the host: WorkerState
// by the enum metaclass, WorkerTask and WorkerStatus by dataclasses.dataclass.
// This file writes their namespaces, defaults and factories, and the bodies of
// the id factory and of both to_dict functions.
#include "worker_pool/records.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>

#include "binding/function.hpp"
#include "worker_pool/lines.hpp"
#include "worker_pool/names.hpp"

namespace worker_pool {
namespace {

using binding::Call;
using binding::Name;
using binding::Operation;
using binding::Ref;

// ---------------------------------------------------------------- names

const Name kDunderAnnotations{"__annotations__"};
const Name kDunderPrepare{"__prepare__"};
const Name kDunderInit{"__init__"};
const Name kDefaultFactory{"default_factory"};
const Name kCoVarnames{"co_varnames"};
const Name kUuid4{"uuid4"};
const Name kHex{"hex"};
const Name kValue{"value"};
const Name kEllipsisText{"..."};
const Name kTaskDoc{"A task to be executed by an agent worker."};
const Name kStatusDoc{"Real-time status of a worker."};

// Annotation strings, stored as they stand and never evaluated.
const Name kAnnStr{"str"};
const Name kAnnOptionalStr{"str | None"};
const Name kAnnFloat{"float"};
const Name kAnnInt{"int"};
const Name kAnnOptionalStrList{"list[str] | None"};
const Name kAnnMetadata{"dict[str, Any]"};

// WorkerState members and their values, in definition order.
const Name kQueued{"queued"};
const Name kRunning{"running"};
const Name kCompleted{"completed"};
const Name kFailed{"failed"};
const Name kCancelled{"cancelled"};

struct StateMember {
  const Name& name;
  const Name& value;
};
const StateMember kStates[] = {
    {kStateQueued, kQueued}, {kStateRunning, kRunning},     {kStateCompleted, kCompleted},
    {kStateFailed, kFailed}, {kStateCancelled, kCancelled}, {kStateTimeout, kTimeout},
};

// ---------------------------------------------------------------- small steps

int set_item(PyObject* mapping, PyObject* key, const Ref& value) noexcept {
  if (!value) return -1;
  return PyObject_SetItem(mapping, key, value.get());
}

// The length of obj as a C integer (-1 with an error set).
Py_ssize_t length_of(const Ref& obj) noexcept {
  if (!obj) return -1;
  return PyObject_Length(obj.get());
}

// ---------------------------------------------------------------- the id factory

// `uuid.uuid4().hex[:12]`
Ref id_factory(Call& c) noexcept {
  c.line = lines::kWorkerTaskIdFactory;
  Ref uuid = binding::lookup_global(kUuid);
  if (!uuid) return {};
  Ref fresh = binding::call_method(uuid.get(), kUuid4);
  if (!fresh) return {};
  Ref hex = binding::getattr(fresh.get(), kHex);
  if (!hex) return {};
  return get_slice(hex.get(), state().slice_to_12.get());
}

// ---------------------------------------------------------------- to_dict

// How one dictionary value is computed from `self`.
enum class Value : unsigned char {
  attribute,  // self.<key>
  prompt,     // self.prompt[:200] + ("..." if len(self.prompt) > 200 else "")
  state,      // self.state.value
  round_1,    // round(self.<key>, 1)
  round_2,    // round(self.<key>, 2)
  result,     // self.result[:500] if self.result and len(self.result) > 500 else self.result
};

struct Entry {
  const Name& key;
  Value how;
};

const Entry kTaskEntries[] = {
    {kId, Value::attribute},         {kName, Value::attribute},
    {kPrompt, Value::prompt},        {kModelKey, Value::attribute},
    {kComplexity, Value::attribute}, {kTimeout, Value::attribute},
    {kTools, Value::attribute},      {kParentTaskId, Value::attribute},
    {kMetadata, Value::attribute},   {kCreatedAt, Value::attribute},
};

const Entry kStatusEntries[] = {
    {kTaskId, Value::attribute},      {kState, Value::state},
    {kName, Value::attribute},        {kModelUsed, Value::attribute},
    {kCurrentStep, Value::attribute}, {kStepsCompleted, Value::attribute},
    {kProgressPct, Value::round_1},   {kResult, Value::result},
    {kError, Value::attribute},       {kStartedAt, Value::attribute},
    {kCompletedAt, Value::attribute}, {kDuration, Value::round_2},
};

Ref prompt_value(PyObject* self) noexcept {
  Ref prompt = binding::getattr(self, kPrompt);
  if (!prompt) return {};
  Ref head = get_slice(prompt.get(), state().slice_to_200.get());
  if (!head) return {};
  Py_ssize_t n = length_of(binding::getattr(self, kPrompt));
  if (n < 0) return {};
  PyObject* suffix = n > 200 ? kEllipsisText.get() : state().empty_str.get();
  return Ref::steal(PyNumber_Add(head.get(), suffix));
}

Ref result_value(PyObject* self) noexcept {
  Ref result = binding::getattr(self, kResult);
  if (!result) return {};
  int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return {};
  if (!truth) return binding::getattr(self, kResult);
  Py_ssize_t n = length_of(binding::getattr(self, kResult));
  if (n < 0) return {};
  if (n <= 500) return binding::getattr(self, kResult);
  Ref again = binding::getattr(self, kResult);
  if (!again) return {};
  return get_slice(again.get(), state().slice_to_500.get());
}

// ---------------------------------------------------------------- round

// True when the `round` fetched at load is the interpreter's builtin.
bool round_is_builtin() noexcept {
  static int known = -1;
  if (known < 0) {
    known = 0;
    PyObject* r = state().round.get();
    if (r && PyCFunction_Check(r) &&
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(r)->m_ml->ml_name, "round") == 0) {
      PyObject* owner = PyCFunction_GET_SELF(r);
      const char* name = owner && PyModule_Check(owner) ? PyModule_GetName(owner) : nullptr;
      known = name && std::strcmp(name, "builtins") == 0;
      if (!name) PyErr_Clear();  // a module without a name: not the builtin
    }
  }
  return known > 0;
}

// The builtin `round(x, digits)` of an exact float, for 0 <= digits <= 22:
// x rounded to `digits` decimal places, halves to even, decided on the exact
// binary value of x, then the nearest double to that decimal (what
// float.__round__ computes through a decimal string). Exact here because
// x * 10**digits is split into p + e exactly (fma) and the quotient of an
// integer below 2**52 by an exact power of ten is rounded once. False, with
// nothing computed, outside that range; the builtin is called then.
bool round_exact_float(double x, int digits, double& out) noexcept {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (digits < 0 || digits > 22 || !std::isfinite(x)) return false;
  if (std::fegetround() != FE_TONEAREST) return false;  // the steps below assume it
  const double scale = kPowers[digits];
  const double p = x * scale;
  const double magnitude = std::fabs(p);
  if (!(magnitude < 0x1p52)) return false;
  if (magnitude < 0.25) {  // |x * scale| < 0.5: rounds to a zero of the sign of x
    out = std::copysign(0.0, x);
    return true;
  }
  const double e = std::fma(x, scale, -p);  // x * scale == p + e exactly
  double k = std::nearbyint(p);             // halves to even on p alone
  const double r = p - k;                   // exact, |r| <= 0.5
  const double up = 0.5 - r;                // exact
  const double down = -0.5 - r;             // exact
  if (e > up) {
    k += 1;  // the exact value lies above k + 0.5
  } else if (e < down) {
    k -= 1;
  } else if (e == up) {  // exactly k + 0.5: the even neighbour
    if (std::fmod(k, 2.0) != 0) k += 1;
  } else if (e == down) {  // exactly k - 0.5
    if (std::fmod(k, 2.0) != 0) k -= 1;
  }
  out = k == 0 ? std::copysign(0.0, x) : k / scale;
  return true;
}

Ref rounded(PyObject* self, PyObject* key, PyObject* digits) noexcept {
  Ref value = binding::getattr(self, key);
  if (!value) return {};
  if (PyFloat_CheckExact(value.get()) && PyLong_CheckExact(digits) && round_is_builtin()) {
    double out = 0;
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(digits, &overflow);
    if (!overflow && round_exact_float(PyFloat_AS_DOUBLE(value.get()), int(n), out)) {
      return Ref::steal(PyFloat_FromDouble(out));
    }
  }
  return binding::call(state().round.get(), value.get(), digits);
}

Ref compute(PyObject* self, const Entry& e) noexcept {
  switch (e.how) {
    case Value::attribute: return binding::getattr(self, e.key);
    case Value::prompt: return prompt_value(self);
    case Value::state: {
      Ref member = binding::getattr(self, e.key);
      if (!member) return {};
      return binding::getattr(member.get(), kValue);
    }
    case Value::round_1: return rounded(self, e.key, state().int_1.get());
    case Value::round_2: return rounded(self, e.key, state().int_2.get());
    case Value::result: return result_value(self);
  }
  return {};
}

// The keys of each dictionary form in order, all mapped to None: the result
// dicts are copies of it, so that each starts with room for all its entries
// and its keys already in place (filling it then only replaces values; nobody
// sees the dict before it is complete). Made on first use, kept for the life
// of the process.
PyObject* g_task_keys = nullptr;
PyObject* g_status_keys = nullptr;

template <size_t N>
PyObject* keys_in_order(PyObject*& made, const Entry (&entries)[N]) noexcept {
  if (!made) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const Entry& e : entries) {
      if (PyDict_SetItem(d.get(), e.key, Py_None) < 0) return nullptr;
    }
    made = d.release();
  }
  return made;
}

// Builds the dict key by key. The first value is read on the line that builds
// the dict; every other value has its own line, counting up from first_value.
template <size_t N>
Ref build_dict(Call& c, const Entry (&entries)[N], PyObject*& keys, int build_line,
               int first_value) noexcept {
  c.line = build_line;
  PyObject* presized = keys_in_order(keys, entries);
  if (!presized) return {};
  Ref d = Ref::steal(PyDict_Copy(presized));
  if (!d) return {};
  for (size_t i = 0; i < N; ++i) {
    c.line = i == 0 ? build_line : first_value + int(i) - 1;
    Ref value = compute(c[0], entries[i]);
    if (!value) return {};
    c.line = build_line;
    if (PyDict_SetItem(d.get(), entries[i].key, value.get()) < 0) return {};
  }
  return d;
}

Ref task_to_dict(Call& c) noexcept {
  return build_dict(c, kTaskEntries, g_task_keys, lines::kTaskToDictBuild,
                    lines::kTaskToDictFirstValue);
}

Ref status_to_dict(Call& c) noexcept {
  return build_dict(c, kStatusEntries, g_status_keys, lines::kStatusToDictBuild,
                    lines::kStatusToDictFirstValue);
}

// ---------------------------------------------------------------- operation rows

constexpr binding::Param kSelf{"self"};

// The operation table keeps one row per operation, laid out by hand.
// clang-format off
Operation op_id_factory{
    .name = "<lambda>", .qualname = "WorkerTask.<lambda>", .line = lines::kWorkerTaskIdFactory,
    .params = {}, .plain = id_factory};

// Tracebacks name the factory without the angle brackets.
constexpr const char* kIdFactoryTracebackName = "zorvic.core.worker_pool.WorkerTask.lambda";

Operation op_task_to_dict{
    .name = "to_dict", .qualname = "WorkerTask.to_dict", .line = lines::kWorkerTaskToDict,
    .params = {kSelf}, .returns = "dict[str, Any]", .plain = task_to_dict};

Operation op_status_to_dict{
    .name = "to_dict", .qualname = "WorkerStatus.to_dict", .line = lines::kWorkerStatusToDict,
    .params = {kSelf}, .returns = "dict[str, Any]", .plain = status_to_dict};
// clang-format on

// ---------------------------------------------------------------- the dataclasses

enum class Fallback : unsigned char {
  required,       // no namespace entry
  empty_str,
  none,
  float_0,
  float_600,
  int_0,
  id_factory,     // field(default_factory=<the id factory>)
  dict_factory,   // field(default_factory=dict)
  time_factory,   // field(default_factory=time.time)
};

struct FieldSpec {
  const Name& name;
  const Name& annotation;
  Fallback fallback;
};

const FieldSpec kTaskFields[] = {
    {kId, kAnnStr, Fallback::id_factory},
    {kName, kAnnStr, Fallback::empty_str},
    {kPrompt, kAnnStr, Fallback::empty_str},
    {kModelKey, kAnnOptionalStr, Fallback::none},
    {kComplexity, kAnnOptionalStr, Fallback::none},
    {kTimeout, kAnnFloat, Fallback::float_600},
    {kTools, kAnnOptionalStrList, Fallback::none},
    {kParentTaskId, kAnnOptionalStr, Fallback::none},
    {kMetadata, kAnnMetadata, Fallback::dict_factory},
    {kCreatedAt, kAnnFloat, Fallback::time_factory},
};

// clang-format off
const FieldSpec kStatusFields[] = {
    {kTaskId, kAnnStr, Fallback::required},
    {kState, kWorkerState, Fallback::required},
    {kName, kAnnStr, Fallback::empty_str},
    {kModelUsed, kAnnStr, Fallback::empty_str},
    {kCurrentStep, kAnnStr, Fallback::empty_str},
    {kStepsCompleted, kAnnInt, Fallback::int_0},
    {kProgressPct, kAnnFloat, Fallback::float_0},
    {kResult, kAnnOptionalStr, Fallback::none},
    {kError, kAnnOptionalStr, Fallback::none},
    {kStartedAt, kAnnFloat, Fallback::float_0},
    {kCompletedAt, kAnnFloat, Fallback::float_0},
    {kDuration, kAnnFloat, Fallback::float_0},
};
// clang-format on

// `field(default_factory=factory)`, with `field` looked up now.
Ref field_with_factory(PyObject* factory) noexcept {
  Ref field = binding::lookup_global(kField);
  if (!field) return {};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, kDefaultFactory.get()));
  if (!kwnames) return {};
  PyObject* argv[] = {nullptr, factory};
  return Ref::steal(PyObject_Vectorcall(field.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kwnames.get()));
}

Ref id_factory_function() noexcept {
  // Set before and after: creating the function object fills only what is unset.
  op_id_factory.objects.traceback_name = kIdFactoryTracebackName;
  Ref fn = binding::make_function(op_id_factory);
  if (fn) op_id_factory.objects.traceback_name = kIdFactoryTracebackName;
  return fn;
}

Ref default_value(Fallback f) noexcept {
  State& s = state();
  switch (f) {
    case Fallback::required: break;
    case Fallback::empty_str: return s.empty_str.copy();
    case Fallback::none: return Ref::none();
    case Fallback::float_0: return s.float_0.copy();
    case Fallback::float_600: return s.float_600.copy();
    case Fallback::int_0: return s.int_0.copy();
    case Fallback::id_factory: {
      Ref factory = id_factory_function();
      if (!factory) return {};
      return field_with_factory(factory.get());
    }
    case Fallback::dict_factory:
      return field_with_factory(reinterpret_cast<PyObject*>(&PyDict_Type));
    case Fallback::time_factory: {
      Ref time = binding::lookup_global(kTime);
      if (!time) return {};
      Ref now = binding::getattr(time.get(), kTime);
      if (!now) return {};
      return field_with_factory(now.get());
    }
  }
  return {};
}

struct DataclassSpec {
  const Name& name;
  const Name& doc;
  const FieldSpec* fields;
  int field_count;
  Operation& to_dict;
  int decorator_line;      // `@dataclass`
  int class_line;          // `class ...:`, the namespace and __annotations__
  int first_default_line;  // the first field with a default
};

// Follows the class body: namespace, annotations, defaults, to_dict, then
// `dataclass(type(name, (), namespace))` bound under the class name.
int build_dataclass(PyObject* globals, const DataclassSpec& spec, int& line) noexcept {
  line = spec.class_line;
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return -1;
  if (PyDict_SetItem(ns.get(), kDunderModule, kThisModule) < 0 ||
      PyDict_SetItem(ns.get(), kDunderQualname, spec.name) < 0 ||
      PyDict_SetItem(ns.get(), kDunderDoc, spec.doc) < 0) {
    return -1;
  }
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return -1;
  for (int i = 0; i < spec.field_count; ++i) {
    if (PyDict_SetItem(annotations.get(), spec.fields[i].name, spec.fields[i].annotation) < 0) {
      return -1;
    }
  }
  if (PyDict_SetItem(ns.get(), kDunderAnnotations, annotations.get()) < 0) return -1;

  int default_line = spec.first_default_line;
  for (int i = 0; i < spec.field_count; ++i) {
    const FieldSpec& f = spec.fields[i];
    if (f.fallback == Fallback::required) continue;
    line = default_line++;
    if (set_item(ns.get(), f.name, default_value(f.fallback)) < 0) return -1;
  }

  line = spec.to_dict.line;
  if (set_item(ns.get(), kToDict, binding::make_function(spec.to_dict)) < 0) return -1;

  line = spec.decorator_line;
  Ref dataclass = binding::lookup_global(kDataclass);
  if (!dataclass) return -1;
  line = spec.class_line;
  Ref cls = binding::call(reinterpret_cast<PyObject*>(&PyType_Type), spec.name.get(),
                          state().empty_tuple.get(), ns.get());
  if (!cls) return -1;
  line = spec.decorator_line;
  Ref decorated = binding::call(dataclass.get(), cls.get());
  if (!decorated) return -1;
  line = spec.class_line;
  return PyDict_SetItem(globals, spec.name, decorated.get());
}

// The WorkerStatus class as made, its generated __init__ and that function's
// code object, with the class's version tag then; strong references kept for
// the life of the process. Null or 0 when the class does not qualify.
struct StatusClass {
  PyObject* cls = nullptr;
  PyObject* init = nullptr;
  PyObject* code = nullptr;
  unsigned int version = 0;
};
StatusClass g_status_class;

// Remembers the class if its __init__ is a plain function whose first
// parameters after self are task_id, state and name, in that order. Leaves
// no error behind: a class that does not qualify is built by keywords.
void remember_status_class(PyObject* cls) noexcept {
  if (g_status_class.cls || !PyType_Check(cls)) return;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!Py_IS_TYPE(cls, &PyType_Type) || !PyUnstable_Type_AssignVersionTag(type)) return;
  Ref dict = Ref::steal(PyType_GetDict(type));
  PyObject* init = dict ? PyDict_GetItemWithError(dict.get(), kDunderInit) : nullptr;
  if (!init || !PyFunction_Check(init)) {
    PyErr_Clear();  // the class simply does not qualify
    return;
  }
  PyObject* code = PyFunction_GET_CODE(init);
  Ref names = Ref::steal(PyObject_GetAttr(code, kCoVarnames));
  if (!names || !PyTuple_Check(names.get()) || PyTuple_GET_SIZE(names.get()) < 4) {
    PyErr_Clear();
    return;
  }
  const Name* const wanted[] = {&kTaskId, &kState, &kName};
  for (int i = 0; i < 3; ++i) {
    PyObject* n = PyTuple_GET_ITEM(names.get(), i + 1);
    if (!PyUnicode_Check(n) || PyUnicode_Compare(n, *wanted[i]) != 0) return;
  }
  if (reinterpret_cast<PyCodeObject*>(code)->co_argcount < 4) return;
  g_status_class = {Py_NewRef(cls), Py_NewRef(init), Py_NewRef(code), type->tp_version_tag};
}

// The most derived metaclass of the bases, as class creation chooses it.
PyTypeObject* derived_metaclass(PyObject* bases) noexcept {
  PyTypeObject* winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, t)) continue;
    if (PyType_IsSubtype(t, winner)) {
      winner = t;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return winner;
}

}  // namespace

// ---------------------------------------------------------------- public

Ref get_slice(PyObject* obj, PyObject* slice) noexcept {
  PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
  if (!mapping || !mapping->mp_subscript) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
    return {};
  }
  return Ref::steal(mapping->mp_subscript(obj, slice));
}

// class WorkerState(str, Enum): QUEUED = "queued" ... TIMEOUT = "timeout"
int build_worker_state(PyObject* globals, int& line) noexcept {
  line = lines::kWorkerState;
  Ref enum_base = binding::lookup_global(kEnum);
  if (!enum_base) return -1;
  Ref bases =
      Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_base.get()));
  if (!bases) return -1;
  PyTypeObject* meta = derived_metaclass(bases.get());
  if (!meta) return -1;
  PyObject* metaclass = reinterpret_cast<PyObject*>(meta);
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(metaclass, kDunderPrepare, &found) < 0) return -1;
  Ref prepare = Ref::steal(found);
  Ref ns = prepare ? binding::call(prepare.get(), kWorkerState.get(), bases.get())
                   : Ref::steal(PyDict_New());
  if (!ns) return -1;
  if (PyObject_SetItem(ns.get(), kDunderModule, kThisModule) < 0 ||
      PyObject_SetItem(ns.get(), kDunderQualname, kWorkerState) < 0) {
    return -1;
  }
  line = lines::kWorkerStateQueued;
  for (const StateMember& m : kStates) {
    if (PyObject_SetItem(ns.get(), m.name, m.value) < 0) return -1;
    ++line;
  }
  line = lines::kWorkerState;
  Ref cls = binding::call(metaclass, kWorkerState.get(), bases.get(), ns.get());
  if (!cls) return -1;
  return PyDict_SetItem(globals, kWorkerState, cls.get());
}

int build_worker_task(PyObject* globals, int& line) noexcept {
  const DataclassSpec spec{kWorkerTask,
                           kTaskDoc,
                           kTaskFields,
                           int(sizeof(kTaskFields) / sizeof(kTaskFields[0])),
                           op_task_to_dict,
                           lines::kWorkerTaskDataclass,
                           lines::kWorkerTaskClass,
                           lines::kWorkerTaskFirstField};
  return build_dataclass(globals, spec, line);
}

int build_worker_status(PyObject* globals, int& line) noexcept {
  const DataclassSpec spec{kWorkerStatus,
                           kStatusDoc,
                           kStatusFields,
                           int(sizeof(kStatusFields) / sizeof(kStatusFields[0])),
                           op_status_to_dict,
                           lines::kWorkerStatusDataclass,
                           lines::kWorkerStatusClass,
                           lines::kWorkerStatusFirstDefault};
  if (build_dataclass(globals, spec, line) < 0) return -1;
  PyObject* cls = PyDict_GetItemWithError(globals, kWorkerStatus);
  if (!cls) return PyErr_Occurred() ? -1 : 0;  // build_dataclass has just stored it
  remember_status_class(cls);
  return 0;
}

bool status_takes_positional(PyObject* cls) noexcept {
  const StatusClass& c = g_status_class;
  return cls == c.cls && c.version != 0 && Py_IS_TYPE(cls, &PyType_Type) &&
         reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag == c.version &&
         PyFunction_GET_CODE(c.init) == c.code;
}

// WorkerExecutor = Callable[..., Awaitable[str]]
int build_worker_executor(PyObject* globals, int& line) noexcept {
  line = lines::kWorkerExecutor;
  Ref callable = binding::lookup_global(kCallable);
  if (!callable) return -1;
  Ref awaitable = binding::lookup_global(kAwaitable);
  if (!awaitable) return -1;
  Ref awaitable_str =
      Ref::steal(PyObject_GetItem(awaitable.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  if (!awaitable_str) return -1;
  Ref params = Ref::steal(PyTuple_Pack(2, Py_Ellipsis, awaitable_str.get()));
  if (!params) return -1;
  Ref alias = Ref::steal(PyObject_GetItem(callable.get(), params.get()));
  if (!alias) return -1;
  return PyDict_SetItem(globals, kWorkerExecutor, alias.get());
}

}  // namespace worker_pool

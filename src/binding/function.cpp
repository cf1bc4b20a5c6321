// The module's function type and argument binding.
//
// Each operation of the module is one object of this type, made from its
// Operation row. It presents itself to the host as a function does: a
// descriptor that binds to instances, vectorcall, the attributes that
// `inspect`, `pydoc`, `asyncio` and `pickle` read (`__code__` with the real
// parameter names and flags, `__defaults__`, `__annotations__`, ...).
// Calls bind their arguments by the rules below, convert or check them as the
// row says, then run the plain body or start the coroutine.
#include "binding/function.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "binding/compiler.hpp"
#include "binding/static_type.hpp"
#include "binding/traceback.hpp"

namespace binding {

// ================================================================ module namespace

namespace {

PyObject* g_globals = nullptr;   // the module's __dict__ (strong)
PyObject* g_builtins = nullptr;  // the builtins module (strong)

// ---------------------------------------------------------------- remembered lookups
//
// Module globals and their attributes (`time.time`, `WorkerState.RUNNING`)
// are looked up at each use. A lookup that found its value in a dictionary
// that has not changed since would find the same value again, so the value is
// remembered together with what it depends on:
//
// - the module namespace and the namespaces of modules whose attributes were
//   read are watched (PyDict_Watch); any change to any of them bumps g_epoch,
//   which makes every remembered value stale at once;
// - a class attribute depends on the class and its metaclass, whose version
//   tags change whenever either or any of their bases is modified.
//
// Only values found plainly are remembered: a global found in the namespace
// (not among the builtins), a module attribute found in the module's dict
// (no descriptor of the module type in the way), a class attribute found in
// the class's MRO that is not a descriptor (and no data descriptor of the
// metaclass in the way). Everything else is looked up in full every time, so
// a remembered value is always the value a full lookup would return now.

//
// A remembered value is not kept beyond its validity: when a watched dict
// changes, every entry lets go of what it holds (release_remembered), so an
// object rebound away is freed by the rebinding itself, its __del__ and
// weakref callbacks running then, as without the caches.

int g_watcher = -1;          // our dict watcher; -1 while there is none
std::uint64_t g_epoch = 1;   // bumped at every change of a watched dict

void release_remembered() noexcept;

int on_watched_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++g_epoch;
  release_remembered();
  return 0;
}

// Watches `dict`: 0 when it is watched, -1 (nothing pending) when not.
int watch(PyObject* dict) noexcept {
  if (g_watcher < 0) {
    g_watcher = PyDict_AddWatcher(on_watched_change);
    if (g_watcher < 0) {
      PyErr_Clear();  // every watcher slot is taken: lookups stay in full
      return -1;
    }
  }
  if (PyDict_Watch(g_watcher, dict) < 0) {
    PyErr_Clear();
    return -1;
  }
  return 0;
}

// Each key has two places side by side (a pair starts at an even slot).
constexpr std::size_t kCacheSlots = 128;  // a power of two

std::size_t pair_of(PyObject* a, PyObject* b) noexcept {
  std::uint64_t h = reinterpret_cast<std::uintptr_t>(a) * 0x9E3779B97F4A7C15ull;
  h ^= reinterpret_cast<std::uintptr_t>(b) * 0xC2B2AE3D27D4EB4Full;
  return static_cast<std::size_t>(h >> 40) & (kCacheSlots - 2);
}

// Which of a pair a new entry replaces: one for the same key, else one that
// is stale or empty, else the two in turn.
template <class Entry, class SameKey>
Entry& victim(Entry* pair, SameKey same_key) noexcept {
  static unsigned turn = 0;
  for (int i = 0; i < 2; ++i) {
    if (same_key(pair[i])) return pair[i];
  }
  for (int i = 0; i < 2; ++i) {
    if (!pair[i].name || pair[i].epoch != g_epoch) return pair[i];
  }
  return pair[++turn & 1];
}

// Storage whose contents are never destroyed: the references the caches hold
// must not be dropped at process exit, after the interpreter has gone.
template <class T>
union Immortal {
  T value;
  constexpr Immortal() noexcept : value() {}
  ~Immortal() {}
};

// A global found in the module namespace.
struct GlobalEntry {
  PyObject* name = nullptr;  // interned; compared by identity
  std::uint64_t epoch = 0;
  Ref value;
};
Immortal<GlobalEntry[kCacheSlots]> g_global_cache;

// `name.attr` for a global found in the module namespace. For a module or a
// class the value is remembered; for any other object only the object is,
// and its attribute is looked up in full each time.
struct AttrEntry {
  enum Kind : unsigned char { module, type, other };
  PyObject* name = nullptr;
  PyObject* attr = nullptr;
  std::uint64_t epoch = 0;
  Ref owner;                        // the global's value when remembered
  Kind kind = other;
  PyTypeObject* meta = nullptr;     // a class: its metaclass, and both version tags
  unsigned int version = 0;
  unsigned int meta_version = 0;
  Ref value;                        // null for `other`
  AttrEntry* next_site = nullptr;   // a site's entry: the next site's
};
Immortal<AttrEntry[kCacheSlots]> g_attr_cache;
AttrEntry* g_sites = nullptr;  // the entries of the sites used so far

// Whether some entry may hold references: set by every entry made, cleared
// when they are all released.
bool g_holding = false;
// Whether a release had to leave references in stale entries (see below).
bool g_leftovers = false;

// Calls `f` on every entry: the shared caches' and the sites'.
template <class F>
void for_each_entry(F f) noexcept {
  for (GlobalEntry& e : g_global_cache.value) f(e);
  for (AttrEntry& e : g_attr_cache.value) f(e);
  for (AttrEntry* e = g_sites; e; e = e->next_site) f(*e);
}

// Lets go of `ref` if that cannot free it (something else holds it too), so
// that no code runs; `kept` tells that a reference was left in place.
void drop_if_shared(Ref& ref, bool& kept) noexcept {
  if (!ref) return;
  if (Py_REFCNT(ref.get()) > 1) {
    ref.reset();
  } else {
    kept = true;
  }
}

// Runs in the dict watcher, before the change is made, where no Python code
// may run (the dict is in the middle of its update). Each remembered value
// is still in the dict it was found in (or in a class's dict, watched too),
// so letting go of it frees nothing now: the old object goes when the dict
// lets go of it, at the rebinding. Only a reference that is already the
// last (an entry gone stale by a change of a class that no watched dict saw)
// is left in its stale entry, for the next full lookup to release.
void release_remembered() noexcept {
  if (!g_holding) return;
  bool kept = false;
  for_each_entry([&kept](auto& e) {
    if (!e.name) return;
    if constexpr (requires { e.owner; }) drop_if_shared(e.owner, kept);
    drop_if_shared(e.value, kept);
  });
  g_holding = kept;
  g_leftovers = g_leftovers || kept;
}

// Empties the stale entries that still hold something; runs where code may.
ZORVIC_NOINLINE void release_leftovers() noexcept {
  g_leftovers = false;
  for_each_entry([](auto& e) {
    if (!e.name || e.epoch == g_epoch) return;
    e.name = nullptr;  // empty before anything it held is freed
    Ref value = std::move(e.value);
    if constexpr (requires { e.owner; }) Ref owner = std::move(e.owner);
  });
}

// The full lookup; `in_namespace` tells whether the module namespace had it.
Ref find_global(PyObject* name, bool& in_namespace) noexcept;

}  // namespace

void set_module_namespace(PyObject* globals, PyObject* builtins) noexcept {
  Py_XINCREF(globals);
  Py_XINCREF(builtins);
  Py_XSETREF(g_globals, globals);
  Py_XSETREF(g_builtins, builtins);
  ++g_epoch;
  release_remembered();
  if (g_globals && PyDict_CheckExact(g_globals)) (void)watch(g_globals);
}

PyObject* module_globals() noexcept { return g_globals; }
PyObject* module_builtins() noexcept { return g_builtins; }

namespace {

// The full lookup of global_value, remembering what it found.
ZORVIC_NOINLINE Ref global_value_slow(PyObject* name, bool& in_namespace,
                                      GlobalEntry* pair) noexcept {
  if (g_leftovers) release_leftovers();
  const std::uint64_t epoch = g_epoch;
  Ref value = find_global(name, in_namespace);
  // Not remembered when the lookup itself changed a watched dict.
  if (value && in_namespace && g_watcher >= 0 && epoch == g_epoch) {
    GlobalEntry& e = victim(pair, [name](const GlobalEntry& x) { return x.name == name; });
    // Whole before the old value is dropped (which can run code that looks
    // this entry up).
    Ref old = std::exchange(e.value, value.copy());
    e.name = name;
    e.epoch = epoch;
    g_holding = true;
  }
  return value;
}

// lookup_global, telling whether the value came from the module namespace.
Ref global_value(PyObject* name, bool& in_namespace) noexcept {
  GlobalEntry* pair = &g_global_cache.value[pair_of(name, name)];
  for (int i = 0; i < 2; ++i) {
    if (pair[i].name == name && pair[i].epoch == g_epoch) {
      in_namespace = true;
      return pair[i].value.copy();
    }
  }
  return global_value_slow(name, in_namespace, pair);
}

// The value an attribute entry gives for (name, attr) now: true with `out`
// set when it holds a valid one.
bool attr_hit(AttrEntry& e, PyObject* name, PyObject* attr, Ref& out) noexcept {
  if (e.name != name || e.attr != attr || e.epoch != g_epoch) return false;
  PyObject* owner = e.owner.get();
  switch (e.kind) {
    case AttrEntry::module:
      if (!Py_IS_TYPE(owner, &PyModule_Type)) return false;
      out = e.value.copy();
      return true;
    case AttrEntry::type:
      if (!Py_IS_TYPE(owner, e.meta) ||
          reinterpret_cast<PyTypeObject*>(owner)->tp_version_tag != e.version ||
          e.meta->tp_version_tag != e.meta_version || Py_TYPE(e.value.get())->tp_descr_get) {
        return false;
      }
      out = e.value.copy();
      return true;
    case AttrEntry::other: {
      // The global is still this object. Its getter can rebind the global and
      // repeat this lookup, replacing the entry: hold the owner across it.
      Ref held = e.owner.copy();
      out = getattr(held.get(), attr);
      return true;
    }
  }
  return false;
}

// The full lookup of `name.attr`, remembered in one of `pair` (or in
// pair[0] alone when `single`: a site's own entry).
ZORVIC_NOINLINE Ref global_attr_slow(PyObject* name, PyObject* attr, AttrEntry* pair,
                                     bool single = false) noexcept;

}  // namespace

Ref lookup_global(PyObject* name) noexcept {
  bool in_namespace = false;
  return global_value(name, in_namespace);
}

Ref lookup_global_attr(PyObject* name, PyObject* attr) noexcept {
  AttrEntry* pair = &g_attr_cache.value[pair_of(name, attr)];
  Ref value;
  if (attr_hit(pair[0], name, attr, value) || attr_hit(pair[1], name, attr, value)) return value;
  return global_attr_slow(name, attr, pair);
}

// A site's entry lives in the site's own storage, made on first use and never
// destroyed (like the shared caches, it may hold references at process exit).
static_assert(sizeof(AttrEntry) <= GlobalAttrSite::kStorage &&
              alignof(AttrEntry) <= alignof(std::max_align_t));

Ref lookup_global_attr(GlobalAttrSite& site, PyObject* name, PyObject* attr) noexcept {
  if (!site.made_) {
    // Listed, so that a change of a watched dict reaches it.
    AttrEntry* made = new (site.storage_) AttrEntry();
    made->next_site = std::exchange(g_sites, made);
    site.made_ = true;
  }
  AttrEntry* entry = std::launder(reinterpret_cast<AttrEntry*>(site.storage_));
  Ref value;
  if (attr_hit(*entry, name, attr, value)) return value;
  return global_attr_slow(name, attr, entry, true);
}

namespace {

// Watches the dict of the class that `type`'s lookup of `attr` finds
// `value` in (a class that cannot change needs no watching): 0 when it is
// watched, -1 (nothing pending) when not.
int watch_defining_class(PyTypeObject* type, PyObject* attr, PyObject* value) noexcept {
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    Ref dict = Ref::steal(PyType_GetDict(base));
    PyObject* found = nullptr;
    int rc = dict ? PyDict_GetItemRef(dict.get(), attr, &found) : -1;
    Ref held = Ref::steal(found);
    if (rc < 0) {
      PyErr_Clear();
      return -1;
    }
    if (rc == 0) continue;
    if (found != value) return -1;
    if (PyType_HasFeature(base, Py_TPFLAGS_IMMUTABLETYPE)) return 0;
    return PyDict_CheckExact(dict.get()) ? watch(dict.get()) : -1;
  }
  return -1;
}

Ref global_attr_slow(PyObject* name, PyObject* attr, AttrEntry* pair, bool single) noexcept {
  if (g_leftovers) release_leftovers();
  const std::uint64_t epoch = g_epoch;
  bool in_namespace = false;
  Ref owner = global_value(name, in_namespace);
  if (!owner) return {};
  Ref value = getattr(owner.get(), attr);
  if (!value || !in_namespace || g_watcher < 0) return value;

  PyObject* o = owner.get();
  AttrEntry::Kind kind = AttrEntry::other;
  PyTypeObject* meta = nullptr;
  unsigned int version = 0, meta_version = 0;
  if (Py_IS_TYPE(o, &PyModule_Type)) {
    kind = AttrEntry::module;
    // module_getattro: a descriptor of the module type first, then the dict.
    PyObject* dict = PyModule_GetDict(o);
    if (!dict || !PyDict_CheckExact(dict) || watch(dict) < 0) return value;
    Ref shadow = Ref::steal(_PyType_LookupRef(&PyModule_Type, attr));
    if (shadow) return value;
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(dict, attr, &found);
    Ref held = Ref::steal(found);
    if (rc <= 0) {
      PyErr_Clear();
      return value;
    }
    if (found != value.get()) return value;
  } else if (PyType_Check(o) && Py_TYPE(o)->tp_getattro == PyType_Type.tp_getattro) {
    // type_getattro: a data descriptor of the metaclass first, then the MRO.
    kind = AttrEntry::type;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(o);
    meta = Py_TYPE(o);
    if (!PyUnstable_Type_AssignVersionTag(type) || !PyUnstable_Type_AssignVersionTag(meta)) {
      return value;
    }
    version = type->tp_version_tag;
    meta_version = meta->tp_version_tag;
    Ref in_meta = Ref::steal(_PyType_LookupRef(meta, attr));
    if (in_meta && Py_TYPE(in_meta.get())->tp_descr_set) return value;
    Ref in_type = Ref::steal(_PyType_LookupRef(type, attr));
    if (in_type.get() != value.get() || Py_TYPE(value.get())->tp_descr_get) return value;
    if (watch_defining_class(type, attr, value.get()) < 0) return value;
    if (type->tp_version_tag != version || meta->tp_version_tag != meta_version) return value;
  }
  // Not remembered when the lookup itself changed a watched dict.
  if (epoch != g_epoch) return value;
  // The entry is whole before the references it held are dropped (dropping
  // one can run code that looks this very entry up).
  AttrEntry& e = single ? pair[0] : victim(pair, [name, attr](const AttrEntry& x) {
    return x.name == name && x.attr == attr;
  });
  Ref old_owner = std::exchange(e.owner, std::move(owner));
  Ref old_value = std::exchange(e.value, kind == AttrEntry::other ? Ref() : value.copy());
  e.name = name;
  e.attr = attr;
  e.epoch = epoch;
  e.kind = kind;
  e.meta = meta;
  e.version = version;
  e.meta_version = meta_version;
  g_holding = true;
  return value;
}

Ref find_global(PyObject* name, bool& in_namespace) noexcept {
  PyObject* found = nullptr;
  if (g_globals) {
    int rc = PyDict_GetItemRef(g_globals, name, &found);
    if (rc < 0) return {};
    if (rc > 0) {
      in_namespace = true;
      return Ref::steal(found);
    }
  }
  if (g_builtins) {
    int rc = PyDict_Check(g_builtins) ? PyDict_GetItemRef(g_builtins, name, &found)
                                      : PyObject_GetOptionalAttr(g_builtins, name, &found);
    if (rc < 0) return {};
    if (rc > 0) return Ref::steal(found);
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  // Like the interpreter's own NameError, carry the name (used for the
  // "Did you mean" hint when the error is printed).
  PyObject* exc = PyErr_GetRaisedException();
  if (PyObject_SetAttrString(exc, "name", name) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return {};
}

}  // namespace

// ================================================================ the object

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Operation* op;
  PyObject* dict;
  PyObject* weakrefs;
  // What the host reads and may replace.
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults_seen;     // __defaults__ as the host last set it
  PyObject* kwdefaults;        // __kwdefaults__
  PyObject* annotations;       // null: reads as a new empty dict
  PyObject* coroutine_marker;  // _is_coroutine, fetched on first access
  // What calls use; fixed when the object is made and never cleared (none of
  // them can be part of a reference cycle).
  PyObject* defaults;  // defaults of the trailing parameters; null when none
  PyObject* code;
  PyObject* param_names[kMaxParams];  // interned
  int count;                          // parameters
  int required;                       // leading parameters without a default
  bool checked;                       // some parameter is converted or checked
};

PyTypeObject* g_type = nullptr;

FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

PyObject* new_ref_or_none(PyObject* o) noexcept { return Py_NewRef(o ? o : Py_None); }

// ================================================================ binding

// Adds the entry that every binding error carries: the module-qualified name
// at the `def` line.
int binding_error(const Operation& op) noexcept {
  add_traceback(op.objects.traceback_name, op.line);
  return -1;
}

// TypeError for a wrong number of positional arguments or a required
// parameter left empty. `count` includes self; so does `given`.
int wrong_count(const Operation& op, int n, int m, bool too_many, Py_ssize_t given) noexcept {
  const char* word = m == n ? "exactly" : too_many ? "at most" : "at least";
  Py_ssize_t count = too_many ? n : m;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               op.name, word, count, count == 1 ? "" : "s", given);
  return binding_error(op);
}

// TypeError for an argument of the wrong type. When the object is an instance
// of a subclass of the expected type, a note says why it is still refused.
void incorrect_type(const char* param, PyTypeObject* expected, PyObject* obj) noexcept {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               expected->tp_name, Py_TYPE(obj)->tp_name);
  if (!PyObject_TypeCheck(obj, expected)) return;
  PyObject* exc = PyErr_GetRaisedException();
  Ref note = Ref::steal(PyUnicode_FromFormat(
      "'%.200s' must be exactly %.200s: instances of subclasses of built-in types are not "
      "accepted here",
      param, expected->tp_name));
  Ref added = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
  // The TypeError is what matters; a note that cannot be attached is dropped.
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

// Equality of two exact str objects, without calling into Python.
bool same_text(PyObject* a, PyObject* b) noexcept {
  Py_ssize_t len = PyUnicode_GET_LENGTH(a);
  if (len != PyUnicode_GET_LENGTH(b)) return false;
  int kind = PyUnicode_KIND(a);
  if (kind != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(len) * kind) ==
         0;
}

// The index of the parameter a keyword names, -1 when it names none, -2 with
// an error set when comparing a str subclass failed. Interned names match by
// pointer; others by their text, and a str subclass by its own `==`.
int match_keyword(const FunctionObject* f, int n, PyObject* key) noexcept {
  for (int i = 0; i < n; ++i) {
    if (f->param_names[i] == key) return i;
  }
  bool exact = PyUnicode_CheckExact(key);
  for (int i = 0; i < n; ++i) {
    if (exact) {
      if (same_text(key, f->param_names[i])) return i;
      continue;
    }
    int eq = PyObject_RichCompareBool(key, f->param_names[i], Py_EQ);
    if (eq < 0) return -2;
    if (eq > 0) return i;
  }
  return -1;
}

// Float conversion: the body receives a double in a.real[i]; a.obj[i] stays
// the object passed.
int convert_float(const Operation& op, Args& a, int i) noexcept {
  PyObject* obj = a.obj[i];
  if (PyFloat_CheckExact(obj)) {
    a.real[i] = PyFloat_AS_DOUBLE(obj);
    return 0;
  }
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return binding_error(op);
  a.real[i] = v;
  return 0;
}

// Int coercion: an exact int as is, any other number through int(). Its
// failures carry the entry for the line declaring the parameter.
int coerce_int(const Operation& op, Args& a, int i) noexcept {
  const Param& p = op.params[i];
  PyObject* obj = a.obj[i];
  if (PyLong_CheckExact(obj)) return 0;
  int line = p.line ? p.line : op.line;
  if (!PyNumber_Check(obj)) {
    incorrect_type(p.name, &PyLong_Type, obj);
    add_traceback(op.objects.traceback_name, line);
    return -1;
  }
  Ref converted = Ref::steal(PyNumber_Long(obj));
  if (!converted) {
    add_traceback(op.objects.traceback_name, line);
    return -1;
  }
  if (!PyLong_CheckExact(converted.get())) {
    incorrect_type(p.name, &PyLong_Type, converted.get());
    add_traceback(op.objects.traceback_name, line);
    return -1;
  }
  a.obj[i] = converted.get();
  a.owned[i] = std::move(converted);
  return 0;
}

// Exact-type checks carry no traceback entry.
int check_exact(const Param& p, PyObject* obj) noexcept {
  switch (p.check) {
    case Check::exact_str:
      if (PyUnicode_CheckExact(obj)) return 0;
      incorrect_type(p.name, &PyUnicode_Type, obj);
      return -1;
    case Check::list_or_none:
      if (obj == Py_None) return 0;
      [[fallthrough]];
    case Check::exact_list:
      if (PyList_CheckExact(obj)) return 0;
      incorrect_type(p.name, &PyList_Type, obj);
      return -1;
    default: return 0;
  }
}

// An operation that takes no parameters at all (the id factory).
int bind_nothing(const Operation& op, Py_ssize_t nargs, Py_ssize_t nkw) noexcept {
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", op.name, "takes no arguments", nargs);
    return binding_error(op);
  }
  if (nkw > 0) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", op.name, "takes no keyword arguments");
    return binding_error(op);
  }
  return 0;
}

// Binds positional and keyword arguments to the parameters, fills defaults,
// then converts and checks. -1 with the error set (and its entry added).
// Converts and checks the bound arguments: float conversions first, then the
// int coercions and exact-type checks in parameter order.
int convert_and_check(const Operation& op, int n, Args& a) noexcept {
  for (int i = 0; i < n; ++i) {
    if (op.params[i].check == Check::to_float && convert_float(op, a, i) < 0) return -1;
  }
  for (int i = 0; i < n; ++i) {
    const Param& p = op.params[i];
    if (p.check == Check::to_int) {
      if (coerce_int(op, a, i) < 0) return -1;
    } else if (check_exact(p, a.obj[i]) < 0) {
      return -1;
    }
  }
  return 0;
}

int bind_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Args& a) noexcept {
  const Operation& op = *f->op;
  const int n = f->count;
  const int m = f->required;
  // The common call: every parameter given by position.
  if (!kwnames && nargs == n) {
    for (int i = 0; i < n; ++i) a.obj[i] = args[i];
    a.count = n;
    return f->checked ? convert_and_check(op, n, a) : 0;
  }
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (n == 0) return bind_nothing(op, nargs, nkw);

  if (nargs > n) return wrong_count(op, n, m, true, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) a.obj[i] = args[i];

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", op.name);
      return binding_error(op);
    }
    int j = match_keyword(f, n, key);
    if (j == -2) return binding_error(op);
    if (j < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", op.name, key);
      return binding_error(op);
    }
    if (a.obj[j]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", op.name,
                   key);
      return binding_error(op);
    }
    a.obj[j] = args[nargs + k];
  }

  // Defaults come from the tuple made with the function, never from a
  // replaced __defaults__.
  for (int i = m; i < n; ++i) {
    if (!a.obj[i]) a.obj[i] = PyTuple_GET_ITEM(f->defaults, i - m);
  }
  for (int i = 0; i < m; ++i) {
    if (!a.obj[i]) return wrong_count(op, n, m, false, i);
  }
  a.count = n;
  return convert_and_check(op, n, a);
}

// Runs a plain body, adding the entry for an error that leaves it.
Ref run_plain(const Operation& op, Call& c) noexcept {
  Ref result = op.plain(c);
  if (!result) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_SystemError, "%.200s() failed without setting an error", op.name);
    }
    add_traceback(op.objects.traceback_name, c.line);
  }
  return result;
}

// run_plain, reported to the sys.monitoring tools as a Python function's call
// is: PY_START, then PY_RETURN with the result, or PY_UNWIND with the error.
// A callback's error is the call's error, as it would be in that function.
ZORVIC_NOINLINE Ref run_plain_reported(const Operation& op, Call& c) noexcept {
  monitoring::State& m = op.monitoring;
  PyObject* code = op.objects.code;
  Ref result;
  if (monitoring::fire_start(m, code) < 0) {
    add_traceback(op.objects.traceback_name, op.line);
  } else {
    result = run_plain(op, c);
    if (result && monitoring::fire_return(m, code, result.get()) < 0) {
      result.reset();
      add_traceback(op.objects.traceback_name, c.line);
    }
  }
  if (!result) (void)monitoring::fire_unwind(m, code);
  return result;
}

// Runs a plain body or starts an async one, adding the entry for an error
// that leaves it.
Ref run_operation(const Operation& op, const Args& a) noexcept {
  const bool async = op.kind == Kind::async_;
  if (async ? !op.start : !op.plain) {
    PyErr_Format(PyExc_NotImplementedError, "%.200s() has no body in this build", op.name);
    add_traceback(op.objects.traceback_name, op.line);
    return {};
  }
  if (async) {
    Ref coro = op.start(op, a);
    if (!coro) add_traceback(op.objects.traceback_name, op.line);
    return coro;
  }
  Call c{a, op.line};
  return monitoring::enter(op.monitoring) ? run_plain_reported(op, c) : run_plain(op, c);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
  FunctionObject* f = as_function(callable);
  Args a;
  if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, a) < 0) return nullptr;
  return run_operation(*f->op, a).release();
}

// ================================================================ slots

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->dict);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults_seen);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->coroutine_marker);
  Py_VISIT(f->defaults);
  Py_VISIT(f->code);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults_seen);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->coroutine_marker);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->code);
  for (PyObject*& p : f->param_names) Py_CLEAR(p);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  if (f->qualname) return PyUnicode_FromFormat("<zorvic function %U at %p>", f->qualname, self);
  return PyUnicode_FromFormat("<zorvic function %s at %p>", f->op->qualname, self);
}

// Fetched through an instance: a bound method; through the class: itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled as a reference to a global: the qualified name, looked up in
// `__module__` when unpickling, which yields this very object.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->qualname) return Py_NewRef(f->qualname);
  return PyUnicode_FromString(f->op->qualname);
}

// ================================================================ attributes

PyObject* get_name(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->name) return Py_NewRef(f->name);
  return PyUnicode_FromString(f->op->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->name, Py_NewRef(value));
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->qualname) return Py_NewRef(f->qualname);
  return PyUnicode_FromString(f->op->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept {
  return new_ref_or_none(as_function(self)->module);
}

// Any value; deleting leaves None.
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_doc(PyObject* self, void*) noexcept {
  return new_ref_or_none(as_function(self)->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_globals(PyObject*, void*) noexcept { return new_ref_or_none(g_globals); }

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) noexcept {
  return new_ref_or_none(as_function(self)->code);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
  return new_ref_or_none(as_function(self)->defaults_seen);
}

// Replacing __defaults__ or __kwdefaults__ is allowed for tools that expect
// it, but the calls keep binding with the defaults the function was made
// with; the warning says so.
int warn_replaced(const char* attribute) noexcept {
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "replacing %s of a zorvic function does not change the values its "
                          "calls use",
                          attribute);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  if (warn_replaced("__defaults__") < 0) return -1;
  Py_XSETREF(as_function(self)->defaults_seen, Py_XNewRef(value));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
  return new_ref_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  if (warn_replaced("__kwdefaults__") < 0) return -1;
  Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

// After being replaced by None, every read yields a new empty dict.
PyObject* get_annotations(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->annotations) return Py_NewRef(f->annotations);
  return PyDict_New();
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
  return 0;
}

// asyncio.iscoroutinefunction compares this with asyncio's own marker.
PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (f->op->kind != Kind::async_) Py_RETURN_FALSE;
  if (!f->coroutine_marker) {
    PyObject* marker = nullptr;
    if (Ref mod = Ref::steal(PyImport_ImportModule("asyncio.coroutines"))) {
      marker = PyObject_GetAttrString(mod.get(), "_is_coroutine");
    }
    if (!marker) {
      PyErr_Clear();
      marker = Py_NewRef(Py_True);
    }
    // Fetching may have run Python code that filled the cache already.
    if (f->coroutine_marker) {
      Py_DECREF(marker);
    } else {
      f->coroutine_marker = marker;
    }
  }
  return Py_NewRef(f->coroutine_marker);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZORVIC_SOME_FIELDS_BEGIN
// clang-format off
PyTypeObject function_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(&PyType_Type, 0)
    .tp_name = "zorvic.core.worker_pool.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,                                // drops everything
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,                                      // qualified name, address
    .tp_call = PyVectorcall_Call,                                  // dict calls via vectorcall
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = function_traverse,                              // GC
    .tp_clear = function_clear,                                    // GC
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,                                // __reduce__
    .tp_getset = function_getset,                                  // the function attributes
    .tp_descr_get = function_descr_get,                            // binds to instances
    .tp_dictoffset = offsetof(FunctionObject, dict),
};
// clang-format on
ZORVIC_SOME_FIELDS_END

// ================================================================ making functions

// A string kept for the life of the process: the module name, a dot and the
// qualified name, with the "<locals>." parts and the angle brackets left out
// (the counting generators of stats() read "...WorkerPool.stats.genexpr", the
// id factory "...WorkerTask.lambda").
const char* make_traceback_name(const char* qualname) noexcept {
  static constexpr char kLocals[] = "<locals>.";
  const std::size_t module_len = std::strlen(kModuleName);
  auto* out = static_cast<char*>(PyMem_Malloc(module_len + 1 + std::strlen(qualname) + 1));
  if (!out) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memcpy(out, kModuleName, module_len);
  char* w = out + module_len;
  *w++ = '.';
  for (const char* r = qualname; *r;) {
    if (std::strncmp(r, kLocals, sizeof(kLocals) - 1) == 0) {
      r += sizeof(kLocals) - 1;
    } else if (*r == '<' || *r == '>') {
      ++r;
    } else {
      *w++ = *r++;
    }
  }
  *w = '\0';
  return out;
}

// A code object that describes the operation to the host's tools: its name,
// qualified name, file, first line, parameters and flags. Its instructions are
// the empty placeholder; it is never executed by the module.
Ref make_code(const Operation& op) noexcept {
  Ref code =
      Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, op.name, op.line)));
  if (!code) return {};
  const int n = op.param_count();
  Ref varnames = Ref::steal(PyTuple_New(n));
  if (!varnames) return {};
  for (int i = 0; i < n; ++i) {
    PyObject* name = PyUnicode_InternFromString(op.params[i].name);
    if (!name) return {};
    PyTuple_SET_ITEM(varnames.get(), i, name);
  }
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  if (op.kind == Kind::async_) flags |= CO_COROUTINE;
  if (op.kind == Kind::generator) flags |= CO_GENERATOR;
  Ref count = Ref::steal(PyLong_FromLong(n));
  Ref flag_value = Ref::steal(PyLong_FromLong(flags));
  Ref qualname = Ref::steal(PyUnicode_FromString(op.qualname));
  Ref method = Ref::steal(PyUnicode_FromString("replace"));
  Ref kwnames = Ref::steal(Py_BuildValue("(sssss)", "co_argcount", "co_nlocals", "co_varnames",
                                         "co_flags", "co_qualname"));
  if (!count || !flag_value || !qualname || !method || !kwnames) return {};
  PyObject* argv[] = {code.get(),     count.get(),      count.get(),
                      varnames.get(), flag_value.get(), qualname.get()};
  return Ref::steal(PyObject_VectorcallMethod(method.get(), argv, 1, kwnames.get()));
}

// The __defaults__ tuple of the trailing parameters from `first` on.
Ref make_defaults(const Operation& op, int first, int n) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(n - first));
  if (!tuple) return {};
  for (int i = first; i < n; ++i) {
    const Default& d = op.params[i].fallback;
    PyObject* value = d.kind == Default::integer ? PyLong_FromLong(static_cast<long>(d.value))
                      : d.kind == Default::real  ? PyFloat_FromDouble(d.value)
                                                 : Py_NewRef(Py_None);
    if (!value) return {};
    PyTuple_SET_ITEM(tuple.get(), i - first, value);
  }
  return tuple;
}

// The annotation strings in parameter order, "return" last.
Ref make_annotations(const Operation& op, int n) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (int i = 0; i < n; ++i) {
    const Param& p = op.params[i];
    if (!p.annotation) continue;
    Ref value = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!value || PyDict_SetItemString(dict.get(), p.name, value.get()) < 0) return {};
  }
  if (op.returns) {
    Ref value = Ref::steal(PyUnicode_FromString(op.returns));
    if (!value || PyDict_SetItemString(dict.get(), "return", value.get()) < 0) return {};
  }
  return dict;
}

}  // namespace

int init_function_type() noexcept {
  // A static type, so that its __module__ is a string while each function
  // carries its own (see static_type.hpp).
  if (g_type) return 0;
  if (ready_static_type(function_type_object) < 0) return -1;
  g_type = &function_type_object;
  return 0;
}

PyTypeObject* function_type() noexcept { return g_type; }

int prepare_operation(Operation& op) noexcept {
  OperationObjects& o = op.objects;
  // A module executed again after a failed attempt reuses what it made.
  if (o.name && o.qualname && o.code && o.traceback_name) return 0;
  if (!o.name && !(o.name = PyUnicode_InternFromString(op.name))) return -1;
  if (!o.qualname && !(o.qualname = PyUnicode_InternFromString(op.qualname))) return -1;
  if (!o.code && !(o.code = make_code(op).release())) return -1;
  if (!o.traceback_name && !(o.traceback_name = make_traceback_name(op.qualname))) return -1;
  return 0;
}

Ref make_function(Operation& op) noexcept {
  if (init_function_type() < 0) return {};
  if (op.kind == Kind::generator) {
    PyErr_Format(PyExc_SystemError, "%.200s is a generator, not a function", op.qualname);
    return {};
  }
  if (prepare_operation(op) < 0) return {};
  const int n = op.param_count();
  int m = 0;
  while (m < n && op.params[m].fallback.kind == Default::required) ++m;
  for (int i = m; i < n; ++i) {
    if (op.params[i].fallback.kind == Default::required) {
      PyErr_Format(PyExc_SystemError,
                   "%.200s: parameter '%.200s' without a default follows one with a default",
                   op.qualname, op.params[i].name);
      return {};
    }
  }
  Ref defaults = m < n ? make_defaults(op, m, n) : Ref();
  if (m < n && !defaults) return {};
  Ref annotations = make_annotations(op, n);
  if (!annotations) return {};
  Ref doc = op.doc ? Ref::steal(PyUnicode_FromString(op.doc)) : Ref::none();
  Ref module = Ref::steal(PyUnicode_InternFromString(kModuleName));
  if (!doc || !module) return {};
  Ref params[kMaxParams];
  for (int i = 0; i < n; ++i) {
    params[i] = Ref::steal(PyUnicode_InternFromString(op.params[i].name));
    if (!params[i]) return {};
  }

  Ref obj = Ref::steal(g_type->tp_alloc(g_type, 0));
  if (!obj) return {};
  FunctionObject* f = as_function(obj.get());
  f->vectorcall = function_vectorcall;
  f->op = &op;
  f->count = n;
  f->required = m;
  f->checked = false;
  for (int i = 0; i < n; ++i) f->checked |= op.params[i].check != Check::none;
  f->name = Py_NewRef(op.objects.name);
  f->qualname = Py_NewRef(op.objects.qualname);
  f->module = module.release();
  f->doc = doc.release();
  f->defaults_seen = defaults.new_ref();
  f->defaults = defaults.release();
  f->kwdefaults = nullptr;
  f->annotations = annotations.release();
  f->code = Py_NewRef(op.objects.code);
  for (int i = 0; i < n; ++i) f->param_names[i] = params[i].release();
  return obj;
}

}  // namespace binding

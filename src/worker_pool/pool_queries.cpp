// Queries and statistics: seven read-only views over the pool's tables.
//
// Nothing here awaits, so each call sees the tables as they stand. Every
// attribute is read on `self` at the moment of use (an instance attribute or
// a subclass that replaces one is honoured), and `WorkerState` is looked up
// afresh for every record examined.
#include <cstddef>
#include <cstring>

#include "binding/body.hpp"
#include "binding/traceback.hpp"
#include "worker_pool/lines.hpp"
#include "worker_pool/names.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Call;
using binding::Name;
using binding::Ref;

const Name kValues{"values"};
const Name kListActive{"list_active"};
const Name kListCompleted{"list_completed"};

// The keys of the statistics dict, in the order they are inserted.
const Name kMaxWorkers{"max_workers"};
const Name kActiveCount{"active_count"};
const Name kQueuedCount{"queued_count"};
const Name kTotalSubmitted{"total_submitted"};
const Name kTotalCompleted{"total_completed"};
const Name kTotalFailed{"total_failed"};
const Name kCompletedHistory{"completed_history"};

// The name a failure to create a counting generator is reported under.
constexpr const char* kGenexprTracebackName = "zorvic.core.worker_pool.WorkerPool.stats.genexpr";

// ---------------------------------------------------------------- walking

// A cursor over the values of a table or the entries of a sequence. It is a
// cursor rather than a callback so that the counting generators can yield
// between two steps; `source` is its one reference, listed in a scope's refs().
class Walk {
 public:
  Ref source;  // the dict, list or tuple walked by position, or an iterator

  // The values of `_active`: an exact dict is walked in place, watching its
  // size; any other object has its values() called and the result walked.
  int begin_values(PyObject* table) noexcept {
    if (PyDict_CheckExact(table)) {
      source = Ref::borrow(table);
      mode_ = Mode::dict;
      pos_ = 0;
      size_ = PyDict_GET_SIZE(table);
      return 0;
    }
    Ref values = binding::call_method(table, kValues.get());
    if (!values) return -1;
    return begin_items(std::move(values));
  }

  // The entries of a sequence: a list (its length re-read at every step) or a
  // tuple by index, anything else through its iterator.
  int begin_items(Ref seq) noexcept {
    pos_ = 0;
    if (PyList_CheckExact(seq.get())) {
      mode_ = Mode::list;
    } else if (PyTuple_CheckExact(seq.get())) {
      mode_ = Mode::tuple;
    } else {
      mode_ = Mode::iter;
      seq = Ref::steal(PyObject_GetIter(seq.get()));
      if (!seq) return -1;
    }
    source = std::move(seq);
    return 0;
  }

  // 1 with the next entry in `out`, 0 at the end, -1 with an error set.
  int next(Ref& out) noexcept {
    PyObject* src = source.get();
    switch (mode_) {
      case Mode::dict: {
        if (PyDict_GET_SIZE(src) != size_) {
          PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
          return -1;
        }
        PyObject* key;
        PyObject* value;
        if (!PyDict_Next(src, &pos_, &key, &value)) return 0;
        out = Ref::borrow(value);
        return 1;
      }
      case Mode::list:
        if (pos_ >= PyList_GET_SIZE(src)) return 0;
        out = Ref::borrow(PyList_GET_ITEM(src, pos_++));
        return 1;
      case Mode::tuple:
        if (pos_ >= PyTuple_GET_SIZE(src)) return 0;
        out = Ref::borrow(PyTuple_GET_ITEM(src, pos_++));
        return 1;
      case Mode::iter:
        out = Ref::steal(PyIter_Next(src));
        if (out) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }
    return 0;
  }

 private:
  enum class Mode : unsigned char { dict, list, tuple, iter };
  Mode mode_ = Mode::iter;
  Py_ssize_t pos_ = 0;
  Py_ssize_t size_ = 0;
};

// `record.state == WorkerState.<member>`: the generic == and the truth of its
// result, with WorkerState looked up now. 1, 0, or -1 with an error set.
int state_is(PyObject* record, const Name& member) noexcept {
  Ref state = binding::getattr(record, kState.get());
  if (!state) return -1;
  return common::is_state(state.get(), member.get());
}

// The test of the history scan: `record_id == task_id`, where task_id is
// exactly a str. Identity and two exact strs are settled here, a None id never
// matches, anything else goes through the generic ==.
int same_id(PyObject* record_id, PyObject* task_id) noexcept {
  if (record_id == task_id) return 1;
  if (PyUnicode_CheckExact(record_id) && PyUnicode_CheckExact(task_id)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(record_id);
    if (length != PyUnicode_GET_LENGTH(task_id)) return 0;
    const int kind = PyUnicode_KIND(record_id);
    if (kind != PyUnicode_KIND(task_id)) return 0;  // canonical strs: different text
    return std::memcmp(PyUnicode_DATA(record_id), PyUnicode_DATA(task_id),
                       static_cast<std::size_t>(length) * kind) == 0;
  }
  if (record_id == Py_None) return 0;
  Ref equal = Ref::steal(PyObject_RichCompare(record_id, task_id, Py_EQ));
  if (!equal) return -1;
  return PyObject_IsTrue(equal.get());
}

// Appends `record.to_dict()` to `out`. -1 with an error set.
int append_dict(PyObject* out, PyObject* record) noexcept {
  Ref d = binding::call_method(record, kToDict.get());
  if (!d) return -1;
  return PyList_Append(out, d.get());
}

// The listings over `_active`: every value's to_dict(), or only those whose
// state equals WorkerState.<only> when `only` is given.
Ref list_active_records(Call& c, int line, const Name* only) noexcept {
  c.line = line;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return {};
  Ref table = binding::get_field(c[0], kPoolActive);
  if (!table) return {};
  Walk walk;
  if (walk.begin_values(table.get()) < 0) return {};
  table.reset();
  for (;;) {
    Ref record;
    int more = walk.next(record);
    if (more < 0) return {};
    if (!more) break;
    if (only) {
      int match = state_is(record.get(), *only);
      if (match < 0) return {};
      if (!match) continue;
    }
    if (append_dict(out.get(), record.get()) < 0) return {};
  }
  return out;
}

// `obj[slice]` through the mapping subscript only: an object without one is
// "unsliceable", whatever else it supports.
Ref subscript_slice(PyObject* obj, PyObject* slice) noexcept {
  PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
  if (!mapping || !mapping->mp_subscript) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
    return {};
  }
  return Ref::steal(mapping->mp_subscript(obj, slice));
}

// ---------------------------------------------------------------- stats

// The scope of a counting generator: `1 for s in self._active.values() if
// s.state == WorkerState.<member>`. The walk starts when the generator first
// runs, so a broken `_active` fails inside sum().
struct CountScope final : binding::ScopeOf<CountScope> {
  Ref self;
  Walk walk;
  Ref record;
  const Name* member = nullptr;

  auto refs() noexcept { return std::tie(self, walk.source, record); }
  void bind(const binding::Args&) noexcept {}
};

binding::Body count_matching(CountScope& s) noexcept {
  s.line = s.op->line;
  {
    Ref table = binding::get_field(s.self.get(), kPoolActive);
    if (!table) co_return binding::error();
    if (s.walk.begin_values(table.get()) < 0) co_return binding::error();
  }
  for (;;) {
    int more = s.walk.next(s.record);
    if (more < 0) co_return binding::error();
    if (!more) break;
    int match = state_is(s.record.get(), *s.member);
    s.record.reset();
    if (match < 0) co_return binding::error();
    if (!match) continue;
    // throw() and close() end the generator at the yield without resuming
    // the body, so a resumption here always continues the walk.
    co_yield state().int_1.copy();
  }
  co_return Ref::none();
}

// Creates one counting generator over `self`. A failure is reported under the
// generator's own name and line before the caller adds its entry.
Ref make_counter(binding::Operation& op, PyObject* self, const Name& member) noexcept {
  CountScope* s = CountScope::acquire();
  if (!s) {
    binding::add_traceback(kGenexprTracebackName, op.line);
    return {};
  }
  s->op = &op;
  s->line = op.line;
  s->self = Ref::borrow(self);
  s->member = &member;
  binding::Body body = count_matching(*s);
  if (!body) {
    s->recycle();
    binding::add_traceback(kGenexprTracebackName, op.line);
    return {};
  }
  Ref gen = binding::make_generator(op, s, std::move(body));
  if (!gen) binding::add_traceback(kGenexprTracebackName, op.line);
  return gen;
}

// `sum(<counting generator>)`, the builtin fetched once at load.
Ref count_in_active(Call& c, binding::Operation& op, const Name& member, int sum_line) noexcept {
  c.line = op.line;
  Ref gen = make_counter(op, c[0], member);
  if (!gen) return {};
  c.line = sum_line;
  return binding::call(state().sum.get(), gen.get());
}

// A new dict with the statistics keys in order, all mapped to None: a copy
// of one made on first use. It starts with room for every entry, and filling
// it only replaces values (nobody sees it before it is complete).
Ref new_stats_dict() noexcept {
  static PyObject* keys_in_order = nullptr;
  if (!keys_in_order) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return {};
    for (const Name* key : {&kMaxWorkers, &kActiveCount, &kQueuedCount, &kTotalSubmitted,
                            &kTotalCompleted, &kTotalFailed, &kCompletedHistory}) {
      if (PyDict_SetItem(d.get(), key->get(), Py_None) < 0) return {};
    }
    keys_in_order = d.release();
  }
  return Ref::steal(PyDict_Copy(keys_in_order));
}

// Inserts `key: self.<field>` into the statistics dict.
int insert_field(Call& c, PyObject* dict, const Name& key, const binding::Field& field,
                 int line) noexcept {
  c.line = line;
  Ref value = binding::get_field(c[0], field);
  if (!value) return -1;
  c.line = lines::kStatsDict;
  return PyDict_SetItem(dict, key.get(), value.get());
}

}  // namespace

// The counting generators of stats().
// clang-format off
binding::Operation stats_running_genexpr{
    .name = "genexpr", .qualname = "WorkerPool.stats.<locals>.genexpr",
    .line = lines::kStatsRunningGenexpr, .params = {}, .kind = binding::Kind::generator};
binding::Operation stats_queued_genexpr{
    .name = "genexpr", .qualname = "WorkerPool.stats.<locals>.genexpr",
    .line = lines::kStatsQueuedGenexpr, .params = {}, .kind = binding::Kind::generator};
// clang-format on

// ---------------------------------------------------------------- get_status

// The live record of an active worker, else the oldest history record with
// that id, else None.
Ref get_status(Call& c) noexcept {
  PyObject* self = c[0];
  PyObject* task_id = c[1];

  c.line = lines::kGetStatusActiveTest;
  Ref table = binding::get_field(self, kPoolActive);
  if (!table) return {};
  int active = common::table_contains(table.get(), task_id);
  if (active < 0) return {};
  table.reset();
  if (active) {
    c.line = lines::kGetStatusActive;
    table = binding::get_field(self, kPoolActive);
    if (!table) return {};
    return Ref::steal(PyObject_GetItem(table.get(), task_id));
  }

  // The history is read the generic way: measured, the instance-dict read
  // made the scan below cost more than the read saved.
  c.line = lines::kGetStatusHistory;
  Ref history = binding::getattr(self, kPoolCompleted);
  if (!history) return {};
  Walk walk;
  if (walk.begin_items(std::move(history)) < 0) return {};
  for (;;) {
    c.line = lines::kGetStatusHistory;
    Ref record;
    int more = walk.next(record);
    if (more < 0) return {};
    if (!more) break;
    c.line = lines::kGetStatusMatch;
    Ref record_id = binding::getattr(record.get(), kTaskId.get());
    if (!record_id) return {};
    int same = same_id(record_id.get(), task_id);
    if (same < 0) return {};
    if (same) return record;
  }
  return Ref::none();
}

// ---------------------------------------------------------------- listings

Ref list_active(Call& c) noexcept {
  return list_active_records(c, lines::kListActiveBody, nullptr);
}

Ref list_running(Call& c) noexcept {
  return list_active_records(c, lines::kListRunningBody, &kStateRunning);
}

Ref list_queued(Call& c) noexcept {
  return list_active_records(c, lines::kListQueuedBody, &kStateQueued);
}

// `[s.to_dict() for s in self._completed[-limit:]]`: oldest first, with the
// host's slice rules (0 gives everything, -n all but the first n).
Ref list_completed(Call& c) noexcept {
  c.line = lines::kListCompletedBody;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return {};
  Ref history = binding::get_field(c[0], kPoolCompleted);
  if (!history) return {};
  Ref start = Ref::steal(PyNumber_Negative(c[1]));
  if (!start) return {};
  Ref slice = Ref::steal(PySlice_New(start.get(), nullptr, nullptr));
  if (!slice) return {};
  Ref recent = subscript_slice(history.get(), slice.get());
  if (!recent) return {};
  Walk walk;
  if (walk.begin_items(std::move(recent)) < 0) return {};
  for (;;) {
    Ref record;
    int more = walk.next(record);
    if (more < 0) return {};
    if (!more) break;
    if (append_dict(out.get(), record.get()) < 0) return {};
  }
  return out;
}

// `self.list_active() + self.list_completed(20)`, which must be a list.
Ref list_all(Call& c) noexcept {
  c.line = lines::kListAllBody;
  Ref active = binding::call_method(c[0], kListActive.get());
  if (!active) return {};
  Ref recent = binding::call_method(c[0], kListCompleted.get(), state().int_20.get());
  if (!recent) return {};
  Ref all = Ref::steal(PyNumber_Add(active.get(), recent.get()));
  if (!all) return {};
  if (all.get() != Py_None && !PyList_CheckExact(all.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(all.get())->tp_name);
    return {};
  }
  return all;
}

// ---------------------------------------------------------------- stats

Ref stats(Call& c) noexcept {
  Ref running = count_in_active(c, stats_running_genexpr, kStateRunning, lines::kStatsRunning);
  if (!running) return {};
  Ref queued = count_in_active(c, stats_queued_genexpr, kStateQueued, lines::kStatsQueued);
  if (!queued) return {};

  c.line = lines::kStatsDict;
  Ref out = new_stats_dict();
  if (!out) return {};
  PyObject* d = out.get();
  if (insert_field(c, d, kMaxWorkers, kPoolMaxWorkers, lines::kStatsMaxWorkers) < 0) return {};
  if (PyDict_SetItem(d, kActiveCount.get(), running.get()) < 0) return {};
  if (PyDict_SetItem(d, kQueuedCount.get(), queued.get()) < 0) return {};
  if (insert_field(c, d, kTotalSubmitted, kPoolTotalSubmitted, lines::kStatsTotalSubmitted) < 0) {
    return {};
  }
  if (insert_field(c, d, kTotalCompleted, kPoolTotalCompleted, lines::kStatsTotalCompleted) < 0) {
    return {};
  }
  if (insert_field(c, d, kTotalFailed, kPoolTotalFailed, lines::kStatsTotalFailed) < 0) return {};

  c.line = lines::kStatsCompletedHistory;
  Ref history = binding::get_field(c[0], kPoolCompleted);
  if (!history) return {};
  Py_ssize_t length = PyObject_Size(history.get());
  if (length < 0) return {};
  Ref count = Ref::steal(PyLong_FromSsize_t(length));
  if (!count) return {};
  c.line = lines::kStatsDict;
  if (PyDict_SetItem(d, kCompletedHistory.get(), count.get()) < 0) return {};
  return out;
}

}  // namespace worker_pool

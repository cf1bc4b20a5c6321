// Submission: a task gets its QUEUED record, a broadcast and an asyncio task
// named "worker-<id>" that runs the worker; submit_many does that for a list,
// one task after the other.
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"
#include "worker_pool/records.hpp"

namespace worker_pool {
namespace {

using binding::Caught;
using binding::Ref;
using common::global_attr;

// The task id check comes right after the executor check (the source's
// blank line between the two steps).
constexpr int kSubmitCheckTaskId = 175;

const binding::Name kRunWorker{"_run_worker"};
const binding::Name kSubmit{"submit"};
const binding::Name kDone{"done"};
const binding::Name kAddNote{"add_note"};
const binding::Name kCreateTask{"create_task"};

const binding::Name kRecordNamePrefix{"Worker-"};
const binding::Name kTaskNamePrefix{"worker-"};
const binding::Name kSubmitted{"Worker submitted: "};
const binding::Name kOpenParen{" ("};
const binding::Name kCloseParen{")"};

// ---------------------------------------------------------------- submit

struct SubmitScope final : binding::ScopeOf<SubmitScope> {
  Ref self, task;
  Ref status;    // the new QUEUED record, the result
  Ref callback;  // the status callback of the QUEUED broadcast
  Ref worker;    // the asyncio task running _run_worker

  auto refs() noexcept { return std::tie(self, task, status, callback, worker); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    task = Ref::borrow(a[1]);
  }
};

// (1) Without an executor nothing changes.
int check_executor(SubmitScope& s) noexcept {
  s.line = lines::kSubmitCheckExecutor;
  Ref executor = binding::get_field(s.self.get(), kPoolExecutor);
  if (!executor) return -1;
  int set = PyObject_IsTrue(executor.get());
  if (set != 0) return set < 0 ? -1 : 0;
  s.line = lines::kSubmitNoExecutor;
  PyErr_SetString(PyExc_RuntimeError, "No executor set \xE2\x80\x94 call set_executor() first");
  return -1;
}

// The task id keys every table and ends up as the `task_id` argument of
// _move_to_completed, which takes exactly a str; any other id would strand the
// finished worker's record, so it is refused before anything changes, with
// the message (and, for a str subclass, the note) of the argument checks.
int check_task_id(SubmitScope& s) noexcept {
  s.line = kSubmitCheckTaskId;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  if (PyUnicode_CheckExact(task_id.get())) return 0;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "task_id",
               "str", Py_TYPE(task_id.get())->tp_name);
  if (PyUnicode_Check(task_id.get())) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromString(
        "'task_id' must be exactly str: instances of subclasses of built-in types are not "
        "accepted here"));
    // The TypeError is what matters; a note that cannot be attached is dropped.
    if (!note || !binding::call_method(error.get(), kAddNote, note.get())) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
  }
  return -1;
}

// (4) WorkerStatus(task_id=task.id, state=WorkerState.QUEUED,
//                  name=task.name or f"Worker-{task.id[:6]}")
Ref new_record(SubmitScope& s) noexcept {
  s.line = lines::kSubmitRecord;
  Ref record_type = common::global(kWorkerStatus);
  if (!record_type) return {};
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return {};
  Ref queued = common::state_member(kStateQueued);
  if (!queued) return {};

  s.line = lines::kSubmitRecordName;
  Ref name = binding::getattr(s.task.get(), kName);
  if (!name) return {};
  int named = PyObject_IsTrue(name.get());
  if (named < 0) return {};
  if (!named) {
    Ref id = binding::getattr(s.task.get(), kId);
    if (!id) return {};
    Ref head = Ref::steal(PyObject_GetItem(id.get(), state().slice_to_6.get()));
    if (!head) return {};
    name = common::text({kRecordNamePrefix, head.get()});
    if (!name) return {};
  }

  s.line = lines::kSubmitRecord;
  if (status_takes_positional(record_type.get())) {
    PyObject* argv[] = {nullptr, task_id.get(), queued.get(), name.get()};
    return Ref::steal(PyObject_Vectorcall(record_type.get(), argv + 1,
                                          3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  static common::Keywords record_keywords{kTaskId, kState, kName};
  PyObject* keywords = record_keywords.get();
  if (!keywords) return {};
  PyObject* argv[] = {nullptr, task_id.get(), queued.get(), name.get()};
  return Ref::steal(PyObject_Vectorcall(record_type.get(), argv + 1,
                                        0 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// (2 to 5) Count the submission, remember the task, create the QUEUED record
// and store it in _active.
int register_task(SubmitScope& s) noexcept {
  s.line = lines::kSubmitCount;
  if (common::add_one(s.self.get(), kPoolTotalSubmitted) < 0) return -1;

  s.line = lines::kSubmitRemember;
  Ref all_tasks = binding::get_field(s.self.get(), kPoolAllTasks);
  if (!all_tasks) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id || common::table_store(all_tasks.get(), task_id.get(), s.task.get()) < 0) return -1;

  s.status = new_record(s);
  if (!s.status) return -1;

  s.line = lines::kSubmitStore;
  Ref active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return -1;
  task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  return common::table_store(active.get(), task_id.get(), s.status.get());
}

// `self.<table>.get(task.id) is obj`: 1 or 0, -1 on error; `table` and
// `task_id` are filled for the caller's removal.
int holds(SubmitScope& s, const binding::Field& field, PyObject* obj, Ref& table,
          Ref& task_id) noexcept {
  table = binding::get_field(s.self.get(), field);
  if (!table) return -1;
  task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref held = common::table_get(table.get(), task_id.get());
  if (!held) return -1;
  return held.get() == obj;
}

// Submission failed after the record was stored and before a worker exists
// for it: the QUEUED record is taken out of _active again (if _active still
// holds that very record), so that no one sees a worker that will never run.
// The error then propagates unchanged; the counter and the _all_tasks entry
// stay.
void forget_record(SubmitScope& s) noexcept {
  Caught error = binding::hold_error();
  {
    binding::HandlingGuard handling(error);  // a failure here chains to the error
    Ref active, task_id;
    int own = holds(s, kPoolActive, s.status.get(), active, task_id);
    if (own > 0 && PyObject_DelItem(active.get(), task_id.get()) < 0) own = -1;
    if (own < 0) return;
  }
  (void)error.reraise();
}

// (7) asyncio.create_task(self._run_worker(task), name=f"worker-{task.id}")
Ref start_worker(SubmitScope& s) noexcept {
  s.line = lines::kSubmitCreateTask;
  static binding::GlobalAttrSite create_task_site;
  Ref create_task = global_attr(create_task_site, kAsyncio, kCreateTask);
  if (!create_task) return {};
  Ref coroutine = binding::call_method(s.self.get(), kRunWorker, s.task.get());
  if (!coroutine) return {};

  s.line = lines::kSubmitTaskName;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return {};
  Ref name = common::text({kTaskNamePrefix, task_id.get()});
  if (!name) return {};

  s.line = lines::kSubmitCreateTask;
  static common::Keywords task_keywords{kName};
  PyObject* keywords = task_keywords.get();
  if (!keywords) return {};
  PyObject* argv[] = {nullptr, coroutine.get(), name.get()};
  return Ref::steal(PyObject_Vectorcall(create_task.get(), argv + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// (8) self._tasks[task.id] = worker, for a worker whose id is still active.
// A cleanup() while the QUEUED broadcast was suspended has already dropped
// the record: such a worker ends at its first step (or is cancelled before
// it), and tracking it would leave a dead worker for cancel() and the waits.
// With an eager task factory the worker has already run its first step inside
// create_task, and one whose executor never suspended has finished and left
// the tables before it could be stored here: a finished worker is not left
// behind in _tasks either.
int track_worker(SubmitScope& s) noexcept {
  s.line = lines::kSubmitStoreTask;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return -1;
  int still_active = common::table_contains(active.get(), task_id.get());
  if (still_active <= 0) return still_active;
  Ref tasks = binding::get_field(s.self.get(), kPoolTasks);
  if (!tasks || common::table_store(tasks.get(), task_id.get(), s.worker.get()) < 0) return -1;

  binding::Method done;
  int has_done = binding::lookup_optional_method(s.worker.get(), kDone, done);
  if (has_done <= 0) return has_done;
  Ref finished = binding::call(done);
  if (!finished) return -1;
  int is_finished = PyObject_IsTrue(finished.get());
  if (is_finished <= 0) return is_finished;
  int own = holds(s, kPoolTasks, s.worker.get(), tasks, task_id);
  if (own <= 0) return own;
  return PyObject_DelItem(tasks.get(), task_id.get());
}

// (9) "Worker submitted: <task.name> (<task.id>)"
int log_submitted(SubmitScope& s) noexcept {
  s.line = lines::kSubmitLog;
  static binding::GlobalAttrSite info_site;
  Ref info = common::logger_method(info_site, kInfo);
  if (!info) return -1;
  Ref name = binding::getattr(s.task.get(), kName);
  if (!name) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref message = common::text({kSubmitted, name.get(), kOpenParen, task_id.get(), kCloseParen});
  if (!message) return -1;
  return common::log(info, message);
}

binding::Body submit(SubmitScope& s) noexcept {
  if (check_executor(s) < 0) co_return binding::error();  // (1)
  if (check_task_id(s) < 0) co_return binding::error();
  if (register_task(s) < 0) co_return binding::error();   // (2 to 5)

  // (6) The QUEUED broadcast. Nothing is caught, but a failure leaves no
  // record without a worker behind.
  s.line = lines::kSubmitBroadcastTest;
  int broadcast = common::status_callback(s.self.get(), s.callback);
  if (broadcast > 0) {
    s.line = lines::kSubmitBroadcast;
    Ref said = co_await binding::await_(binding::call(s.callback.get(), s.status.get()));
    broadcast = said ? 0 : -1;
  }
  if (broadcast < 0) {
    forget_record(s);
    co_return binding::error();
  }

  // (7, 8) Start the worker and track it.
  s.worker = start_worker(s);
  if (!s.worker) {
    forget_record(s);
    co_return binding::error();
  }
  if (track_worker(s) < 0) co_return binding::error();

  if (log_submitted(s) < 0) co_return binding::error();  // (9)

  s.line = lines::kSubmitReturn;  // (10)
  co_return s.status.copy();
}

// ---------------------------------------------------------------- submit_many

struct SubmitManyScope final : binding::ScopeOf<SubmitManyScope> {
  Ref self, tasks;  // tasks: exactly a list (checked by the binding)
  Ref records;      // the result list
  Ref item;         // the task being submitted
  Py_ssize_t index = 0;

  auto refs() noexcept { return std::tie(self, tasks, records, item); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    tasks = Ref::borrow(a[1]);
    index = 0;
  }
};

// [await self.submit(t) for t in tasks]: the length is read before each
// element, so tasks appended while a submit is suspended are submitted too.
binding::Body submit_many(SubmitManyScope& s) noexcept {
  s.line = lines::kSubmitManyBody;
  s.records = Ref::steal(PyList_New(0));
  if (!s.records) co_return binding::error();
  while (s.index < PyList_GET_SIZE(s.tasks.get())) {
    s.item = Ref::borrow(PyList_GET_ITEM(s.tasks.get(), s.index));
    ++s.index;
    Ref record =
        co_await binding::await_(binding::call_method(s.self.get(), kSubmit, s.item.get()));
    if (!record) co_return binding::error();
    if (PyList_Append(s.records.get(), record.get()) < 0) co_return binding::error();
  }
  co_return std::move(s.records);
}

}  // namespace

Ref start_submit(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<SubmitScope, submit>(op, a);
}

Ref start_submit_many(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<SubmitManyScope, submit_many>(op, a);
}

}  // namespace worker_pool

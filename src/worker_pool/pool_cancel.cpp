// Cancellation and clean-up.
//
// `cancel` asks the worker's asyncio task to cancel and, without waiting for
// it, marks the record CANCELLED, tells the status callback and moves the
// record into the history, so that queries and waits see the worker finished
// as soon as `cancel` returns. The worker's own cancellation handling may
// write more to the same record later.

#include "binding/body.hpp"
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Name;
using binding::Ref;

const Name kCancel{"cancel"};  // the pool's method, and the asyncio task's
const Name kCancelAll{"cancel_all"};
const Name kClear{"clear"};
const Name kCancelledPrefix{"Worker cancelled: "};
const Name kCleanedUp{"WorkerPool cleaned up"};

// `key in self.<table>`, the table read now. 1, 0, or -1 with an error set.
int tracked_in(PyObject* self, const binding::Field& table, PyObject* key) noexcept {
  Ref t = binding::get_field(self, table);
  if (!t) return -1;
  return PySequence_Contains(t.get(), key);
}

// `self.<table>[key]`, the table read now.
Ref entry_of(PyObject* self, const binding::Field& table, PyObject* key) noexcept {
  Ref t = binding::get_field(self, table);
  if (!t) return {};
  return Ref::steal(PyObject_GetItem(t.get(), key));
}

// `self._active[task_id].<field> = value`: the record is looked up afresh.
int set_on_active(PyObject* self, PyObject* task_id, const Name& field, PyObject* value) noexcept {
  Ref status = entry_of(self, kPoolActive, task_id);
  if (!status) return -1;
  return binding::setattr(status.get(), field.get(), value);
}

// `logger.info("<prefix>" + text)`: the method is looked up before the
// message is built, as the call expression evaluates them.
int log_info(PyObject* prefix, PyObject* text) noexcept {
  Ref info = common::logger_method(kInfo.get());
  if (!info) return -1;
  Ref message = text ? Ref::steal(PyUnicode_Concat(prefix, text)) : Ref::borrow(prefix);
  if (!message) return -1;
  return common::log(info, message);
}

// `self.<table>.clear()`.
int clear_table(PyObject* self, const binding::Field& table) noexcept {
  Ref t = binding::get_field(self, table);
  if (!t) return -1;
  Ref done = binding::call_method(t.get(), kClear.get());
  return done ? 0 : -1;
}

// ---------------------------------------------------------------- cancel

struct CancelScope final : binding::ScopeOf<CancelScope> {
  Ref self, task_id;

  auto refs() noexcept { return std::tie(self, task_id); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    task_id = Ref::borrow(a[1]);
  }
};

binding::Body cancel(CancelScope& s) noexcept {
  s.line = lines::kCancelTracked;
  int tracked = tracked_in(s.self.get(), kPoolTasks, s.task_id.get());
  if (tracked < 0) co_return binding::error();
  if (!tracked) co_return Ref::boolean(false);

  // Only a request: the task notices it when the event loop next resumes it.
  s.line = lines::kCancelTask;
  {
    Ref task = entry_of(s.self.get(), kPoolTasks, s.task_id.get());
    if (!task) co_return binding::error();
    Ref ignored = binding::call_method(task.get(), kCancel.get());
    if (!ignored) co_return binding::error();
  }

  s.line = lines::kCancelActive;
  int active = tracked_in(s.self.get(), kPoolActive, s.task_id.get());
  if (active < 0) co_return binding::error();
  if (active) {
    s.line = lines::kCancelState;
    {
      Ref enumeration = binding::lookup_global(kWorkerState.get());
      if (!enumeration) co_return binding::error();
      Ref cancelled = binding::getattr(enumeration.get(), kStateCancelled.get());
      if (!cancelled) co_return binding::error();
      if (set_on_active(s.self.get(), s.task_id.get(), kState, cancelled.get()) < 0) {
        co_return binding::error();
      }
    }

    s.line = lines::kCancelCompletedAt;
    {
      Ref now = common::wall_clock();
      if (!now) co_return binding::error();
      if (set_on_active(s.self.get(), s.task_id.get(), kCompletedAt, now.get()) < 0) {
        co_return binding::error();
      }
    }

    s.line = lines::kCancelBroadcastTest;
    int notify;
    {
      Ref callback = binding::get_field(s.self.get(), kPoolOnStatusChange);
      if (!callback) co_return binding::error();
      notify = PyObject_IsTrue(callback.get());
      if (notify < 0) co_return binding::error();
    }
    if (notify) {
      // Called directly, not through _update_status, and nothing is caught:
      // a failing callback leaves the record CANCELLED but still active.
      s.line = lines::kCancelBroadcast;
      Ref pending;
      {
        Ref callback = binding::get_field(s.self.get(), kPoolOnStatusChange);
        if (!callback) co_return binding::error();
        Ref status = entry_of(s.self.get(), kPoolActive, s.task_id.get());
        if (!status) co_return binding::error();
        pending = binding::call(callback.get(), status.get());
      }
      Ref ignored = co_await binding::await_(std::move(pending));
      if (!ignored) co_return binding::error();
    }

    // The worker may have moved the record itself while the callback ran;
    // then this only drops a _tasks entry that is left.
    s.line = lines::kCancelMove;
    Ref moved = binding::call_method(s.self.get(), kPoolMoveToCompleted.get(), s.task_id.get());
    if (!moved) co_return binding::error();
  }

  s.line = lines::kCancelLog;
  if (log_info(kCancelledPrefix.get(), s.task_id.get()) < 0) co_return binding::error();
  s.line = lines::kCancelReturn;
  co_return Ref::boolean(true);
}

// ---------------------------------------------------------------- cancel_all

struct CancelAllScope final : binding::ScopeOf<CancelAllScope> {
  Ref self, ids;
  Py_ssize_t index = 0;
  Py_ssize_t count = 0;

  auto refs() noexcept { return std::tie(self, ids); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    index = 0;
    count = 0;
  }
};

// `list(self._tasks.keys())`: a snapshot, so that the loop is not disturbed
// by the table changing while a cancel is suspended.
Ref snapshot_ids(PyObject* self) noexcept {
  Ref tasks = binding::get_field(self, kPoolTasks);
  if (!tasks) return {};
  Ref keys = binding::call_method(tasks.get(), kKeys.get());
  if (!keys) return {};
  return Ref::steal(PySequence_List(keys.get()));
}

binding::Body cancel_all(CancelAllScope& s) noexcept {
  s.line = lines::kCancelAllCount;
  s.count = 0;

  s.line = lines::kCancelAllSnapshot;
  s.ids = snapshot_ids(s.self.get());
  if (!s.ids) co_return binding::error();

  for (s.index = 0; s.index < PyList_GET_SIZE(s.ids.get()); ++s.index) {
    s.line = lines::kCancelAllCancel;
    // `self.cancel` is looked up on the instance, so an override is used.
    Ref pending =
        binding::call_method(s.self.get(), kCancel.get(), PyList_GET_ITEM(s.ids.get(), s.index));
    Ref done = co_await binding::await_(std::move(pending));
    if (!done) co_return binding::error();
    int stopped = PyObject_IsTrue(done.get());
    if (stopped < 0) co_return binding::error();
    if (stopped) {
      s.line = lines::kCancelAllAdd;
      ++s.count;
    }
  }

  s.line = lines::kCancelAllReturn;
  co_return Ref::steal(PyLong_FromSsize_t(s.count));
}

// ---------------------------------------------------------------- cleanup

struct CleanupScope final : binding::ScopeOf<CleanupScope> {
  Ref self;

  auto refs() noexcept { return std::tie(self); }
  void bind(const binding::Args& a) noexcept { self = Ref::borrow(a[0]); }
};

binding::Body cleanup(CleanupScope& s) noexcept {
  s.line = lines::kCleanupCancelAll;
  Ref pending = binding::call_method(s.self.get(), kCancelAll.get());
  Ref count = co_await binding::await_(std::move(pending));
  if (!count) co_return binding::error();
  count.reset();

  // Emptied in place, with no suspension between the two: a worker submitted
  // while cancel_all was suspended is dropped here without being cancelled.
  s.line = lines::kCleanupClearActive;
  if (clear_table(s.self.get(), kPoolActive) < 0) co_return binding::error();
  s.line = lines::kCleanupClearTasks;
  if (clear_table(s.self.get(), kPoolTasks) < 0) co_return binding::error();

  s.line = lines::kCleanupLog;
  if (log_info(kCleanedUp.get(), nullptr) < 0) co_return binding::error();
  co_return Ref::none();
}

}  // namespace

Ref start_cancel(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<CancelScope, cancel>(op, a);
}

Ref start_cancel_all(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<CancelAllScope, cancel_all>(op, a);
}

Ref start_cleanup(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<CleanupScope, cleanup>(op, a);
}

}  // namespace worker_pool

// Status reporting and the completed history: the update callback handed to
// executors, and the move of a finished worker into the bounded history.
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Ref;

const binding::Name kAppend{"append"};

// The completed history holds at most this many records; past it, only the
// newest 100 (state().slice_last_100) are kept.
constexpr Py_ssize_t kHistoryBound = 200;

// ---------------------------------------------------------------- _update_status

struct UpdateStatusScope final : binding::ScopeOf<UpdateStatusScope> {
  Ref self, status, callback;
  auto refs() noexcept { return std::tie(self, status, callback); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    status = Ref::borrow(a[1]);
  }
};

// `if status.task_id in self._active: self._active[status.task_id] = status`;
// 0 on success, -1 on error.
int store_if_active(UpdateStatusScope& s) noexcept {
  s.line = lines::kUpdateStatusActiveTest;
  Ref task_id = binding::getattr(s.status.get(), kTaskId);
  if (!task_id) return -1;
  Ref active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return -1;
  int present = common::table_contains(active.get(), task_id.get());
  if (present <= 0) return present;

  s.line = lines::kUpdateStatusStore;
  active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return -1;
  task_id = binding::getattr(s.status.get(), kTaskId);
  if (!task_id) return -1;
  return common::table_store(active.get(), task_id.get(), s.status.get());
}

// An executor's report: stored while its worker is active, forwarded to the
// host's callback in every case. Nothing is caught here.
binding::Body update_status(UpdateStatusScope& s) noexcept {
  if (store_if_active(s) < 0) co_return binding::error();

  s.line = lines::kUpdateStatusBroadcastTest;
  int has_callback = common::status_callback(s.self.get(), s.callback);
  if (has_callback < 0) co_return binding::error();
  if (has_callback) {
    s.line = lines::kUpdateStatusBroadcast;
    Ref said = co_await binding::await_(binding::call(s.callback.get(), s.status.get()));
    if (!said) co_return binding::error();
  }
  co_return Ref::none();
}

}  // namespace

Ref start_update_status(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<UpdateStatusScope, update_status>(op, a);
}

// ---------------------------------------------------------------- _move_to_completed

// The record that _active holds for the id goes to the end of the history,
// which is cut back to its newest 100 entries once it passes 200; the id
// leaves _tasks in every case.
Ref move_to_completed(binding::Call& c) noexcept {
  PyObject* self = c[0];
  PyObject* task_id = c[1];

  c.line = lines::kMoveActiveTest;
  Ref active = binding::get_field(self, kPoolActive);
  if (!active) return {};
  int present = common::table_contains(active.get(), task_id);
  if (present < 0) return {};

  if (present) {
    // self._completed.append(self._active.pop(task_id))
    c.line = lines::kMoveAppend;
    Ref completed = binding::get_field(self, kPoolCompleted);
    if (!completed) return {};
    active = binding::get_field(self, kPoolActive);
    if (!active) return {};
    Ref record = common::table_pop(active.get(), task_id);
    if (!record) return {};
    if (PyList_CheckExact(completed.get())) {
      if (PyList_Append(completed.get(), record.get()) < 0) return {};
    } else if (!binding::call_method(completed.get(), kAppend, record.get())) {
      return {};
    }

    c.line = lines::kMoveBoundTest;
    completed = binding::get_field(self, kPoolCompleted);
    if (!completed) return {};
    Py_ssize_t length = PyObject_Size(completed.get());
    if (length < 0) return {};
    if (length > kHistoryBound) {
      // A new list bound to _completed; a list fetched earlier is unchanged.
      c.line = lines::kMoveTrim;
      completed = binding::get_field(self, kPoolCompleted);
      if (!completed) return {};
      Ref newest = Ref::steal(PyObject_GetItem(completed.get(), state().slice_last_100.get()));
      if (!newest || binding::set_field(self, kPoolCompleted, newest.get()) < 0) return {};
    }
  }

  c.line = lines::kMoveDropTask;
  Ref tasks = binding::get_field(self, kPoolTasks);
  if (!tasks) return {};
  if (!common::table_pop_or_none(tasks.get(), task_id)) return {};
  return Ref::none();
}

}  // namespace worker_pool

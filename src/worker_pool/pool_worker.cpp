// The life of one worker: wait for a slot of the pool's semaphore, mark the
// record RUNNING, call the executor once, record the outcome, finalise and
// broadcast the record, and move it into the completed history.
//
// The body reads like the method it implements:
//
//   status = self._active.get(task.id)
//   if not status: return
//   async with self._semaphore:
//       try:                                   # steps 4 to 6 also run here, so
//           <RUNNING, started_at, deadline>    # that a bad task ends FAILED
//       <RUNNING broadcast, Exception swallowed>
//       try:
//           result = await self._executor(task, self._update_status, deadline=deadline)
//           <COMPLETED>
//       except asyncio.CancelledError: <CANCELLED>
//       except Exception as e: <FAILED, logged with traceback>
//       finally:
//           <adopt the executor's own report>, <finalise>, <final broadcast>,
//           self._move_to_completed(task.id)
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Caught;
using binding::Ref;
using common::global_attr;

// Lines of the final part's state tests, between the steps of lines.hpp.
constexpr int kRunWorkerIsCompleted = 390;
constexpr int kRunWorkerIsFailed = 392;
constexpr int kRunWorkerIsTimedOut = 394;
constexpr int kRunWorkerIsCancelled = 396;
// The head of the final part (`finally:`), where the worker takes its own
// record back from an executor that reported on a record of its own.
constexpr int kRunWorkerAdoptReport = 383;

// Pool methods and host attributes only this file uses.
const binding::Name kUpdateStatus{"_update_status"};
const binding::Name kCancelledError{"CancelledError"};
const binding::Name kException{"exception"};

// The protocol of `async with` and the executor's keyword.
const binding::Name kAenter{"__aenter__"};
const binding::Name kAexit{"__aexit__"};
const binding::Name kDeadline{"deadline"};

// Texts.
const binding::Name kCancelledByUser{"Cancelled by user"};
const binding::Name kWorkerPrefix{"Worker "};
const binding::Name kWasCancelled{" was cancelled by user"};
const binding::Name kFailedInfix{" failed: "};
const binding::Name kStepDone{"Done"};
const binding::Name kStepFailed{"Failed: "};
const binding::Name kUnknownError{"Unknown error"};
const binding::Name kStepTimedOut{"Timed out"};
const binding::Name kStepCancelled{"Cancelled"};
const binding::Name kBroadcastFailed{"Failed to broadcast final status for "};
const binding::Name kColon{": "};

struct RunWorkerScope final : binding::ScopeOf<RunWorkerScope> {
  Ref self, task;
  Ref status;    // the worker's own record, taken from _active
  Ref exit;      // the semaphore's __aexit__, for leaving the block
  Ref exit_self; // the semaphore when `exit` is called unbound, else null
  Ref deadline;  // time.time() + task.timeout
  Ref callback;  // the status callback of the broadcast in progress
  Ref raised;    // an error on its way out of the block, held over the final part
  int raised_line = 0;

  auto refs() noexcept {
    return std::tie(self, task, status, exit, exit_self, deadline, callback, raised);
  }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    task = Ref::borrow(a[1]);
    raised_line = 0;
  }
};

// ---------------------------------------------------------------- small steps

// `self._active.get(task.id)`.
Ref active_record(RunWorkerScope& s) noexcept {
  Ref active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return {};
  // `active.get` is read before `task.id`; on an exact dict that read runs
  // nothing, so the dict API answers after task.id is read.
  if (PyDict_CheckExact(active.get())) {
    Ref task_id = binding::getattr(s.task.get(), kId);
    if (!task_id) return {};
    return common::table_get(active.get(), task_id.get());
  }
  Ref get = binding::getattr(active.get(), kGet);
  if (!get) return {};
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return {};
  return binding::call(get.get(), task_id.get());
}

// `type(obj).<name>`: `async with` finds its methods on the type. A function
// or a method descriptor (the Py_TPFLAGS_METHOD_DESCRIPTOR types) comes back
// unbound with `unbound` set, to be called with obj as its first argument:
// that is what calling the bound method does, and the bound method would
// never escape. Any other descriptor is bound to obj.
Ref special_method(PyObject* obj, PyObject* name, const char* missing, bool& unbound) noexcept {
  unbound = false;
  Ref found = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
  if (!found) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the asynchronous context manager protocol%s",
                 Py_TYPE(obj)->tp_name, missing);
    return {};
  }
  if (PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
    unbound = true;
    return found;
  }
  descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get;
  if (!bind) return found;
  return Ref::steal(bind(found.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// The head of `async with self._semaphore`: reads the semaphore once, keeps
// its __aexit__ for the way out (looked up first) and calls its __aenter__.
// Returns what __aenter__ returned, to be awaited.
Ref enter_semaphore(RunWorkerScope& s) noexcept {
  Ref semaphore = binding::get_field(s.self.get(), kPoolSemaphore);
  if (!semaphore) return {};
  bool unbound = false;
  s.exit = special_method(semaphore.get(), kAexit, " (missed __aexit__ method)", unbound);
  if (!s.exit) return {};
  if (unbound) s.exit_self = semaphore.copy();
  Ref enter = special_method(semaphore.get(), kAenter, "", unbound);
  if (!enter) return {};
  return unbound ? binding::call(enter.get(), semaphore.get()) : binding::call(enter.get());
}

// `__aexit__(type, value, traceback)` as kept by enter_semaphore.
Ref call_exit(RunWorkerScope& s, PyObject* type, PyObject* value, PyObject* traceback) noexcept {
  if (s.exit_self) return binding::call(s.exit.get(), s.exit_self.get(), type, value, traceback);
  return binding::call(s.exit.get(), type, value, traceback);
}

// `status.<field> = WorkerState.<member>`.
int set_state(RunWorkerScope& s, PyObject* member) noexcept {
  Ref value = common::state_member(member);
  if (!value) return -1;
  return binding::setattr(s.status.get(), kState, value.get());
}

// `status.state == WorkerState.<member>`: 1 or 0, -1 on error.
int record_state_is(RunWorkerScope& s, PyObject* member) noexcept {
  Ref state = binding::getattr(s.status.get(), kState);
  if (!state) return -1;
  return common::is_state(state.get(), member);
}

// `logger.<level>("Worker " + task.id + <tail>)`, optionally followed by a
// last part (the error text).
int log_worker(RunWorkerScope& s, PyObject* level, PyObject* tail,
               PyObject* last = nullptr) noexcept {
  Ref method = common::logger_method(level);
  if (!method) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref message = last ? common::text({kWorkerPrefix, task_id.get(), tail, last})
                     : common::text({kWorkerPrefix, task_id.get(), tail});
  if (!message) return -1;
  return common::log(method, message);
}

// Takes the pending error into the scope, to be raised again when the block
// is left. An error that replaces one already held there keeps the earlier
// one as its context, as an error raised in a `finally` part does.
void keep_pending(RunWorkerScope& s) noexcept {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (s.raised && error && error.get() != s.raised.get()) {
    Ref context = Ref::steal(PyException_GetContext(error.get()));
    bool cycle = false;
    for (Ref link = s.raised.copy(); link && !cycle;
         link = Ref::steal(PyException_GetContext(link.get()))) {
      cycle = link.get() == error.get();
    }
    if (!context && !cycle) PyException_SetContext(error.get(), s.raised.release());
  }
  s.raised = std::move(error);
  s.raised_line = s.line;
}

// ---------------------------------------------------------------- the block's steps

// (4 to 6) RUNNING, started_at, and the deadline from a second clock reading.
int mark_running(RunWorkerScope& s) noexcept {
  s.line = lines::kRunWorkerRunning;
  if (set_state(s, kStateRunning) < 0) return -1;

  s.line = lines::kRunWorkerStartedAt;
  Ref now = common::wall_clock();
  if (!now || binding::setattr(s.status.get(), kStartedAt, now.get()) < 0) return -1;

  s.line = lines::kRunWorkerDeadline;
  Ref clock = common::wall_clock();
  if (!clock) return -1;
  Ref timeout = binding::getattr(s.task.get(), kTimeout);
  if (!timeout) return -1;
  s.deadline = Ref::steal(PyNumber_Add(clock.get(), timeout.get()));
  return s.deadline ? 0 : -1;
}

// `except Exception: pass` around the RUNNING broadcast: 0 when the pending
// error was swallowed, -1 when it is not an Exception and stays pending.
int swallow_exception(RunWorkerScope& s) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  binding::catch_here(s).clear();
  return 0;
}

// (8) `self._executor(task, self._update_status, deadline=deadline)`: the
// executor's awaitable, whatever _executor holds now.
Ref call_executor(RunWorkerScope& s) noexcept {
  s.line = lines::kRunWorkerExecutorCall;
  Ref executor = binding::get_field(s.self.get(), kPoolExecutor);
  if (!executor) return {};
  Ref update = binding::getattr(s.self.get(), kUpdateStatus);
  if (!update) return {};
  static common::Keywords executor_keywords{kDeadline};
  PyObject* keywords = executor_keywords.get();
  if (!keywords) return {};
  PyObject* argv[] = {nullptr, s.task.get(), update.get(), s.deadline.get()};
  return Ref::steal(
      PyObject_Vectorcall(executor.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// (9, 10) The executor returned.
int mark_completed(RunWorkerScope& s, const Ref& result) noexcept {
  s.line = lines::kRunWorkerCompleted;
  if (set_state(s, kStateCompleted) < 0) return -1;
  s.line = lines::kRunWorkerResult;
  if (binding::setattr(s.status.get(), kResult, result.get()) < 0) return -1;
  s.line = lines::kRunWorkerCountCompleted;
  return common::add_one(s.self.get(), kPoolTotalCompleted);
}

// ---------------------------------------------------------------- the handlers

// (11) The worker's asyncio task was cancelled: recorded, not raised again.
int mark_cancelled(RunWorkerScope& s) noexcept {
  s.line = lines::kRunWorkerCancelledState;
  if (set_state(s, kStateCancelled) < 0) return -1;
  s.line = lines::kRunWorkerCancelledError;
  if (binding::setattr(s.status.get(), kError, kCancelledByUser) < 0) return -1;
  s.line = lines::kRunWorkerCancelledCount;
  if (common::add_one(s.self.get(), kPoolTotalFailed) < 0) return -1;
  s.line = lines::kRunWorkerCancelledLog;
  return log_worker(s, kInfo, kWasCancelled);
}

// (12) An Exception: recorded and logged with its traceback.
int mark_failed(RunWorkerScope& s, PyObject* e) noexcept {
  s.line = lines::kRunWorkerFailedState;
  if (set_state(s, kStateFailed) < 0) return -1;
  s.line = lines::kRunWorkerFailedError;
  Ref text = Ref::steal(PyObject_Str(e));
  if (!text || binding::setattr(s.status.get(), kError, text.get()) < 0) return -1;
  s.line = lines::kRunWorkerFailedCount;
  if (common::add_one(s.self.get(), kPoolTotalFailed) < 0) return -1;
  s.line = lines::kRunWorkerFailedLog;
  Ref method = common::logger_method(kException);
  if (!method) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref message = common::text({kWorkerPrefix, task_id.get(), kFailedInfix, e});
  if (!message) return -1;
  return common::log(method, message);
}

// Entered with the error of steps 4 to 10 pending. A cancellation or an
// Exception is absorbed into the record; any other error, or a new one raised
// inside a handler, is kept for the way out.
void run_handlers(RunWorkerScope& s) noexcept {
  // except asyncio.CancelledError: the clause's class is looked up with the
  // error set aside.
  keep_pending(s);
  s.line = lines::kRunWorkerCancelledHandler;
  Ref cancelled_error = global_attr(kAsyncio, kCancelledError);
  if (!cancelled_error) {
    keep_pending(s);
    return;
  }
  const bool cancelled = PyErr_GivenExceptionMatches(s.raised.get(), cancelled_error.get());
  const bool failed = !cancelled && PyErr_GivenExceptionMatches(s.raised.get(), PyExc_Exception);
  s.line = s.raised_line;
  if (!cancelled && !failed) return;  // no clause takes it: held for the way out

  PyErr_SetRaisedException(s.raised.release());
  Caught caught = binding::catch_here(s);
  binding::HandlingGuard handling(caught);
  if ((cancelled ? mark_cancelled(s) : mark_failed(s, caught.get())) < 0) keep_pending(s);
}

// ---------------------------------------------------------------- the final part

// When the executor reported on a record of its own, _active now holds that
// object: its progress goes into the worker's own record, which takes its
// place again, so that the record submit returned is the one finalised,
// broadcast and moved to the history.
int adopt_report(RunWorkerScope& s) noexcept {
  static const binding::Name* const progress[] = {&kName, &kModelUsed, &kCurrentStep,
                                                  &kStepsCompleted, &kProgressPct};
  s.line = kRunWorkerAdoptReport;
  Ref active = binding::get_field(s.self.get(), kPoolActive);
  if (!active) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref report = common::table_get(active.get(), task_id.get());
  if (!report) return -1;
  if (report.get() == Py_None || report.get() == s.status.get()) return 0;
  for (const binding::Name* field : progress) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(report.get(), *field, &value);
    if (found < 0) return -1;
    Ref owned = Ref::steal(value);
    if (found && binding::setattr(s.status.get(), *field, owned.get()) < 0) return -1;
  }
  return common::table_store(active.get(), task_id.get(), s.status.get());
}

// (13 to 15) completed_at, duration, and for a final state progress 100.0
// with the matching current_step.
int finalise_record(RunWorkerScope& s) noexcept {
  PyObject* status = s.status.get();

  s.line = lines::kRunWorkerCompletedAt;
  Ref now = common::wall_clock();
  if (!now || binding::setattr(status, kCompletedAt, now.get()) < 0) return -1;

  // status.completed_at - (status.started_at or status.completed_at)
  s.line = lines::kRunWorkerDuration;
  Ref completed_at = binding::getattr(status, kCompletedAt);
  if (!completed_at) return -1;
  Ref since = binding::getattr(status, kStartedAt);
  if (!since) return -1;
  int started = PyObject_IsTrue(since.get());
  if (started < 0) return -1;
  if (!started) {
    since = binding::getattr(status, kCompletedAt);
    if (!since) return -1;
  }
  Ref duration = Ref::steal(PyNumber_Subtract(completed_at.get(), since.get()));
  if (!duration || binding::setattr(status, kDuration, duration.get()) < 0) return -1;

  // status.state in (COMPLETED, FAILED, CANCELLED, TIMEOUT), compared with ==
  s.line = lines::kRunWorkerFinalState;
  Ref current = binding::getattr(status, kState);
  if (!current) return -1;
  int final_state = 0;
  for (PyObject* member :
       {kStateCompleted.get(), kStateFailed.get(), kStateCancelled.get(), kStateTimeout.get()}) {
    final_state = common::is_state(current.get(), member);
    if (final_state != 0) break;
  }
  if (final_state <= 0) return final_state;  // still RUNNING: nothing more to set

  s.line = lines::kRunWorkerProgress;
  if (binding::setattr(status, kProgressPct, state().float_100.get()) < 0) return -1;

  Ref step;
  s.line = kRunWorkerIsCompleted;
  int is = record_state_is(s, kStateCompleted);
  if (is < 0) return -1;
  if (is) {
    s.line = lines::kRunWorkerStepDone;
    step = Ref::borrow(kStepDone);
  } else {
    s.line = kRunWorkerIsFailed;
    is = record_state_is(s, kStateFailed);
    if (is < 0) return -1;
    if (is) {
      // f"Failed: {status.error or 'Unknown error'}"
      s.line = lines::kRunWorkerStepFailed;
      Ref error = binding::getattr(status, kError);
      if (!error) return -1;
      int has_text = PyObject_IsTrue(error.get());
      if (has_text < 0) return -1;
      step = common::text({kStepFailed, has_text ? error.get() : kUnknownError.get()});
      if (!step) return -1;
    }
  }
  if (!step) {
    s.line = kRunWorkerIsTimedOut;
    is = record_state_is(s, kStateTimeout);
    if (is < 0) return -1;
    if (is) {
      s.line = lines::kRunWorkerStepTimedOut;
      step = Ref::borrow(kStepTimedOut);
    }
  }
  if (!step) {
    s.line = kRunWorkerIsCancelled;
    is = record_state_is(s, kStateCancelled);
    if (is < 0) return -1;
    if (is) {
      s.line = lines::kRunWorkerStepCancelled;
      step = Ref::borrow(kStepCancelled);
    }
  }
  if (!step) return 0;  // the state changed under the first test
  return binding::setattr(status, kCurrentStep, step.get());
}

// (17) `except Exception as e:` around the final broadcast: logged without a
// traceback and absorbed (0). Any other error, or one raised while logging,
// stays pending (-1).
int log_broadcast_failure(RunWorkerScope& s) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  Caught caught = binding::catch_here(s);
  binding::HandlingGuard handling(caught);
  s.line = lines::kRunWorkerFinalBroadcastLog;
  Ref method = common::logger_method(kError);
  if (!method) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref message = common::text({kBroadcastFailed, task_id.get(), kColon, caught.get()});
  if (!message) return -1;
  return common::log(method, message);
}

// (18) `self._move_to_completed(task.id)`: the method is looked up before
// task.id is read, and called without a bound method when nothing shadows it.
int move_to_history(RunWorkerScope& s) noexcept {
  s.line = lines::kRunWorkerMove;
  binding::Method move;
  if (binding::lookup_method(s.self.get(), kPoolMoveToCompleted, move) < 0) return -1;
  Ref task_id = binding::getattr(s.task.get(), kId);
  if (!task_id) return -1;
  Ref moved = binding::call(move, task_id.get());
  return moved ? 0 : -1;
}

// ---------------------------------------------------------------- leaving the block

// `__aexit__(type, value, traceback)` for the error held in the scope, which
// the `async with` first takes as an except clause does (the entry for the
// failing line goes on it).
Ref exit_with_error(RunWorkerScope& s) noexcept {
  s.line = s.raised_line;
  PyErr_SetRaisedException(s.raised.release());
  Caught leaving = binding::catch_here(s);
  s.raised = Ref::borrow(leaving.get());

  s.line = lines::kRunWorkerSemaphore;
  PyObject* value = s.raised.get();
  Ref traceback = Ref::steal(PyException_GetTraceback(value));
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  return call_exit(s, type, value, traceback ? traceback.get() : Py_None);
}

// ---------------------------------------------------------------- the body

binding::Body run_worker(RunWorkerScope& s) noexcept {
  // (1, 2) The worker's record; a worker whose id is no longer active ends at once.
  s.line = lines::kRunWorkerLookup;
  s.status = active_record(s);
  if (!s.status) co_return binding::error();
  s.line = lines::kRunWorkerInactive;
  const int active = PyObject_IsTrue(s.status.get());
  if (active < 0) co_return binding::error();
  if (!active) co_return Ref::none();

  // (3) async with self._semaphore: the worker waits here, still QUEUED.
  s.line = lines::kRunWorkerSemaphore;
  {
    Ref entered = co_await binding::await_(enter_semaphore(s));
    if (!entered) co_return binding::error();
  }

  // Inside the block. `guarded` turns false when an error of the RUNNING
  // broadcast leaves the block past the handlers and the final part.
  bool guarded = true;
  int ok = mark_running(s);  // (4 to 6)
  if (ok == 0) {
    // (7) The RUNNING broadcast; an Exception from the callback is swallowed.
    s.line = lines::kRunWorkerRunningBroadcastTest;
    int broadcast = common::status_callback(s.self.get(), s.callback);
    if (broadcast > 0) {
      s.line = lines::kRunWorkerRunningBroadcast;
      Ref said = co_await binding::await_(binding::call(s.callback.get(), s.status.get()));
      broadcast = said ? 0 : swallow_exception(s);
    }
    if (broadcast < 0) {
      guarded = false;
      keep_pending(s);
    } else {
      // (8 to 10) The executor, called once, awaited while the slot is held.
      Ref result = co_await binding::await_(call_executor(s));
      ok = result ? mark_completed(s, result) : -1;
    }
  }

  if (guarded) {
    if (ok < 0) run_handlers(s);  // (11, 12)

    // (13 to 18) The final part, on every way out of steps 4 to 12.
    int done = adopt_report(s);
    if (done == 0) done = finalise_record(s);
    if (done == 0) {
      // (16, 17) The final broadcast; an Exception from it is logged.
      s.line = lines::kRunWorkerFinalBroadcastTest;
      done = common::status_callback(s.self.get(), s.callback);
      if (done > 0) {
        s.line = lines::kRunWorkerFinalBroadcast;
        Ref said = co_await binding::await_(binding::call(s.callback.get(), s.status.get()));
        done = said ? 0 : log_broadcast_failure(s);
      }
    }
    if (done == 0) done = move_to_history(s);
    if (done < 0) keep_pending(s);
  }

  // (19, 20) Leave the async with, releasing the slot. On the normal path
  // __aexit__(None, None, None); an error on its way out goes through
  // __aexit__(type, value, traceback) and is raised again unless that
  // returns true.
  if (!s.raised) {
    s.line = lines::kRunWorkerSemaphore;
    Ref left = co_await binding::await_(call_exit(s, Py_None, Py_None, Py_None));
    if (!left) co_return binding::error();
    co_return Ref::none();  // (21)
  }
  {
    Ref suppress = co_await binding::await_(exit_with_error(s));
    int suppressed = suppress ? PyObject_IsTrue(suppress.get()) : -1;
    if (suppressed < 0) {
      keep_pending(s);  // the new error takes the held one as its context
      PyErr_SetRaisedException(s.raised.release());
      co_return binding::error();
    }
    if (suppressed) {
      s.raised.reset();
      co_return Ref::none();
    }
  }
  s.line = s.raised_line;
  PyErr_SetRaisedException(s.raised.release());
  co_return binding::error();
}

}  // namespace

Ref start_run_worker(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<RunWorkerScope, run_worker>(op, a);
}

}  // namespace worker_pool

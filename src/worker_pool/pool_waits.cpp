// Waiting for workers by polling.
//
// Both waits read statuses through `self.get_status` and sleep between
// readings, 0.5 seconds at first and 1.2 times longer after every sleep, up
// to 2.0. They never await a worker's asyncio task: a coordinator that waits
// from inside its own agent loop would deadlock on it. Deadlines are taken on
// time.monotonic() when the body first runs, and a time-out raises nothing:
// the final readings are returned whatever their state.

#include "binding/body.hpp"
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Name;
using binding::Ref;

const Name kMonotonic{"monotonic"};
const Name kSleep{"sleep"};
const Name kGetStatus{"get_status"};

constexpr double kFirstInterval = 0.5;
constexpr double kIntervalGrowth = 1.2;
constexpr double kLongestInterval = 2.0;

// `import time` inside the body: the module already loaded in sys.modules,
// not the module's global `time`.
Ref import_time() noexcept {
  return Ref::steal(PyImport_ImportModuleLevelObject(kTime.get(), binding::module_globals(),
                                                     nullptr, nullptr, 0));
}

// `time.monotonic() + timeout`, added as float objects.
Ref deadline_after(PyObject* time, double timeout) noexcept {
  Ref now = binding::call_method(time, kMonotonic.get());
  if (!now) return {};
  Ref span = Ref::steal(PyFloat_FromDouble(timeout));
  if (!span) return {};
  return Ref::steal(PyNumber_Add(now.get(), span.get()));
}

// `time.monotonic() < deadline`, a fresh reading. 1, 0, or -1 with an error.
int before(PyObject* time, PyObject* deadline) noexcept {
  Ref now = binding::call_method(time, kMonotonic.get());
  if (!now) return -1;
  Ref less = Ref::steal(PyObject_RichCompare(now.get(), deadline, Py_LT));
  if (!less) return -1;
  return PyObject_IsTrue(less.get());
}

// `asyncio.sleep(interval)`, not yet awaited.
Ref sleep_for(double interval) noexcept {
  Ref asyncio = binding::lookup_global(kAsyncio.get());
  if (!asyncio) return {};
  Ref seconds = Ref::steal(PyFloat_FromDouble(interval));
  if (!seconds) return {};
  return binding::call_method(asyncio.get(), kSleep.get(), seconds.get());
}

double grown(double interval) noexcept {
  double next = interval * kIntervalGrowth;
  return next > kLongestInterval ? kLongestInterval : next;
}

// `status.state in (WorkerState.<m> for m in members)`: the state read once,
// then compared with ==, in order, stopping at the first true result.
// WorkerState is looked up again for every member compared.
template <std::size_t N>
int state_among(PyObject* status, const Name* const (&members)[N]) noexcept {
  Ref state = binding::getattr(status, kState.get());
  if (!state) return -1;
  for (const Name* member : members) {
    int truth = common::is_state(state.get(), member->get());
    if (truth != 0) return truth;
  }
  return 0;
}

const Name* const kEndStates[] = {&kStateCompleted, &kStateFailed, &kStateCancelled,
                                  &kStateTimeout};
const Name* const kActiveStates[] = {&kStateQueued, &kStateRunning};

Ref read_status(PyObject* self, PyObject* task_id) noexcept {
  return binding::call_method(self, kGetStatus.get(), task_id);
}

// ---------------------------------------------------------------- wait_for

struct WaitForScope final : binding::ScopeOf<WaitForScope> {
  Ref self, task_id;
  Ref time, deadline, status;
  double timeout = 0;
  double poll_interval = 0;

  auto refs() noexcept { return std::tie(self, task_id, time, deadline, status); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    task_id = Ref::borrow(a[1]);
    timeout = a.real[2];
  }
};

binding::Body wait_for(WaitForScope& s) noexcept {
  s.line = lines::kWaitForImportTime;
  s.time = import_time();
  if (!s.time) co_return binding::error();

  s.line = lines::kWaitForDeadline;
  s.deadline = deadline_after(s.time.get(), s.timeout);
  if (!s.deadline) co_return binding::error();
  s.poll_interval = kFirstInterval;

  for (;;) {
    s.line = lines::kWaitForLoop;
    int waiting = before(s.time.get(), s.deadline.get());
    if (waiting < 0) co_return binding::error();
    if (!waiting) break;

    s.line = lines::kWaitForRead;
    s.status = read_status(s.self.get(), s.task_id.get());
    if (!s.status) co_return binding::error();
    // An id the pool does not know: nothing to wait for.
    if (s.status.get() == Py_None) co_return std::move(s.status);

    s.line = lines::kWaitForFinished;
    int finished = state_among(s.status.get(), kEndStates);
    if (finished < 0) co_return binding::error();
    if (finished) co_return std::move(s.status);

    s.line = lines::kWaitForSleep;
    Ref nap = sleep_for(s.poll_interval);
    Ref slept = co_await binding::await_(std::move(nap));
    if (!slept) co_return binding::error();
    s.line = lines::kWaitForGrow;
    s.poll_interval = grown(s.poll_interval);
  }

  s.line = lines::kWaitForFinal;
  co_return read_status(s.self.get(), s.task_id.get());
}

// ---------------------------------------------------------------- wait_all

struct WaitAllScope final : binding::ScopeOf<WaitAllScope> {
  Ref self, task_ids;
  Ref time, ids, deadline, status;
  double timeout = 0;
  double poll_interval = 0;
  bool all_done = false;

  auto refs() noexcept { return std::tie(self, task_ids, time, ids, deadline, status); }
  void bind(const binding::Args& a) noexcept {
    self = Ref::borrow(a[0]);
    task_ids = Ref::borrow(a[1]);
    timeout = a.real[2];
  }
};

// `task_ids or list(self._tasks.keys())`: the caller's list itself when it is
// not empty, else the ids tracked right now, in submission order.
Ref choose_ids(PyObject* self, PyObject* task_ids) noexcept {
  int given = PyObject_IsTrue(task_ids);
  if (given < 0) return {};
  if (given) return Ref::borrow(task_ids);
  Ref tasks = binding::get_field(self, kPoolTasks);
  if (!tasks) return {};
  Ref keys = binding::call_method(tasks.get(), kKeys.get());
  if (!keys) return {};
  return Ref::steal(PySequence_List(keys.get()));
}

// One scan: false in `all_done` at the first id whose status is truthy and
// QUEUED or RUNNING. -1 with an error set.
int scan(WaitAllScope& s) noexcept {
  s.all_done = true;
  PyObject* ids = s.ids.get();
  for (Py_ssize_t i = 0;; ++i) {
    s.line = lines::kWaitAllScan;
    if (i >= PyList_GET_SIZE(ids)) break;
    Ref tid = Ref::borrow(PyList_GET_ITEM(ids, i));
    s.line = lines::kWaitAllRead;
    s.status = read_status(s.self.get(), tid.get());
    if (!s.status) return -1;
    s.line = lines::kWaitAllUnfinished;
    int known = PyObject_IsTrue(s.status.get());
    if (known < 0) return -1;
    if (!known) continue;
    int unfinished = state_among(s.status.get(), kActiveStates);
    if (unfinished < 0) return -1;
    if (unfinished) {
      s.all_done = false;
      break;
    }
  }
  return 0;
}

// `[self.get_status(tid) for tid in ids if self.get_status(tid)]`.
Ref final_statuses(WaitAllScope& s) noexcept {
  s.line = lines::kWaitAllResult;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return {};
  PyObject* ids = s.ids.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i) {
    Ref tid = Ref::borrow(PyList_GET_ITEM(ids, i));
    Ref first = read_status(s.self.get(), tid.get());
    if (!first) return {};
    int known = PyObject_IsTrue(first.get());
    if (known < 0) return {};
    if (!known) continue;
    Ref again = read_status(s.self.get(), tid.get());
    if (!again) return {};
    if (PyList_Append(out.get(), again.get()) < 0) return {};
  }
  return out;
}

binding::Body wait_all(WaitAllScope& s) noexcept {
  s.line = lines::kWaitAllImportTime;
  s.time = import_time();
  if (!s.time) co_return binding::error();

  s.line = lines::kWaitAllIds;
  s.ids = choose_ids(s.self.get(), s.task_ids.get());
  if (!s.ids) co_return binding::error();

  s.line = lines::kWaitAllDeadline;
  s.deadline = deadline_after(s.time.get(), s.timeout);
  if (!s.deadline) co_return binding::error();
  s.poll_interval = kFirstInterval;

  for (;;) {
    s.line = lines::kWaitAllLoop;
    int waiting = before(s.time.get(), s.deadline.get());
    if (waiting < 0) co_return binding::error();
    if (!waiting) break;

    if (scan(s) < 0) co_return binding::error();
    if (s.all_done) break;

    s.line = lines::kWaitAllSleep;
    Ref nap = sleep_for(s.poll_interval);
    Ref slept = co_await binding::await_(std::move(nap));
    if (!slept) co_return binding::error();
    s.line = lines::kWaitAllGrow;
    s.poll_interval = grown(s.poll_interval);
  }

  co_return final_statuses(s);
}

}  // namespace

Ref start_wait_for(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<WaitForScope, wait_for>(op, a);
}

Ref start_wait_all(const binding::Operation& op, const binding::Args& a) noexcept {
  return binding::start<WaitAllScope, wait_all>(op, a);
}

}  // namespace worker_pool

// WorkerPool construction and configuration: the thirteen instance fields,
// the max_workers property and set_executor.
#include "worker_pool/lines.hpp"
#include "worker_pool/pool.hpp"
#include "worker_pool/pool_common.hpp"

namespace worker_pool {
namespace {

using binding::Ref;
using common::global_attr;

const binding::Name kQueue{"Queue"};
const binding::Name kSemaphore{"Semaphore"};
const binding::Name kMaxWorkersUpdated{"Max workers updated to "};

// `asyncio.Semaphore(value)`.
Ref new_semaphore(PyObject* value) noexcept {
  Ref semaphore_type = global_attr(kAsyncio, kSemaphore);
  if (!semaphore_type) return {};
  return binding::call(semaphore_type.get(), value);
}

// `self.<field> = value`, where value is a new object (null: its error).
int store_new(PyObject* self, const binding::Field& field, Ref value) noexcept {
  if (!value) return -1;
  return binding::set_field(self, field, value.get());
}

}  // namespace

// __init__(self, max_workers=3, executor=None, on_status_change=None); the
// binding has already turned max_workers into an exact int.
Ref init(binding::Call& c) noexcept {
  PyObject* self = c[0];
  PyObject* max_workers = c[1];
  const State& k = state();

  c.line = lines::kInitMaxWorkers;
  if (binding::set_field(self, kPoolMaxWorkers, max_workers) < 0) return {};
  c.line = lines::kInitExecutor;
  if (binding::set_field(self, kPoolExecutor, c[2]) < 0) return {};
  c.line = lines::kInitOnStatusChange;
  if (binding::set_field(self, kPoolOnStatusChange, c[3]) < 0) return {};

  c.line = lines::kInitQueue;
  Ref queue_type = global_attr(kAsyncio, kQueue);
  if (!queue_type) return {};
  if (store_new(self, kPoolQueue, binding::call(queue_type.get())) < 0) return {};

  c.line = lines::kInitActive;
  if (store_new(self, kPoolActive, Ref::steal(PyDict_New())) < 0) return {};
  c.line = lines::kInitCompleted;
  if (store_new(self, kPoolCompleted, Ref::steal(PyList_New(0))) < 0) return {};
  c.line = lines::kInitTasks;
  if (store_new(self, kPoolTasks, Ref::steal(PyDict_New())) < 0) return {};
  c.line = lines::kInitAllTasks;
  if (store_new(self, kPoolAllTasks, Ref::steal(PyDict_New())) < 0) return {};

  c.line = lines::kInitTotalSubmitted;
  if (binding::set_field(self, kPoolTotalSubmitted, k.int_0.get()) < 0) return {};
  c.line = lines::kInitTotalCompleted;
  if (binding::set_field(self, kPoolTotalCompleted, k.int_0.get()) < 0) return {};
  c.line = lines::kInitTotalFailed;
  if (binding::set_field(self, kPoolTotalFailed, k.int_0.get()) < 0) return {};

  // The converted argument, not the attribute just stored, and not clamped.
  c.line = lines::kInitSemaphore;
  if (store_new(self, kPoolSemaphore, new_semaphore(max_workers)) < 0) return {};

  c.line = lines::kInitRunning;
  if (binding::set_field(self, kPoolRunning, Py_False) < 0) return {};
  return Ref::none();
}

// The getter hands back None or an exact int unchanged and passes any other
// number through int().
Ref max_workers_get(binding::Call& c) noexcept {
  c.line = lines::kMaxWorkersGetterReturn;
  Ref value = binding::get_field(c[0], kPoolMaxWorkers);
  if (!value) return {};
  if (value.get() == Py_None || PyLong_CheckExact(value.get())) return value;
  if (!PyNumber_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                 Py_TYPE(value.get())->tp_name);
    return {};
  }
  return Ref::steal(PyNumber_Long(value.get()));
}

// The setter clamps to 1..20, logs the new limit and gives the pool a new
// semaphore of that size. Workers already holding or waiting for the old
// semaphore keep it.
Ref max_workers_set(binding::Call& c) noexcept {
  PyObject* self = c[0];
  PyObject* value = c[1];
  const State& k = state();

  // max(1, min(value, 20))
  c.line = lines::kMaxWorkersClamp;
  int above = PyObject_RichCompareBool(k.int_20.get(), value, Py_LT);
  if (above < 0) return {};
  PyObject* capped = above ? k.int_20.get() : value;
  int positive = PyObject_RichCompareBool(capped, k.int_1.get(), Py_GT);
  if (positive < 0) return {};
  PyObject* clamped = positive ? capped : k.int_1.get();

  c.line = lines::kMaxWorkersStore;
  if (binding::set_field(self, kPoolMaxWorkers, clamped) < 0) return {};

  c.line = lines::kMaxWorkersLog;
  Ref info = common::logger_method(kInfo);
  if (!info) return {};
  Ref stored = binding::get_field(self, kPoolMaxWorkers);
  if (!stored) return {};
  Ref message = common::text({kMaxWorkersUpdated, stored.get()});
  if (!message || common::log(info, message) < 0) return {};

  c.line = lines::kMaxWorkersSemaphore;
  Ref semaphore_type = global_attr(kAsyncio, kSemaphore);
  if (!semaphore_type) return {};
  Ref limit = binding::get_field(self, kPoolMaxWorkers);
  if (!limit) return {};
  if (store_new(self, kPoolSemaphore, binding::call(semaphore_type.get(), limit.get())) < 0) {
    return {};
  }
  return Ref::none();
}

Ref set_executor(binding::Call& c) noexcept {
  c.line = lines::kSetExecutorStore;
  if (binding::set_field(c[0], kPoolExecutor, c[1]) < 0) return {};
  return Ref::none();
}

}  // namespace worker_pool

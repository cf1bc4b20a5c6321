// Process-wide state: the names the module's files share, and the constants
// and host objects its operations use, created once when the module executes
// and kept for the life of the process.
//
// Every name the files share is declared here, once: the pool's instance
// fields and the methods called by name, the records' fields (which are also
// the keywords that set them), the module globals and the WorkerState
// members. A name only one file uses stays a file-local constant there, and
// so do texts (log messages and their parts). All are interned by
// binding::intern_all() while the module executes.
//
// One rule names them: `k` and the Python text in CamelCase (`kTaskId` is
// "task_id", `kCreateTask` "create_task", `kWorkerState` "WorkerState"),
// except that
//   - the pool's own members that begin with an underscore are `kPool` and
//     the rest (`kPoolActive` is "_active", `kPoolMoveToCompleted`
//     "_move_to_completed"),
//   - the members of WorkerState are `kState` and the member (`kStateRunning`
//     is "RUNNING"),
//   - a dunder name is `kDunder` and the word (`kDunderModule` is "__module__").
// One text has one constant, whatever it names: `kError` is both the
// records' field and the logger's method.
#pragma once

#include "binding/attrs.hpp"
#include "binding/ref.hpp"

namespace worker_pool {

// ---- the pool's instance fields, read and written through its instance
// dict while its class leaves them alone (binding::Field)
inline const binding::Field kPoolMaxWorkers{"_max_workers"};
inline const binding::Field kPoolExecutor{"_executor"};
inline const binding::Field kPoolOnStatusChange{"_on_status_change"};
inline const binding::Field kPoolQueue{"_queue"};
inline const binding::Field kPoolActive{"_active"};
inline const binding::Field kPoolCompleted{"_completed"};
inline const binding::Field kPoolTasks{"_tasks"};
inline const binding::Field kPoolAllTasks{"_all_tasks"};
inline const binding::Field kPoolTotalSubmitted{"_total_submitted"};
inline const binding::Field kPoolTotalCompleted{"_total_completed"};
inline const binding::Field kPoolTotalFailed{"_total_failed"};
inline const binding::Field kPoolSemaphore{"_semaphore"};
inline const binding::Field kPoolRunning{"_running"};

// ---- methods called by name: the pool's own, then those of host objects
inline const binding::Name kPoolMoveToCompleted{"_move_to_completed"};
inline const binding::Name kGet{"get"};
inline const binding::Name kKeys{"keys"};
inline const binding::Name kToDict{"to_dict"};
inline const binding::Name kInfo{"info"};
inline const binding::Name kError{"error"};  // logger.error, and the records' field

// ---- the records' fields, and the keywords that set them: WorkerTask's,
// then those of WorkerStatus it lacks
inline const binding::Name kId{"id"};
inline const binding::Name kName{"name"};
inline const binding::Name kPrompt{"prompt"};
inline const binding::Name kModelKey{"model_key"};
inline const binding::Name kComplexity{"complexity"};
inline const binding::Name kTimeout{"timeout"};  // also the value of WorkerState.TIMEOUT
inline const binding::Name kTools{"tools"};
inline const binding::Name kParentTaskId{"parent_task_id"};
inline const binding::Name kMetadata{"metadata"};
inline const binding::Name kCreatedAt{"created_at"};
inline const binding::Name kTaskId{"task_id"};
inline const binding::Name kState{"state"};
inline const binding::Name kModelUsed{"model_used"};
inline const binding::Name kCurrentStep{"current_step"};
inline const binding::Name kStepsCompleted{"steps_completed"};
inline const binding::Name kProgressPct{"progress_pct"};
inline const binding::Name kResult{"result"};
inline const binding::Name kStartedAt{"started_at"};
inline const binding::Name kCompletedAt{"completed_at"};
inline const binding::Name kDuration{"duration"};

// ---- the members of WorkerState, in definition order
inline const binding::Name kStateQueued{"QUEUED"};
inline const binding::Name kStateRunning{"RUNNING"};
inline const binding::Name kStateCompleted{"COMPLETED"};
inline const binding::Name kStateFailed{"FAILED"};
inline const binding::Name kStateCancelled{"CANCELLED"};
inline const binding::Name kStateTimeout{"TIMEOUT"};

// ---- the module's globals, in the order the module body binds them
inline const binding::Name kAsyncio{"asyncio"};
inline const binding::Name kLogging{"logging"};
inline const binding::Name kTime{"time"};  // also the function time.time
inline const binding::Name kUuid{"uuid"};
inline const binding::Name kDataclass{"dataclass"};
inline const binding::Name kField{"field"};
inline const binding::Name kEnum{"Enum"};
inline const binding::Name kAny{"Any"};
inline const binding::Name kCallable{"Callable"};
inline const binding::Name kAwaitable{"Awaitable"};
inline const binding::Name kLogger{"logger"};
inline const binding::Name kWorkerState{"WorkerState"};  // also an annotation
inline const binding::Name kWorkerTask{"WorkerTask"};
inline const binding::Name kWorkerStatus{"WorkerStatus"};
inline const binding::Name kWorkerExecutor{"WorkerExecutor"};
inline const binding::Name kWorkerPool{"WorkerPool"};
inline const binding::Name kDunderTest{"__test__"};

// ---- class namespaces
inline const binding::Name kDunderModule{"__module__"};
inline const binding::Name kDunderQualname{"__qualname__"};
inline const binding::Name kDunderDoc{"__doc__"};
inline const binding::Name kThisModule{"zorvic.core.worker_pool"};  // sys.modules key, __module__

struct State {
  // The builtins fetched once at load instead of being looked up at each use.
  binding::Ref property, round, sum;

  // Slices applied through the mapping subscript: [:12], [:200], [:500], [:6], [-100:].
  binding::Ref slice_to_12, slice_to_200, slice_to_500, slice_to_6, slice_last_100;

  // Numeric constants.
  binding::Ref float_0, float_100, float_600;
  binding::Ref int_0, int_1, int_2, int_3, int_6, int_12, int_20, int_50, int_minus_100, int_200,
      int_500;

  // Shared strings that are values, not names.
  binding::Ref empty_str, empty_tuple, empty_bytes;
};

// The one State of the process (its fields are null until the module executes).
State& state() noexcept;

// Creates the numeric and string constants, before the names are interned.
// -1 with an error set on failure.
int create_constants() noexcept;
// Fetches the builtins property, round and sum from `builtins` (NameError if
// one is missing), once the module's own types are ready.
int fetch_builtins(PyObject* builtins) noexcept;
// Creates the slices of State; after fetch_builtins.
int create_slices() noexcept;

}  // namespace worker_pool

// The WorkerPool class body, as one declarative table: every member once,
// in class-body order, with its signature, annotations, docstring and body.
#include "worker_pool/pool.hpp"

#include "worker_pool/lines.hpp"

namespace worker_pool {
namespace {

using binding::Check;
using binding::float_default;
using binding::int_default;
using binding::Kind;
using binding::kNoneDefault;
using binding::Operation;
using binding::Param;

constexpr Param kSelf{"self"};

// The operation table keeps one row per operation, laid out by hand.
// clang-format off
Operation op_init{
    .name = "__init__", .qualname = "WorkerPool.__init__", .line = lines::kInit,
    .params = {kSelf,
               {"max_workers", "int", int_default(3), Check::to_int, lines::kInitMaxWorkersParam},
               {"executor", "WorkerExecutor | None", kNoneDefault},
               {"on_status_change", "Callable[[WorkerStatus], Awaitable[None]] | None", kNoneDefault}},
    .plain = init};

Operation op_max_workers_get{
    .name = "max_workers", .qualname = "WorkerPool.max_workers", .line = lines::kMaxWorkersGetter,
    .params = {kSelf}, .returns = "int", .plain = max_workers_get};

Operation op_max_workers_set{
    .name = "max_workers", .qualname = "WorkerPool.max_workers", .line = lines::kMaxWorkersSetter,
    .params = {kSelf, {"value", "int", binding::kRequired, Check::to_int, lines::kMaxWorkersSetterParam}},
    .returns = "None", .plain = max_workers_set};

Operation op_set_executor{
    .name = "set_executor", .qualname = "WorkerPool.set_executor", .line = lines::kSetExecutor,
    .params = {kSelf, {"executor", "WorkerExecutor"}}, .returns = "None",
    .doc = "Set the worker executor function (called after init when agent is ready).",
    .plain = set_executor};

Operation op_submit{
    .name = "submit", .qualname = "WorkerPool.submit", .line = lines::kSubmit,
    .params = {kSelf, {"task", "WorkerTask"}}, .returns = "WorkerStatus",
    .doc = "Submit a task for execution. Returns immediately with queued status.",
    .kind = Kind::async_, .start = start_submit};

Operation op_submit_many{
    .name = "submit_many", .qualname = "WorkerPool.submit_many", .line = lines::kSubmitMany,
    .params = {kSelf, {"tasks", "list[WorkerTask]", binding::kRequired, Check::exact_list}},
    .returns = "list[WorkerStatus]", .doc = "Submit multiple tasks at once.",
    .kind = Kind::async_, .start = start_submit_many};

Operation op_cancel{
    .name = "cancel", .qualname = "WorkerPool.cancel", .line = lines::kCancel,
    .params = {kSelf, {"task_id", "str", binding::kRequired, Check::exact_str}},
    .returns = "bool", .doc = "Cancel a running or queued worker.",
    .kind = Kind::async_, .start = start_cancel};

Operation op_cancel_all{
    .name = "cancel_all", .qualname = "WorkerPool.cancel_all", .line = lines::kCancelAll,
    .params = {kSelf}, .returns = "int",
    .doc = "Cancel all active workers. Returns count of cancelled tasks.",
    .kind = Kind::async_, .start = start_cancel_all};

Operation op_get_status{
    .name = "get_status", .qualname = "WorkerPool.get_status", .line = lines::kGetStatus,
    .params = {kSelf, {"task_id", "str", binding::kRequired, Check::exact_str}},
    .returns = "WorkerStatus | None", .doc = "Get the status of a specific worker.",
    .plain = get_status};

Operation op_list_active{
    .name = "list_active", .qualname = "WorkerPool.list_active", .line = lines::kListActive,
    .params = {kSelf}, .returns = "list[dict[str, Any]]",
    .doc = "List all active (queued + running) workers.", .plain = list_active};

Operation op_list_running{
    .name = "list_running", .qualname = "WorkerPool.list_running", .line = lines::kListRunning,
    .params = {kSelf}, .returns = "list[dict[str, Any]]", .doc = "List only running workers.",
    .plain = list_running};

Operation op_list_queued{
    .name = "list_queued", .qualname = "WorkerPool.list_queued", .line = lines::kListQueued,
    .params = {kSelf}, .returns = "list[dict[str, Any]]", .doc = "List only queued workers.",
    .plain = list_queued};

Operation op_list_completed{
    .name = "list_completed", .qualname = "WorkerPool.list_completed", .line = lines::kListCompleted,
    .params = {kSelf, {"limit", "int", int_default(50), Check::to_int, lines::kListCompleted}},
    .returns = "list[dict[str, Any]]", .doc = "List recently completed workers.",
    .plain = list_completed};

Operation op_list_all{
    .name = "list_all", .qualname = "WorkerPool.list_all", .line = lines::kListAll,
    .params = {kSelf}, .returns = "list[dict[str, Any]]",
    .doc = "List all workers (active + recent completed).", .plain = list_all};

Operation op_stats{
    .name = "stats", .qualname = "WorkerPool.stats", .line = lines::kStats,
    .params = {kSelf}, .returns = "dict[str, Any]", .doc = "Get pool statistics.",
    .plain = stats};

Operation op_wait_for{
    .name = "wait_for", .qualname = "WorkerPool.wait_for", .line = lines::kWaitFor,
    .params = {kSelf,
               {"task_id", "str", binding::kRequired, Check::exact_str},
               {"timeout", "float", float_default(300.0), Check::to_float}},
    .returns = "WorkerStatus | None",
    .doc = "Wait for a specific worker to complete by polling status.\n"
           "\n"
           "        Uses polling instead of directly awaiting the asyncio task to avoid\n"
           "        self-await deadlocks when the coordinator calls wait from within\n"
           "        its own agent loop.\n"
           "        ",
    .kind = Kind::async_, .start = start_wait_for};

Operation op_wait_all{
    .name = "wait_all", .qualname = "WorkerPool.wait_all", .line = lines::kWaitAll,
    .params = {kSelf,
               {"task_ids", "list[str] | None", kNoneDefault, Check::list_or_none},
               {"timeout", "float", float_default(600.0), Check::to_float}},
    .returns = "list[WorkerStatus]", .doc = "Wait for multiple workers to complete by polling status.",
    .kind = Kind::async_, .start = start_wait_all};

Operation op_cleanup{
    .name = "cleanup", .qualname = "WorkerPool.cleanup", .line = lines::kCleanup,
    .params = {kSelf}, .returns = "None", .doc = "Cancel all workers and clean up.",
    .kind = Kind::async_, .start = start_cleanup};

Operation op_run_worker{
    .name = "_run_worker", .qualname = "WorkerPool._run_worker", .line = lines::kRunWorker,
    .params = {kSelf, {"task", "WorkerTask"}}, .returns = "None",
    .doc = "Execute a worker task with concurrency control.\n"
           "\n"
           "        IMPORTANT: We do NOT use asyncio.wait_for() because it cancels\n"
           "        the inner coroutine on timeout, which:\n"
           "          1. Prevents the executor's broadcast/cleanup code from running\n"
           "          2. Causes CancelledError to be caught instead of TimeoutError\n"
           "          3. Makes timeouts look like cancellations in the UI\n"
           "\n"
           "        Instead, we pass the deadline into the executor and let it\n"
           "        manage its own timeout gracefully (finishing the current round\n"
           "        then stopping).\n"
           "        ",
    .kind = Kind::async_, .start = start_run_worker};

Operation op_update_status{
    .name = "_update_status", .qualname = "WorkerPool._update_status", .line = lines::kUpdateStatus,
    .params = {kSelf, {"status", "WorkerStatus"}}, .returns = "None",
    .doc = "Callback for workers to report status updates.",
    .kind = Kind::async_, .start = start_update_status};

Operation op_move_to_completed{
    .name = "_move_to_completed", .qualname = "WorkerPool._move_to_completed",
    .line = lines::kMoveToCompleted,
    .params = {kSelf, {"task_id", "str", binding::kRequired, Check::exact_str}},
    .returns = "None", .doc = "Move a worker from active to completed history.",
    .plain = move_to_completed};
// clang-format on

}  // namespace

Member pool_members[] = {
    {"__init__", &op_init},
    {"max_workers", &op_max_workers_get, &op_max_workers_set},
    {"set_executor", &op_set_executor},
    {"submit", &op_submit},
    {"submit_many", &op_submit_many},
    {"cancel", &op_cancel},
    {"cancel_all", &op_cancel_all},
    {"get_status", &op_get_status},
    {"list_active", &op_list_active},
    {"list_running", &op_list_running},
    {"list_queued", &op_list_queued},
    {"list_completed", &op_list_completed},
    {"list_all", &op_list_all},
    {"stats", &op_stats},
    {"wait_for", &op_wait_for},
    {"wait_all", &op_wait_all},
    {"cleanup", &op_cleanup},
    {"_run_worker", &op_run_worker},
    {"_update_status", &op_update_status},
    {"_move_to_completed", &op_move_to_completed},
};
const int pool_member_count = sizeof(pool_members) / sizeof(pool_members[0]);

const char* const pool_doc =
    "Manages a pool of concurrent agent workers.\n"
    "\n"
    "    The pool enforces a configurable max concurrency limit. Tasks beyond the\n"
    "    limit are queued and executed as slots become available.\n"
    "\n"
    "    Usage:\n"
    "        pool = WorkerPool(max_workers=3, executor=my_executor_fn)\n"
    "\n"
    "        # Submit a task\n"
    "        status = await pool.submit(WorkerTask(name=\"Research\", prompt=\"...\"))\n"
    "\n"
    "        # Check status\n"
    "        all_workers = pool.list_all()\n"
    "\n"
    "        # Cancel a worker\n"
    "        await pool.cancel(\"task_id\")\n"
    "    ";

}  // namespace worker_pool

// The module's source lines, one named constant each. They are what traceback
// entries and each function's __code__ report.
#pragma once

namespace worker_pool::lines {

// ---- module body
inline constexpr int kTestDict = 1;  // `__test__ = {}`, and the set-up steps before the body
inline constexpr int kImportAsyncio = 22;
inline constexpr int kImportLogging = 23;
inline constexpr int kImportTime = 24;
inline constexpr int kImportUuid = 25;
inline constexpr int kImportDataclasses = 26;
inline constexpr int kImportEnum = 27;
inline constexpr int kImportTyping = 28;
inline constexpr int kLogger = 30;
inline constexpr int kWorkerState = 33;         // bases, metaclass, namespace, class
inline constexpr int kWorkerStateQueued = 34;   // members 34 to 39, in table order
inline constexpr int kWorkerTaskDataclass = 42; // `@dataclass` lookup and call
inline constexpr int kWorkerTaskClass = 43;     // namespace, __annotations__, class
inline constexpr int kWorkerTaskFirstField = 45;  // defaults 45 (`id`) to 54 (`created_at`)
inline constexpr int kWorkerTaskIdFactory = 45;
inline constexpr int kWorkerTaskToDict = 56;
inline constexpr int kWorkerStatusDataclass = 71;
inline constexpr int kWorkerStatusClass = 72;
inline constexpr int kWorkerStatusFirstDefault = 76;  // defaults 76 (`name`) to 85 (`duration`)
inline constexpr int kWorkerStatusToDict = 87;
inline constexpr int kWorkerExecutor = 108;
inline constexpr int kWorkerPool = 111;

// ---- WorkerTask.to_dict
inline constexpr int kTaskToDictBuild = 58;       // the dict, every insertion, "id"
inline constexpr int kTaskToDictFirstValue = 59;  // "name" 59 ... "created_at" 67

// ---- WorkerStatus.to_dict
inline constexpr int kStatusToDictBuild = 89;       // the dict, every insertion, "task_id"
inline constexpr int kStatusToDictFirstValue = 90;  // "state" 90 ... "duration" 100

// ---- WorkerPool.__init__
inline constexpr int kInit = 130;
inline constexpr int kInitMaxWorkersParam = 132;
inline constexpr int kInitMaxWorkers = 136;
inline constexpr int kInitExecutor = 137;
inline constexpr int kInitOnStatusChange = 138;
inline constexpr int kInitQueue = 141;
inline constexpr int kInitActive = 142;
inline constexpr int kInitCompleted = 143;
inline constexpr int kInitTasks = 144;
inline constexpr int kInitAllTasks = 145;
inline constexpr int kInitTotalSubmitted = 148;
inline constexpr int kInitTotalCompleted = 149;
inline constexpr int kInitTotalFailed = 150;
inline constexpr int kInitSemaphore = 152;
inline constexpr int kInitRunning = 154;

// ---- max_workers
inline constexpr int kMaxWorkersGetter = 156;
inline constexpr int kMaxWorkersGetterReturn = 158;
inline constexpr int kMaxWorkersSetter = 160;
inline constexpr int kMaxWorkersSetterParam = 161;
inline constexpr int kMaxWorkersClamp = 162;
inline constexpr int kMaxWorkersStore = 163;
inline constexpr int kMaxWorkersLog = 164;
inline constexpr int kMaxWorkersSemaphore = 165;

// ---- set_executor
inline constexpr int kSetExecutor = 167;
inline constexpr int kSetExecutorStore = 169;

// ---- submit
inline constexpr int kSubmit = 171;
inline constexpr int kSubmitCheckExecutor = 173;
inline constexpr int kSubmitNoExecutor = 174;
inline constexpr int kSubmitCount = 176;
inline constexpr int kSubmitRemember = 177;
inline constexpr int kSubmitRecord = 180;      // 180 to 184
inline constexpr int kSubmitRecordName = 183;
inline constexpr int kSubmitStore = 185;
inline constexpr int kSubmitBroadcastTest = 187;
inline constexpr int kSubmitBroadcast = 188;
inline constexpr int kSubmitCreateTask = 191;  // 191 to 194
inline constexpr int kSubmitTaskName = 193;
inline constexpr int kSubmitStoreTask = 195;
inline constexpr int kSubmitLog = 197;
inline constexpr int kSubmitReturn = 198;

// ---- submit_many
inline constexpr int kSubmitMany = 200;
inline constexpr int kSubmitManyBody = 202;

// ---- cancel
inline constexpr int kCancel = 204;
inline constexpr int kCancelTracked = 206;
inline constexpr int kCancelTask = 207;
inline constexpr int kCancelActive = 208;
inline constexpr int kCancelState = 209;
inline constexpr int kCancelCompletedAt = 210;
inline constexpr int kCancelBroadcastTest = 211;
inline constexpr int kCancelBroadcast = 212;
inline constexpr int kCancelMove = 213;
inline constexpr int kCancelLog = 214;
inline constexpr int kCancelReturn = 215;

// ---- cancel_all
inline constexpr int kCancelAll = 218;
inline constexpr int kCancelAllCount = 220;
inline constexpr int kCancelAllSnapshot = 221;
inline constexpr int kCancelAllCancel = 222;
inline constexpr int kCancelAllAdd = 223;
inline constexpr int kCancelAllReturn = 224;

// ---- queries
inline constexpr int kGetStatus = 226;
inline constexpr int kGetStatusActiveTest = 228;
inline constexpr int kGetStatusActive = 229;
inline constexpr int kGetStatusHistory = 230;  // 230, 231: the scan
inline constexpr int kGetStatusMatch = 231;
inline constexpr int kGetStatusNone = 233;
inline constexpr int kListActive = 235;
inline constexpr int kListActiveBody = 237;
inline constexpr int kListRunning = 239;
inline constexpr int kListRunningBody = 241;
inline constexpr int kListQueued = 243;
inline constexpr int kListQueuedBody = 245;
inline constexpr int kListCompleted = 247;
inline constexpr int kListCompletedBody = 249;
inline constexpr int kListAll = 251;
inline constexpr int kListAllBody = 253;
inline constexpr int kStats = 257;
inline constexpr int kStatsRunning = 259;
inline constexpr int kStatsRunningGenexpr = 260;
inline constexpr int kStatsQueued = 263;
inline constexpr int kStatsQueuedGenexpr = 264;
inline constexpr int kStatsDict = 266;  // the dict, every insertion; values 267 to 273
inline constexpr int kStatsMaxWorkers = 267;
inline constexpr int kStatsActiveCount = 268;
inline constexpr int kStatsQueuedCount = 269;
inline constexpr int kStatsTotalSubmitted = 270;
inline constexpr int kStatsTotalCompleted = 271;
inline constexpr int kStatsTotalFailed = 272;
inline constexpr int kStatsCompletedHistory = 273;

// ---- wait_for
inline constexpr int kWaitFor = 277;
inline constexpr int kWaitForImportTime = 284;
inline constexpr int kWaitForDeadline = 285;
inline constexpr int kWaitForInterval = 286;
inline constexpr int kWaitForLoop = 288;
inline constexpr int kWaitForRead = 289;
inline constexpr int kWaitForMissing = 290;
inline constexpr int kWaitForFinished = 292;  // 292 to 294
inline constexpr int kWaitForSleep = 295;
inline constexpr int kWaitForGrow = 296;
inline constexpr int kWaitForFinal = 300;

// ---- wait_all
inline constexpr int kWaitAll = 302;
inline constexpr int kWaitAllImportTime = 304;
inline constexpr int kWaitAllIds = 305;
inline constexpr int kWaitAllDeadline = 306;
inline constexpr int kWaitAllInterval = 307;
inline constexpr int kWaitAllLoop = 309;
inline constexpr int kWaitAllScan = 311;
inline constexpr int kWaitAllRead = 312;
inline constexpr int kWaitAllUnfinished = 313;
inline constexpr int kWaitAllSleep = 318;
inline constexpr int kWaitAllGrow = 319;
inline constexpr int kWaitAllResult = 321;

// ---- cleanup
inline constexpr int kCleanup = 323;
inline constexpr int kCleanupCancelAll = 325;
inline constexpr int kCleanupClearActive = 326;
inline constexpr int kCleanupClearTasks = 327;
inline constexpr int kCleanupLog = 328;

// ---- _run_worker
inline constexpr int kRunWorker = 332;
inline constexpr int kRunWorkerLookup = 345;
inline constexpr int kRunWorkerInactive = 346;
inline constexpr int kRunWorkerSemaphore = 350;
inline constexpr int kRunWorkerRunning = 351;
inline constexpr int kRunWorkerStartedAt = 352;
inline constexpr int kRunWorkerDeadline = 353;
inline constexpr int kRunWorkerRunningBroadcastTest = 355;
inline constexpr int kRunWorkerRunningBroadcast = 357;
inline constexpr int kRunWorkerRunningBroadcastCaught = 358;
inline constexpr int kRunWorkerExecutorCall = 364;
inline constexpr int kRunWorkerCompleted = 366;
inline constexpr int kRunWorkerResult = 367;
inline constexpr int kRunWorkerCountCompleted = 368;
inline constexpr int kRunWorkerCancelledHandler = 370;
inline constexpr int kRunWorkerCancelledState = 371;
inline constexpr int kRunWorkerCancelledError = 372;
inline constexpr int kRunWorkerCancelledCount = 373;
inline constexpr int kRunWorkerCancelledLog = 374;
inline constexpr int kRunWorkerFailedHandler = 377;
inline constexpr int kRunWorkerFailedState = 378;
inline constexpr int kRunWorkerFailedError = 379;
inline constexpr int kRunWorkerFailedCount = 380;
inline constexpr int kRunWorkerFailedLog = 381;
inline constexpr int kRunWorkerCompletedAt = 384;
inline constexpr int kRunWorkerDuration = 385;
inline constexpr int kRunWorkerFinalState = 388;
inline constexpr int kRunWorkerProgress = 389;
inline constexpr int kRunWorkerStepDone = 391;
inline constexpr int kRunWorkerStepFailed = 393;
inline constexpr int kRunWorkerStepTimedOut = 395;
inline constexpr int kRunWorkerStepCancelled = 397;
inline constexpr int kRunWorkerFinalBroadcastTest = 401;
inline constexpr int kRunWorkerFinalBroadcast = 403;
inline constexpr int kRunWorkerFinalBroadcastCaught = 404;
inline constexpr int kRunWorkerFinalBroadcastLog = 405;
inline constexpr int kRunWorkerMove = 407;

// ---- _update_status
inline constexpr int kUpdateStatus = 409;
inline constexpr int kUpdateStatusActiveTest = 411;
inline constexpr int kUpdateStatusStore = 412;
inline constexpr int kUpdateStatusBroadcastTest = 413;
inline constexpr int kUpdateStatusBroadcast = 414;

// ---- _move_to_completed
inline constexpr int kMoveToCompleted = 416;
inline constexpr int kMoveActiveTest = 418;
inline constexpr int kMoveAppend = 419;
inline constexpr int kMoveBoundTest = 420;
inline constexpr int kMoveTrim = 421;
inline constexpr int kMoveDropTask = 423;

}  // namespace worker_pool::lines

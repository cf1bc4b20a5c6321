// The WorkerPool class: its declarative table of operations and the bodies
// that the table points to, one file per concern.
#pragma once

#include "binding/function.hpp"

namespace worker_pool {

// A member of the class body, in order. A property has a getter and a setter.
struct Member {
  const char* name;
  binding::Operation* op;
  binding::Operation* setter = nullptr;  // non-null: `name` is property(op, setter)
};

// The members of WorkerPool in class-body order, and their count.
extern Member pool_members[];
extern const int pool_member_count;

// The WorkerPool docstring.
extern const char* const pool_doc;

// The counting generators of stats(); readied with binding::prepare_operation
// while the module executes.
extern binding::Operation stats_running_genexpr;
extern binding::Operation stats_queued_genexpr;

// ---- pool_config.cpp: construction and configuration
binding::Ref init(binding::Call& c) noexcept;
binding::Ref max_workers_get(binding::Call& c) noexcept;
binding::Ref max_workers_set(binding::Call& c) noexcept;
binding::Ref set_executor(binding::Call& c) noexcept;

// ---- pool_status.cpp: status reporting and the completed history
binding::Ref start_update_status(const binding::Operation& op, const binding::Args& a) noexcept;
binding::Ref move_to_completed(binding::Call& c) noexcept;

// ---- pool_worker.cpp: the life of one worker
binding::Ref start_run_worker(const binding::Operation& op, const binding::Args& a) noexcept;

// ---- pool_submit.cpp: submission
binding::Ref start_submit(const binding::Operation& op, const binding::Args& a) noexcept;
binding::Ref start_submit_many(const binding::Operation& op, const binding::Args& a) noexcept;

// ---- pool_queries.cpp: queries and statistics
binding::Ref get_status(binding::Call& c) noexcept;
binding::Ref list_active(binding::Call& c) noexcept;
binding::Ref list_running(binding::Call& c) noexcept;
binding::Ref list_queued(binding::Call& c) noexcept;
binding::Ref list_completed(binding::Call& c) noexcept;
binding::Ref list_all(binding::Call& c) noexcept;
binding::Ref stats(binding::Call& c) noexcept;

// ---- pool_waits.cpp: waiting for workers
binding::Ref start_wait_for(const binding::Operation& op, const binding::Args& a) noexcept;
binding::Ref start_wait_all(const binding::Operation& op, const binding::Args& a) noexcept;

// ---- pool_cancel.cpp: cancellation and clean-up
binding::Ref start_cancel(const binding::Operation& op, const binding::Args& a) noexcept;
binding::Ref start_cancel_all(const binding::Operation& op, const binding::Args& a) noexcept;
binding::Ref start_cleanup(const binding::Operation& op, const binding::Args& a) noexcept;

}  // namespace worker_pool

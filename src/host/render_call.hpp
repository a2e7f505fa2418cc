// One call of renderTransition: convert, queue, compute, settle.
//
// On the JavaScript thread the call reads its three arguments, converts them
// into an owned RenderTransitionTask (src/convert/input.hpp), creates a
// promise and a background work item holding the task, queues it and
// returns the promise; every failure up to there is thrown synchronously.
// On a worker thread of the host's pool the execute step runs the job; it
// calls no Node-API function and never lets an exception escape. Back on
// the JavaScript thread the complete step settles the promise:
//   - host status cancelled: rejected with Error "AbortError", `code`
//     "Cancelled", `name` "AbortError";
//   - any other non-ok host status: rejected with an empty message and that
//     status's `code`;
//   - the job threw (out of memory, or any other unexpected fault): rejected
//     with `code` "GenericFailure" and a message saying what failed;
//   - otherwise resolved with the converted result, or rejected with the
//     conversion's error.
// Engine failures never reject: the job reports them inside the result.
//
// Ownership: the work item owns the task and the result; both are released
// in the complete step on every path, before the promise is settled, and
// the work item itself is always deleted. If settling fails (for example
// while a worker's environment is being torn down) the failure is thrown on
// the JavaScript thread, which the host ignores when it can no longer run
// JavaScript; the process is never aborted.
//
// Nothing is shared between calls: each has its own work item, so calls may
// overlap freely.
#pragma once

#include <node_api.h>

#include <string>

#include "src/convert/binding_error.hpp"
#include "src/job/task.hpp"

namespace segue::host {

// What the worker runs for a task; `compute` for renderTransition.
using JobFunction = JsTransitionResult (*)(const RenderTransitionTask& task);

struct WorkItem {
  RenderTransitionTask task;
  JobFunction job = nullptr;
  napi_deferred deferred = nullptr;
  napi_async_work work = nullptr;
  JsTransitionResult result;
  // Set when the job threw instead of returning.
  enum class Fault { None, OutOfMemory, Exception, Unknown } fault = Fault::None;
  std::string fault_detail;  // what() of the exception, when it had one
};

// Steps from the task to the queued work: undefined, promise, async work,
// queue. Returns the promise; on failure the task is dropped and the error
// names the step ("... failed in async_work::run") with the call's status.
convert::BindingResult<napi_value> queue_job(napi_env env, RenderTransitionTask task, JobFunction job);

// As queue_job without the final queueing: the item is ready for the host
// to run, or for `complete_work` to be called on it directly. The caller
// owns the returned item until it is queued or completed.
convert::BindingResult<WorkItem*> create_work(napi_env env, RenderTransitionTask task, JobFunction job,
                                              napi_value& promise);

// The execute and complete steps, as the host calls them.
void execute_work(napi_env env, void* data);
void complete_work(napi_env env, napi_status status, void* data);

// The native body of a render-style function: three arguments, converted
// into a task that `job` computes in the background. Returns the promise,
// or nullptr with an exception pending.
napi_value render_call(napi_env env, napi_callback_info info, JobFunction job);

// renderTransition itself.
napi_value render_transition(napi_env env, napi_callback_info info);

}  // namespace segue::host

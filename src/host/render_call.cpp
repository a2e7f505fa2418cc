#include "src/host/render_call.hpp"

#include <memory>
#include <new>
#include <utility>

#include "src/convert/input.hpp"
#include "src/convert/result.hpp"
#include "src/host/napi_table.hpp"
#include "src/job/transition_job.hpp"

namespace segue::host {
namespace {

using convert::BindingError;
using convert::BindingResult;
using convert::fail;

BindingError fault_error(const WorkItem& item) {
  switch (item.fault) {
    case WorkItem::Fault::OutOfMemory:
      return {"Transition job failed: out of memory", napi_generic_failure};
    case WorkItem::Fault::Exception:
      return {"Transition job failed: " + item.fault_detail, napi_generic_failure};
    default:
      return {"Transition job failed: unknown fault", napi_generic_failure};
  }
}

// The Error a rejection carries; AbortError also gets its `name`.
BindingResult<napi_value> rejection_value(napi_env env, const BindingError& error, bool abort) {
  auto value = convert::create_error(env, error);
  if (!value || !abort) return value;
  napi_value name = nullptr;
  if (napi_status s = napi().napi_create_string_utf8(env, "AbortError", NAPI_AUTO_LENGTH, &name); s != napi_ok) {
    return fail("", s);
  }
  if (napi_status s = napi().napi_set_named_property(env, *value, "name", name); s != napi_ok) return fail("", s);
  return value;
}

}  // namespace

BindingResult<WorkItem*> create_work(napi_env env, RenderTransitionTask task, JobFunction job, napi_value& promise) {
  napi_value undefined = nullptr;
  if (napi_status s = napi().napi_get_undefined(env, &undefined); s != napi_ok) {
    return fail("Get undefined failed in async_work::run", s);
  }
  auto item = std::make_unique<WorkItem>();
  item->task = std::move(task);
  item->job = job;
  if (napi_status s = napi().napi_create_promise(env, &item->deferred, &promise); s != napi_ok) {
    return fail("Create promise failed in async_work::run", s);
  }
  if (napi_status s =
          napi().napi_create_async_work(env, promise, undefined, execute_work, complete_work, item.get(), &item->work);
      s != napi_ok) {
    return fail("Create async work failed in async_work::run", s);
  }
  return item.release();
}

BindingResult<napi_value> queue_job(napi_env env, RenderTransitionTask task, JobFunction job) {
  napi_value promise = nullptr;
  auto item = create_work(env, std::move(task), job, promise);
  if (!item) return std::unexpected(std::move(item.error()));
  std::unique_ptr<WorkItem> owned(*item);
  if (napi_status s = napi().napi_queue_async_work(env, owned->work); s != napi_ok) {
    napi().napi_delete_async_work(env, owned->work);
    return fail("Queue async work failed in async_work::run", s);
  }
  // The host hands the item back to complete_work, which deletes it.
  owned.release();
  return promise;
}

void execute_work(napi_env, void* data) {
  auto* item = static_cast<WorkItem*>(data);
  // Nothing may escape into the host's thread pool; the complete step turns
  // a fault into a rejection.
  try {
    item->result = item->job(item->task);
  } catch (const std::bad_alloc&) {
    item->fault = WorkItem::Fault::OutOfMemory;
  } catch (const std::exception& error) {
    item->fault = WorkItem::Fault::Exception;
    try {
      item->fault_detail = error.what();
    } catch (...) {
      item->fault = WorkItem::Fault::OutOfMemory;
    }
  } catch (...) {
    item->fault = WorkItem::Fault::Unknown;
  }
}

void complete_work(napi_env env, napi_status status, void* data) {
  std::unique_ptr<WorkItem> item(static_cast<WorkItem*>(data));
  const napi_deferred deferred = item->deferred;
  const napi_async_work work = item->work;

  BindingResult<napi_value> settlement = fail("");
  bool resolve = false;
  bool abort = false;
  try {
    if (status == napi_cancelled) {
      abort = true;
      settlement = fail("AbortError", napi_cancelled);
    } else if (status != napi_ok) {
      settlement = fail("", status);
    } else if (item->fault != WorkItem::Fault::None) {
      settlement = std::unexpected(fault_error(*item));
    } else {
      settlement = convert::convert_result(env, std::move(item->result));
      resolve = settlement.has_value();
    }
  } catch (const std::bad_alloc&) {
    settlement = fail("Converting the result failed: out of memory", napi_generic_failure);
  } catch (const std::exception& error) {
    settlement = fail(std::string("Converting the result failed: ") + error.what(), napi_generic_failure);
  }
  // Task and result go before settling: nothing of them may outlive the
  // completion, whatever happens next.
  item.reset();

  BindingError settle_failure;
  bool settled = true;
  if (resolve) {
    if (napi_status s = napi().napi_resolve_deferred(env, deferred, *settlement); s != napi_ok) {
      settled = false;
      settle_failure = {"Resolve promise failed", s};
    }
  } else {
    auto reason = rejection_value(env, settlement.error(), abort);
    napi_status s = reason ? napi().napi_reject_deferred(env, deferred, *reason) : reason.error().status;
    if (s != napi_ok) {
      settled = false;
      settle_failure = {"Reject promise failed", s};
    }
  }

  // Deleted on every path: a work item that could not settle its promise
  // has nothing left to do, and keeping it would only leak it.
  const napi_status deleted = napi().napi_delete_async_work(env, work);
  if (!settled) {
    convert::throw_error(env, settle_failure);
  } else if (deleted != napi_ok) {
    convert::throw_error(env, {"Delete async work failed", deleted});
  }
}

napi_value render_call(napi_env env, napi_callback_info info, JobFunction job) {
  try {
    std::size_t argc = 3;
    // The host fills missing arguments with undefined and drops extra ones.
    napi_value args[3] = {nullptr, nullptr, nullptr};
    if (napi_status s = napi().napi_get_cb_info(env, info, &argc, args, nullptr, nullptr); s != napi_ok) {
      convert::throw_error(env, {"Failed to initialize napi function call.", s});
      return nullptr;
    }
    auto task = convert::read_task(env, args[0], args[1], args[2]);
    if (!task) {
      convert::throw_error(env, task.error());
      return nullptr;
    }
    auto promise = queue_job(env, std::move(*task), job);
    if (!promise) {
      convert::throw_error(env, promise.error());
      return nullptr;
    }
    return *promise;
  } catch (const std::bad_alloc&) {
    // Copying the PCM is the one large allocation on this thread.
    convert::throw_error(env, {"Converting the arguments failed: out of memory", napi_generic_failure});
    return nullptr;
  } catch (const std::exception& error) {
    convert::throw_error(env, {std::string("Converting the arguments failed: ") + error.what(), napi_generic_failure});
    return nullptr;
  }
}

napi_value render_transition(napi_env env, napi_callback_info info) { return render_call(env, info, compute); }

}  // namespace segue::host

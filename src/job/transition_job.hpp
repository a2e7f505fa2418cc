// The transition job: the compute step of one renderTransition call.
//
// `compute` runs the whole pipeline for one task and always returns a
// result: every EngineError of any stage becomes a result whose `rendered`
// is false and whose `rejected` holds the error's full text. It never throws
// for an engine failure and touches nothing but the task (read only) and
// what it creates itself, so calls run in parallel on different threads
// without locks. Running out of memory throws std::bad_alloc like any
// allocation; the binding catches that.
#pragma once

#include "src/job/task.hpp"

namespace segue {

JsTransitionResult compute(const RenderTransitionTask& task);

}  // namespace segue

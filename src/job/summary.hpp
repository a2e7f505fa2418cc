// The human-readable account of a rendered transition.
#pragma once

#include <string>

#include "engine/planner/plan.hpp"

namespace segue {

// Seven lines (selection, blank, starts, duration, tempo, strategy), each
// ended by a line break; with the plan's diagnostics, a blank line and the
// chosen candidate's five score lines follow. Cannot fail.
std::string format_summary(const TransitionPlan& plan);

}  // namespace segue

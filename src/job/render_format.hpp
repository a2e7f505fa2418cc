// The render's sample rate and channel count, reconciled from the two tracks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/error.hpp"
#include "engine/planner/config.hpp"

namespace segue {

// The configured output rate when set (no comparison then); otherwise the
// incoming rate, refused with SampleRateMismatch when the rates differ and
// resampling is not allowed.
Result<std::uint32_t> render_sample_rate(const PlannerConfig& config, std::uint32_t outgoing_hz,
                                         std::uint32_t incoming_hz);

// Equal counts give that count; a mono track takes the other's count; any
// other pair is a ChannelCountMismatch.
Result<std::size_t> render_channel_count(std::size_t outgoing, std::size_t incoming);

}  // namespace segue

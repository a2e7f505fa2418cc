// The transition mixer: turns a plan and the two source tracks into the
// rendered overlap, in which the outgoing track fades out and the incoming
// track fades in.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/audio/buffer.hpp"
#include "engine/dsp/automation.hpp"
#include "engine/dsp/stretcher.hpp"
#include "engine/error.hpp"
#include "engine/planner/config.hpp"
#include "engine/planner/plan.hpp"

namespace segue {

// The job's reusable render state: one processor and one envelope for both
// tracks.
struct RenderState {
  GainEnvelope envelope;
  TimeStretcher stretcher;
};

struct RenderedTransition {
  AudioBuffer audio;             // plan channels, plan rate, round(duration x rate) frames
  double outgoing_resume = 0.0;  // seconds into the outgoing source where its material ends
  double incoming_resume = 0.0;  // seconds into the incoming source where playback continues
};

// Duck curve, plan checks, conditioning, filters, envelopes, mixing and the
// peak ceiling, in that order. The plan's outgoing low-pass lanes may get a
// progress automation from the duck curve. Errors: UnsupportedConfiguration
// "transition plan has no duration to render", "transition plan must name a
// channel count and sample rate", and the errors of conditioning and
// filtering unchanged.
Result<RenderedTransition> render_overlap(TransitionPlan& plan, const AudioBuffer& outgoing,
                                          const AudioBuffer& incoming,
                                          const std::optional<std::vector<double>>& duck_curve,
                                          const PlannerConfig& config, RenderState& state);

// destination[c][j] += source[c][j] x envelope[j] for j below the shortest of
// the three lengths. `source` has at least as many channels as `destination`.
void mix_add(AudioBuffer& destination, const AudioBuffer& source, std::span<const float> envelope);

// Scales everything down by one gain when the peak exceeds the ceiling; NaN
// samples do not count towards the peak.
void apply_peak_ceiling(AudioBuffer& buffer, bool enabled, float ceiling_db);

}  // namespace segue

#include "engine/dsp/mixer.hpp"

#include <algorithm>
#include <cmath>

#include "engine/dsp/conditioning.hpp"
#include "engine/dsp/filters.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

bool is_low_pass(const FilterLane& lane) { return lane.kind == FilterKind::LowPass; }

// The caller's duck curve shapes how the outgoing low-pass closes. It is laid
// over the whole outgoing track, so the transition reads the stretch between
// its start and the end of the outgoing material it consumes.
void apply_duck_curve(TransitionPlan& plan, const AudioBuffer& outgoing, const std::vector<double>& duck_curve) {
  const double track_seconds = outgoing.duration_seconds();
  if (!std::ranges::any_of(plan.outgoing_filters, is_low_pass) || !(track_seconds > 0.0)) return;
  const double from = plan.outgoing_start / track_seconds;
  const double to =
      (plan.outgoing_start + plan.duration * static_cast<double>(plan.outgoing_ratio)) / track_seconds;
  const auto points = duck_curve_points(duck_curve, from, to);
  if (!points) return;
  for (FilterLane& lane : plan.outgoing_filters) {
    if (is_low_pass(lane)) lane.progress = *points;
  }
}

ConditioningRequest request_for(const TransitionPlan& plan, std::uint64_t frames, double start, float ratio,
                                float semitones) {
  return ConditioningRequest{
      .start_seconds = start,
      .duration_seconds = plan.duration,
      .frames = frames,
      .channels = plan.channels,
      .tempo_ratio = ratio,
      .pitch_semitones = semitones,
      .sample_rate = plan.sample_rate,
  };
}

}  // namespace

Result<RenderedTransition> render_overlap(TransitionPlan& plan, const AudioBuffer& outgoing,
                                          const AudioBuffer& incoming,
                                          const std::optional<std::vector<double>>& duck_curve,
                                          const PlannerConfig& config, RenderState& state) {
  if (duck_curve) apply_duck_curve(plan, outgoing, *duck_curve);

  const auto frames = round_to_unsigned<std::uint64_t>(plan.duration * static_cast<double>(plan.sample_rate));
  if (plan.duration <= 0.0 || frames == 0) {
    return std::unexpected(EngineError::unsupported_configuration("transition plan has no duration to render"));
  }
  if (plan.sample_rate == 0 || plan.channels == 0) {
    return std::unexpected(
        EngineError::unsupported_configuration("transition plan must name a channel count and sample rate"));
  }

  // One processor per job, shared by both tracks.
  if (!state.stretcher.holds(plan.channels, plan.sample_rate)) {
    state.stretcher.configure(plan.channels, plan.sample_rate);
  }

  auto outgoing_track =
      condition_track(state.stretcher, outgoing,
                      request_for(plan, frames, plan.outgoing_start, plan.outgoing_ratio, plan.outgoing_pitch_semitones));
  if (!outgoing_track) return std::unexpected(outgoing_track.error());
  auto incoming_track =
      condition_track(state.stretcher, incoming,
                      request_for(plan, frames, plan.incoming_start, plan.incoming_ratio, plan.incoming_pitch_semitones));
  if (!incoming_track) return std::unexpected(incoming_track.error());

  const std::size_t block = config.filter_block_size;
  if (auto status = apply_filter_lanes(outgoing_track->audio, plan.outgoing_filters, block); !status) {
    return std::unexpected(status.error());
  }
  if (auto status = apply_filter_lanes(incoming_track->audio, plan.incoming_filters, block); !status) {
    return std::unexpected(status.error());
  }

  auto output = AudioBuffer::silent(plan.channels, frames, plan.sample_rate);
  if (!output) return std::unexpected(output.error());

  fade_out(state.envelope, frames, plan.outgoing_fade);
  apply_automation(state.envelope, plan.outgoing_gain.points, frames);
  mix_add(*output, outgoing_track->audio, state.envelope.envelope);

  fade_in(state.envelope, frames, plan.incoming_fade);
  apply_automation(state.envelope, plan.incoming_gain.points, frames);
  mix_add(*output, incoming_track->audio, state.envelope.envelope);

  apply_peak_ceiling(*output, config.normalize_peaks, config.peak_ceiling_db);

  return RenderedTransition{
      .audio = std::move(*output),
      .outgoing_resume = plan.outgoing_start + outgoing_track->source_seconds,
      .incoming_resume = plan.incoming_start + incoming_track->source_seconds,
  };
}

void mix_add(AudioBuffer& destination, const AudioBuffer& source, std::span<const float> envelope) {
  const std::size_t channels = std::min(destination.channel_count(), source.channel_count());
  for (std::size_t c = 0; c < channels; ++c) {
    const std::span<float> out = destination.channel(c);
    const std::span<const float> in = source.channel(c);
    const std::size_t n = std::min({out.size(), in.size(), envelope.size()});
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] + in[j] * envelope[j];
  }
}

void apply_peak_ceiling(AudioBuffer& buffer, bool enabled, float ceiling_db) {
  if (!enabled) return;
  const float ceiling = gain_from_db(ceiling_db);
  float peak = 0.0f;
  for (std::size_t c = 0; c < buffer.channel_count(); ++c) {
    for (const float sample : buffer.channel(c)) peak = std::fmax(peak, std::fabs(sample));  // NaN ignored
  }
  // One gain for the whole render: it only ever lowers the level.
  if (ceiling >= peak || peak <= 0.0f) return;
  const float gain = ceiling / peak;
  for (std::size_t c = 0; c < buffer.channel_count(); ++c) {
    for (float& sample : buffer.channel(c)) sample *= gain;
  }
}

}  // namespace segue

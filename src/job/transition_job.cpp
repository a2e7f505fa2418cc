#include "src/job/transition_job.hpp"

#include <cmath>
#include <utility>

#include "engine/planner/config.hpp"
#include "engine/planner/tempo.hpp"
#include "engine/types/beat.hpp"
#include "src/job/render_format.hpp"

namespace segue {
namespace {

// Everything one job creates and owns; released when the job ends.
struct TransitionEngine {
  PlannerConfig config;
};

JsTransitionResult failure(const EngineError& error) {
  JsTransitionResult result;
  result.rejected = error.to_text();
  return result;
}

Result<JsTransitionResult> run(const RenderTransitionTask& task) {
  // The job never consumes the task: buffers and grids get copies.
  auto outgoing_audio = AudioBuffer::create(task.outgoing.channels, task.outgoing.sample_rate);
  if (!outgoing_audio) return std::unexpected(outgoing_audio.error());
  auto incoming_audio = AudioBuffer::create(task.incoming.channels, task.incoming.sample_rate);
  if (!incoming_audio) return std::unexpected(incoming_audio.error());

  auto outgoing_grid = BeatGrid::create(task.outgoing.bpm, task.outgoing.beats, task.outgoing.downbeats);
  if (!outgoing_grid) return std::unexpected(outgoing_grid.error());
  auto incoming_grid = BeatGrid::create(task.incoming.bpm, task.incoming.beats, task.incoming.downbeats);
  if (!incoming_grid) return std::unexpected(incoming_grid.error());

  TransitionEngine engine{PlannerConfig::defaults(task.diagnostics)};
  if (auto status = engine.config.validate(); !status) return std::unexpected(status.error());
  const PlannerConfig& config = engine.config;

  // The render entry checks the grids again; grids made above always pass.
  for (const BeatGrid* grid : {&*outgoing_grid, &*incoming_grid}) {
    if (auto status = BeatGrid::validate(grid->bpm(), grid->beats(), grid->downbeats()); !status) {
      return std::unexpected(status.error());
    }
  }

  if (auto status = task.outgoing_region.validate("outgoing"); !status) return std::unexpected(status.error());
  if (auto status = task.incoming_region.validate("incoming"); !status) return std::unexpected(status.error());
  if (auto status = validate_beat_lengths(task.beat_lengths); !status) return std::unexpected(status.error());

  if (outgoing_audio->frame_count() == 0 || incoming_audio->frame_count() == 0) {
    return std::unexpected(EngineError::invalid_audio("both tracks must contain audio"));
  }

  auto render_rate = render_sample_rate(config, outgoing_audio->sample_rate(), incoming_audio->sample_rate());
  if (!render_rate) return std::unexpected(render_rate.error());

  auto render_channels = render_channel_count(outgoing_audio->channel_count(), incoming_audio->channel_count());
  if (!render_channels) return std::unexpected(render_channels.error());

  const TempoMatch tempo = match_tempo(config, outgoing_grid->bpm(), incoming_grid->bpm());

  const double outgoing_duration = outgoing_audio->duration_seconds();
  const double incoming_duration = incoming_audio->duration_seconds();
  const auto outgoing_span = task.outgoing_region.analysis_span(
      config.min_duration, config.max_duration, tempo.outgoing_ratio,
      outgoing_duration - config.outgoing_search_window, outgoing_duration, outgoing_duration);
  const double incoming_offset = std::fmax(config.incoming_search_offset, 0.0);
  const auto incoming_span = task.incoming_region.analysis_span(
      config.min_duration, config.max_duration, tempo.incoming_ratio, incoming_offset,
      config.incoming_search_window + incoming_offset + config.max_duration, incoming_duration);
  (void)outgoing_span;
  (void)incoming_span;
  (void)render_rate;

  // Track analysis, planning and rendering are the next stages to be built.
  // Until they exist a request that passed every check is rejected with a
  // text that says so: never a fabricated success.
  JsTransitionResult pending;
  pending.rejected = "track analysis is not built yet";
  return pending;
}

}  // namespace

JsTransitionResult compute(const RenderTransitionTask& task) {
  auto result = run(task);
  if (!result) return failure(result.error());
  return std::move(*result);
}

}  // namespace segue

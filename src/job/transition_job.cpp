#include "src/job/transition_job.hpp"

#include <cmath>
#include <utility>

#include "engine/analysis/spectrum.hpp"
#include "engine/analysis/track.hpp"
#include "engine/dsp/mixer.hpp"
#include "engine/planner/config.hpp"
#include "engine/planner/plan.hpp"
#include "engine/planner/tempo.hpp"
#include "engine/types/beat.hpp"
#include "src/job/render_format.hpp"
#include "src/job/summary.hpp"

namespace segue {
namespace {

// Everything one job creates and owns; released when the job ends. Nothing
// here is shared with another job, so jobs run in parallel without locks.
struct TransitionEngine {
  PlannerConfig config;
  SpectralAnalyzer analyzer;
  RenderState render;  // the gain envelope and the time stretcher, empty at first

  explicit TransitionEngine(PlannerConfig validated)
      : config(std::move(validated)), analyzer(config.analysis) {}
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

  PlannerConfig validated = PlannerConfig::defaults(task.diagnostics);
  if (auto status = validated.validate(); !status) return std::unexpected(status.error());
  TransitionEngine engine(std::move(validated));
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

  const TrackAnalysis outgoing_analysis =
      analyze_track(engine.analyzer, *outgoing_audio, *outgoing_grid, config.analysis, outgoing_span.first,
                    outgoing_span.second - outgoing_span.first);
  const TrackAnalysis incoming_analysis =
      analyze_track(engine.analyzer, *incoming_audio, *incoming_grid, config.analysis, incoming_span.first,
                    incoming_span.second - incoming_span.first);

  const PlanRequest request{
      .outgoing_audio = *outgoing_audio,
      .incoming_audio = *incoming_audio,
      .outgoing_grid = *outgoing_grid,
      .incoming_grid = *incoming_grid,
      .outgoing_analysis = outgoing_analysis,
      .incoming_analysis = incoming_analysis,
      .outgoing_region = task.outgoing_region,
      .incoming_region = task.incoming_region,
      .beat_lengths = task.beat_lengths,
      .channels = *render_channels,
      .sample_rate = *render_rate,
  };
  auto plan = plan_transition(request, config);
  if (!plan) return std::unexpected(plan.error());

  auto rendered = render_overlap(*plan, *outgoing_audio, *incoming_audio, task.duck_curve, config, engine.render);
  if (!rendered) return std::unexpected(rendered.error());

  JsTransitionResult result;
  result.rendered = true;
  result.sampleRate = rendered->audio.sample_rate();
  // The rendered samples move into the result: the storage the worker wrote
  // is what JavaScript will read, without another copy.
  result.channels = std::move(rendered->audio).release_channels();
  result.duration = plan->duration;
  result.beats = plan->beats;
  result.strategy = strategy_name(plan->strategy);
  result.outgoingStart = plan->outgoing_start;
  result.incomingStart = plan->incoming_start;
  result.outgoingResume = rendered->outgoing_resume;
  result.incomingResume = rendered->incoming_resume;
  result.outgoingTempoRatio = plan->outgoing_ratio;
  result.incomingTempoRatio = plan->incoming_ratio;
  result.targetBpm = plan->target_bpm;
  result.summary = format_summary(*plan);
  return result;
}

}  // namespace

JsTransitionResult compute(const RenderTransitionTask& task) {
  auto result = run(task);
  if (!result) return failure(result.error());
  return std::move(*result);
}

}  // namespace segue

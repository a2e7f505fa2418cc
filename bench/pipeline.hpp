// The job's pipeline on one request, stage by stage: everything the job
// builds on its way to the render, built once through the same engine calls
// and in the same order as `compute`, so that a benchmark or a report can
// run any single stage on exactly the inputs the job hands it.
//
// Errors: the first EngineError of any stage, as the job would report it.
// Building allocates about twice the request's PCM (the job's copies) plus
// the two conditioned tracks; a Pipeline is used by one thread at a time.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "engine/analysis/spectrum.hpp"
#include "engine/analysis/track.hpp"
#include "engine/dsp/conditioning.hpp"
#include "engine/dsp/stretcher.hpp"
#include "engine/numeric.hpp"
#include "engine/planner/plan.hpp"
#include "engine/planner/search.hpp"
#include "engine/planner/tempo.hpp"
#include "src/job/render_format.hpp"
#include "src/job/task.hpp"

namespace segue::bench {

struct Pipeline {
  RenderTransitionTask task;
  PlannerConfig config = PlannerConfig::defaults(false);
  // Optional only because these records have no empty state; all are set
  // once build() returns.
  std::optional<AudioBuffer> outgoing_audio_;
  std::optional<AudioBuffer> incoming_audio_;
  std::optional<BeatGrid> outgoing_grid_;
  std::optional<BeatGrid> incoming_grid_;
  std::uint32_t render_rate = 0;
  std::size_t render_channels = 0;
  TempoMatch tempo;
  std::pair<double, double> outgoing_span;
  std::pair<double, double> incoming_span;
  TrackAnalysis outgoing_analysis;
  TrackAnalysis incoming_analysis;
  TransitionPlan plan;
  std::uint64_t frames = 0;
  std::optional<ConditionedTrack> outgoing_track_;
  std::optional<ConditionedTrack> incoming_track_;

  const AudioBuffer& outgoing_audio() const { return *outgoing_audio_; }
  const AudioBuffer& incoming_audio() const { return *incoming_audio_; }
  const BeatGrid& outgoing_grid() const { return *outgoing_grid_; }
  const BeatGrid& incoming_grid() const { return *incoming_grid_; }
  const ConditionedTrack& outgoing_track() const { return *outgoing_track_; }
  const ConditionedTrack& incoming_track() const { return *incoming_track_; }

  static Result<Pipeline> build(RenderTransitionTask task);

  PlanRequest request() const {
    return PlanRequest{outgoing_audio(),     incoming_audio(),     outgoing_grid(),      incoming_grid(),
                       outgoing_analysis,  incoming_analysis,  task.outgoing_region, task.incoming_region,
                       task.beat_lengths,  render_channels,    render_rate};
  }
  SearchSpace space() const {
    return SearchSpace{outgoing_audio().duration_seconds(), incoming_audio().duration_seconds(),
                       outgoing_grid(),                     incoming_grid(),
                       task.outgoing_region,              task.incoming_region,
                       task.beat_lengths};
  }
  ConditioningRequest conditioning(bool outgoing) const {
    return ConditioningRequest{
        .start_seconds = outgoing ? plan.outgoing_start : plan.incoming_start,
        .duration_seconds = plan.duration,
        .frames = frames,
        .channels = plan.channels,
        .tempo_ratio = outgoing ? plan.outgoing_ratio : plan.incoming_ratio,
        .pitch_semitones = outgoing ? plan.outgoing_pitch_semitones : plan.incoming_pitch_semitones,
        .sample_rate = plan.sample_rate,
    };
  }
  // The region conditioning cuts from a track before converting it.
  AudioBuffer region(bool outgoing) const {
    const AudioBuffer& track = outgoing ? outgoing_audio() : incoming_audio();
    const ConditioningRequest r = conditioning(outgoing);
    const double rate = static_cast<double>(track.sample_rate());
    const double seconds = r.duration_seconds * static_cast<double>(r.tempo_ratio);
    return track.slice_padded(round_to_unsigned<std::uint64_t>(r.start_seconds * rate),
                              round_to_unsigned<std::uint64_t>(seconds * rate));
  }
};

inline Result<Pipeline> Pipeline::build(RenderTransitionTask task) {
  Pipeline p;
  p.task = std::move(task);
  auto out = AudioBuffer::create(p.task.outgoing.channels, p.task.outgoing.sample_rate);
  if (!out) return std::unexpected(out.error());
  auto in = AudioBuffer::create(p.task.incoming.channels, p.task.incoming.sample_rate);
  if (!in) return std::unexpected(in.error());
  auto out_grid = BeatGrid::create(p.task.outgoing.bpm, p.task.outgoing.beats, p.task.outgoing.downbeats);
  if (!out_grid) return std::unexpected(out_grid.error());
  auto in_grid = BeatGrid::create(p.task.incoming.bpm, p.task.incoming.beats, p.task.incoming.downbeats);
  if (!in_grid) return std::unexpected(in_grid.error());
  p.outgoing_audio_ = std::move(*out);
  p.incoming_audio_ = std::move(*in);
  p.outgoing_grid_ = std::move(*out_grid);
  p.incoming_grid_ = std::move(*in_grid);

  auto rate = render_sample_rate(p.config, p.outgoing_audio().sample_rate(), p.incoming_audio().sample_rate());
  if (!rate) return std::unexpected(rate.error());
  auto channels = render_channel_count(p.outgoing_audio().channel_count(), p.incoming_audio().channel_count());
  if (!channels) return std::unexpected(channels.error());
  p.render_rate = *rate;
  p.render_channels = *channels;
  p.tempo = match_tempo(p.config, p.outgoing_grid().bpm(), p.incoming_grid().bpm());

  const PlannerConfig& c = p.config;
  const double d_out = p.outgoing_audio().duration_seconds();
  const double d_in = p.incoming_audio().duration_seconds();
  const double offset = std::fmax(c.incoming_search_offset, 0.0);
  p.outgoing_span = p.task.outgoing_region.analysis_span(c.min_duration, c.max_duration, p.tempo.outgoing_ratio,
                                                         d_out - c.outgoing_search_window, d_out, d_out);
  p.incoming_span = p.task.incoming_region.analysis_span(c.min_duration, c.max_duration, p.tempo.incoming_ratio,
                                                         offset, c.incoming_search_window + offset + c.max_duration,
                                                         d_in);
  SpectralAnalyzer analyzer(c.analysis);
  p.outgoing_analysis = analyze_track(analyzer, p.outgoing_audio(), p.outgoing_grid(), c.analysis, p.outgoing_span.first,
                                      p.outgoing_span.second - p.outgoing_span.first);
  p.incoming_analysis = analyze_track(analyzer, p.incoming_audio(), p.incoming_grid(), c.analysis, p.incoming_span.first,
                                      p.incoming_span.second - p.incoming_span.first);

  auto plan = plan_transition(p.request(), c);
  if (!plan) return std::unexpected(plan.error());
  p.plan = std::move(*plan);
  p.frames = round_to_unsigned<std::uint64_t>(p.plan.duration * static_cast<double>(p.plan.sample_rate));

  TimeStretcher stretcher;
  stretcher.configure(p.plan.channels, p.plan.sample_rate);
  auto out_track = condition_track(stretcher, p.outgoing_audio(), p.conditioning(true));
  if (!out_track) return std::unexpected(out_track.error());
  auto in_track = condition_track(stretcher, p.incoming_audio(), p.conditioning(false));
  if (!in_track) return std::unexpected(in_track.error());
  p.outgoing_track_ = std::move(*out_track);
  p.incoming_track_ = std::move(*in_track);
  return p;
}

}  // namespace segue::bench

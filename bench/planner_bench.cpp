// The planner on two 90 s stereo 48 kHz tracks with 1,024 admitted
// candidates: search and scoring (the part that grows with the candidate
// count) apart from the two loudness readings (which grow with the overlap's
// length), the whole plan_transition, and as baselines the enumeration alone
// and the scoring without the scorer's summary cache. The material and its
// analysis are built once, outside the timed region.
//
// Build: cmake -S . -B build-bench -G Ninja -DSEGUE_BUILD_BENCH=ON
//        -DSEGUE_BUILD_ADDON=OFF && ninja -C build-bench -j2 planner_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "engine/analysis/loudness.hpp"
#include "engine/analysis/track.hpp"
#include "engine/planner/plan.hpp"
#include "engine/planner/scoring.hpp"
#include "engine/planner/search.hpp"
#include "engine/planner/tempo.hpp"

namespace segue {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr double kSeconds = 90.0;

// A deterministic dance-like track: a decaying 55 Hz kick on every beat, a
// noise hat on every off-beat, and a slowly swelling chord, in stereo.
AudioBuffer synthesize(float bpm, std::uint32_t seed) {
  const std::size_t frames = static_cast<std::size_t>(kSeconds * kRate);
  const double period = 60.0 / bpm;
  std::vector<Channel> channels(2, Channel(frames));
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double in_beat = std::fmod(t, period);
    const double in_half = std::fmod(t + 0.5 * period, period);
    state = state * 1664525u + 1013904223u;
    const double white = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    const double kick = std::exp(-in_beat * 18.0) * std::sin(2.0 * std::numbers::pi * 55.0 * in_beat);
    const double hat = std::exp(-in_half * 60.0) * white * 0.3;
    const double swell = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * t / 32.0);
    double chord = 0.0;
    for (const double f : {220.0, 277.18, 329.63}) chord += std::sin(2.0 * std::numbers::pi * f * t);
    const double mono = 0.6 * kick + hat + 0.08 * swell * chord;
    channels[0][i] = static_cast<float>(mono);
    channels[1][i] = static_cast<float>(0.9 * mono + 0.1 * hat);
  }
  return AudioBuffer::create(std::move(channels), kRate).value();
}

BeatGrid regular_grid(float bpm) {
  std::vector<double> beats, downbeats;
  const double period = 60.0 / bpm;
  for (std::size_t k = 0; k * period < kSeconds; ++k) {
    beats.push_back(k * period);
    if (k % 4 == 0) downbeats.push_back(k * period);
  }
  return BeatGrid::create(bpm, std::move(beats), std::move(downbeats)).value();
}

// Two analysed tracks and a request whose every combination is admitted:
// the outgoing start window keeps the latest start clear of the track's end
// even for 32 beats, so 16 x 16 x 4 = 1,024 candidates are scored.
struct Material {
  PlannerConfig config = PlannerConfig::defaults(false);
  AudioBuffer outgoing_audio = synthesize(120.0f, 1);
  AudioBuffer incoming_audio = synthesize(122.0f, 2);
  BeatGrid outgoing_grid = regular_grid(120.0f);
  BeatGrid incoming_grid = regular_grid(122.0f);
  RegionConstraint outgoing_region{.start = TimeWindow{40.0, 72.0}, .end = std::nullopt};
  RegionConstraint incoming_region;
  std::optional<std::vector<std::uint32_t>> beat_lengths;
  TempoMatch tempo = match_tempo(config, outgoing_grid.bpm(), incoming_grid.bpm());
  TrackAnalysis outgoing_analysis;
  TrackAnalysis incoming_analysis;

  Material() {
    SpectralAnalyzer analyzer(config.analysis);
    const auto [out_start, out_end] =
        outgoing_region.analysis_span(config.min_duration, config.max_duration, tempo.outgoing_ratio,
                                      kSeconds - config.outgoing_search_window, kSeconds, kSeconds);
    const auto [in_start, in_end] = incoming_region.analysis_span(
        config.min_duration, config.max_duration, tempo.incoming_ratio, 0.0,
        config.incoming_search_window + config.max_duration, kSeconds);
    outgoing_analysis =
        analyze_track(analyzer, outgoing_audio, outgoing_grid, config.analysis, out_start, out_end - out_start);
    incoming_analysis =
        analyze_track(analyzer, incoming_audio, incoming_grid, config.analysis, in_start, in_end - in_start);
  }

  SearchSpace space() const {
    return SearchSpace{kSeconds,        kSeconds,        outgoing_grid, incoming_grid,
                       outgoing_region, incoming_region, beat_lengths};
  }
  PlanRequest request() const {
    return PlanRequest{outgoing_audio,    incoming_audio,    outgoing_grid,   incoming_grid,
                       outgoing_analysis, incoming_analysis, outgoing_region, incoming_region,
                       beat_lengths,      2,                 kRate};
  }
};

const Material& material() {
  static const Material instance;
  return instance;
}

void BM_Enumerate(benchmark::State& state) {
  const Material& m = material();
  for (auto _ : state) {
    SearchResult result = enumerate_candidates(m.space(), m.tempo, m.config);
    benchmark::DoNotOptimize(result);
  }
}

void BM_SearchAndScoring(benchmark::State& state) {
  const Material& m = material();
  const ScoringInputs inputs{m.outgoing_grid, m.incoming_grid, m.outgoing_analysis, m.incoming_analysis};
  std::size_t candidates = 0;
  for (auto _ : state) {
    const TempoMatch tempo = match_tempo(m.config, m.outgoing_grid.bpm(), m.incoming_grid.bpm());
    SearchResult result = enumerate_candidates(m.space(), tempo, m.config);
    const std::vector<ScoredCandidate> scored = score_candidates(result.candidates, inputs, m.config);
    benchmark::DoNotOptimize(choose_best(scored));
    candidates = scored.size();
  }
  state.counters["candidates"] = static_cast<double>(candidates);
  state.counters["per_candidate"] = benchmark::Counter(static_cast<double>(candidates),
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

// The same without reusing region summaries: every candidate summarises
// both of its stretches afresh. The baseline for the scorer's cache.
void BM_SearchAndScoringUncached(benchmark::State& state) {
  const Material& m = material();
  const ScoringInputs inputs{m.outgoing_grid, m.incoming_grid, m.outgoing_analysis, m.incoming_analysis};
  for (auto _ : state) {
    const TempoMatch tempo = match_tempo(m.config, m.outgoing_grid.bpm(), m.incoming_grid.bpm());
    SearchResult result = enumerate_candidates(m.space(), tempo, m.config);
    std::vector<ScoredCandidate> scored;
    scored.reserve(result.candidates.size());
    for (const Candidate& c : result.candidates) scored.push_back(score_candidate(c, inputs, m.config));
    benchmark::DoNotOptimize(choose_best(scored));
  }
}

// The two readings plan_transition takes for the chosen candidate.
void BM_Loudness(benchmark::State& state) {
  const Material& m = material();
  const Result<TransitionPlan> plan = plan_transition(m.request(), m.config);
  if (!plan) {
    state.SkipWithError(plan.error().to_text().c_str());
    return;
  }
  for (auto _ : state) {
    const Result<float> out = measure_loudness(m.outgoing_audio, plan->outgoing_start,
                                               static_cast<double>(plan->outgoing_ratio) * plan->duration);
    const Result<float> in = measure_loudness(m.incoming_audio, plan->incoming_start,
                                              static_cast<double>(plan->incoming_ratio) * plan->duration);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(in);
  }
  state.counters["overlap_s"] = plan->duration;
  state.counters["beats"] = plan->beats;
}

void BM_PlanTransition(benchmark::State& state) {
  const Material& m = material();
  for (auto _ : state) {
    Result<TransitionPlan> plan = plan_transition(m.request(), m.config);
    if (!plan) {
      state.SkipWithError(plan.error().to_text().c_str());
      return;
    }
    benchmark::DoNotOptimize(plan);
  }
}

BENCHMARK(BM_Enumerate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchAndScoring)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchAndScoringUncached)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Loudness)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlanTransition)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace segue

// The cost of each stage of one transition job on the benchmark workload
// (bench/workload.js): two generated stereo tracks of about 90 s at 124 and
// 128 BPM, 48 kHz, with the default request; and the same with the outgoing
// track at 44.1 kHz, so that the render resamples it.
//
// Every stage runs on exactly the inputs the job hands it on that workload:
// the stages before it are computed once, outside the timed region, through
// the same engine calls the job makes, and the whole job (`compute`) runs as
// the reference the stages add up to. Names read "stage/variant"; the
// results page (bench/run.js) takes the medians of the repetitions.
//
// Counters: x_realtime is seconds of source audio handled per second of
// work (printed as a rate, "/s").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <sys/resource.h>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "bench/pipeline.hpp"
#include "bench/workload.hpp"
#include "engine/analysis/loudness.hpp"
#include "engine/analysis/spectrum.hpp"
#include "engine/analysis/track.hpp"
#include "engine/dsp/conditioning.hpp"
#include "engine/dsp/filters.hpp"
#include "engine/dsp/mixer.hpp"
#include "engine/dsp/resampler.hpp"
#include "engine/numeric.hpp"
#include "engine/planner/plan.hpp"
#include "engine/planner/scoring.hpp"
#include "engine/planner/search.hpp"
#include "engine/planner/strategy.hpp"
#include "engine/planner/tempo.hpp"
#include "src/job/render_format.hpp"
#include "src/job/summary.hpp"
#include "src/job/transition_job.hpp"

namespace segue {
namespace {
// Seconds this thread spent in TimeStretcher::stretch (see the wrapper at
// the end of this file).
thread_local double stretch_seconds_on_this_thread = 0.0;
}  // namespace
}  // namespace segue

// The linker sends every call of TimeStretcher::stretch to __wrap_ and the
// original to __real_ (-Wl,--wrap in bench/CMakeLists.txt). Declared with
// the member's own signature, `this` first, as the platform ABI passes it.
#define SEGUE_STRETCH_SYMBOL "_ZN5segue13TimeStretcher7stretchERKNS_11AudioBufferEmf"
segue::Result<segue::AudioBuffer> segue_real_stretch(segue::TimeStretcher* self, const segue::AudioBuffer& buffer,
                                                     std::size_t frames, float semitones)
    __asm__("__real_" SEGUE_STRETCH_SYMBOL);
segue::Result<segue::AudioBuffer> segue_wrapped_stretch(segue::TimeStretcher* self,
                                                        const segue::AudioBuffer& buffer, std::size_t frames,
                                                        float semitones) __asm__("__wrap_" SEGUE_STRETCH_SYMBOL);
segue::Result<segue::AudioBuffer> segue_wrapped_stretch(segue::TimeStretcher* self,
                                                        const segue::AudioBuffer& buffer, std::size_t frames,
                                                        float semitones) {
  const auto start = std::chrono::steady_clock::now();
  auto result = segue_real_stretch(self, buffer, frames, semitones);
  segue::stretch_seconds_on_this_thread +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

namespace segue {
namespace {

using bench::Pipeline;

struct Variant {
  const char* name;
  const char* outgoing;  // track names in the workload folder
  const char* incoming;
  bool resamples;        // the tracks' rates differ
};

constexpr Variant kVariants[] = {
    {"48k", "outgoing", "incoming", false},
    {"44k1-to-48k", "outgoing44k", "incoming", true},
};

using StageFunction = void (*)(benchmark::State&, const Pipeline&);

void BuildInputs(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    auto out = AudioBuffer::create(p.task.outgoing.channels, p.task.outgoing.sample_rate);
    auto in = AudioBuffer::create(p.task.incoming.channels, p.task.incoming.sample_rate);
    auto out_grid = BeatGrid::create(p.task.outgoing.bpm, p.task.outgoing.beats, p.task.outgoing.downbeats);
    auto in_grid = BeatGrid::create(p.task.incoming.bpm, p.task.incoming.beats, p.task.incoming.downbeats);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(in);
    benchmark::DoNotOptimize(out_grid);
    benchmark::DoNotOptimize(in_grid);
  }
  state.counters["x_realtime"] =
      benchmark::Counter(p.outgoing_audio().duration_seconds() + p.incoming_audio().duration_seconds(),
                         benchmark::Counter::kIsIterationInvariantRate);
}

// The configuration, its validation and the analyser with its FFT plan.
void EngineSetup(benchmark::State& state, const Pipeline&) {
  for (auto _ : state) {
    PlannerConfig config = PlannerConfig::defaults(false);
    benchmark::DoNotOptimize(config.validate());
    SpectralAnalyzer analyzer(config.analysis);
    benchmark::DoNotOptimize(analyzer);
  }
}

void Analyse(benchmark::State& state, const Pipeline& p, bool outgoing) {
  SpectralAnalyzer analyzer(p.config.analysis);
  const auto& span = outgoing ? p.outgoing_span : p.incoming_span;
  const AudioBuffer& audio = outgoing ? p.outgoing_audio() : p.incoming_audio();
  const BeatGrid& grid = outgoing ? p.outgoing_grid() : p.incoming_grid();
  std::size_t frames = 0;
  for (auto _ : state) {
    TrackAnalysis analysis =
        analyze_track(analyzer, audio, grid, p.config.analysis, span.first, span.second - span.first);
    frames = analysis.frames.size();
    benchmark::DoNotOptimize(analysis);
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["span_s"] = span.second - span.first;
  state.counters["x_realtime"] =
      benchmark::Counter(span.second - span.first, benchmark::Counter::kIsIterationInvariantRate);
}
void AnalyseOutgoing(benchmark::State& state, const Pipeline& p) { Analyse(state, p, true); }
void AnalyseIncoming(benchmark::State& state, const Pipeline& p) { Analyse(state, p, false); }

void SearchAndScoring(benchmark::State& state, const Pipeline& p) {
  const ScoringInputs inputs{p.outgoing_grid(), p.incoming_grid(), p.outgoing_analysis, p.incoming_analysis};
  std::size_t candidates = 0;
  for (auto _ : state) {
    const TempoMatch tempo = match_tempo(p.config, p.outgoing_grid().bpm(), p.incoming_grid().bpm());
    SearchResult result = enumerate_candidates(p.space(), tempo, p.config);
    const std::vector<ScoredCandidate> scored = score_candidates(result.candidates, inputs, p.config);
    benchmark::DoNotOptimize(choose_best(scored));
    candidates = scored.size();
  }
  state.counters["candidates"] = static_cast<double>(candidates);
}

void Loudness(benchmark::State& state, const Pipeline& p) {
  const TransitionPlan& plan = p.plan;
  for (auto _ : state) {
    auto out = measure_loudness(p.outgoing_audio(), plan.outgoing_start,
                                static_cast<double>(plan.outgoing_ratio) * plan.duration);
    auto in = measure_loudness(p.incoming_audio(), plan.incoming_start,
                               static_cast<double>(plan.incoming_ratio) * plan.duration);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(in);
  }
  state.counters["x_realtime"] = benchmark::Counter(
      plan.duration * (static_cast<double>(plan.outgoing_ratio) + static_cast<double>(plan.incoming_ratio)),
      benchmark::Counter::kIsIterationInvariantRate);
}

void PlanTransition(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    auto plan = plan_transition(p.request(), p.config);
    benchmark::DoNotOptimize(plan);
  }
}

// Creating the time-stretching processor, which the render does once per job.
void StretcherSetup(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    TimeStretcher stretcher;
    stretcher.configure(p.plan.channels, p.plan.sample_rate);
    benchmark::DoNotOptimize(stretcher);
  }
}

// Cutting the regions out of both sources, as conditioning starts.
void Cut(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    AudioBuffer out = p.region(true);
    AudioBuffer in = p.region(false);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(in);
  }
}

// Sample-rate conversion of whatever region the render converts (the
// outgoing one in the 44.1 kHz variant).
void Resampling(benchmark::State& state, const Pipeline& p) {
  const bool outgoing = p.outgoing_audio().sample_rate() != p.plan.sample_rate;
  if (!outgoing && p.incoming_audio().sample_rate() == p.plan.sample_rate) {
    state.SkipWithError("no track is resampled in this variant");
    return;
  }
  const AudioBuffer region = p.region(outgoing);
  for (auto _ : state) {
    state.PauseTiming();
    AudioBuffer copy = region;
    state.ResumeTiming();
    auto converted = resample(std::move(copy), p.plan.sample_rate);
    benchmark::DoNotOptimize(converted);
  }
  state.counters["x_realtime"] =
      benchmark::Counter(region.duration_seconds(), benchmark::Counter::kIsIterationInvariantRate);
}

// The regions the render hands the processor (already at the render rate),
// with their transposes, for every track the render stretches.
std::vector<std::pair<AudioBuffer, float>> stretched_regions(const Pipeline& p, std::size_t latency) {
  std::vector<std::pair<AudioBuffer, float>> regions;
  for (const bool outgoing : {true, false}) {
    const ConditioningRequest r = p.conditioning(outgoing);
    const bool wants = std::fabs(r.tempo_ratio - 1.0f) > 0.0001f || r.pitch_semitones != 0.0f;
    if (!wants || p.frames < 2 * static_cast<std::uint64_t>(latency)) continue;
    AudioBuffer region = p.region(outgoing);
    if (region.sample_rate() != p.plan.sample_rate) region = *resample(std::move(region), p.plan.sample_rate);
    regions.emplace_back(std::move(region), r.pitch_semitones);
  }
  return regions;
}

// Time-stretching every track the render stretches. `fresh` creates the
// processor inside the timed region, as each job does, so its first use
// runs on cold, newly allocated state; otherwise one processor is reused
// across iterations (the library's steady-state speed).
void StretchWith(benchmark::State& state, const Pipeline& p, bool fresh) {
  TimeStretcher reused;
  reused.configure(p.plan.channels, p.plan.sample_rate);
  const auto regions = stretched_regions(p, reused.output_latency());
  if (regions.empty()) {
    state.SkipWithError("no track is stretched in this workload");
    return;
  }
  double seconds = 0.0;
  for (const auto& [region, semitones] : regions) seconds += region.duration_seconds();
  for (auto _ : state) {
    TimeStretcher local;
    if (fresh) local.configure(p.plan.channels, p.plan.sample_rate);
    TimeStretcher& stretcher = fresh ? local : reused;
    for (const auto& [region, semitones] : regions) {
      auto stretched = stretcher.stretch(region, p.frames, semitones);
      if (!stretched) {
        state.SkipWithError(stretched.error().to_text().c_str());
        return;
      }
      benchmark::DoNotOptimize(stretched);
    }
  }
  state.counters["tracks"] = static_cast<double>(regions.size());
  state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
}
void Stretching(benchmark::State& state, const Pipeline& p) { StretchWith(state, p, false); }
void StretchingInJob(benchmark::State& state, const Pipeline& p) { StretchWith(state, p, true); }

// Both tracks through condition_track: cut, rate, channels, stretch.
void Conditioning(benchmark::State& state, const Pipeline& p) {
  TimeStretcher stretcher;
  stretcher.configure(p.plan.channels, p.plan.sample_rate);
  for (auto _ : state) {
    auto out = condition_track(stretcher, p.outgoing_audio(), p.conditioning(true));
    auto in = condition_track(stretcher, p.incoming_audio(), p.conditioning(false));
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(in);
  }
}

void FilterWith(benchmark::State& state, const Pipeline& p, const std::vector<FilterLane>& outgoing_lanes,
                const std::vector<FilterLane>& incoming_lanes) {
  const std::size_t block = p.config.filter_block_size;
  for (auto _ : state) {
    state.PauseTiming();
    AudioBuffer out = p.outgoing_track().audio;
    AudioBuffer in = p.incoming_track().audio;
    state.ResumeTiming();
    benchmark::DoNotOptimize(apply_filter_lanes(out, outgoing_lanes, block));
    benchmark::DoNotOptimize(apply_filter_lanes(in, incoming_lanes, block));
  }
  state.counters["lanes"] = static_cast<double>(outgoing_lanes.size() + incoming_lanes.size());
}

// The lanes of the plan the workload gets.
void Filtering(benchmark::State& state, const Pipeline& p) {
  FilterWith(state, p, p.plan.outgoing_filters, p.plan.incoming_filters);
}

FilterLane lane(FilterKind kind, Automation cutoff, const PlannerConfig& config) {
  return FilterLane{.cutoff = std::move(cutoff), .progress = std::nullopt, .q = config.filter_q, .kind = kind};
}

// The two strategies that filter, on the same audio, for comparison: the
// workload's own plan may use neither.
void FilteringBassSwap(benchmark::State& state, const Pipeline& p) {
  const PlannerConfig& c = p.config;
  FilterWith(state, p,
             {lane(FilterKind::HighPass,
                   sweep(c.highpass_open_hz, c.bass_cutoff_hz, 0.45f, 0.55f, CurveShape::Exponential), c)},
             {lane(FilterKind::HighPass,
                   sweep(c.bass_cutoff_hz, c.highpass_open_hz, 0.45f, 0.55f, CurveShape::Exponential), c)});
}
void FilteringFilteredBlend(benchmark::State& state, const Pipeline& p) {
  const PlannerConfig& c = p.config;
  FilterWith(state, p,
             {lane(FilterKind::LowPass,
                   sweep(c.lowpass_open_hz, c.blend_lowpass_end_hz, 0.3f, 1.0f, CurveShape::SCurveExponential), c)},
             {lane(FilterKind::HighPass,
                   sweep(c.bass_cutoff_hz, c.highpass_open_hz, 0.0f, 0.6f, CurveShape::Exponential), c)});
}

// Output buffer, both fades and gain automations, the two sums and the
// peak ceiling.
void Mixing(benchmark::State& state, const Pipeline& p) {
  GainEnvelope envelope;
  const TransitionPlan& plan = p.plan;
  for (auto _ : state) {
    auto output = AudioBuffer::silent(plan.channels, p.frames, plan.sample_rate);
    fade_out(envelope, p.frames, plan.outgoing_fade);
    apply_automation(envelope, plan.outgoing_gain.points, p.frames);
    mix_add(*output, p.outgoing_track().audio, envelope.envelope);
    fade_in(envelope, p.frames, plan.incoming_fade);
    apply_automation(envelope, plan.incoming_gain.points, p.frames);
    mix_add(*output, p.incoming_track().audio, envelope.envelope);
    apply_peak_ceiling(*output, p.config.normalize_peaks, p.config.peak_ceiling_db);
    benchmark::DoNotOptimize(output);
  }
}

void RenderOverlap(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    RenderState render;
    TransitionPlan plan = p.plan;
    auto rendered = render_overlap(plan, p.outgoing_audio(), p.incoming_audio(), p.task.duck_curve, p.config, render);
    benchmark::DoNotOptimize(rendered);
  }
}

// What the job does after the render: the summary text and the numbers.
void FillResult(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    JsTransitionResult result;
    result.rendered = true;
    result.strategy = strategy_name(p.plan.strategy);
    result.summary = format_summary(p.plan);
    benchmark::DoNotOptimize(result);
  }
}

void Compute(benchmark::State& state, const Pipeline& p) {
  for (auto _ : state) {
    JsTransitionResult result = compute(p.task);
    if (!result.rendered) {
      state.SkipWithError(result.rejected.c_str());
      return;
    }
    benchmark::DoNotOptimize(result);
  }
}

// System CPU time of the calling thread.
double thread_kernel_seconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

// The whole job less the stretch inside it, both from one and the same
// job: the time spent in TimeStretcher::stretch is summed by a linker
// wrapper around it (bench/CMakeLists.txt wraps the symbol for this program
// only; the engine is untouched). Manual time: job minus its stretches.
void JobExceptStretch(benchmark::State& state, const Pipeline& p) {
  using Clock = std::chrono::steady_clock;
  double job_total = 0.0, stretch_total = 0.0, kernel_total = 0.0;
  for (auto _ : state) {
    stretch_seconds_on_this_thread = 0.0;
    const double kernel_start = thread_kernel_seconds();
    const auto start = Clock::now();
    JsTransitionResult result = compute(p.task);
    const double job = std::chrono::duration<double>(Clock::now() - start).count();
    kernel_total += thread_kernel_seconds() - kernel_start;
    if (!result.rendered) {
      state.SkipWithError(result.rejected.c_str());
      return;
    }
    benchmark::DoNotOptimize(result);
    job_total += job;
    stretch_total += stretch_seconds_on_this_thread;
    state.SetIterationTime(job - stretch_seconds_on_this_thread);
  }
  state.counters["job_ms"] = benchmark::Counter(job_total * 1e3, benchmark::Counter::kAvgIterations);
  state.counters["stretch_ms"] = benchmark::Counter(stretch_total * 1e3, benchmark::Counter::kAvgIterations);
  // Time in the kernel on the job's behalf: almost all of it is faulting in
  // fresh pages for the job's large buffers.
  state.counters["kernel_ms"] = benchmark::Counter(kernel_total * 1e3, benchmark::Counter::kAvgIterations);
}

double thread_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Two jobs at once on two threads, as two calls in flight run on two
// workers of the host's pool. Each job's CPU time next to its wall time
// tells where a shortfall of throughput comes from: equal, the jobs never
// wait for each other (no lock, no serialisation), and a job that takes
// more CPU time than alone ran on a slower or busier core.
void ComputeInParallel(benchmark::State& state, const Pipeline& p) {
  double cpu = 0.0, wall = 0.0;
  for (auto _ : state) {
    double job_cpu[2] = {0.0, 0.0}, job_wall[2] = {0.0, 0.0};
    std::thread workers[2];
    for (int k = 0; k < 2; ++k) {
      workers[k] = std::thread([&, k] {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_ms();
        JsTransitionResult result = compute(p.task);
        benchmark::DoNotOptimize(result);
        job_cpu[k] = thread_cpu_ms() - cpu_start;
        job_wall[k] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      });
    }
    for (std::thread& worker : workers) worker.join();
    cpu += 0.5 * (job_cpu[0] + job_cpu[1]);
    wall += 0.5 * (job_wall[0] + job_wall[1]);
  }
  state.counters["job_cpu_ms"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
  state.counters["job_wall_ms"] = benchmark::Counter(wall, benchmark::Counter::kAvgIterations);
}

struct Stage {
  const char* name;
  StageFunction function;
  bool manual_time = false;  // the case sets its own iteration times
};

constexpr Stage kStages[] = {
    {"build_inputs", BuildInputs},
    {"engine_setup", EngineSetup},
    {"analysis_outgoing", AnalyseOutgoing},
    {"analysis_incoming", AnalyseIncoming},
    {"search_and_scoring", SearchAndScoring},
    {"loudness", Loudness},
    {"plan_transition", PlanTransition},
    {"stretcher_setup", StretcherSetup},
    {"cut", Cut},
    {"resampling", Resampling},
    {"stretching", Stretching},
    {"stretching_in_job", StretchingInJob},
    {"conditioning", Conditioning},
    {"filtering", Filtering},
    {"filtering_bass_swap", FilteringBassSwap},
    {"filtering_filtered_blend", FilteringFilteredBlend},
    {"mixing", Mixing},
    {"render_overlap", RenderOverlap},
    {"fill_result", FillResult},
    {"compute", Compute},
    {"job_except_stretch", JobExceptStretch, true},
    {"compute_in_parallel", ComputeInParallel},
};

// The plan the workload gets, on stderr, so that a reader of the numbers
// knows what was rendered.
void report_plan(const char* variant, const Pipeline& p) {
  std::fprintf(stderr,
               "workload %s: %s, %u beats, %.3f s at %g BPM, outgoing %.3f s (ratio %.6g), incoming %.3f s "
               "(ratio %.6g), %zu x %llu frames at %u Hz\n",
               variant, std::string(strategy_name(p.plan.strategy)).c_str(), p.plan.beats, p.plan.duration,
               static_cast<double>(p.plan.target_bpm), p.plan.outgoing_start,
               static_cast<double>(p.plan.outgoing_ratio), p.plan.incoming_start,
               static_cast<double>(p.plan.incoming_ratio), static_cast<std::size_t>(p.plan.channels),
               static_cast<unsigned long long>(p.frames), p.plan.sample_rate);
}

// Each variant's pipeline is built on the first case that needs it (outside
// any timed region) and kept for the rest of the run, so a filtered run
// builds only what it measures. A workload that cannot be read or planned
// skips the variant's cases with the reason.
struct LazyPipeline {
  const Variant* variant = nullptr;
  bool attempted = false;
  std::optional<Pipeline> pipeline;
  std::string failure;

  const Pipeline* get() {
    if (!attempted) {
      attempted = true;
      if (auto task = bench::read_task(variant->outgoing, variant->incoming); !task) {
        failure = task.error();
      } else if (auto built = Pipeline::build(std::move(*task)); !built) {
        failure = built.error().to_text();
      } else {
        pipeline.emplace(std::move(*built));
        report_plan(variant->name, *pipeline);
      }
    }
    return pipeline ? &*pipeline : nullptr;
  }
};

int register_stages() {
  static LazyPipeline lazy[std::size(kVariants)];
  for (std::size_t v = 0; v < std::size(kVariants); ++v) {
    const Variant& variant = kVariants[v];
    lazy[v].variant = &variant;
    for (const Stage& stage : kStages) {
      // Only a variant whose rates differ has a conversion to time.
      if (stage.function == Resampling && !variant.resamples) continue;
      const std::string name = std::string(stage.name) + "/" + variant.name;
      const StageFunction function = stage.function;
      LazyPipeline* source = &lazy[v];
      auto* registered = benchmark::RegisterBenchmark(name.c_str(),
                                   [source, function](benchmark::State& state) {
                                     const Pipeline* pipeline = source->get();
                                     if (pipeline == nullptr) {
                                       state.SkipWithError(source->failure.c_str());
                                       return;
                                     }
                                     function(state, *pipeline);
                                   });
      registered->Unit(benchmark::kMillisecond);
      if (stage.manual_time) {
        registered->UseManualTime();
      } else {
        registered->UseRealTime();
      }
    }
  }
  return 0;
}

const int registered = register_stages();

}  // namespace
}  // namespace segue

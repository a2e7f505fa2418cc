// Stretch quality on the benchmark workload, as a report (never a test).
//
// The generator makes every time constant of a track a whole number of
// beats, so the same pattern rendered natively at the transition's target
// tempo is what an ideal, pitch-preserving stretch would give. This tool
// runs the job's pipeline up to conditioning (bench/pipeline.hpp), takes the
// stretched outgoing overlap and compares it with the same beats of the
// native render; the same measures between the native render and a render
// with another seed (same groove, other noise in every hit) are the floor
// below which a difference means nothing.
//
//   stretch_quality OUTGOING INCOMING REFERENCE FLOOR
//
// names tracks in the workload folder (SEGUE_BENCH_WORKLOAD). Prints one
// JSON object on stdout; errors go to stderr with exit status 1.
//
// Measures, on the mono downmix unless stated:
//   onset_offset_ms      median time of our onsets above 3 kHz minus the
//                        native ones (a constant delay, compensated below)
//   onset_jitter_p95_ms  95th percentile of |offset - median offset|, over
//                        the native onsets with one of ours within 25 ms
//   onsets_within_5ms    fraction of those whose deviation is at most 5 ms
//   pre_echo_db          energy above 3 kHz in the 20 ms before an onset
//                        over that in the 20 ms after it, ours minus
//                        native, median over onsets (dB; > 0: smearing)
//   lsd_db               mean over 2048-sample frames of the RMS difference
//                        of 1/3-octave band levels, 25 Hz to 16 kHz (dB)
//   mono_lf_db           level below 120 Hz of the mono downmix, ours minus
//                        native (dB; < 0: bass lost to phase cancellation)
//   stereo_lf_db         the same per channel, averaged (dB)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "bench/pipeline.hpp"
#include "bench/workload.hpp"
#include "engine/analysis/fft.hpp"
#include "engine/planner/strategy.hpp"

namespace segue::bench {
namespace {

constexpr double kOnsetBandHz = 3000.0;
constexpr double kLowBandHz = 120.0;
constexpr std::size_t kOnsetFrame = 256;
constexpr std::size_t kOnsetHop = 32;
constexpr double kEchoWindowSeconds = 0.020;

struct Signal {
  std::vector<float> left, right, mono;
  double rate = 0.0;
};

Signal signal_of(const AudioBuffer& audio, std::size_t start, std::size_t frames) {
  Signal s;
  s.rate = audio.sample_rate();
  const auto channel = [&](std::size_t c) {
    std::vector<float> out(frames, 0.0f);
    const auto source = audio.channel(std::min(c, audio.channel_count() - 1));
    for (std::size_t i = 0; i < frames && start + i < source.size(); ++i) out[i] = source[start + i];
    return out;
  };
  s.left = channel(0);
  s.right = channel(1);
  s.mono.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) s.mono[i] = 0.5f * (s.left[i] + s.right[i]);
  return s;
}

std::vector<double> hann(std::size_t n) {
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
  return w;
}

// Energy above kOnsetBandHz per hop, from short frames centred on each hop.
std::vector<double> high_band_energy(const std::vector<float>& x, double rate) {
  RealFft fft = std::move(RealFft::create(kOnsetFrame).value());
  const auto w = hann(kOnsetFrame);
  const auto first_bin = static_cast<std::size_t>(std::ceil(kOnsetBandHz * kOnsetFrame / rate));
  std::vector<double> energy;
  for (std::size_t hop = 0; hop * kOnsetHop + kOnsetFrame <= x.size(); ++hop) {
    auto in = fft.input();
    for (std::size_t i = 0; i < kOnsetFrame; ++i) in[i] = static_cast<float>(x[hop * kOnsetHop + i] * w[i]);
    fft.forward();
    double e = 0.0;
    for (std::size_t b = first_bin; b < fft.bins(); ++b) e += std::norm(std::complex<double>(fft.output()[b]));
    energy.push_back(e);
  }
  return energy;
}

// Onset times (seconds, at the frame centre): hops whose energy stands at
// least 9 dB above the mean of the 8 ms that end 1 ms before them, that are
// no quieter than 30 dB under the loudest hop, and whose rise is the
// largest within 30 ms. Comparing against a mean rather than one earlier
// hop keeps the dips inside a sustained noise from reading as onsets. The
// time is refined by a parabola through the rise's peak.
std::vector<double> onsets(const std::vector<double>& energy, double rate) {
  const double hop_seconds = kOnsetHop / rate;
  const auto gap = static_cast<std::size_t>(std::lround(0.001 / hop_seconds));
  const auto window = static_cast<std::size_t>(std::lround(0.008 / hop_seconds));
  const auto reach = static_cast<std::size_t>(std::lround(0.030 / hop_seconds));
  double peak = 0.0;
  for (const double e : energy) peak = std::max(peak, e);
  const double floor = peak * 1e-6;   // -60 dB under the loudest hop
  const double loud = peak * 1e-3;    // -30 dB
  std::vector<double> rise(energy.size(), 0.0);
  for (std::size_t i = gap + window; i < energy.size(); ++i) {
    double before = 0.0;
    for (std::size_t j = i - gap - window; j < i - gap; ++j) before += energy[j];
    before /= static_cast<double>(window);
    rise[i] = 10.0 * std::log10((energy[i] + floor) / (before + floor));
  }
  std::vector<double> found;
  for (std::size_t i = 1; i + 1 < rise.size(); ++i) {
    if (rise[i] < 9.0 || energy[i] < loud) continue;
    bool maximum = true;
    for (std::size_t j = (i > reach ? i - reach : 0); j <= std::min(rise.size() - 1, i + reach) && maximum; ++j) {
      if (rise[j] > rise[i] || (rise[j] == rise[i] && j < i)) maximum = false;
    }
    if (!maximum) continue;
    const double a = rise[i - 1], b = rise[i], c = rise[i + 1];
    const double denominator = a - 2.0 * b + c;
    const double shift = denominator != 0.0 ? 0.5 * (a - c) / denominator : 0.0;
    found.push_back((static_cast<double>(i) + std::clamp(shift, -0.5, 0.5)) * hop_seconds +
                    0.5 * kOnsetFrame / rate);
  }
  return found;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const double position = p * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const auto above = std::min(values.size() - 1, below + 1);
  return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

double band_energy(const std::vector<double>& energy, double rate, double from, double to) {
  const double hop_seconds = kOnsetHop / rate;
  const double centre = 0.5 * kOnsetFrame / rate;
  double sum = 0.0;
  for (std::size_t i = 0; i < energy.size(); ++i) {
    const double t = static_cast<double>(i) * hop_seconds + centre;
    if (t >= from && t < to) sum += energy[i];
  }
  return sum;
}

// 1/3-octave band powers of one frame; centres 1000 * 2^(k/3) Hz.
std::vector<double> third_octaves(RealFft& fft, const std::vector<double>& w, const std::vector<float>& x,
                                  std::size_t start, double rate) {
  auto in = fft.input();
  for (std::size_t i = 0; i < fft.size(); ++i) in[i] = static_cast<float>(x[start + i] * w[i]);
  fft.forward();
  std::vector<double> bands;
  for (int k = -16; k <= 12; ++k) {  // 25 Hz to 16 kHz
    const double centre = 1000.0 * std::exp2(k / 3.0);
    const double low = centre * std::exp2(-1.0 / 6.0), high = centre * std::exp2(1.0 / 6.0);
    double power = 0.0;
    for (std::size_t b = 0; b < fft.bins(); ++b) {
      const double f = static_cast<double>(b) * rate / static_cast<double>(fft.size());
      if (f >= low && f < high) power += std::norm(std::complex<double>(fft.output()[b]));
    }
    bands.push_back(power);
  }
  return bands;
}

double log_spectral_distance(const std::vector<float>& ours, const std::vector<float>& reference, double rate) {
  constexpr std::size_t kFrame = 2048;
  RealFft fft = std::move(RealFft::create(kFrame).value());
  const auto w = hann(kFrame);
  // Frame powers are relative to a full-scale sine's bin (about N^2 / 16):
  // anything 100 dB below that counts as silence in both.
  const double floor = 1e-10 * kFrame * kFrame / 16.0;
  double total = 0.0;
  std::size_t frames = 0;
  for (std::size_t start = 0; start + kFrame <= std::min(ours.size(), reference.size()); start += kFrame / 2) {
    const auto a = third_octaves(fft, w, ours, start, rate);
    const auto b = third_octaves(fft, w, reference, start, rate);
    double squares = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
      const double d = 10.0 * std::log10((a[k] + floor) / (b[k] + floor));
      squares += d * d;
    }
    total += std::sqrt(squares / static_cast<double>(a.size()));
    ++frames;
  }
  return frames ? total / static_cast<double>(frames) : std::nan("");
}

double low_band_level_db(const std::vector<float>& x, double rate) {
  constexpr std::size_t kFrame = 8192;
  RealFft fft = std::move(RealFft::create(kFrame).value());
  const auto w = hann(kFrame);
  const auto last_bin = static_cast<std::size_t>(std::floor(kLowBandHz * kFrame / rate));
  double power = 0.0;
  for (std::size_t start = 0; start + kFrame <= x.size(); start += kFrame / 2) {
    auto in = fft.input();
    for (std::size_t i = 0; i < kFrame; ++i) in[i] = static_cast<float>(x[start + i] * w[i]);
    fft.forward();
    for (std::size_t b = 1; b <= last_bin; ++b) power += std::norm(std::complex<double>(fft.output()[b]));
  }
  return 10.0 * std::log10(power + 1e-30);
}

std::vector<float> shifted(const std::vector<float>& x, long offset) {
  std::vector<float> out(x.size(), 0.0f);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const long j = static_cast<long>(i) + offset;
    if (j >= 0 && j < static_cast<long>(x.size())) out[i] = x[static_cast<std::size_t>(j)];
  }
  return out;
}

struct Comparison {
  std::size_t onsets = 0;
  std::size_t matched = 0;
  double offset_ms = 0.0;
  double jitter_p95_ms = 0.0;
  double within_5ms = 0.0;
  double pre_echo_db = 0.0;
  double lsd_db = 0.0;
  double mono_lf_db = 0.0;
  double stereo_lf_db = 0.0;
};

// `ours` against `reference`, both the same beats at the same tempo.
Comparison compare(const Signal& ours, const Signal& reference) {
  const double rate = reference.rate;
  Comparison result;
  const auto ours_energy = high_band_energy(ours.mono, rate);
  const auto reference_energy = high_band_energy(reference.mono, rate);
  const auto reference_onsets = onsets(reference_energy, rate);
  const auto our_onsets = onsets(ours_energy, rate);
  result.onsets = reference_onsets.size();

  // Each native onset is paired with our nearest one within 25 ms.
  std::vector<double> offsets;
  std::vector<double> paired;
  for (const double t : reference_onsets) {
    double best = 1e9;
    for (const double u : our_onsets) {
      if (std::fabs(u - t) < std::fabs(best)) best = u - t;
    }
    if (std::fabs(best) <= 0.025) {
      offsets.push_back(best);
      paired.push_back(t);
    }
  }
  result.matched = offsets.size();
  const double median = percentile(offsets, 0.5);
  std::vector<double> deviations;
  for (const double o : offsets) deviations.push_back(std::fabs(o - median));
  result.offset_ms = median * 1e3;
  result.jitter_p95_ms = percentile(deviations, 0.95) * 1e3;
  const auto close = std::count_if(deviations.begin(), deviations.end(), [](double d) { return d <= 0.005; });
  result.within_5ms = deviations.empty() ? std::nan("") : static_cast<double>(close) / deviations.size();

  const double delay = std::isfinite(median) ? median : 0.0;
  std::vector<double> echoes;
  for (const double t : paired) {
    const double e = kEchoWindowSeconds;
    const double ours_ratio = (band_energy(ours_energy, rate, t + delay - e, t + delay - 0.002) + 1e-12) /
                              (band_energy(ours_energy, rate, t + delay, t + delay + e) + 1e-12);
    const double reference_ratio = (band_energy(reference_energy, rate, t - e, t - 0.002) + 1e-12) /
                                   (band_energy(reference_energy, rate, t, t + e) + 1e-12);
    echoes.push_back(10.0 * std::log10(ours_ratio / reference_ratio));
  }
  result.pre_echo_db = percentile(echoes, 0.5);

  // Spectra and levels with the constant delay taken out.
  const long shift = std::lround(delay * rate);
  const auto ours_mono = shifted(ours.mono, shift);
  result.lsd_db = log_spectral_distance(ours_mono, reference.mono, rate);
  result.mono_lf_db = low_band_level_db(ours_mono, rate) - low_band_level_db(reference.mono, rate);
  result.stereo_lf_db = 0.5 * ((low_band_level_db(shifted(ours.left, shift), rate) -
                                low_band_level_db(reference.left, rate)) +
                               (low_band_level_db(shifted(ours.right, shift), rate) -
                                low_band_level_db(reference.right, rate)));
  return result;
}

std::string json(const Comparison& c) {
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"onsets\": %zu, \"matched\": %zu, \"onset_offset_ms\": %.4f, \"onset_jitter_p95_ms\": %.4f, "
                "\"onsets_within_5ms\": %.4f, "
                "\"pre_echo_db\": %.3f, \"lsd_db\": %.3f, \"mono_lf_db\": %.3f, \"stereo_lf_db\": %.3f}",
                c.onsets, c.matched, c.offset_ms, c.jitter_p95_ms, c.within_5ms, c.pre_echo_db, c.lsd_db, c.mono_lf_db,
                c.stereo_lf_db);
  return text;
}

int run(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: stretch_quality OUTGOING INCOMING REFERENCE FLOOR (tracks of the workload)\n");
    return 1;
  }
  auto folder = workload_folder();
  if (!folder) {
    std::fprintf(stderr, "%s\n", folder.error().c_str());
    return 1;
  }
  auto task = read_task(argv[1], argv[2]);
  auto reference_track = read_track(*folder, argv[3]);
  auto floor_track = read_track(*folder, argv[4]);
  for (const std::string* error : {task ? nullptr : &task.error(), reference_track ? nullptr : &reference_track.error(),
                                   floor_track ? nullptr : &floor_track.error()}) {
    if (error) {
      std::fprintf(stderr, "%s\n", error->c_str());
      return 1;
    }
  }
  const float source_bpm = task->outgoing.bpm;
  auto pipeline = Pipeline::build(std::move(*task));
  if (!pipeline) {
    std::fprintf(stderr, "%s\n", pipeline.error().to_text().c_str());
    return 1;
  }
  const TransitionPlan& plan = pipeline->plan;
  if (std::fabs(reference_track->bpm - plan.target_bpm) > 1e-4f) {
    std::fprintf(stderr, "the reference is at %g BPM, the plan's target is %g BPM\n",
                 static_cast<double>(reference_track->bpm), static_cast<double>(plan.target_bpm));
    return 1;
  }
  auto reference_audio = AudioBuffer::create(std::move(reference_track->channels), reference_track->sample_rate);
  auto floor_audio = AudioBuffer::create(std::move(floor_track->channels), floor_track->sample_rate);
  if (!reference_audio || !floor_audio || reference_audio->sample_rate() != plan.sample_rate) {
    std::fprintf(stderr, "the references must be readable audio at the render rate\n");
    return 1;
  }

  // The overlap starts on the same beat in the native render: beat position
  // outgoing_start x source bpm / 60, at the target tempo.
  const double beat = pipeline->plan.outgoing_start * static_cast<double>(source_bpm) / 60.0;
  const double native_start = beat * 60.0 / static_cast<double>(plan.target_bpm);
  const auto start = static_cast<std::size_t>(std::llround(native_start * plan.sample_rate));
  const std::size_t frames = pipeline->frames;

  const Signal ours = signal_of(pipeline->outgoing_track().audio, 0, frames);
  const Signal reference = signal_of(*reference_audio, start, frames);
  const Signal floor = signal_of(*floor_audio, start, frames);
  const bool stretched = std::fabs(plan.outgoing_ratio - 1.0f) > 0.0001f;
  const Comparison ours_result = compare(ours, reference);
  const Comparison floor_result = compare(floor, reference);

  std::printf(
      "{\"strategy\": \"%s\", \"source_bpm\": %g, \"target_bpm\": %g, \"ratio\": %.7g, \"stretched\": %s, "
      "\"source_rate\": %u, \"seconds\": %.4f, \"native_start\": %.6f,\n \"ours\": %s,\n \"floor\": %s}\n",
      std::string(strategy_name(plan.strategy)).c_str(), static_cast<double>(source_bpm),
      static_cast<double>(plan.target_bpm), static_cast<double>(plan.outgoing_ratio), stretched ? "true" : "false",
      pipeline->outgoing_audio().sample_rate(), plan.duration, native_start, json(ours_result).c_str(),
      json(floor_result).c_str());
  return 0;
}

}  // namespace
}  // namespace segue::bench

int main(int argc, char** argv) { return segue::bench::run(argc, argv); }

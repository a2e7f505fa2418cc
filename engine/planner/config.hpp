// PlannerConfig: every limit, threshold, weight and fixed setting of the
// planner and of the analysis and render stages, in one record.
//
// This is the one place that holds the defaults. The job builds the record
// afresh for every request with `defaults`; only the diagnostics switch comes
// from the request. Times are seconds (64-bit), frequencies Hz, levels dB.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/error.hpp"

namespace segue {

struct AnalysisSettings {
  std::uint64_t frame_size = 2048;  // samples per analysis frame
  std::uint64_t hop_size = 512;     // samples between frame starts
  float low_split_hz = 200.0f;
  float high_split_hz = 2000.0f;
  // Standard deviations above the mean flux that count as an onset.
  float onset_sensitivity = 1.5f;
  std::uint32_t bars_per_phrase = 4;  // 0 counts as 1
};

// Weights of the nine compatibility scores; their sum divides the total.
struct ScoreWeights {
  float beat = 1.0f;
  float phrase = 1.2f;
  float tempo = 1.5f;
  float spectral = 0.8f;
  float loudness = 0.6f;
  float energy = 1.0f;
  float density = 0.7f;
  float bass = 0.9f;
  float length = 0.5f;
};

// Which tempo the overlap is played at.
enum class TempoTarget : std::uint8_t {
  Incoming = 0,       // the incoming track's tempo
  Outgoing = 1,       // the outgoing track's tempo
  GeometricMean = 2,  // sqrt of the product of both tempos
  Unchanged = 3,      // no tempo matching
};

struct PlannerConfig {
  std::vector<std::uint32_t> allowed_beat_lengths = {4, 8, 16, 32};  // tried in this order
  double min_duration = 1.5;
  double max_duration = 16.0;
  double outgoing_search_window = 45.0;  // before the end of the outgoing track
  double incoming_search_window = 45.0;  // after the incoming search offset
  double outgoing_tail_margin = 0.25;    // outgoing audio left after the overlap
  double incoming_search_offset = 0.0;   // earliest incoming start; negative counts as 0
  std::uint64_t max_starts_per_track = 16;
  std::uint64_t max_candidates = 1024;
  std::optional<std::uint32_t> output_sample_rate;  // when set, no rate comparison
  float loudness_tolerance_db = 1.0f;
  float max_loudness_correction_db = 6.0f;
  float peak_ceiling_db = -0.5f;
  bool loudness_matching = true;
  bool normalize_peaks = true;
  float preferred_ratio_deviation = 0.04f;
  float acceptable_ratio_deviation = 0.08f;
  float max_ratio_deviation = 0.12f;
  TempoTarget tempo_target = TempoTarget::Incoming;
  bool preserve_pitch = true;
  bool allow_double_half_tempo = true;
  AnalysisSettings analysis;
  std::uint64_t filter_block_size = 32;  // values below 1 count as 1
  float bass_cutoff_hz = 180.0f;
  float blend_lowpass_end_hz = 400.0f;
  float lowpass_open_hz = 18000.0f;
  float highpass_open_hz = 20.0f;
  float filter_q = 0.70710677f;
  double short_fade_max_duration = 2.5;
  std::uint32_t preferred_beats = 16;  // 0 counts as 1
  float bass_swap_min_low_share = 0.3f;
  float blend_max_spectral_score = 0.5f;
  ScoreWeights weights;
  bool allow_resampling = true;
  bool diagnostics = false;

  // Every default, with `diagnostics` from the request.
  static PlannerConfig defaults(bool diagnostics);

  // Four checks in order, each an UnsupportedConfiguration:
  // "require 0 < min_duration < max_duration",
  // "allowed_beat_lengths must be non-empty and contain no zeroes",
  // "search windows must be positive",
  // "require 0 < preferred <= acceptable <= max ratio deviation < 1".
  // NaN values fail. The defaults always pass.
  Status validate() const;
};

}  // namespace segue

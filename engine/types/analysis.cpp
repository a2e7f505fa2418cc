#include "engine/types/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "engine/numeric.hpp"

namespace segue {
namespace {

// A frame's level for the slope fit: silence and near-silence sit at -90 dB
// so that one quiet frame cannot drag the fit towards minus infinity.
float slope_level_db(float rms) {
  if (!(rms > 1e-9f)) return -90.0f;
  // Never NaN here, so a plain comparison is the floor fmax would give.
  const float db = 20.0f * std::log10(rms);
  return db < -90.0f ? -90.0f : db;
}

}  // namespace

RegionFeatures summarize(const TrackAnalysis& analysis, double start, double end, float sensitivity) {
  const RegionFeatures empty;
  const auto& frames = analysis.frames;
  // Written so that a NaN bound also gives the empty summary.
  if (frames.empty() || !(start <= end)) return empty;

  const auto lo = std::partition_point(frames.begin(), frames.end(),
                                       [&](const FrameFeatures& f) { return f.time < start; });
  const auto hi = std::partition_point(lo, frames.end(), [&](const FrameFeatures& f) { return f.time <= end; });
  if (lo >= hi) return empty;
  const std::size_t n = static_cast<std::size_t>(hi - lo);
  const float count = static_cast<float>(n);
  const double time_lo = lo->time;

  // First pass: every plain sum, and the means the centred sums need.
  float rms_squares = 0.0f;
  float low = 0.0f;
  float mid = 0.0f;
  float high = 0.0f;
  float energy = 0.0f;
  float weighted_centroid = 0.0f;
  float flux_sum = 0.0f;
  double x_sum = 0.0;
  double y_sum = 0.0;
  for (auto it = lo; it != hi; ++it) {
    const FrameFeatures& f = *it;
    rms_squares += f.rms * f.rms;
    low += f.low;
    mid += f.mid;
    high += f.high;
    const float e = f.low + f.mid + f.high;
    energy += e;
    weighted_centroid += e * f.centroid_hz;
    flux_sum += f.flux;
    x_sum += f.time - time_lo;
    y_sum += static_cast<double>(slope_level_db(f.rms));
  }

  RegionFeatures out;
  const float level = std::sqrt(rms_squares / count);
  out.level_db = level > 1e-9f ? 20.0f * std::log10(level) : -120.0f;

  const float band_total = low + mid + high;
  if (band_total > kFloatEpsilon) {
    out.low_share = low / band_total;
    out.mid_share = mid / band_total;
    out.high_share = high / band_total;
  }
  out.centroid_hz = energy > kFloatEpsilon ? weighted_centroid / energy : 0.0f;

  if (n == 1) return out;  // no spread and no slope in a single frame

  // Second pass: the centred sums, from the means of the first. The
  // one-pass textbook formulas round differently, so they are not used; the
  // levels are computed again rather than kept in a list.
  const float flux_mean = flux_sum / count;
  const double x_mean = x_sum / static_cast<double>(n);
  const double y_mean = y_sum / static_cast<double>(n);
  float flux_spread = 0.0f;
  double covariance = 0.0;
  double x_spread = 0.0;
  for (auto it = lo; it != hi; ++it) {
    const float deviation = it->flux - flux_mean;
    flux_spread += deviation * deviation;
    const double dx = (it->time - time_lo) - x_mean;
    const double dy = static_cast<double>(slope_level_db(it->rms)) - y_mean;
    covariance += dx * dy;
    x_spread += dx * dx;
  }

  const float sigma = std::sqrt(flux_spread / count);
  if (sigma > kFloatEpsilon) {
    const float threshold = flux_mean + sensitivity * sigma;
    // Third pass over the flux alone: the threshold needs the spread.
    std::size_t onsets = 0;
    for (auto it = lo; it != hi; ++it) onsets += it->flux > threshold ? 1 : 0;
    out.onset_density = static_cast<float>(onsets) / count;
  }
  out.level_slope = x_spread > 2.220446049250313e-16 ? static_cast<float>(covariance / x_spread) : 0.0f;
  return out;
}

}  // namespace segue

#include "engine/dsp/automation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/numeric.hpp"

namespace segue {
namespace {

// The 32-bit value of pi/2; every angle of a curve is a float.
constexpr float kHalfPi = 1.5707964f;

// The logistic 1/(1 + e^(-6(u - 0.5))) is 1/(1 + e^3) at u = 0 and spans this
// much between u = 0 and u = 1; subtracting and dividing pins the S-curve to
// 0 and 1 at the segment's ends.
constexpr float kLogisticAtZero = 0.047425874f;
constexpr float kLogisticSpan = 0.90514827f;

// What an automation without points reads as. The system never builds one;
// a NaN makes a filter lane fail with a clear error instead of filtering at
// an invented frequency.
constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();

float lerp(float from, float to, float s) { return from + (to - from) * s; }

// Geometric interpolation needs two positive ends; anything else moves
// linearly over the same fraction.
float geometric(float from, float to, float s) {
  if (from > 0.0f && to > 0.0f) return from * std::pow(to / from, s);
  return lerp(from, to, s);
}

float smooth_step(float u) { return (3.0f - 2.0f * u) * (u * u); }

// Per-frame position of a render of `frames` frames: frame i sits at
// i * (1 / (frames - 1)), the step computed once.
float frame_step(std::size_t frames) { return 1.0f / static_cast<float>(frames - 1); }

double clamp01(double value) {
  if (!std::isfinite(value)) return 1.0;
  return std::clamp(value, 0.0, 1.0);
}

}  // namespace

float value_at(std::span<const AutomationPoint> points, std::size_t index, float t) {
  if (points.empty()) return kNoValue;
  if (index + 1 >= points.size()) return points.back().value;

  const AutomationPoint& p = points[index];
  const AutomationPoint& q = points[index + 1];
  const float length = q.position - p.position;
  // A segment of no length is a jump: from its position on the new value holds.
  if (length <= kFloatEpsilon) return q.value;

  // fmax first, so a NaN t reads as the segment's start.
  const float u = std::fmin(std::fmax((t - p.position) / length, 0.0f), 1.0f);

  switch (p.shape) {
    case CurveShape::SmoothStep:
      return lerp(p.value, q.value, smooth_step(u));
    case CurveShape::EaseOut:
      return lerp(p.value, q.value, std::sin(u * kHalfPi));
    case CurveShape::EaseIn:
      return lerp(p.value, q.value, 1.0f - std::cos(u * kHalfPi));
    case CurveShape::Exponential:
      return geometric(p.value, q.value, u);
    case CurveShape::SCurveExponential: {
      const float logistic = 1.0f / (1.0f + std::exp(-6.0f * (u - 0.5f)));
      return geometric(p.value, q.value, (logistic - kLogisticAtZero) / kLogisticSpan);
    }
    case CurveShape::Linear:
    default:
      return lerp(p.value, q.value, u);
  }
}

std::size_t segment_index(std::span<const AutomationPoint> points, float t) {
  // The predicate is false for a NaN t, which therefore lands on the first segment.
  const auto after = std::partition_point(points.begin(), points.end(),
                                          [t](const AutomationPoint& point) { return point.position <= t; });
  const auto count = static_cast<std::size_t>(after - points.begin());
  return count == 0 ? 0 : count - 1;
}

float AutomationCursor::advance(float t) {
  while (index_ + 1 < points_.size() && t >= points_[index_ + 1].position) ++index_;
  return value_at(points_, index_, t);
}

Automation sweep(float from, float to, float start, float end, CurveShape shape) {
  // A NaN start would put a NaN position into the list and break its order;
  // it starts the move at once instead. A NaN end is ignored by fmax.
  const float s = std::isnan(start) ? 0.0f : clamp(start, 0.0f, 1.0f);
  const float e = clamp(std::fmax(s, end), 0.0f, 1.0f);

  Automation automation;
  automation.points.reserve(4);
  automation.points.push_back({0.0f, from, CurveShape::Exponential});
  automation.points.push_back({s, from, shape});
  automation.points.push_back({e, to, CurveShape::Exponential});
  if (e < 1.0f) automation.points.push_back({1.0f, to, CurveShape::Exponential});
  return automation;
}

namespace {

enum class FadeDirection { Out, In };

float fade_value(FadeShape shape, FadeDirection direction, float t) {
  switch (shape) {
    case FadeShape::Linear:
      return direction == FadeDirection::Out ? 1.0f - t : t;
    case FadeShape::EqualPower:
      return direction == FadeDirection::Out ? std::cos(t * kHalfPi) : std::sin(t * kHalfPi);
    case FadeShape::SmoothStep:
    default:
      return direction == FadeDirection::Out ? smooth_step(clamp(1.0f - t, 0.0f, 1.0f)) : smooth_step(t);
  }
}

void fill_fade(GainEnvelope& envelope, std::size_t frames, FadeShape shape, FadeDirection direction) {
  std::vector<float>& out = envelope.envelope;
  // clear + resize keeps the capacity, so a job's second fade does not allocate.
  out.clear();
  out.resize(frames);
  if (frames == 0) return;
  // A single frame is both the first and the last: it sits at t = 1.
  if (frames == 1) {
    out[0] = fade_value(shape, direction, 1.0f);
    return;
  }
  const float step = frame_step(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    out[i] = fade_value(shape, direction, std::fmin(1.0f, static_cast<float>(i) * step));
  }
}

}  // namespace

void fade_out(GainEnvelope& envelope, std::size_t frames, FadeShape shape) {
  fill_fade(envelope, frames, shape, FadeDirection::Out);
}

void fade_in(GainEnvelope& envelope, std::size_t frames, FadeShape shape) {
  fill_fade(envelope, frames, shape, FadeDirection::In);
}

void apply_automation(GainEnvelope& envelope, std::span<const AutomationPoint> points, std::size_t frames) {
  // An automation without points has no value to apply; leaving the envelope
  // alone is the only harmless reading.
  if (points.empty()) return;

  const float first = points.front().value;
  // `==` is false for a NaN, so a NaN anywhere takes the per-frame path.
  const bool flat = std::ranges::all_of(points, [first](const AutomationPoint& p) { return p.value == first; });
  if (flat) {
    const float c = value_at(points, segment_index(points, 0.0f), 0.0f);
    // The common case, no loudness trim: the envelope stays bit-identical.
    if (c != 1.0f) {
      for (float& gain : envelope.envelope) gain *= c;
    }
    return;
  }

  std::vector<float>& values = envelope.automation_values;
  values.clear();
  values.resize(frames);
  if (frames == 1) {
    values[0] = value_at(points, segment_index(points, 0.0f), 0.0f);
  } else if (frames > 1) {
    const float step = frame_step(frames);
    AutomationCursor cursor(points);
    for (std::size_t i = 0; i < frames; ++i) values[i] = cursor.advance(static_cast<float>(i) * step);
  }

  const std::size_t n = std::min(frames, envelope.envelope.size());
  for (std::size_t i = 0; i < n; ++i) envelope.envelope[i] *= values[i];
}

double sample_duck_curve(std::span<const double> values, double x) {
  // An empty curve never reaches here (it has no points); 1.0 is what an
  // unreadable value means everywhere else in the conversion.
  if (values.empty()) return 1.0;
  if (!std::isfinite(x)) return values.front();

  const std::size_t last = values.size() - 1;
  const double position = clamp(x, 0.0, 1.0) * static_cast<double>(last);
  const double floor = std::floor(position);
  const auto k = saturating_cast<std::size_t>(floor);
  if (k >= last) return values[last];
  return values[k] + (values[k + 1] - values[k]) * (position - floor);
}

std::optional<Automation> duck_curve_points(std::span<const double> values, double a, double b) {
  const std::size_t n = values.size();
  if (n == 0) return std::nullopt;

  Automation automation;
  if (n == 1) {
    automation.points.push_back({0.0f, static_cast<float>(clamp01(values[0])), CurveShape::Linear});
    return automation;
  }

  const double start = clamp(a, 0.0, 1.0);
  const double end = clamp(b, 0.0, 1.0);
  const double span = end - start;
  if (!(std::isfinite(span) && span > 0.0)) {
    automation.points.push_back(
        {0.0f, static_cast<float>(clamp01(sample_duck_curve(values, start))), CurveShape::Linear});
    return automation;
  }

  // About one point per duck-curve sample inside the transition, at least
  // the two ends.
  const auto m = saturating_cast<std::size_t>(std::ceil(static_cast<double>(n) * span));
  const std::size_t count = std::max<std::size_t>(2, std::min(m, n));
  automation.points.reserve(count);
  for (std::size_t j = 0; j < count; ++j) {
    const double u = static_cast<double>(j) / static_cast<double>(count - 1);
    const double v = sample_duck_curve(values, start + u * span);
    automation.points.push_back(
        {static_cast<float>(std::fmin(1.0, u)), static_cast<float>(clamp01(v)), CurveShape::Linear});
  }
  return automation;
}

}  // namespace segue

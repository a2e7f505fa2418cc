// Automation curves: everything that changes over a rendered transition is a
// function of the position t, 0 at the first output frame and 1 at the last.
//
// - Automations are breakpoint curves (gains, filter cutoffs, a filter lane's
//   progress). A segment runs from one point to the next and takes its shape
//   from its start point.
// - Fades are closed-form fade-out and fade-in envelopes.
// All curve arithmetic is 32-bit float; the duck-curve conversion works in
// 64-bit until it stores its points. Nothing here reports an error.
//
// Misuse that the system itself never commits still has a defined, harmless
// result: an automation without points reads as NaN and apply_automation
// leaves the envelope alone with it; an index past the last point reads the
// last point's value.
//
// Allocation: sweep and duck_curve_points build a new list; the fades and
// apply_automation only grow the GainEnvelope's lists when their capacity
// is too small. Threading: plain functions on plain values, no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace segue {

// Shape of one segment; any other code evaluates as Linear.
enum class CurveShape : std::uint8_t {
  Linear = 0,
  SmoothStep = 1,
  EaseOut = 2,
  EaseIn = 3,
  Exponential = 4,        // geometric interpolation, linear unless both values are > 0
  SCurveExponential = 5,  // geometric interpolation over a rescaled logistic of u
};

struct AutomationPoint {
  float position = 0.0f;  // transition position, 0 to 1
  float value = 0.0f;     // linear gain, Hz or a progress fraction
  CurveShape shape = CurveShape::Linear;
};

// Points in non-decreasing position order, at least one; every automation the
// system builds starts at position 0.
struct Automation {
  std::vector<AutomationPoint> points;
};

// Fade curve; codes above 2 behave as SmoothStep.
enum class FadeShape : std::uint8_t {
  Linear = 0,
  EqualPower = 1,
  SmoothStep = 2,
};

// The mixer's reusable lists, living for the whole job. Each use clears and
// refills them; their capacity is kept.
struct GainEnvelope {
  std::vector<float> envelope;           // one gain per output frame
  std::vector<float> automation_values;  // one automation value per output frame
};

// Value at t of the segment that starts at point `index` (< points.size()).
float value_at(std::span<const AutomationPoint> points, std::size_t index, float t);

// The last point whose position is <= t; 0 when none is. Binary search.
std::size_t segment_index(std::span<const AutomationPoint> points, float t);

// Forward-only evaluation for non-decreasing t: O(frames + points) per pass.
class AutomationCursor {
 public:
  explicit AutomationCursor(std::span<const AutomationPoint> points) : points_(points) {}
  float advance(float t);

 private:
  std::span<const AutomationPoint> points_;
  std::size_t index_ = 0;
};

// Holds `from` until `start`, moves to `to` along `shape` until `end`, holds
// `to` afterwards (positions clamped to [0, 1], end raised to start, a NaN
// start read as 0).
Automation sweep(float from, float to, float start, float end, CurveShape shape);

// Refill `envelope.envelope` with exactly `frames` values (at least 1).
// Frame i sits at t = min(1, i / (frames - 1)); a single frame at t = 1.
void fade_out(GainEnvelope& envelope, std::size_t frames, FadeShape shape);
void fade_in(GainEnvelope& envelope, std::size_t frames, FadeShape shape);

// Multiplies the envelope frame by frame by the automation, sampled at
// t = i / (frames - 1) into `automation_values`. A flat automation (every
// value equal, no NaN) multiplies the whole envelope by its one value and
// leaves `automation_values` alone; at 1.0 the envelope stays bit-identical.
void apply_automation(GainEnvelope& envelope, std::span<const AutomationPoint> points, std::size_t frames);

// The duck curve, n values laid evenly over the whole outgoing track, read at
// fraction x of that track (linear interpolation; x clamped to [0, 1], a
// non-finite x reads the first value, an empty curve reads 1.0).
double sample_duck_curve(std::span<const double> values, double x);

// Progress points for the transition from fraction a to fraction b of the
// outgoing track; absent for an empty curve. About one point per curve
// sample inside [a, b], at least 2 and at most n, evenly spaced from 0 to 1,
// values clamped to [0, 1] with non-finite values read as 1.0. A span that
// is empty or not finite gives one point, the value at a.
std::optional<Automation> duck_curve_points(std::span<const double> values, double a, double b);

}  // namespace segue

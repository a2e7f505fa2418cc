// BeatGrid: one track's beat analysis as the caller supplies it.
//
// The engine detects nothing; it validates what it is given and then relies
// on it. Invariants of every grid made by `create`:
//   - `bpm` is finite and > 0 (32-bit float);
//   - every time in `beats` and `downbeats` is finite and >= 0 seconds
//     (-0.0 is accepted);
//   - each list is strictly increasing. Either list may be empty.
// Nothing ties the lists to each other or to the tempo.
//
// Errors are EngineError::invalid_beat_analysis.
#pragma once

#include <span>
#include <vector>

#include "engine/error.hpp"

namespace segue {

class BeatGrid {
 public:
  // Takes ownership of both lists, without copying. Checks the tempo, then
  // `beats`, then `downbeats`, element by element from index 0; the first
  // failing element ends the check with
  //   "bpm must be finite and positive, got {}",
  //   "{}[{}] must be finite and non-negative, got {}", or
  //   "{} must be strictly increasing, but [{}] = {} follows {}".
  static Result<BeatGrid> create(float bpm, std::vector<double> beats, std::vector<double> downbeats);

  // The same checks on values that are not (yet) a grid.
  static Status validate(float bpm, std::span<const double> beats, std::span<const double> downbeats);

  float bpm() const { return bpm_; }
  std::span<const double> beats() const { return beats_; }
  std::span<const double> downbeats() const { return downbeats_; }
  // 60 / bpm in 64-bit floating point.
  double beat_period() const { return 60.0 / static_cast<double>(bpm_); }

  // Times a transition may be anchored at inside [start, end], both ends
  // included: the downbeats there if any, else the beats there, else the
  // single time `start`. Never empty. Binary search; copies only the run.
  std::vector<double> anchors_between(double start, double end) const;

 private:
  BeatGrid(float bpm, std::vector<double> beats, std::vector<double> downbeats)
      : bpm_(bpm), beats_(std::move(beats)), downbeats_(std::move(downbeats)) {}

  float bpm_;
  std::vector<double> beats_;
  std::vector<double> downbeats_;
};

}  // namespace segue

// Beat grids for tests: exact, regular, with a downbeat on every fourth beat.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "engine/types/beat.hpp"

namespace segue::fixtures {

struct RegularBeats {
  std::vector<double> beats;
  std::vector<double> downbeats;
};

// Beats from 0 s every 60/bpm s up to (not including) `seconds`.
inline RegularBeats regular_beats(float bpm, double seconds) {
  RegularBeats grid;
  const double period = 60.0 / bpm;
  for (std::size_t k = 0; k * period < seconds; ++k) {
    grid.beats.push_back(k * period);
    if (k % 4 == 0) grid.downbeats.push_back(k * period);
  }
  return grid;
}

inline BeatGrid regular_grid(float bpm, double seconds) {
  RegularBeats grid = regular_beats(bpm, seconds);
  return BeatGrid::create(bpm, std::move(grid.beats), std::move(grid.downbeats)).value();
}

}  // namespace segue::fixtures

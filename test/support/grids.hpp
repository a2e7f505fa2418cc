// Beat grids for tests: exact, regular, with a downbeat on every fourth beat.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "engine/types/beat.hpp"

namespace segue::fixtures {

// Beats from 0 s every 60/bpm s up to (not including) `seconds`.
inline BeatGrid regular_grid(float bpm, double seconds) {
  std::vector<double> beats, downbeats;
  const double period = 60.0 / bpm;
  for (std::size_t k = 0; k * period < seconds; ++k) {
    beats.push_back(k * period);
    if (k % 4 == 0) downbeats.push_back(k * period);
  }
  return BeatGrid::create(bpm, std::move(beats), std::move(downbeats)).value();
}

}  // namespace segue::fixtures

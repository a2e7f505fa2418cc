// The metric model the planner compares: beats per bar, bars per phrase, and
// how well a time sits on a beat or on a phrase-starting downbeat.
//
// The first downbeat begins a phrase; downbeat i lies at position
// i mod bars_per_phrase within its phrase. Times are seconds on the grid's
// track; all scores are 32-bit floats; beat periods are 60 / bpm in 64-bit.
// Pure functions of their arguments: nothing fails, nothing is kept, any
// thread may call them. Only estimate_beats_per_bar allocates (one list of
// downbeat intervals); a NaN time scores 0 (0.5 without downbeats).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/types/beat.hpp"

namespace segue {

// From the median downbeat interval in beats; 4 when it cannot be told
// (fewer than 3 downbeats, or a median outside 1..16 beats).
std::uint32_t estimate_beats_per_bar(const BeatGrid& grid);

// Index of the entry nearest to t in a non-empty sorted list; ties go to the
// earlier entry. Binary search. An empty list gives 0, which callers must
// not use as an index.
std::size_t nearest_index(std::span<const double> times, double t);

// 1 on a beat, falling linearly to 0 half a beat away; 0 without beats.
float beat_proximity(const BeatGrid& grid, double t);

// Proximity to the nearest downbeat (in half beats) weighted by its place in
// the phrase: 1.0 first bar, 0.7 middle bar of an even phrase, 0.4 other
// bars; 0.5 without downbeats. A `bars_per_phrase` of 0 counts as 1.
float downbeat_alignment(const BeatGrid& grid, std::uint32_t bars_per_phrase, double t);

// 0.3 when `beats` is a whole number of phrases (of the outgoing track),
// else 0.12.
float phrase_length_bonus(std::uint32_t beats, std::uint32_t beats_per_bar, std::uint32_t bars_per_phrase);

}  // namespace segue

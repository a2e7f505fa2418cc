#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/planner/search.hpp"

#include "test/support/grids.hpp"

namespace segue {
namespace {

using fixtures::regular_grid;

BeatGrid grid_of(std::vector<double> beats, std::vector<double> downbeats) {
  return BeatGrid::create(120.0f, std::move(beats), std::move(downbeats)).value();
}

// One request's worth of search input, owning what SearchSpace refers to.
struct SearchCase {
  double outgoing_seconds = 60.0;
  double incoming_seconds = 60.0;
  BeatGrid outgoing_grid = regular_grid(120.0f, 60.0);
  BeatGrid incoming_grid = regular_grid(120.0f, 60.0);
  RegionConstraint outgoing_region;
  RegionConstraint incoming_region;
  std::optional<std::vector<std::uint32_t>> beat_lengths;
  PlannerConfig config = PlannerConfig::defaults(false);

  SearchSpace space() const {
    return SearchSpace{outgoing_seconds, incoming_seconds, outgoing_grid, incoming_grid,
                       outgoing_region,  incoming_region,  beat_lengths};
  }
  TempoMatch tempo() const {
    return match_tempo(config, outgoing_grid.bpm(), incoming_grid.bpm());
  }
  SearchResult run() const { return enumerate_candidates(space(), tempo(), config); }
  std::vector<double> outgoing() const { return outgoing_starts(space(), tempo(), config); }
  std::vector<double> incoming() const { return incoming_starts(space(), tempo(), config); }
};

std::vector<double> every_two_seconds(double from, double to) {
  std::vector<double> times;
  for (double t = from; t <= to; t += 2.0) times.push_back(t);
  return times;
}

std::size_t count_beats(const SearchResult& result, std::uint32_t beats) {
  std::size_t n = 0;
  for (const Candidate& c : result.candidates) n += c.beats == beats;
  return n;
}

TEST(Search, StartsPerTrack) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t root = 0xFFFFFFFFull;  // floor(sqrt(2^64 - 1))
  const struct {
    std::uint64_t max_candidates, max_starts;
    std::size_t lengths;
    std::uint64_t expected;
  } cases[] = {
      {1024, 16, 4, 16},
      {1024, 8, 4, 8},          // the per-track cap
      {100, 16, 4, 5},          // floor(sqrt(25))
      {99, 16, 4, 4},           // 99 / 4 = 24 as an integer division
      {2, 16, 3, 1},            // raised to at least one start
      {0, 16, 4, 1},
      {max, max, 1, root},
      {root * root, max, 1, root},          // an exact square
      {root * root - 1, max, 1, root - 1},  // one below it: a double sqrt rounds up here
  };
  for (const auto& c : cases) {
    PlannerConfig config = PlannerConfig::defaults(false);
    config.max_candidates = c.max_candidates;
    config.max_starts_per_track = c.max_starts;
    config.allowed_beat_lengths.assign(c.lengths, 4);
    EXPECT_EQ(starts_per_track(config), c.expected) << c.max_candidates << " / " << c.lengths;
  }
}

TEST(Search, TwoMinuteLongTracksAt120Bpm) {
  const SearchCase setup;
  // Outgoing: downbeats in 15..58.25, the latest 16. Incoming: in 0..45, the earliest 16.
  EXPECT_EQ(setup.outgoing(), every_two_seconds(28.0, 58.0));
  EXPECT_EQ(setup.incoming(), every_two_seconds(0.0, 30.0));

  const SearchResult result = setup.run();
  // Rule 4 (outgoing tail) rejects starts after 60 - 0.25 - duration: one
  // start for 4 beats, two for 8, four for 16 and eight for 32, each with
  // all 16 incoming starts.
  EXPECT_EQ(result.rejected, (1u + 2u + 4u + 8u) * 16u);
  EXPECT_EQ(result.candidates.size() + result.rejected, 1024u);
  EXPECT_EQ(count_beats(result, 4), 240u);
  EXPECT_EQ(count_beats(result, 8), 224u);
  EXPECT_EQ(count_beats(result, 16), 192u);
  EXPECT_EQ(count_beats(result, 32), 128u);  // 16 s is not above max_duration

  // Outgoing start, then incoming start, then beats in the configured order.
  ASSERT_GE(result.candidates.size(), 5u);
  const Candidate& first = result.candidates[0];
  EXPECT_EQ(first.outgoing_start, 28.0);
  EXPECT_EQ(first.incoming_start, 0.0);
  EXPECT_EQ(first.beats, 4u);
  EXPECT_EQ(first.duration, 2.0);
  EXPECT_EQ(first.target_bpm, 120.0f);
  EXPECT_EQ(first.outgoing_ratio, 1.0f);
  EXPECT_EQ(first.incoming_ratio, 1.0f);
  EXPECT_TRUE(first.tempo_matched);
  EXPECT_EQ(result.candidates[3].beats, 32u);
  EXPECT_EQ(result.candidates[3].duration, 16.0);
  EXPECT_EQ(result.candidates[4].incoming_start, 2.0);
  // 58 s leaves no room for even 4 beats and the tail margin.
  EXPECT_EQ(result.candidates.back().outgoing_start, 56.0);
  EXPECT_EQ(result.candidates.back().incoming_start, 30.0);
  EXPECT_EQ(result.candidates.back().beats, 4u);
  for (const Candidate& c : result.candidates) {
    EXPECT_LE(c.outgoing_start + c.duration + 0.25, 60.0);
  }
}

TEST(Search, DurationLimitsRejectWholeBeatLengths) {
  const struct {
    float bpm;
    std::uint32_t rejected_beats;  // 32 beats at 100 BPM last 19.2 s, 4 at 200 BPM 1.2 s
    std::uint64_t rejected;
  } cases[] = {
      // 256 for the excluded length, plus the tail rule for the others: at
      // 100 BPM 1, 2 and 4 outgoing starts (downbeats every 2.4 s, 21.6 to
      // 57.6) for 4, 8 and 16 beats; at 200 BPM 1, 3 and 7 (every 1.2 s,
      // 39.6 to 57.6) for 8, 16 and 32 beats.
      {100.0f, 32, 256 + (1 + 2 + 4) * 16},
      {200.0f, 4, 256 + (1 + 3 + 7) * 16},
  };
  for (const auto& c : cases) {
    SearchCase setup;
    setup.outgoing_grid = regular_grid(c.bpm, 60.0);
    setup.incoming_grid = regular_grid(c.bpm, 60.0);
    const SearchResult result = setup.run();
    EXPECT_EQ(count_beats(result, c.rejected_beats), 0u) << c.bpm;
    EXPECT_EQ(result.rejected, c.rejected) << c.bpm;
    EXPECT_EQ(result.candidates.size() + result.rejected, 1024u) << c.bpm;
  }
}

TEST(Search, RequestBeatLengthsAdmitOnlyTheirCounts) {
  SearchCase setup;
  setup.beat_lengths = std::vector<std::uint32_t>{8};
  SearchResult result = setup.run();
  EXPECT_EQ(result.candidates.size(), 224u);
  EXPECT_EQ(count_beats(result, 8), 224u);
  EXPECT_EQ(result.rejected, 800u);

  // 8 beats (4 s) never fit a 3 s incoming track: everything is rejected.
  setup.incoming_seconds = 3.0;
  setup.incoming_grid = regular_grid(120.0f, 3.0);
  result = setup.run();
  EXPECT_TRUE(result.candidates.empty());
  EXPECT_EQ(result.rejected, 16u * 2u * 4u);  // incoming starts 0 and 2
  EXPECT_EQ(no_viable_transition(setup.space(), result.rejected).to_text(),
            "no viable transition found: no transition fits: 128 combinations were rejected for a 60.0s outgoing "
            "track and a 3.0s incoming track, with beat lengths [8]");

  // A list holding only 0 passes validation and admits nothing.
  setup = SearchCase{};
  setup.beat_lengths = std::vector<std::uint32_t>{0};
  result = setup.run();
  EXPECT_TRUE(result.candidates.empty());
  EXPECT_EQ(result.rejected, 1024u);
}

TEST(Search, TooShortOutgoingTrackHasNoStarts) {
  SearchCase setup;
  setup.outgoing_seconds = 1.0;
  setup.outgoing_grid = regular_grid(120.0f, 1.0);
  setup.incoming_seconds = 30.0;
  setup.incoming_grid = regular_grid(120.0f, 30.0);
  EXPECT_TRUE(setup.outgoing().empty());
  const SearchResult result = setup.run();
  EXPECT_TRUE(result.candidates.empty());
  EXPECT_EQ(result.rejected, 0u);
  const EngineError error = no_viable_transition(setup.space(), result.rejected);
  EXPECT_EQ(error.kind(), EngineError::Kind::NoViableTransition);
  EXPECT_EQ(error.message(),
            "no transition fits: 0 combinations were rejected for a 1.0s outgoing track and a 30.0s incoming "
            "track, with unconstrained");
}

TEST(Search, AnchorFallbacks) {
  const struct {
    const char* name;
    BeatGrid grid;
    std::optional<TimeWindow> outgoing_window;
    std::vector<double> outgoing, incoming;
  } cases[] = {
      {"a window without anchors uses its start", grid_of({0, 4, 8, 16, 24}, {0, 8, 16, 24}),
       TimeWindow{10.0, 12.0}, {10.0}, {0.0, 8.0, 16.0, 24.0}},
      {"no downbeats: beats", grid_of({20, 30, 40, 50}, {}), std::nullopt, {20.0, 30.0, 40.0, 50.0},
       {20.0, 30.0, 40.0}},
      {"downbeats outside the range: beats", grid_of({50, 51}, {2}), std::nullopt, {50.0, 51.0}, {2.0}},
      {"neither: the range start", grid_of({}, {}), std::nullopt, {15.0}, {0.0}},
  };
  for (const auto& c : cases) {
    SearchCase setup;
    setup.outgoing_grid = c.grid;
    setup.incoming_grid = c.grid;
    setup.outgoing_region.start = c.outgoing_window;
    EXPECT_EQ(setup.outgoing(), c.outgoing) << c.name;
    EXPECT_EQ(setup.incoming(), c.incoming) << c.name;
  }
}

TEST(Search, ConstraintsShapeTheStartRanges) {
  SearchCase setup;
  // An outgoing window replaces the 45 s search window, even before it.
  setup.outgoing_region.start = TimeWindow{3.0, 9.0};
  EXPECT_EQ(setup.outgoing(), every_two_seconds(4.0, 8.0));
  // An end window implies starts from end.earliest - 16 to end.latest - 1.5,
  // here still lowered to the last start the tail margin allows.
  setup.outgoing_region = RegionConstraint{.start = std::nullopt, .end = TimeWindow{60.0, 62.0}};
  EXPECT_EQ(setup.outgoing(), every_two_seconds(44.0, 58.0));

  // Incoming starts never precede the search offset, and end with the track.
  setup.config.incoming_search_offset = 5.0;
  setup.incoming_region.start = TimeWindow{1.0, 11.0};
  EXPECT_EQ(setup.incoming(), every_two_seconds(6.0, 10.0));
  setup.incoming_region.start = TimeWindow{50.0, 80.0};
  EXPECT_EQ(setup.incoming(), every_two_seconds(50.0, 58.0));
  // A negative offset counts as 0.
  setup.config.incoming_search_offset = -5.0;
  setup.incoming_region = RegionConstraint{};
  EXPECT_EQ(setup.incoming(), every_two_seconds(0.0, 30.0));
  // An empty start range gives no starts at all.
  setup.incoming_region.start = TimeWindow{70.0, 80.0};
  EXPECT_TRUE(setup.incoming().empty());
  EXPECT_EQ(setup.run().rejected, 0u);
}

TEST(Search, UnreachableEndWindowsRejectEveryCombination) {
  const struct {
    const char* name;
    RegionConstraint outgoing, incoming;
    std::uint64_t rejected;
    const char* constraints;
  } cases[] = {
      // Outgoing starts 16..28 (the range 14.5..29.5), each ending on an even second.
      {"outgoing end", RegionConstraint{.start = std::nullopt, .end = TimeWindow{30.5, 31.0}},
       RegionConstraint{}, 7 * 16 * 4, "outgoing end in 30.50..=31.00s"},
      // Incoming starts 0..8 (the range 0..8.4).
      {"incoming end", RegionConstraint{},
       RegionConstraint{.start = std::nullopt, .end = TimeWindow{9.5, 9.9}}, 16 * 5 * 4,
       "incoming end in 9.50..=9.90s"},
      {"both, start and end", RegionConstraint{.start = TimeWindow{16.0, 28.0}, .end = TimeWindow{30.5, 31.0}},
       RegionConstraint{.start = std::nullopt, .end = TimeWindow{9.5, 9.9}}, 7 * 5 * 4,
       "outgoing start in 16.00..=28.00s, outgoing end in 30.50..=31.00s, incoming end in 9.50..=9.90s"},
  };
  for (const auto& c : cases) {
    SearchCase setup;
    setup.outgoing_region = c.outgoing;
    setup.incoming_region = c.incoming;
    const SearchResult result = setup.run();
    EXPECT_TRUE(result.candidates.empty()) << c.name;
    EXPECT_EQ(result.rejected, c.rejected) << c.name;
    EXPECT_EQ(no_viable_transition(setup.space(), result.rejected).message(),
              "no transition fits: " + std::to_string(c.rejected) +
                  " combinations were rejected for a 60.0s outgoing track and a 60.0s incoming track, with " +
                  c.constraints)
        << c.name;
  }
}

TEST(Search, CapCutsTheExcessIntoRejected) {
  SearchCase setup;
  // One start per track (sqrt(2 / 3) rounds down to 0, raised to 1) but
  // three beat counts: three candidates for a cap of two.
  setup.config.max_candidates = 2;
  setup.config.allowed_beat_lengths = {4, 8, 16};
  setup.outgoing_region.start = TimeWindow{20.0, 20.0};
  const SearchResult result = setup.run();
  ASSERT_EQ(result.candidates.size(), 2u);
  EXPECT_EQ(result.rejected, 1u);
  EXPECT_EQ(result.candidates[0].beats, 4u);
  EXPECT_EQ(result.candidates[1].beats, 8u);
  EXPECT_EQ(result.candidates[0].outgoing_start, 20.0);
}

TEST(Search, NoTargetTempoEnumeratesNothing) {
  const SearchCase setup;
  TempoMatch tempo = setup.tempo();
  tempo.target_bpm = 0.0f;
  const SearchResult result = enumerate_candidates(setup.space(), tempo, setup.config);
  EXPECT_TRUE(result.candidates.empty());
  EXPECT_EQ(result.rejected, 0u);
}

}  // namespace
}  // namespace segue

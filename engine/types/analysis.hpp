// What the planner knows about one track beyond its beat grid: the frame
// measurements of the stretch a transition can touch, and their summary over
// a time range.
#pragma once

#include <cstdint>
#include <vector>

namespace segue {

// One analysis frame.
struct FrameFeatures {
  double time = 0.0;         // centre of the frame, seconds on the track's timeline
  float rms = 0.0f;          // of the frame's mono samples, before windowing
  float low = 0.0f;          // sum of bin magnitudes below the low split
  float mid = 0.0f;          // between the splits
  float high = 0.0f;         // from the high split up
  float centroid_hz = 0.0f;  // magnitude-weighted mean bin frequency
  float flux = 0.0f;         // mean positive magnitude change against the previous frame
};

struct TrackAnalysis {
  std::vector<FrameFeatures> frames;  // in increasing `time`
  std::uint32_t beats_per_bar = 4;    // estimated from the downbeats
  std::uint32_t bars_per_phrase = 4;  // the setting, raised to 1 when 0
};

// The summary of the frames in a time range. The defaults are the summary of
// an empty range.
struct RegionFeatures {
  float level_db = -120.0f;            // quadratic mean of the frames' rms, in dB
  float low_share = 1.0f / 3.0f;       // the three shares add up to 1
  float mid_share = 1.0f / 3.0f;
  float high_share = 1.0f / 3.0f;
  float centroid_hz = 0.0f;            // band-magnitude-weighted mean centroid
  float onset_density = 0.0f;          // fraction of frames whose flux stands out
  float level_slope = 0.0f;            // least-squares slope of frame levels, dB per second
};

// Summarises the frames whose centre lies in [start, end] seconds (both
// included); no frame there, start > end or a NaN bound give the empty
// summary. `sensitivity` is the onset threshold in standard deviations above
// the mean flux. `analysis.frames` must be in increasing `time`. Binary
// search, then passes over the region only: allocates nothing, keeps no
// state, safe to call from any thread on a shared analysis.
RegionFeatures summarize(const TrackAnalysis& analysis, double start, double end, float sensitivity);

}  // namespace segue

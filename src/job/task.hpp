// The records one call of renderTransition hands to the job, and the record
// the job hands back. The binding fills the task on the JavaScript thread;
// it holds only owned copies, no host handle and no view into JavaScript
// memory, so the job may run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio/buffer.hpp"
#include "engine/planner/constraints.hpp"

namespace segue {

// One decoded track as the binding hands it over.
struct TrackInput {
  std::vector<Channel> channels;  // planar PCM, all of one length
  std::uint32_t sample_rate = 0;  // Hz
  float bpm = 0.0f;
  std::vector<double> beats;      // seconds from the start of the track
  std::vector<double> downbeats;  // seconds from the start of the track
};

struct RenderTransitionTask {
  TrackInput outgoing;
  TrackInput incoming;
  RegionConstraint outgoing_region;
  RegionConstraint incoming_region;
  // When present, only these of the configured beat lengths are tried.
  std::optional<std::vector<std::uint32_t>> beat_lengths;
  // Laid evenly over the whole outgoing track; shapes the closing low-pass of
  // a filtered blend.
  std::optional<std::vector<double>> duck_curve;
  bool diagnostics = false;
};

// Field for field the object that resolves the promise. The defaults are the
// values of a failure result: tempo ratios 1.0, every other number 0, empty
// texts and channels.
struct JsTransitionResult {
  bool rendered = false;
  std::string rejected;
  std::vector<Channel> channels;
  double sampleRate = 0.0;
  double duration = 0.0;
  std::uint32_t beats = 0;
  std::string strategy;
  double outgoingStart = 0.0;
  double incomingStart = 0.0;
  double outgoingResume = 0.0;
  double incomingResume = 0.0;
  double outgoingTempoRatio = 1.0;
  double incomingTempoRatio = 1.0;
  double targetBpm = 0.0;
  std::string summary;
};

}  // namespace segue

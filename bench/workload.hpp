// Reads the benchmark workload that bench/workload.js writes: per track NAME
// a raw planar float32 file (NAME.pcm), its grid as float64 lists
// (NAME.beats, NAME.downbeats) and a one-line description (NAME.txt:
// sample rate, channels, frames, bpm). The folder comes from the
// SEGUE_BENCH_WORKLOAD environment variable, which `npm run bench` sets.
//
// Errors: a missing variable, file or a file of the wrong size is reported
// as a message (std::unexpected), never by a crash, so a benchmark can skip
// with the reason. Everything is read on the calling thread; the returned
// track owns its samples.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "src/job/task.hpp"

namespace segue::bench {

inline std::expected<std::string, std::string> workload_folder() {
  const char* folder = std::getenv("SEGUE_BENCH_WORKLOAD");
  if (folder == nullptr || *folder == '\0') {
    return std::unexpected(
        "SEGUE_BENCH_WORKLOAD is not set: run `npm run bench`, or `node bench/run.js --print-workload` and "
        "export the folder it prints");
  }
  return std::string(folder);
}

template <class T>
std::expected<std::vector<T>, std::string> read_values(const std::string& path, std::size_t expected_count,
                                                       bool exact) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return std::unexpected("cannot read " + path);
  const auto bytes = static_cast<std::size_t>(file.tellg());
  if (bytes % sizeof(T) != 0 || (exact && bytes != expected_count * sizeof(T))) {
    return std::unexpected(path + " has " + std::to_string(bytes) + " bytes, which is not the expected size");
  }
  std::vector<T> values(bytes / sizeof(T));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(bytes));
  if (!file) return std::unexpected("cannot read " + path);
  return values;
}

// One track of the workload as the binding would hand it to the job.
inline std::expected<TrackInput, std::string> read_track(const std::string& folder, const std::string& name) {
  const std::string base = folder + "/" + name;
  std::ifstream description(base + ".txt");
  std::uint64_t rate = 0, channels = 0, frames = 0;
  double bpm = 0.0;
  if (!(description >> rate >> channels >> frames >> bpm) || rate == 0 || channels == 0 || rate > UINT32_MAX) {
    return std::unexpected("cannot read the description " + base + ".txt");
  }
  auto samples = read_values<float>(base + ".pcm", channels * frames, true);
  if (!samples) return std::unexpected(samples.error());
  auto beats = read_values<double>(base + ".beats", 0, false);
  if (!beats) return std::unexpected(beats.error());
  auto downbeats = read_values<double>(base + ".downbeats", 0, false);
  if (!downbeats) return std::unexpected(downbeats.error());

  TrackInput track;
  track.sample_rate = static_cast<std::uint32_t>(rate);
  track.bpm = static_cast<float>(bpm);
  for (std::uint64_t c = 0; c < channels; ++c) {
    const auto first = samples->begin() + static_cast<std::ptrdiff_t>(c * frames);
    track.channels.emplace_back(first, first + static_cast<std::ptrdiff_t>(frames));
  }
  track.beats = std::move(*beats);
  track.downbeats = std::move(*downbeats);
  return track;
}

// The default request on two workload tracks: no windows, every beat
// length, no duck curve, no diagnostics.
inline std::expected<RenderTransitionTask, std::string> read_task(const std::string& outgoing,
                                                                  const std::string& incoming) {
  auto folder = workload_folder();
  if (!folder) return std::unexpected(folder.error());
  auto out = read_track(*folder, outgoing);
  if (!out) return std::unexpected(out.error());
  auto in = read_track(*folder, incoming);
  if (!in) return std::unexpected(in.error());
  RenderTransitionTask task;
  task.outgoing = std::move(*out);
  task.incoming = std::move(*in);
  return task;
}

}  // namespace segue::bench

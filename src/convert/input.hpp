// JavaScript arguments of renderTransition -> the owned RenderTransitionTask.
//
// Three steps, each on the JavaScript thread, inside the one native call:
//   1. read: the two JsTransitionSource objects and the JsTransitionOptions,
//      field by field in a fixed order (the order decides which error a
//      caller sees first, and in which order getters run);
//   2. take: copy each track's PCM out of its Float32Arrays into owned
//      channels and check it;
//   3. derive: the task's region and beat-length constraints.
// `read_task` runs all three in the order a call needs. The first error ends
// it; nothing read so far survives it.
//
// Presence: a field is absent only when reading it yields `undefined`; every
// other value (null included) is converted and may fail. Field errors are
// extended "{message} on {Object}.{field}"; "Failed to get property" and
// "Missing field `x`" are extended only by an enclosing object. A host
// exception raised while reading (a throwing getter, a read from null) stays
// pending and reaches the caller through `throw_error`.
//
// Between read and take, JavaScript may run (getters of later fields), so a
// channel's typed array is kept only as a handle and a reference; its data
// pointer and length are read again when the samples are copied, since a
// getter may have detached or shrunk the buffer in between. After `take`
// no view into JavaScript memory survives: the caller may change its arrays
// as soon as the call returns.
//
// Allocates the owned lists (one allocation per channel for the PCM).
#pragma once

#include <node_api.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "src/convert/binding_error.hpp"
#include "src/job/task.hpp"

namespace segue::convert {

// The typed arrays of one track's channels, held alive by one reference
// each until the track is taken (or dropped on an error). The handles are
// valid only inside the native call that read them.
class ChannelArrays {
 public:
  explicit ChannelArrays(napi_env env) : env_(env) {}
  ChannelArrays(ChannelArrays&& other) noexcept;
  ChannelArrays& operator=(ChannelArrays&&) = delete;
  ChannelArrays(const ChannelArrays&) = delete;
  ChannelArrays& operator=(const ChannelArrays&) = delete;
  ~ChannelArrays() { release(); }

  struct Entry {
    napi_value array = nullptr;
    napi_ref reference = nullptr;
  };

  void add(Entry entry) { entries_.push_back(entry); }
  std::span<const Entry> entries() const { return entries_; }
  // Unreferences and deletes every reference; failures are ignored (there is
  // nothing to recover, and the host collects the arrays either way).
  void release();

 private:
  napi_env env_;
  std::vector<Entry> entries_;
};

struct JsTransitionSource {
  ChannelArrays channels;
  double sampleRate = 0.0;
  double bpm = 0.0;
  std::vector<double> beats;
  std::vector<double> downbeats;
};

struct JsRegionConstraint {
  std::optional<double> startEarliest;
  std::optional<double> startLatest;
  std::optional<double> endEarliest;
  std::optional<double> endLatest;
};

struct JsTransitionOptions {
  std::optional<JsRegionConstraint> outgoing;
  std::optional<JsRegionConstraint> incoming;
  std::optional<std::vector<std::uint32_t>> beatLengths;
  std::optional<std::vector<double>> duckCurve;
  std::optional<bool> diagnostics;
};

// Fields in the order channels, sampleRate, bpm, beats, downbeats; all
// required.
BindingResult<JsTransitionSource> read_source(napi_env env, napi_value value);

// Fields in the order outgoing, incoming, beatLengths, duckCurve,
// diagnostics; all optional. `value` must allow property reads (not
// undefined or null).
BindingResult<JsTransitionOptions> read_options(napi_env env, napi_value value);

// Copies the PCM into owned channels, releases the typed arrays (on every
// path) and checks, in order: "{name} PCM has no channels", "{name} PCM is
// empty", "{name} PCM channels have differing lengths", "{name} sample rate
// {} is not usable" (not finite or below 1000), "{name} PCM is {:.1}s,
// beyond the 90s an overlap slice should ever be". The checks need only the
// lengths, so they run before the copy: a rejected track costs no copy.
// `beats`, `downbeats` and `bpm` are handed over unchecked (the beat grid
// checks them); `sampleRate` is truncated toward zero and saturated.
BindingResult<TrackInput> take_track(napi_env env, JsTransitionSource source, std::string_view name);

// Start and end windows exist only when both of their bounds were given; an
// empty `beatLengths` counts as absent; `diagnostics` defaults to false.
void derive_constraints(JsTransitionOptions options, RenderTransitionTask& task);

// The whole conversion of one call: read outgoing, read incoming, read
// options, take outgoing, take incoming, derive.
BindingResult<RenderTransitionTask> read_task(napi_env env, napi_value outgoing, napi_value incoming,
                                              napi_value options);

}  // namespace segue::convert

#include "src/convert/input.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "engine/format.hpp"
#include "engine/numeric.hpp"
#include "src/host/napi_table.hpp"

namespace segue::convert {
namespace {

using host::napi;

constexpr std::string_view kSource = "JsTransitionSource";
constexpr std::string_view kOptions = "JsTransitionOptions";
constexpr std::string_view kRegion = "JsRegionConstraint";
// Inputs are meant to be slices around the overlap, not whole tracks; the
// limit also bounds the copy made on the JavaScript thread.
constexpr double kMaxTrackSeconds = 90.0;
constexpr double kMinSampleRate = 1000.0;

std::string_view type_name(napi_valuetype type) {
  switch (type) {
    case napi_undefined: return "Undefined";
    case napi_null: return "Null";
    case napi_boolean: return "Boolean";
    case napi_number: return "Number";
    case napi_string: return "String";
    case napi_symbol: return "Symbol";
    case napi_object: return "Object";
    case napi_function: return "Function";
    case napi_external: return "External";
    default: return "Unknown";
  }
}

std::string_view element_type_name(napi_typedarray_type type) {
  switch (type) {
    case napi_int8_array: return "Int8";
    case napi_uint8_array: return "Uint8";
    case napi_uint8_clamped_array: return "Uint8Clamped";
    case napi_int16_array: return "Int16";
    case napi_uint16_array: return "Uint16";
    case napi_int32_array: return "Int32";
    case napi_uint32_array: return "Uint32";
    case napi_float32_array: return "Float32";
    case napi_float64_array: return "Float64";
    default: return "Unknown";
  }
}

// "Expected f64, got String": names the type found, so a caller sees what
// it passed without guessing.
BindingError type_mismatch(napi_env env, napi_value value, std::string_view expected, napi_status status) {
  napi_valuetype type = napi_undefined;
  const std::string_view found = napi().napi_typeof(env, value, &type) == napi_ok ? type_name(type) : "Unknown";
  std::string message = "Expected ";
  message.append(expected).append(", got ").append(found);
  return BindingError{std::move(message), status};
}

BindingResult<double> to_f64(napi_env env, napi_value value) {
  double result = 0.0;
  if (napi_status s = napi().napi_get_value_double(env, value, &result); s != napi_ok) {
    return std::unexpected(type_mismatch(env, value, "f64", s));
  }
  return result;
}

BindingResult<std::uint32_t> to_u32(napi_env env, napi_value value) {
  std::uint32_t result = 0;
  if (napi_status s = napi().napi_get_value_uint32(env, value, &result); s != napi_ok) {
    return std::unexpected(type_mismatch(env, value, "u32", s));
  }
  return result;
}

BindingResult<bool> to_bool(napi_env env, napi_value value) {
  bool result = false;
  if (napi_status s = napi().napi_get_value_bool(env, value, &result); s != napi_ok) {
    return fail("Expected bool", s);
  }
  return result;
}

// Elements are read one at a time from the host, so the list grows as it is
// read rather than trusting the array's length for one allocation: a sparse
// array of length 2^32 - 1 then fails at its first hole instead of
// reserving gigabytes.
// Calls `visit` with each element of the array `value` in index order and
// stops at the first error, its own or the host's.
template <class Visit>
BindingResult<void> for_each_element(napi_env env, napi_value value, Visit visit) {
  std::uint32_t length = 0;
  if (napi_status s = napi().napi_get_array_length(env, value, &length); s != napi_ok) {
    return fail("Failed to get Array length", s);
  }
  for (std::uint32_t index = 0; index < length; ++index) {
    napi_value element = nullptr;
    if (napi_status s = napi().napi_get_element(env, value, index, &element); s != napi_ok) {
      return fail("Failed to get element with index `" + std::to_string(index) + "`", s);
    }
    if (BindingResult<void> visited = visit(element); !visited) return visited;
  }
  return {};
}

// Elements are read one at a time from the host, so the list grows as it is
// read rather than trusting the array's length for one allocation: a sparse
// array of length 2^32 - 1 then fails at its first hole instead of
// reserving gigabytes.
template <class Element>
BindingResult<std::vector<Element>> to_list(napi_env env, napi_value value,
                                            BindingResult<Element> (*convert)(napi_env, napi_value)) {
  std::vector<Element> list;
  BindingResult<void> read = for_each_element(env, value, [&](napi_value element) -> BindingResult<void> {
    auto converted = convert(env, element);
    if (!converted) return std::unexpected(std::move(converted.error()));
    list.push_back(std::move(*converted));
    return {};
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return list;
}

BindingResult<ChannelArrays::Entry> reference_channel(napi_env env, napi_value value) {
  ChannelArrays::Entry entry{value, nullptr};
  if (napi_status s = napi().napi_create_reference(env, value, 1, &entry.reference); s != napi_ok) {
    return fail("Failed to create reference from TypedArray", s);
  }
  return entry;
}

BindingResult<ChannelArrays> to_channel_arrays(napi_env env, napi_value value) {
  ChannelArrays arrays(env);
  BindingResult<void> read = for_each_element(env, value, [&](napi_value element) -> BindingResult<void> {
    auto entry = reference_channel(env, element);
    if (!entry) return std::unexpected(std::move(entry.error()));
    // Owned by `arrays` from here on, so an error below releases it too.
    arrays.add(*entry);
    napi_typedarray_type type = napi_int8_array;
    if (napi_status s = napi().napi_get_typedarray_info(env, element, &type, nullptr, nullptr, nullptr, nullptr);
        s != napi_ok) {
      return fail("Get TypedArray info failed", s);
    }
    if (type != napi_float32_array) {
      return fail("Expected Float32Array, got " + std::string(element_type_name(type)) + "Array");
    }
    return {};
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return arrays;
}

// The property, or nothing when it reads as `undefined`.
BindingResult<std::optional<napi_value>> read_property(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  if (napi_status s = napi().napi_get_named_property(env, object, name, &value); s != napi_ok) {
    return fail("Failed to get property", s);
  }
  napi_valuetype type = napi_undefined;
  if (napi_status s = napi().napi_typeof(env, value, &type); s != napi_ok) return fail("", s);
  if (type == napi_undefined) return std::nullopt;
  return value;
}

template <class Convert>
auto optional_field(napi_env env, napi_value object, std::string_view object_name, const char* field,
                    Convert convert) -> BindingResult<std::optional<typename decltype(convert(env, object))::value_type>> {
  auto property = read_property(env, object, field);
  if (!property) return std::unexpected(std::move(property.error()));
  if (!*property) return std::nullopt;
  auto converted = convert(env, **property);
  if (!converted) return std::unexpected(std::move(converted.error()).on(object_name, field));
  return std::move(*converted);
}

template <class Convert>
auto required_field(napi_env env, napi_value object, std::string_view object_name, const char* field,
                    Convert convert) -> BindingResult<typename decltype(convert(env, object))::value_type> {
  auto value = optional_field(env, object, object_name, field, convert);
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return fail("Missing field `" + std::string(field) + "`");
  return std::move(**value);
}

BindingResult<std::vector<double>> to_f64_list(napi_env env, napi_value value) { return to_list(env, value, to_f64); }
BindingResult<std::vector<std::uint32_t>> to_u32_list(napi_env env, napi_value value) {
  return to_list(env, value, to_u32);
}

BindingResult<JsRegionConstraint> to_region(napi_env env, napi_value value) {
  JsRegionConstraint region;
  for (auto [field, slot] : {std::pair{"startEarliest", &region.startEarliest},
                             std::pair{"startLatest", &region.startLatest},
                             std::pair{"endEarliest", &region.endEarliest},
                             std::pair{"endLatest", &region.endLatest}}) {
    auto bound = optional_field(env, value, kRegion, field, to_f64);
    if (!bound) return std::unexpected(std::move(bound.error()));
    *slot = *bound;
  }
  return region;
}

// Nearest 32-bit float. A plain conversion of a double outside the float
// range is undefined behaviour in C++; IEEE rounding sends those values to
// the largest float or to infinity, and so does this.
float nearest_float(double value) {
  constexpr double max = std::numeric_limits<float>::max();
  if (std::isfinite(value) && std::fabs(value) > max) {
    // Half an ulp above the largest float; ties go to even, i.e. infinity.
    const double overflow = max + std::ldexp(1.0, 103);
    const float magnitude = std::fabs(value) >= overflow ? std::numeric_limits<float>::infinity()
                                                          : std::numeric_limits<float>::max();
    return value > 0 ? magnitude : -magnitude;
  }
  return static_cast<float>(value);
}

std::optional<TimeWindow> window(const std::optional<double>& earliest, const std::optional<double>& latest) {
  if (!earliest || !latest) return std::nullopt;
  return TimeWindow{*earliest, *latest};
}

RegionConstraint to_constraint(const std::optional<JsRegionConstraint>& region) {
  RegionConstraint constraint;
  if (region) {
    constraint.start = window(region->startEarliest, region->startLatest);
    constraint.end = window(region->endEarliest, region->endLatest);
  }
  return constraint;
}

}  // namespace

ChannelArrays::ChannelArrays(ChannelArrays&& other) noexcept
    : env_(other.env_), entries_(std::exchange(other.entries_, {})) {}

void ChannelArrays::release() {
  for (const Entry& entry : entries_) {
    std::uint32_t count = 0;
    napi().napi_reference_unref(env_, entry.reference, &count);
    napi().napi_delete_reference(env_, entry.reference);
  }
  entries_.clear();
}

BindingResult<JsTransitionSource> read_source(napi_env env, napi_value value) {
  auto channels = required_field(env, value, kSource, "channels", to_channel_arrays);
  if (!channels) return std::unexpected(std::move(channels.error()));
  JsTransitionSource source{std::move(*channels), 0.0, 0.0, {}, {}};

  auto sample_rate = required_field(env, value, kSource, "sampleRate", to_f64);
  if (!sample_rate) return std::unexpected(std::move(sample_rate.error()));
  source.sampleRate = *sample_rate;

  auto bpm = required_field(env, value, kSource, "bpm", to_f64);
  if (!bpm) return std::unexpected(std::move(bpm.error()));
  source.bpm = *bpm;

  auto beats = required_field(env, value, kSource, "beats", to_f64_list);
  if (!beats) return std::unexpected(std::move(beats.error()));
  source.beats = std::move(*beats);

  auto downbeats = required_field(env, value, kSource, "downbeats", to_f64_list);
  if (!downbeats) return std::unexpected(std::move(downbeats.error()));
  source.downbeats = std::move(*downbeats);
  return source;
}

BindingResult<JsTransitionOptions> read_options(napi_env env, napi_value value) {
  JsTransitionOptions options;
  auto outgoing = optional_field(env, value, kOptions, "outgoing", to_region);
  if (!outgoing) return std::unexpected(std::move(outgoing.error()));
  options.outgoing = *outgoing;

  auto incoming = optional_field(env, value, kOptions, "incoming", to_region);
  if (!incoming) return std::unexpected(std::move(incoming.error()));
  options.incoming = *incoming;

  auto beat_lengths = optional_field(env, value, kOptions, "beatLengths", to_u32_list);
  if (!beat_lengths) return std::unexpected(std::move(beat_lengths.error()));
  options.beatLengths = std::move(*beat_lengths);

  auto duck_curve = optional_field(env, value, kOptions, "duckCurve", to_f64_list);
  if (!duck_curve) return std::unexpected(std::move(duck_curve.error()));
  options.duckCurve = std::move(*duck_curve);

  auto diagnostics = optional_field(env, value, kOptions, "diagnostics", to_bool);
  if (!diagnostics) return std::unexpected(std::move(diagnostics.error()));
  options.diagnostics = *diagnostics;
  return options;
}

BindingResult<TrackInput> take_track(napi_env env, JsTransitionSource source, std::string_view name) {
  struct View {
    const float* data = nullptr;
    std::size_t length = 0;
  };
  // Read again now: the buffers may have been detached or resized by
  // JavaScript that ran since the arrays were read.
  std::vector<View> views;
  views.reserve(source.channels.entries().size());
  for (const ChannelArrays::Entry& entry : source.channels.entries()) {
    void* data = nullptr;
    std::size_t length = 0;
    if (napi_status s = napi().napi_get_typedarray_info(env, entry.array, nullptr, &length, &data, nullptr, nullptr);
        s != napi_ok) {
      return std::unexpected(BindingError{"Get TypedArray info failed", s}.on(kSource, "channels"));
    }
    // The data pointer already includes the view's byte offset; a detached
    // or empty buffer may report null, which counts as no samples.
    views.push_back(data != nullptr ? View{static_cast<const float*>(data), length} : View{});
  }

  const std::string track(name);
  if (views.empty()) return fail(track + " PCM has no channels");
  const std::size_t frames = views.front().length;
  if (frames == 0) return fail(track + " PCM is empty");
  for (const View& view : views) {
    if (view.length != frames) return fail(track + " PCM channels have differing lengths");
  }
  const double rate = source.sampleRate;
  if (!std::isfinite(rate) || rate < kMinSampleRate) {
    return fail(track + " sample rate " + format_number(rate) + " is not usable");
  }
  const double seconds = static_cast<double>(frames) / rate;
  if (seconds > kMaxTrackSeconds) {
    return fail(track + " PCM is " + format_fixed(seconds, 1) + "s, beyond the " + format_number(kMaxTrackSeconds) +
                "s an overlap slice should ever be");
  }

  TrackInput input;
  input.channels.reserve(views.size());
  // One pass per channel, straight from the caller's memory into the task.
  for (const View& view : views) input.channels.emplace_back(view.data, view.data + view.length);
  source.channels.release();

  input.sample_rate = saturating_cast<std::uint32_t>(rate);
  input.bpm = nearest_float(source.bpm);
  input.beats = std::move(source.beats);
  input.downbeats = std::move(source.downbeats);
  return input;
}

void derive_constraints(JsTransitionOptions options, RenderTransitionTask& task) {
  task.outgoing_region = to_constraint(options.outgoing);
  task.incoming_region = to_constraint(options.incoming);
  if (options.beatLengths && !options.beatLengths->empty()) task.beat_lengths = std::move(options.beatLengths);
  task.duck_curve = std::move(options.duckCurve);
  task.diagnostics = options.diagnostics.value_or(false);
}

BindingResult<RenderTransitionTask> read_task(napi_env env, napi_value outgoing, napi_value incoming,
                                              napi_value options) {
  auto outgoing_source = read_source(env, outgoing);
  if (!outgoing_source) return std::unexpected(std::move(outgoing_source.error()));
  auto incoming_source = read_source(env, incoming);
  if (!incoming_source) return std::unexpected(std::move(incoming_source.error()));
  auto js_options = read_options(env, options);
  if (!js_options) return std::unexpected(std::move(js_options.error()));

  RenderTransitionTask task;
  auto outgoing_track = take_track(env, std::move(*outgoing_source), "outgoing");
  if (!outgoing_track) return std::unexpected(std::move(outgoing_track.error()));
  task.outgoing = std::move(*outgoing_track);
  auto incoming_track = take_track(env, std::move(*incoming_source), "incoming");
  if (!incoming_track) return std::unexpected(std::move(incoming_track.error()));
  task.incoming = std::move(*incoming_track);

  derive_constraints(std::move(*js_options), task);
  return task;
}

}  // namespace segue::convert

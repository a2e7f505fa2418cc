#include "src/convert/result.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "src/host/napi_table.hpp"

namespace segue::convert {
namespace {

using host::napi;

// Runs on the JavaScript thread when the host collects the ArrayBuffer.
void free_channel(napi_env, void*, void* hint) { delete static_cast<Channel*>(hint); }

BindingResult<napi_value> array_buffer_of(napi_env env, Channel samples) {
  napi_value buffer = nullptr;
  const std::size_t bytes = samples.size() * sizeof(float);
  if (samples.empty()) {
    if (napi_status s = napi().napi_create_arraybuffer(env, 0, nullptr, &buffer); s != napi_ok) {
      return fail("Create external arraybuffer failed", s);
    }
    return buffer;
  }

  auto owned = std::make_unique<Channel>(std::move(samples));
  void* data = owned->data();
  const napi_status s =
      napi().napi_create_external_arraybuffer(env, data, bytes, free_channel, owned.get(), &buffer);
  if (s == napi_ok) {
    // The host owns the storage now and frees it through the finalizer.
    owned.release();
    return buffer;
  }
  // On any refusal the host took nothing; `owned` frees the storage when
  // this returns.
  if (s != napi_no_external_buffers_allowed) return fail("Create external arraybuffer failed", s);
  void* copy = nullptr;
  if (napi_status f = napi().napi_create_arraybuffer(env, bytes, &copy, &buffer); f != napi_ok) {
    return fail("Create external arraybuffer failed", f);
  }
  std::memcpy(copy, data, bytes);
  return buffer;
}

BindingResult<napi_value> channels_of(napi_env env, std::vector<Channel>& channels) {
  napi_value array = nullptr;
  if (napi_status s = napi().napi_create_array_with_length(env, channels.size(), &array); s != napi_ok) {
    return fail("Failed to create napi Array", s);
  }
  for (std::size_t index = 0; index < channels.size(); ++index) {
    const std::size_t samples = channels[index].size();
    // Handed over one by one, so a failure leaves the rest in `channels`,
    // freed with the result.
    auto buffer = array_buffer_of(env, std::exchange(channels[index], {}));
    if (!buffer) return std::unexpected(std::move(buffer.error()));
    napi_value view = nullptr;
    if (napi_status s = napi().napi_create_typedarray(env, napi_float32_array, samples, *buffer, 0, &view);
        s != napi_ok) {
      return fail("Create TypedArray failed", s);
    }
    if (napi_status s = napi().napi_set_element(env, array, static_cast<std::uint32_t>(index), view); s != napi_ok) {
      return fail("Failed to set element with index `" + std::to_string(index) + "`", s);
    }
  }
  return array;
}

BindingResult<napi_value> boolean_of(napi_env env, bool value) {
  napi_value result = nullptr;
  if (napi_status s = napi().napi_get_boolean(env, value, &result); s != napi_ok) {
    return fail("Failed to convert bool into Boolean", s);
  }
  return result;
}

BindingResult<napi_value> string_of(napi_env env, const std::string& text) {
  napi_value result = nullptr;
  if (napi_status s = napi().napi_create_string_utf8(env, text.data(), text.size(), &result); s != napi_ok) {
    return fail("Failed to convert string into String", s);
  }
  return result;
}

BindingResult<napi_value> number_of(napi_env env, double value) {
  napi_value result = nullptr;
  if (napi_status s = napi().napi_create_double(env, value, &result); s != napi_ok) {
    return fail("Failed to convert f64 into Number", s);
  }
  return result;
}

BindingResult<napi_value> integer_of(napi_env env, std::uint32_t value) {
  napi_value result = nullptr;
  if (napi_status s = napi().napi_create_uint32(env, value, &result); s != napi_ok) {
    return fail("Failed to convert u32 into Number", s);
  }
  return result;
}

}  // namespace

BindingResult<napi_value> convert_result(napi_env env, JsTransitionResult result) {
  // Values first, in table order, so the first failing step is the one a
  // caller sees.
  std::array<BindingResult<napi_value> (*)(napi_env, JsTransitionResult&), 15> makers = {
      [](napi_env e, JsTransitionResult& r) { return boolean_of(e, r.rendered); },
      [](napi_env e, JsTransitionResult& r) { return string_of(e, r.rejected); },
      [](napi_env e, JsTransitionResult& r) { return channels_of(e, r.channels); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.sampleRate); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.duration); },
      [](napi_env e, JsTransitionResult& r) { return integer_of(e, r.beats); },
      [](napi_env e, JsTransitionResult& r) { return string_of(e, r.strategy); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.outgoingStart); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.incomingStart); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.outgoingResume); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.incomingResume); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.outgoingTempoRatio); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.incomingTempoRatio); },
      [](napi_env e, JsTransitionResult& r) { return number_of(e, r.targetBpm); },
      [](napi_env e, JsTransitionResult& r) { return string_of(e, r.summary); },
  };
  static constexpr std::array<const char*, 15> names = {
      "rendered",       "rejected",       "channels",           "sampleRate",         "duration",
      "beats",          "strategy",       "outgoingStart",      "incomingStart",      "outgoingResume",
      "incomingResume", "outgoingTempoRatio", "incomingTempoRatio", "targetBpm",        "summary",
  };

  std::array<napi_property_descriptor, 15> properties{};
  for (std::size_t i = 0; i < properties.size(); ++i) {
    auto value = makers[i](env, result);
    if (!value) return std::unexpected(std::move(value.error()));
    properties[i].utf8name = names[i];
    properties[i].value = *value;
    properties[i].attributes =
        static_cast<napi_property_attributes>(napi_writable | napi_enumerable | napi_configurable);
  }

  napi_value object = nullptr;
  if (napi_status s = napi().napi_create_object(env, &object); s != napi_ok) {
    return fail("Failed to create object", s);
  }
  if (napi_status s = napi().napi_define_properties(env, object, properties.size(), properties.data()); s != napi_ok) {
    return fail("Failed to define properties", s);
  }
  return object;
}

}  // namespace segue::convert

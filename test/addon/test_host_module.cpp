// Module entry of the test-only modules segue_test_host_plain.node and
// segue_test_host_refusing.node. They run the shipped binding code (argument
// conversion, background work, completion, result conversion) around jobs
// that make its paths observable from JavaScript:
//   renderTransition        the real job;
//   echoTransition          returns the task it was given: the outgoing then
//                           the incoming channels as the rendered PCM, fixed
//                           distinct numbers, and the rest of the task as
//                           JSON in `summary`;
//   slowEchoTransition      the same after a pause, so a job is surely
//                           running when a test acts;
//   faultyTransition        a job that runs out of memory;
//   throwingTransition      a job that throws an ordinary exception;
//   settleWith(status)      runs the completion directly with that host
//                           status (cancelled, failed, ...);
//   probeMissingSymbol()    calls napi_create_promise through a table whose
//                           lookup could not find it; returns the status.
// The refusing variant's table answers napi_create_external_arraybuffer with
// napi_no_external_buffers_allowed, as hosts with a memory sandbox do.
#include <node_api.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/format.hpp"
#include "src/host/exports.hpp"
#include "src/host/napi_table.hpp"
#include "src/host/render_call.hpp"

#ifndef SEGUE_TEST_REFUSE_EXTERNAL_BUFFERS
#define SEGUE_TEST_REFUSE_EXTERNAL_BUFFERS 0
#endif

namespace segue::host {

const NapiTable& napi() {
  static const NapiTable table = [] {
    NapiTable loaded = load_napi_table();
    if (SEGUE_TEST_REFUSE_EXTERNAL_BUFFERS) {
      loaded.napi_create_external_arraybuffer = [](napi_env, void*, size_t, node_api_basic_finalize, void*,
                                                   napi_value*) { return napi_no_external_buffers_allowed; };
    }
    return loaded;
  }();
  return table;
}

}  // namespace segue::host

namespace {

using namespace segue;
using namespace segue::host;

std::string json_number(double value) {
  // JSON has no literal for the non-finite values; the tests read these.
  std::string text = format_number(value);
  if (!std::isfinite(value)) text = std::string(1, '"').append(text).append(1, '"');
  return text;
}

template <class List>
std::string json_list(const List& values) {
  std::string text = "[";
  for (const auto& value : values) {
    if (text.size() > 1) text += ",";
    text += json_number(static_cast<double>(value));
  }
  return text + "]";
}

std::string json_track(const TrackInput& track) {
  std::string lengths = "[";
  for (const Channel& channel : track.channels) {
    if (lengths.size() > 1) lengths += ",";
    lengths += std::to_string(channel.size());
  }
  lengths += "]";
  return "{\"channelLengths\":" + lengths + ",\"sampleRate\":" + std::to_string(track.sample_rate) +
         ",\"bpm\":" + json_number(static_cast<double>(track.bpm)) + ",\"beats\":" + json_list(track.beats) +
         ",\"downbeats\":" + json_list(track.downbeats) + "}";
}

std::string json_window(const std::optional<TimeWindow>& window) {
  if (!window) return "null";
  std::string text = "[";
  text.append(json_number(window->earliest)).append(",").append(json_number(window->latest)).append("]");
  return text;
}

std::string json_region(const RegionConstraint& region) {
  return "{\"start\":" + json_window(region.start) + ",\"end\":" + json_window(region.end) + "}";
}

template <class List>
std::string json_optional_list(const std::optional<List>& values) {
  return values ? json_list(*values) : "null";
}

JsTransitionResult echo(const RenderTransitionTask& task) {
  JsTransitionResult result;
  result.rendered = true;
  for (const Channel& channel : task.outgoing.channels) result.channels.push_back(channel);
  for (const Channel& channel : task.incoming.channels) result.channels.push_back(channel);
  result.sampleRate = task.outgoing.sample_rate;
  result.duration = task.outgoing.channels.empty() || task.outgoing.sample_rate == 0
                        ? 0.0
                        : static_cast<double>(task.outgoing.channels.front().size()) / task.outgoing.sample_rate;
  result.beats = 16;
  result.strategy = "echo";
  // Distinct values, so a property fed from the wrong field shows.
  result.outgoingStart = 1.25;
  result.incomingStart = 2.5;
  result.outgoingResume = 3.75;
  result.incomingResume = 5.0;
  result.outgoingTempoRatio = static_cast<double>(1.02f);
  result.incomingTempoRatio = static_cast<double>(0.98f);
  result.targetBpm = static_cast<double>(124.5f);
  result.summary = "{\"outgoing\":" + json_track(task.outgoing) + ",\"incoming\":" + json_track(task.incoming) +
                   ",\"outgoingRegion\":" + json_region(task.outgoing_region) +
                   ",\"incomingRegion\":" + json_region(task.incoming_region) +
                   ",\"beatLengths\":" + json_optional_list(task.beat_lengths) +
                   ",\"duckCurve\":" + json_optional_list(task.duck_curve) +
                   ",\"diagnostics\":" + (task.diagnostics ? "true" : "false") + "}";
  return result;
}

JsTransitionResult slow_echo(const RenderTransitionTask& task) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return echo(task);
}

JsTransitionResult out_of_memory(const RenderTransitionTask&) { throw std::bad_alloc(); }

JsTransitionResult throwing(const RenderTransitionTask&) { throw std::runtime_error("the planner lost its place"); }

napi_value echo_transition(napi_env env, napi_callback_info info) { return render_call(env, info, echo); }
napi_value slow_echo_transition(napi_env env, napi_callback_info info) { return render_call(env, info, slow_echo); }
napi_value faulty_transition(napi_env env, napi_callback_info info) { return render_call(env, info, out_of_memory); }
napi_value throwing_transition(napi_env env, napi_callback_info info) { return render_call(env, info, throwing); }

napi_value settle_with(napi_env env, napi_callback_info info) {
  std::size_t argc = 1;
  napi_value arg = nullptr;
  std::uint32_t status = 0;
  if (napi().napi_get_cb_info(env, info, &argc, &arg, nullptr, nullptr) != napi_ok ||
      napi().napi_get_value_uint32(env, arg, &status) != napi_ok) {
    convert::throw_error(env, {"settleWith takes a status number", napi_invalid_arg});
    return nullptr;
  }
  napi_value promise = nullptr;
  auto item = create_work(env, RenderTransitionTask{}, echo, promise);
  if (!item) {
    convert::throw_error(env, item.error());
    return nullptr;
  }
  complete_work(env, static_cast<napi_status>(status), *item);
  return promise;
}

void* without_create_promise(const char* name) {
  return std::strcmp(name, "napi_create_promise") == 0 ? nullptr : find_host_symbol(name);
}

napi_value probe_missing_symbol(napi_env env, napi_callback_info) {
  const NapiTable table = load_napi_table(without_create_promise);
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  const napi_status status = table.napi_create_promise(env, &deferred, &promise);
  // The rest of that table is the host's own.
  napi_value result = nullptr;
  table.napi_create_uint32(env, static_cast<std::uint32_t>(status), &result);
  return result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env,
                                                                                   napi_value exports) {
  static constexpr ExportEntry entries[] = {
      {"renderTransition", "render_transition", render_transition},
      {"echoTransition", "echo_transition", echo_transition},
      {"slowEchoTransition", "slow_echo_transition", slow_echo_transition},
      {"faultyTransition", "faulty_transition", faulty_transition},
      {"throwingTransition", "throwing_transition", throwing_transition},
      {"settleWith", "settle_with", settle_with},
      {"probeMissingSymbol", "probe_missing_symbol", probe_missing_symbol},
  };
  return register_exports(env, exports, entries);
}

// JsTransitionResult -> the JavaScript object that resolves the promise.
//
// An ordinary object with fifteen own data properties, each writable,
// enumerable and configurable, defined at once in this order: rendered,
// rejected, channels, sampleRate, duration, beats, strategy, outgoingStart,
// incomingStart, outgoingResume, incomingResume, outgoingTempoRatio,
// incomingTempoRatio, targetBpm, summary. `channels` is an Array of one
// Float32Array per channel, each over an ArrayBuffer of its own at offset 0.
//
// Ownership: the result is consumed. Each channel's sample storage is handed
// to the host without a copy as an external ArrayBuffer whose finalizer
// frees it when the host collects the buffer. A host that refuses external
// buffers (napi_no_external_buffers_allowed) gets an ordinary ArrayBuffer
// with a copy instead, and the storage is freed at once. After a failure the
// values made so far are left to the garbage collector and every channel not
// yet handed over is freed; the error carries the failing call's status and
// one of: "Failed to create napi Array", "Create external arraybuffer
// failed", "Create TypedArray failed", "Failed to set element with index
// `{}`", "Failed to create object", "Failed to define properties", or
// "Failed to convert {native type} into {JavaScript type}".
//
// JavaScript thread only. Allocates nothing for the samples (except in the
// copying fallback); the host allocates the JavaScript values.
#pragma once

#include <node_api.h>

#include "src/convert/binding_error.hpp"
#include "src/job/task.hpp"

namespace segue::convert {

BindingResult<napi_value> convert_result(napi_env env, JsTransitionResult result);

}  // namespace segue::convert

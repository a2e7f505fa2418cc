'use strict';

// Shared builders for the binding tests: short tracks at low sample rates,
// and the test-only modules built next to the addon (build/test/).
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const { regularGrid } = require(path.join(root, 'lib', 'grid.js'));
const testHostPath = (variant) => path.join(root, 'build', 'test', `segue_test_host_${variant}.node`);

// `variant` is "plain" (the host's own Node-API table) or "refusing" (a
// table whose napi_create_external_arraybuffer refuses).
function loadTestHost(variant = 'plain') {
  return require(testHostPath(variant));
}

// A JsTransitionSource of `channelCount` channels of `frames` samples; sample
// f of channel c is `sample(f, c)`. Beats every 60 / bpm seconds over the
// track, a downbeat on every fourth.
function track({ channelCount = 2, rate = 1000, seconds = 4, frames, bpm = 120, sample } = {}) {
  const length = frames ?? Math.round(rate * seconds);
  const value = sample ?? ((f, c) => 0.25 * Math.sin((f * (c + 1)) / 7));
  const channels = [];
  for (let c = 0; c < channelCount; c++) {
    const channel = new Float32Array(length);
    for (let f = 0; f < length; f++) channel[f] = value(f, c);
    channels.push(channel);
  }
  const { beats, downbeats } = regularGrid({ bpm, duration: length / rate });
  return { channels, sampleRate: rate, bpm, beats, downbeats };
}

// The echo job's description of the task it received (see
// test/addon/test_host_module.cpp); non-finite numbers arrive as "NaN",
// "inf" or "-inf".
function echoedTask(result) {
  return JSON.parse(result.summary);
}

const resultKeys = [
  'rendered', 'rejected', 'channels', 'sampleRate', 'duration', 'beats', 'strategy', 'outgoingStart',
  'incomingStart', 'outgoingResume', 'incomingResume', 'outgoingTempoRatio', 'incomingTempoRatio', 'targetBpm',
  'summary',
];

// True when the AddressSanitizer runtime is loaded (scripts/sanitized-js.sh):
// resident-set bounds do not hold there, as freed memory is quarantined.
const sanitized = fs.readFileSync('/proc/self/maps', 'utf8').includes('libasan');

module.exports = { root, testHostPath, loadTestHost, track, echoedTask, resultKeys, sanitized };

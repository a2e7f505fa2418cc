'use strict';

// Audio and beat analyses at the edges of what the arguments allow: each
// call resolves with a well-formed result or an engine rejection, never a
// crash (the sanitized run checks these for memory errors too). Rendered
// audio from finite input is finite and under the peak ceiling.
const test = require('node:test');
const assert = require('node:assert/strict');

const { renderTransition } = require('../..');
const { track, resultKeys } = require('./fixtures');

// -0.5 dBFS, the ceiling the render never exceeds.
const ceiling = Math.fround(10 ** (-0.5 / 20));
const noViable = /^no viable transition found: ./;

const withSample = (source, channel, frame, value) => {
  source.channels[channel][frame] = value;
  return source;
};
const grid = (count, step) => Array.from({ length: count }, (_, i) => i * step);
const tone = (hz) => (f) => 0.3 * Math.sin((2 * Math.PI * hz * f) / 1000);

// [name, () => arguments, finite input, expected `rejected` (RegExp) or
// null when either outcome is fine, expected strategy]
const cases = [
  ['NaN throughout the outgoing track', () => [track({ bpm: 124, sample: () => NaN }), track({ bpm: 126 }), {}], false],
  ['one NaN sample', () => [withSample(track({ bpm: 124 }), 0, 3500, NaN), track({ bpm: 126 }), {}], false],
  ['infinite samples in the incoming track', () => [track({ bpm: 124 }),
    withSample(withSample(track({ bpm: 126 }), 1, 100, Infinity), 0, 200, -Infinity), {}], false],
  ['-Infinity throughout the incoming track', () => [track({ bpm: 124 }), track({ bpm: 126, sample: () => -Infinity }),
    {}], false],
  ['samples at the float limit', () => [track({ bpm: 124, sample: () => 3.4e38 }),
    track({ bpm: 126, sample: (f) => (f % 2 ? 3.4e38 : -3.4e38) }), {}], false],
  ['denormal samples', () => [track({ bpm: 124, sample: () => 1e-45 }), track({ bpm: 126, sample: () => -1e-44 }), {}],
    true],
  ['1000 Hz, the lowest rate', () => [track({ rate: 1000, bpm: 124 }), track({ rate: 1000, bpm: 126 }), {}], true],
  ['384 kHz tracks', () => [track({ rate: 384000, bpm: 120, channelCount: 1 }),
    track({ rate: 384000, bpm: 120, channelCount: 1 }), {}], true],
  ['384 kHz into 1000 Hz', () => [track({ rate: 384000, bpm: 124, channelCount: 1 }),
    track({ rate: 1000, bpm: 126, channelCount: 1 }), {}], true],
  ['one-frame tracks', () => [track({ frames: 1 }), track({ frames: 1 }), {}], true, noViable],
  ['a one-frame incoming track', () => [track(), track({ frames: 1 }), {}], true, noViable],
  ['a one-frame track at the highest rate', () => [{ ...track({ frames: 1 }), sampleRate: 1e12 }, track(), {}], true,
    noViable],
  ['bpm 1e-30', () => [{ ...track(), bpm: 1e-30 }, track(), {}], true, noViable],
  ['bpm 1e30', () => [{ ...track(), bpm: 1e30 }, { ...track(), bpm: 1e30 }, {}], true, noViable],
  ['100,000 beats', () => [{ ...track(), beats: grid(100000, 4e-5), downbeats: grid(25000, 16e-5) },
    { ...track(), beats: grid(100000, 4e-5) }, {}], true],
  // A filtered blend, the strategy whose low-pass the duck curve shapes.
  ['a duck curve of a million values', () => [track({ seconds: 8, channelCount: 1, sample: tone(50) }),
    track({ seconds: 8, channelCount: 1, sample: tone(400) }),
    { duckCurve: Array.from({ length: 1e6 }, (_, i) => (i % 7) / 7) }], true, null, 'filtered blend'],
  ['a duck curve of NaN, infinities and values past 0 and 1', () => [track({ seconds: 6, channelCount: 1, sample: tone(50) }),
    track({ seconds: 6, channelCount: 1, sample: tone(400) }), { duckCurve: [NaN, Infinity, -Infinity, -3, 7, 1e300] }],
  true, null, 'filtered blend'],
  ['beats at 1e300 s', () => [{ ...track(), beats: [0, 0.5, 1, 1e300], downbeats: [0, 1e300] },
    { ...track(), beats: [1e300], downbeats: [1e300] }, {}], true],
  ['windows at ±1e300 s', () => [track(), track(), {
    outgoing: { startEarliest: 0, startLatest: 1e300, endEarliest: 0, endLatest: 1e300 },
    incoming: { startEarliest: -1e300, startLatest: 1e300 },
  }], true],
  ['beat lengths at the integer limit', () => [track(), track(), { beatLengths: [4294967295, 2 ** 31] }], true,
    noViable],
  ['64 channels each', () => [track({ channelCount: 64 }), track({ channelCount: 64 }), {}], true],
];

test('audio at the edges resolves with a result or a clear rejection', async (t) => {
  for (const [name, makeArguments, finiteInput, rejected = null, strategy = null] of cases) {
    await t.test(name, async () => {
      const result = await renderTransition(...makeArguments());
      assert.deepEqual(Object.keys(result), resultKeys);
      if (rejected) {
        assert.equal(result.rendered, false);
        assert.match(result.rejected, rejected);
      }
      if (!result.rendered) {
        assert.notEqual(result.rejected, '');
        assert.deepEqual(result.channels, []);
        return;
      }
      assert.equal(result.rejected, '');
      if (strategy) assert.equal(result.strategy, strategy);
      for (const key of ['duration', 'outgoingStart', 'incomingStart', 'outgoingResume', 'incomingResume']) {
        assert.ok(Number.isFinite(result[key]) && result[key] >= 0, `${key} ${result[key]}`);
      }
      assert.ok(result.duration > 0);
      const frames = Math.round(result.duration * result.sampleRate);
      assert.ok(result.channels.length > 0);
      for (const channel of result.channels) {
        assert.equal(channel.length, frames);
        if (finiteInput) {
          assert.ok(channel.every((x) => Number.isFinite(x) && Math.abs(x) <= ceiling), 'a sample is not finite or above the ceiling');
        }
      }
    });
  }
});

'use strict';

// Calls in flight together must not touch one another: over 20 rounds of 8
// and of 32 overlapping calls, every result is bit for bit the result of the
// same call made alone. The calls differ in rate, channel count, tempo,
// options and outcome (stretched, resampled, rejected), so state shared
// between jobs, or a result settled on the wrong promise, shows.
const test = require('node:test');
const assert = require('node:assert/strict');

const { renderTransition } = require('../..');
const { loadTestHost, track, resultKeys } = require('./fixtures');

const refusing = loadTestHost('refusing');

const saw = (f) => 0.3 * ((f % 50) / 25 - 1);
const tone = (hz) => (f) => 0.3 * Math.sin((2 * Math.PI * hz * f) / 1000);
const calls = [
  ['stretched, mono into stereo', [track({ seconds: 6, bpm: 124 }),
    track({ seconds: 6, bpm: 126, channelCount: 1, sample: (f) => 0.3 * Math.sin(f / 3) }), {}]],
  ['tempos too far apart to match', [track({ seconds: 6, bpm: 100 }), track({ seconds: 6, bpm: 140 }), {}]],
  ['a short fade, mono', [track({ channelCount: 1, bpm: 124 }), track({ channelCount: 1, bpm: 126 }), {}]],
  ['1500 Hz into 1000 Hz', [track({ rate: 1500, seconds: 6, bpm: 120 }), track({ seconds: 6, bpm: 120 }), {}]],
  ['windows and one length', [track({ seconds: 8, bpm: 110 }), track({ seconds: 8, bpm: 112, channelCount: 1 }),
    { outgoing: { startEarliest: 2, startLatest: 5 }, incoming: { startEarliest: 0, startLatest: 1 }, beatLengths: [8] }]],
  ['duck curve and diagnostics', [track({ seconds: 8, bpm: 128, sample: saw }),
    track({ seconds: 8, bpm: 128, sample: (f, c) => 0.2 * Math.sin(f / 2 + c) }),
    { duckCurve: [1, 0.1, 1], diagnostics: true }]],
  ['filtered blend shaped by a duck curve', [track({ seconds: 6, channelCount: 1, sample: tone(50) }),
    track({ seconds: 6, sample: tone(400) }), { duckCurve: [1, 0.8, 0.3, 0.1] }]],
  ['rejected: 2 and 6 channels', [track({ channelCount: 2 }), track({ channelCount: 6 }), {}]],
  ['rejected: no length fits', [track({ bpm: 124 }), track({ bpm: 126 }), { beatLengths: [8] }]],
];

const bytes = (channel) => Buffer.from(channel.buffer, channel.byteOffset, channel.byteLength);

// Every property equal, every sample equal bit for bit.
function assertSameResult(actual, expected, label) {
  assert.deepEqual(Object.keys(actual), resultKeys, label);
  for (const key of resultKeys) {
    if (key !== 'channels') assert.ok(Object.is(actual[key], expected[key]), `${label}: ${key}`);
  }
  assert.equal(actual.channels.length, expected.channels.length, label);
  actual.channels.forEach((channel, c) => assert.ok(bytes(channel).equals(bytes(expected.channels[c])),
    `${label}: channel ${c}`));
}

test('overlapping calls each get the result of the same call made alone', async (t) => {
  const alone = [];
  for (const [, args] of calls) alone.push(await renderTransition(...args));
  assert.ok(alone.filter((result) => result.rendered).length >= 6);
  assert.ok(alone.some((result) => result.outgoingTempoRatio !== 1));
  assert.ok(alone.some((result) => result.channels.length === 1));
  assert.ok(alone.some((result) => result.strategy === 'filtered blend'));

  for (const inFlight of [8, 32]) {
    await t.test(`${inFlight} in flight, 20 rounds`, async () => {
      for (let round = 0; round < 20; round++) {
        // A different mix and order of calls each round.
        const picks = Array.from({ length: inFlight }, (_, i) => (round * 5 + i * (round % 3 + 1)) % calls.length);
        const results = await Promise.all(picks.map((k) => renderTransition(...calls[k][1])));
        results.forEach((result, i) => assertSameResult(result, alone[picks[i]], `round ${round}, ${calls[picks[i]][0]}`));
      }
    });
  }

  // The copying fallback of a host that refuses external buffers: the same
  // bytes in every channel, and the same plan.
  await t.test('a host that refuses external buffers, all calls at once', async () => {
    const copied = await Promise.all(calls.map(([, args]) => refusing.renderTransition(...args)));
    copied.forEach((result, k) => assertSameResult(result, alone[k], `copied: ${calls[k][0]}`));
  });
});

'use strict';

// The built-in example tracks.

const test = require('node:test');
const assert = require('node:assert/strict');
const { generateTrack, parseKey } = require('../../lib/generator');

const RATE = 8000;

test('a track holds whole bars within its length cap, with exact beats and downbeats', () => {
  const track = generateTrack({ bpm: 124, seconds: 30, sampleRate: RATE, seed: 3 });
  const barSeconds = (4 * 60) / 124;
  assert.equal(track.bars, Math.floor(30 / barSeconds));
  assert.equal(track.channels.length, 2);
  assert.equal(track.channels[0].length, Math.round(track.bars * barSeconds * RATE));
  assert.ok(track.channels[0].length / RATE <= 30);
  assert.equal(track.beats.length, track.bars * 4);
  track.beats.forEach((time, k) => assert.equal(time, (k * 60) / 124));
  assert.deepEqual(track.downbeats, track.beats.filter((_, k) => k % 4 === 0));
  // 128 BPM fits 48 bars into exactly 90 s, the longest slice the engine takes.
  const ninety = generateTrack({ bpm: 128, seconds: 90, sampleRate: RATE });
  assert.equal(ninety.channels[0].length, 90 * RATE);
});

test('the same options give the same samples; the seed changes them', () => {
  const options = { bpm: 126, key: 'F# minor', bars: 8, sampleRate: RATE, seed: 7 };
  const a = generateTrack(options);
  const b = generateTrack(options);
  assert.deepEqual(a.channels, b.channels);
  const c = generateTrack({ ...options, seed: 8 });
  assert.notDeepEqual(c.channels[0], a.channels[0]);
  assert.equal(generateTrack({ ...options, channels: 1 }).channels.length, 1);
  let peak = 0;
  for (const channel of a.channels) for (const x of channel) peak = Math.max(peak, Math.abs(x));
  assert.ok(peak > 0.3 && peak < 1, `peak ${peak}`);
});

// Level per quarter beat, in dB: the shape of a track on its beat grid.
function beatEnvelope(track) {
  const out = [];
  const channel = track.channels[0];
  const quarter = 60 / track.bpm / 4;
  for (let k = 0; k < track.beats.length * 4; k += 1) {
    const start = Math.round(k * quarter * track.sampleRate);
    const end = Math.round((k + 1) * quarter * track.sampleRate);
    let sum = 0;
    for (let i = start; i < end; i += 1) sum += channel[i] * channel[i];
    out.push(10 * Math.log10(sum / (end - start) + 1e-12));
  }
  return out;
}

test('a track made at another tempo is the same music stretched in time', () => {
  // Far-apart tempos make any time constant that is not in beats stand out:
  // an envelope decay fixed in seconds moves this measure past 1 dB.
  const slow = generateTrack({ bpm: 100, bars: 40, sampleRate: RATE, seed: 5 });
  const fast = generateTrack({ bpm: 150, bars: 40, sampleRate: RATE, seed: 5 });
  const a = beatEnvelope(slow);
  const b = beatEnvelope(fast);
  assert.equal(a.length, b.length);
  const meanDifference = a.reduce((sum, value, k) => sum + Math.abs(value - b[k]), 0) / a.length;
  assert.ok(meanDifference < 0.6, `envelopes differ by ${meanDifference.toFixed(2)} dB on average`);
  // Pitches stay in hertz: the strongest low partial of a bass bar is the same.
  const bassPeak = (track, bar) => {
    const start = Math.round(bar * 4 * (60 / track.bpm) * RATE);
    const length = Math.round(4 * (60 / track.bpm) * RATE);
    let bestHz = 0;
    let best = -1;
    for (let hz = 30; hz <= 130; hz += 0.5) {
      let re = 0;
      let im = 0;
      for (let i = 0; i < length; i += 1) {
        const x = track.channels[0][start + i];
        re += x * Math.cos((2 * Math.PI * hz * i) / RATE);
        im += x * Math.sin((2 * Math.PI * hz * i) / RATE);
      }
      if (re * re + im * im > best) [best, bestHz] = [re * re + im * im, hz];
    }
    return bestHz;
  };
  assert.ok(Math.abs(bassPeak(slow, 10) - bassPeak(fast, 10)) <= 1, 'the bass plays the same note');
});

test('keys and bad options are read or refused clearly', () => {
  assert.deepEqual(parseKey('Am'), { tonic: 9, mode: 'minor', name: 'A minor' });
  assert.deepEqual(parseKey('eb major'), { tonic: 3, mode: 'major', name: 'Eb major' });
  assert.deepEqual(parseKey('F#'), { tonic: 6, mode: 'major', name: 'F# major' });
  assert.throws(() => parseKey('H minor'), { name: 'UsageError', message: /key "H minor" is not a key/ });
  assert.throws(() => generateTrack({ bpm: 0 }), { message: /bpm 0 is outside 30 to 300/ });
  assert.throws(() => generateTrack({ bpm: 120, seconds: 1, sampleRate: RATE }), { message: /at least one bar/ });
  assert.throws(() => generateTrack({ channels: 3 }), { message: /channels must be 1 or 2/ });
});

'use strict';

// Time texts, beat grids, slicing of long tracks and the mapping of a plan
// back onto the full tracks.

const test = require('node:test');
const assert = require('node:assert/strict');
const { formatFixed, formatSignedFixed, formatClock, parseTime, parseWindow } = require('../../lib/format');
const { regularGrid } = require('../../lib/grid');
const {
  outgoingSliceRange,
  incomingSliceRange,
  sliceTrack,
  engineConstraint,
  sliceDuckCurve,
  sampleCurve,
  mapResultToTracks,
  mapRejectionToTracks,
  overlapFrames,
} = require('../../lib/slice');
const { outgoingRegion, chooseSampleRate } = require('../../lib/mix');

test('fixed notation rounds the exact binary value, ties to even, as the engine prints', () => {
  const cases = [
    [0.125, 2, '0.12'],
    [0.375, 2, '0.38'],
    [-3.125, 2, '-3.12'],
    [2.675, 2, '2.67'], // binary value lies below the tie
    [181.25, 2, '181.25'],
    [12.5, 2, '12.50'],
    [99.995, 2, '100.00'],
    [0.25, 1, '0.2'],
    [1.5873016, 1, '1.6'],
    [NaN, 2, 'NaN'],
    [-Infinity, 1, '-inf'],
  ];
  for (const [value, digits, text] of cases) assert.equal(formatFixed(value, digits), text, `${value}`);
  assert.equal(formatSignedFixed(0, 1), '+0.0');
  assert.equal(formatSignedFixed(-3.1, 1), '-3.1');
  assert.equal(formatClock(75.5), '1:15.50');
  assert.equal(formatClock(3725.25), '1:02:05.25');
});

test('times and windows read seconds or minutes and seconds, and reject anything else', () => {
  assert.equal(parseTime('95.5', 'x'), 95.5);
  assert.equal(parseTime('1:35.5', 'x'), 95.5);
  assert.equal(parseTime('1:02:03', 'x'), 3723);
  assert.deepEqual(parseWindow('2:30..2:45', '--outgoing-start'), [150, 165]);
  for (const bad of ['', '-3', '1:75', 'abc', '1e3', '1.2.3']) {
    assert.throws(() => parseTime(bad, '--outgoing-start'), { name: 'UsageError', message: /--outgoing-start ".*" is not a time/ });
  }
  assert.throws(() => parseWindow('20..10', '--incoming-end'), { message: '--incoming-end "20..10" ends before it begins' });
  assert.throws(() => parseWindow('20', '--incoming-end'), { message: /is not a window/ });
});

test('a regular grid keeps pickup beats before the first downbeat and never drifts', () => {
  const grid = regularGrid({ bpm: 120, firstDownbeat: 1.25, beatsPerBar: 4, duration: 600 });
  assert.deepEqual(grid.beats.slice(0, 4), [0.25, 0.75, 1.25, 1.75]);
  assert.deepEqual(grid.downbeats.slice(0, 3), [1.25, 3.25, 5.25]);
  // Computed from its index, the 300th downbeat sits exactly on its time.
  assert.equal(grid.downbeats[299], 1.25 + 299 * 2);
  assert.ok(grid.beats[grid.beats.length - 1] < 600);
  assert.throws(() => regularGrid({ bpm: 0, duration: 10 }), { message: /bpm must be a positive number/ });
  assert.throws(() => regularGrid({ bpm: 120, beatsPerBar: 0, duration: 10 }), { message: /beats per bar/ });
});

test('long tracks are sliced to 90 s around where a transition can lie', () => {
  const rate = 1000;
  const frames = 300 * rate; // a five-minute track
  // Unconstrained: the last 90 s going out, the first 90 s coming in.
  assert.deepEqual(outgoingSliceRange(frames, rate), { startFrame: 210000, endFrame: 300000 });
  assert.deepEqual(incomingSliceRange(frames, rate), { startFrame: 0, endFrame: 90000 });
  // A start window early in the track pulls the outgoing slice forward, far
  // enough to hold the longest overlap after the window's end.
  const early = outgoingSliceRange(frames, rate, { start: [100, 110] });
  assert.ok(early.startFrame <= 100000 && early.endFrame >= 110000 + 18500, JSON.stringify(early));
  assert.equal(early.endFrame - early.startFrame, 90000);
  // An incoming window late in the track moves the slice to just before it.
  const late = incomingSliceRange(frames, rate, { start: [200, 210] });
  assert.ok(late.startFrame <= 200000 && late.startFrame > 190000, JSON.stringify(late));
  assert.equal(late.endFrame - late.startFrame, 90000);
  // Short tracks are handed over whole.
  assert.deepEqual(outgoingSliceRange(60000, rate, { start: [1, 2] }), { startFrame: 0, endFrame: 60000 });
});

test('a slice shifts beats, downbeats and windows onto its own timeline', () => {
  const rate = 1000;
  const channel = Float32Array.from({ length: 120000 }, (_, i) => i);
  const track = {
    channels: [channel],
    sampleRate: rate,
    bpm: 120,
    beats: [0, 29.5, 30, 30.5, 119.5],
    downbeats: [0, 30, 118],
  };
  const slice = sliceTrack(track, { startFrame: 30000, endFrame: 120000 });
  assert.equal(slice.offset, 30);
  assert.deepEqual(slice.source.beats, [0, 0.5, 89.5]);
  assert.deepEqual(slice.source.downbeats, [0, 88]);
  assert.equal(slice.source.channels[0].length, 90000);
  assert.equal(slice.source.channels[0][0], 30000);
  assert.deepEqual(engineConstraint({ start: [100, 110], end: [115, 118] }, 30), {
    startEarliest: 70,
    startLatest: 80,
    endEarliest: 85,
    endLatest: 88,
  });
  assert.deepEqual(engineConstraint({}, 30), {});
});

test('a duck curve for the whole track is cut to the slice without moving its shape', () => {
  // A ramp over a 300 s track, one value per second.
  const full = Array.from({ length: 301 }, (_, i) => i / 300);
  const sliced = sliceDuckCurve(full, 300, 210, 300);
  assert.ok(Math.abs(sliced.length - 91) <= 1, `${sliced.length} values`);
  for (const t of [210, 240, 255.5, 300]) {
    const expected = sampleCurve(full, t / 300);
    const actual = sampleCurve(sliced, (t - 210) / 90);
    assert.ok(Math.abs(actual - expected) < 1e-9, `at ${t}s: ${actual} instead of ${expected}`);
  }
  assert.equal(sliceDuckCurve(full, 300, 0, 300), full, 'an unsliced track keeps its curve');
  assert.deepEqual(sliceDuckCurve([0.3], 300, 210, 300), [0.3]);
});

test('the mix rejoins a track at the frame where the engine stopped cutting it', () => {
  // 124 BPM at 8000 Hz, entered at beat 20 with a 16-beat overlap: start and
  // length round down separately (77419.35 and 61935.48 frames), so the cut
  // ends at 139354, while the resume time alone would round to 139355.
  const beat = 60 / 124;
  const start = 20 * beat;
  const consumed = 16 * beat;
  assert.deepEqual(overlapFrames(start, start + consumed, 8000), { startFrame: 77419, endFrame: 139354 });
  assert.equal(Math.round((start + consumed) * 8000), 139355);
  // A start at or before 0 cuts from the first frame.
  assert.deepEqual(overlapFrames(0, 2.5, 8000), { startFrame: 0, endFrame: 20000 });
  assert.deepEqual(overlapFrames(-0.001, 2.5, 8000), { startFrame: 0, endFrame: 20008 });
});

test('the plan is moved from slice times to full-track times, summary included', () => {
  const summary =
    'Selected 16-beat transition\n\nOutgoing start: 42.50s\nIncoming start: 3.00s\nDuration: 7.50s\n' +
    'Tempo: 126.0 -> 128.0 BPM (+1.6%)\nStrategy: bass swap\n';
  const result = {
    rendered: true,
    rejected: '',
    outgoingStart: 42.5,
    incomingStart: 3,
    outgoingResume: 50.12,
    incomingResume: 10.5,
    duration: 7.5,
    summary,
  };
  const mapped = mapResultToTracks(result, 137.625, 0);
  assert.equal(mapped.outgoingStart, 180.125);
  assert.equal(mapped.outgoingResume, 50.12 + 137.625);
  assert.equal(mapped.incomingStart, 3);
  assert.equal(mapped.incomingResume, 10.5);
  // 180.125 is an exact tie: the engine's rounding gives 180.12.
  assert.equal(mapped.summary, summary.replace('Outgoing start: 42.50s', 'Outgoing start: 180.12s'));
  assert.equal(result.outgoingStart, 42.5, 'the engine result itself is left alone');
  const rejected = { rendered: false, rejected: 'no transition fits', outgoingStart: 0, summary: '' };
  assert.deepEqual(mapResultToTracks(rejected, 30, 0), rejected);

  const text =
    'no viable transition found: no transition fits: 12 combinations were rejected for a 90.0s outgoing track ' +
    'and a 40.0s incoming track, with outgoing start in 40.00..=50.00s, incoming end in 2.50..=8.00s';
  const outgoing = { offset: 137.625, duration: 90, whole: false };
  const incoming = { offset: 0, duration: 40, whole: true };
  assert.equal(
    mapRejectionToTracks(text, outgoing, incoming),
    text.replace('40.00..=50.00s', '177.62..=187.62s') +
      ' (the engine saw 137.62s to 227.62s of the outgoing track and 0.00s to 40.00s of the incoming track)',
  );
  assert.equal(mapRejectionToTracks(text, { offset: 0, whole: true }, incoming), text, 'unsliced tracks keep the text');
  // The caller's own window is quoted as given: 177.63 s reaches the engine
  // as 40.005 s, which its text rounds to 40.00 (or 40.01), 0.005 s off.
  const withRegion = { ...outgoing, region: { start: [177.63, 187.63] } };
  assert.equal(
    mapRejectionToTracks(text, withRegion, incoming),
    text.replace('40.00..=50.00s', '177.63..=187.63s') +
      ' (the engine saw 137.62s to 227.62s of the outgoing track and 0.00s to 40.00s of the incoming track)',
  );
});

test('a track must not be left before the previous transition has brought it in', () => {
  // Entered at 100 s of a 120 s track: the default search (last 45 s) would
  // reach back before it, so the start is held from 100 s on.
  assert.deepEqual(outgoingRegion({}, 100, 120, 1), { start: [100, 120] });
  // Entered early enough: the engine's own search is left alone.
  assert.deepEqual(outgoingRegion({}, 20, 300, 1), {});
  // A window of the user's is narrowed, not replaced.
  assert.deepEqual(outgoingRegion({ start: [90, 110] }, 100, 120, 1), { start: [100, 110] });
  assert.throws(() => outgoingRegion({ start: [60, 80] }, 100, 120, 1), {
    name: 'RejectionError',
    message: /transition 2: its outgoing start window ends at 80s, before the track is heard from 100.00s/,
  });
  assert.equal(chooseSampleRate([44100, 48000]), 48000);
  assert.equal(chooseSampleRate([44100, 48000, 44100]), 44100);
});

'use strict';

// The `segue render` command end to end: its errors, a rendered transition
// stitched into a mix, and a long track sliced for the engine.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { readWav, writeWav } = require('../../lib/wav');
const { engineMissing, tempDir, runCli, writeTrack } = require('./tools-helpers');

function assertOneLineError(run, status, pattern) {
  assert.equal(run.status, status, `exit code, stderr: ${run.stderr}`);
  assert.equal(run.stdout, '');
  const lines = run.stderr.split('\n').filter(Boolean);
  assert.equal(lines.length, 1, `one line expected:\n${run.stderr}`);
  assert.match(lines[0], /^segue: /);
  assert.match(lines[0], pattern);
}

test('bad input ends with a one-line message and exit code 2, writing nothing', (t) => {
  const dir = tempDir(t);
  const { wav: a } = writeTrack(dir, 'a', { bpm: 124, bars: 8 });
  const { wav: b } = writeTrack(dir, 'b', { bpm: 128, bars: 8 });
  const file = (name, text) => {
    const target = path.join(dir, name);
    fs.writeFileSync(target, text);
    return target;
  };
  const notWav = file('text.wav', 'just some text');
  file('text.json', '{"bpm": 120, "beats": [], "downbeats": []}');
  const brokenGrid = file('broken.json', '{"bpm": 120, "beats": [0, 0.5,');
  const backwards = file('backwards.json', '{"bpm": 120, "beats": [0, 1, 0.5], "downbeats": [0]}');
  const noBpm = file('nobpm.json', '{"beats": [0], "downbeats": [0]}');
  const noGrid = path.join(dir, 'lonely.wav');
  fs.copyFileSync(a, noGrid);
  const duck = file('duck.txt', '0 0.5 loud 1');
  const out = path.join(dir, 'mix.wav');
  const cases = [
    [['render', path.join(dir, 'gone.wav'), b, '-o', out], /cannot read .*gone\.wav: no such file/],
    [['render', notWav, b, '-o', out], /text\.wav is not a WAV file/],
    [['render', a, b, '-o', out, '--outgoing-grid', brokenGrid], /beat file .*broken\.json is not valid JSON/],
    [['render', a, b, '-o', out, '--incoming-grid', backwards], /beats must be increasing, but beats\[2\] = 0\.5 follows 1/],
    [['render', a, b, '-o', out, '--outgoing-grid', noBpm], /"bpm" is missing/],
    [['render', noGrid, b, '-o', out], /no beat information for .*lonely\.wav: .*lonely\.json does not exist/],
    [['render', a, b, '-o', out, '--frobnicate'], /unknown option --frobnicate/],
    [['render', a, b, '-o', out, '--outgoing-start', '40..20'], /--outgoing-start "40\.\.20" ends before it begins/],
    [['render', a, b, '-o', out, '--beat-lengths', '8,x'], /--beat-lengths entry "x" is not a number/],
    [['render', a, b, '-o', out, '--duck-curve', duck], /value 3 \("loud"\) is not a number/],
    [['render', a, b, '-o', out, '--outgoing-grid', brokenGrid, '--outgoing-bpm', '120'], /either --outgoing-grid or --outgoing-bpm/],
    [['render', a, b, '-o', out, '--format', '12'], /--format "12" is not one of 16, 24, 32f/],
    [['render', a, b], /nothing to write/],
    [['render', a, b, '-o', path.join(dir, 'no', 'such', 'mix.wav')], /folder .* does not exist/],
    [['mix', path.join(dir, 'missing.json'), '-o', out], /cannot read playlist .*missing\.json: no such file/],
    [['mix', file('one.json', JSON.stringify([a])), '-o', out], /needs at least two tracks, it has 1/],
    [['mix', file('typo.json', JSON.stringify({ tracks: [a, b], transitons: [] })), '-o', out], /unknown field "transitons"/],
    [['render', a, b, '-o', a], /--output .*a\.wav is also an input/],
    [['render', a, b, '-o', out, '--report', out], /--output and --report name the same file/],
    [['remix'], /unknown command "remix"/],
  ];
  for (const [args, pattern] of cases) {
    const run = runCli(args);
    assertOneLineError(run, 2, pattern);
    assert.doesNotMatch(run.stderr, /\n\s+at /, 'no stack trace');
  }
  assert.equal(fs.existsSync(out), false);
  assert.equal(readWav(a).channels[0].length, Math.round(8 * 4 * (60 / 124) * 8000), 'the input survived');
});

test('--help describes every option of the engine', () => {
  const run = runCli(['render', '--help']);
  assert.equal(run.status, 0);
  for (const flag of ['--outgoing-start', '--outgoing-end', '--incoming-start', '--incoming-end', '--beat-lengths', '--duck-curve', '--diagnostics', '--report', '--bpm', '--first-downbeat', '--beats-per-bar']) {
    assert.ok(run.stdout.includes(flag), flag);
  }
});

function readPlan(file) {
  return JSON.parse(fs.readFileSync(file, 'utf8'));
}

function assertSamplesEqual(actual, expected, what) {
  assert.equal(actual.length, expected.length, `${what}: length`);
  for (let i = 0; i < actual.length; i += 1) {
    if (actual[i] !== expected[i]) assert.fail(`${what}: frame ${i} is ${actual[i]}, expected ${expected[i]}`);
  }
}

test('a rendered transition is stitched between the two tracks without a frame lost', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  const a = writeTrack(dir, 'a', { bpm: 124, seconds: 40, seed: 1 });
  const b = writeTrack(dir, 'b', { bpm: 128, seconds: 40, seed: 2, key: 'C major', channels: 1 });
  const files = { mix: path.join(dir, 'mix.wav'), overlap: path.join(dir, 'overlap.wav'), plan: path.join(dir, 'plan.json') };
  const run = runCli(['render', a.wav, b.wav, '-o', files.mix, '--overlap', files.overlap, '--plan', files.plan, '--format', '32f', '--diagnostics']);
  assert.equal(run.status, 0, run.stderr);
  assert.match(run.stdout, /^Selected \d+-beat transition$/m);
  assert.match(run.stdout, /^total: +\d\.\d\d$/m, 'diagnostics add the scores');
  assert.match(run.stdout, /^ {2}outgoing +a\.wav +\d/m);
  assert.match(run.stdout, /^ {2}incoming +b\.wav +\d/m);

  const [plan] = readPlan(files.plan).transitions;
  const rate = 8000;
  const head = Math.round(plan.outgoingStart * rate);
  // The engine rounds the incoming start and the length it consumed separately.
  const resume = Math.round(plan.incomingStart * rate) + Math.round((plan.incomingResume - plan.incomingStart) * rate);
  const mix = readWav(files.mix);
  const overlap = readWav(files.overlap);
  assert.equal(mix.channels.length, 2, 'a mono incoming track joins a stereo mix');
  assert.equal(overlap.channels[0].length, Math.round(plan.duration * rate));
  assert.equal(mix.channels[0].length, head + overlap.channels[0].length + (b.track.channels[0].length - resume));
  for (let c = 0; c < 2; c += 1) {
    assertSamplesEqual(mix.channels[c].subarray(0, head), a.track.channels[c].subarray(0, head), `outgoing head, channel ${c}`);
    assertSamplesEqual(mix.channels[c].subarray(head, head + overlap.channels[c].length), overlap.channels[c], `overlap, channel ${c}`);
    assertSamplesEqual(mix.channels[c].subarray(head + overlap.channels[c].length), b.track.channels[0].subarray(resume), `incoming tail, channel ${c}`);
  }
});

test('the engine turning a transition down is reported with its reason and exit code 1', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  const a = writeTrack(dir, 'a', { bpm: 124, seconds: 30 });
  const b = writeTrack(dir, 'b', { bpm: 128, seconds: 30 });
  const out = path.join(dir, 'mix.wav');
  const run = runCli(['render', a.wav, b.wav, '-o', out, '--beat-lengths', '7']);
  assertOneLineError(run, 1, /transition 1 \(a\.wav -> b\.wav\): .*no transition fits: .* with beat lengths \[7\]$/);
  assert.equal(fs.existsSync(out), false);
});

test('a track longer than 90 s is sliced and the plan is given on its full timeline', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  const rate = 8000;
  // 120 s going out: the engine sees its last 90 s, which start 30 s in, a
  // point that is not on a bar line of this track.
  const long = writeTrack(dir, 'long', { bpm: 124, seconds: 120, seed: 4 });
  const incoming = writeTrack(dir, 'in', { bpm: 124, seconds: 40, seed: 5, key: 'C major' });
  const offset = 30;
  const cutFrames = offset * rate;
  const cut = path.join(dir, 'cut.wav');
  writeWav(cut, long.track.channels.map((channel) => channel.subarray(cutFrames)), rate, '32f');
  const shift = (times) => times.filter((time) => time >= offset).map((time) => time - offset);
  fs.writeFileSync(path.join(dir, 'cut.json'), JSON.stringify({ bpm: 124, beats: shift(long.track.beats), downbeats: shift(long.track.downbeats) }));

  const longPlanFile = path.join(dir, 'long-plan.json');
  const cutPlanFile = path.join(dir, 'cut-plan.json');
  const mixFile = path.join(dir, 'mix.wav');
  const runLong = runCli(['render', long.wav, incoming.wav, '-o', mixFile, '--plan', longPlanFile, '--format', '32f']);
  assert.equal(runLong.status, 0, runLong.stderr);
  const runCut = runCli(['render', cut, incoming.wav, '--plan', cutPlanFile]);
  assert.equal(runCut.status, 0, runCut.stderr);
  const [full] = readPlan(longPlanFile).transitions;
  const [sliced] = readPlan(cutPlanFile).transitions;

  assert.ok(Math.abs(full.outgoingStart - (sliced.outgoingStart + offset)) < 1e-9, `${full.outgoingStart} vs ${sliced.outgoingStart} + ${offset}`);
  assert.ok(Math.abs(full.outgoingResume - (sliced.outgoingResume + offset)) < 1e-9);
  for (const field of ['incomingStart', 'incomingResume', 'duration', 'beats', 'strategy', 'targetBpm']) {
    assert.equal(full[field], sliced[field], field);
  }
  assert.ok(long.track.downbeats.some((time) => Math.abs(time - full.outgoingStart) < 1e-6), 'starts on a downbeat of the full track');
  assert.ok(full.summary.includes(`Outgoing start: ${full.outgoingStart.toFixed(2)}s`), full.summary);
  assert.ok(runLong.stdout.includes(`Outgoing start: ${full.outgoingStart.toFixed(2)}s`));

  // The mix plays the full track, including the 30 s the engine never saw.
  const mix = readWav(mixFile);
  const head = Math.round(full.outgoingStart * rate);
  assertSamplesEqual(mix.channels[0].subarray(0, head), long.track.channels[0].subarray(0, head), 'outgoing head');
});

test('a duck curve drawn over a whole long track shapes the filtered blend where it was drawn', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  // The outgoing track's breakdown (chords, no drums) into the incoming
  // intro (drums only) calls for a filtered blend, whose outgoing low-pass
  // the curve warps: 1 leaves the sweep as planned, 0 holds the filter open.
  const outgoing = writeTrack(dir, 'long', { bpm: 126, seconds: 200, seed: 1 });
  const incoming = writeTrack(dir, 'intro', { bpm: 124, seconds: 60, seed: 8 });
  const duration = outgoing.track.channels[0].length / 8000;
  const curve = (inside, outside) =>
    Array.from({ length: 199 }, (_, i) => {
      const time = (i * duration) / 198;
      return time >= 135 && time <= 155 ? inside : outside;
    });
  const render = (name, values) => {
    const args = ['render', outgoing.wav, incoming.wav, '--outgoing-start', '137..145', '--format', '32f'];
    args.push('--overlap', path.join(dir, `${name}.wav`), '--plan', path.join(dir, `${name}.json`));
    if (values) {
      fs.writeFileSync(path.join(dir, `${name}-curve.json`), JSON.stringify(values));
      args.push('--duck-curve', path.join(dir, `${name}-curve.json`));
    }
    const run = runCli(args);
    assert.equal(run.status, 0, run.stderr);
    return { plan: readPlan(path.join(dir, `${name}.json`)).transitions[0], audio: readWav(path.join(dir, `${name}.wav`)).channels[0] };
  };
  const plain = render('plain');
  assert.equal(plain.plan.strategy, 'filtered blend');
  assert.ok(plain.plan.outgoingStart >= 137 && plain.plan.outgoingResume <= 155, 'the overlap lies inside the drawn stretch');
  // The engine sees a 90 s slice; had the curve been handed over unsliced,
  // its ones would have landed long after this overlap, under the zeros.
  assertSamplesEqual(render('drawn', curve(1, 0)).audio, plain.audio, 'ones over the overlap');
  const held = render('held', curve(0, 1)).audio;
  assert.ok(held.some((value, i) => Math.abs(value - plain.audio[i]) > 1e-3), 'zeros over the overlap hold the low-pass open');
});

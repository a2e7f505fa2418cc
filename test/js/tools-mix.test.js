'use strict';

// `segue mix`: a playlist of three tracks becomes one continuous WAV file.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { readWav } = require('../../lib/wav');
const { engineMissing, tempDir, runCli, writeTrack } = require('./tools-helpers');

test('a three-track mix has the planned length, two transitions and a report of both', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  const rate = 8000;
  const a = writeTrack(dir, 'a', { bpm: 124, seconds: 40, seed: 1 });
  // The middle track is mono and longer than the engine's 90 s, so it is
  // sliced both as the incoming and as the outgoing track.
  const b = writeTrack(dir, 'b', { bpm: 126, seconds: 100, seed: 2, key: 'C major', channels: 1 });
  const c = writeTrack(dir, 'c', { bpm: 128, seconds: 40, seed: 3, key: 'G major' });
  const playlist = path.join(dir, 'set.json');
  fs.writeFileSync(
    playlist,
    JSON.stringify({
      tracks: ['a.wav', { file: 'b.wav', bpm: 126 }, { file: 'c.wav', grid: 'c.json' }],
      transitions: [{}, { beatLengths: [16] }],
    }),
  );
  const files = { mix: path.join(dir, 'set.wav'), report: path.join(dir, 'set.html'), plan: path.join(dir, 'plan.json') };
  const run = runCli(['mix', playlist, '-o', files.mix, '--report', files.report, '--plan', files.plan, '--format', '32f']);
  assert.equal(run.status, 0, run.stderr);
  // Not a terminal: plain progress lines instead of a redrawn bar.
  assert.match(run.stderr, /^\[1\/2\] rendering transition 1 \(a\.wav -> b\.wav\)$/m);
  assert.match(run.stderr, /^\[2\/2\] rendering transition 2 \(b\.wav -> c\.wav\)$/m);
  assert.match(run.stdout, /^Transition 2: b\.wav -> c\.wav$/m);

  const plan = JSON.parse(fs.readFileSync(files.plan, 'utf8'));
  assert.equal(plan.transitions.length, 2);
  const [first, second] = plan.transitions;
  assert.equal(second.beats, 16, 'the second transition keeps to its beat lengths');
  assert.ok(second.outgoingStart >= first.incomingResume, 'the middle track is not left before it was brought in');
  const frames = (seconds) => Math.round(seconds * rate);
  const overlap = (transition) => frames(transition.duration);
  // The engine rounds the incoming start and the length it consumed separately.
  const resumed = (transition) =>
    frames(transition.incomingStart) + frames(transition.incomingResume - transition.incomingStart);
  const middle = frames(second.outgoingStart) - resumed(first);
  const expected =
    frames(first.outgoingStart) + overlap(first) + middle + overlap(second) + (c.track.channels[0].length - resumed(second));

  const mix = readWav(files.mix);
  assert.equal(mix.channels.length, 2);
  assert.equal(mix.channels[0].length, expected);
  assert.equal(plan.mix.frames, expected);
  // Between the two overlaps the mix is the middle track itself, on both channels.
  const from = frames(first.outgoingStart) + overlap(first);
  for (const channel of mix.channels) {
    const played = channel.subarray(from, from + middle);
    const source = b.track.channels[0].subarray(resumed(first), frames(second.outgoingStart));
    assert.deepEqual(played, source);
  }

  const html = fs.readFileSync(files.report, 'utf8');
  assert.equal((html.match(/<section class="transition"/g) || []).length, 2);
  assert.equal((html.match(/src="data:audio\/wav;base64,/g) || []).length, 2);
});

test('a bad tempo anywhere in a playlist stops the mix before the first transition is rendered', { skip: engineMissing }, (t) => {
  const dir = tempDir(t);
  for (const [name, seed] of [['a', 1], ['b', 2], ['c', 3]]) writeTrack(dir, name, { bpm: 124, seconds: 20, seed });
  const playlist = path.join(dir, 'set.json');
  fs.writeFileSync(playlist, JSON.stringify({ tracks: ['a.wav', 'b.wav', { file: 'c.wav', bpm: 0 }] }));
  const mix = path.join(dir, 'set.wav');
  const run = runCli(['mix', playlist, '-o', mix]);
  assert.equal(run.status, 2, run.stderr);
  assert.equal(run.stderr.trim(), 'segue: beat grid of c.wav: bpm must be a positive number, got 0');
  assert.doesNotMatch(run.stderr, /rendering transition/);
  assert.equal(fs.existsSync(mix), false);
});

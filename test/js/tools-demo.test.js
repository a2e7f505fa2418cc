'use strict';

// `segue demo` (what `npm run demo` runs after the set-up).

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { readWav } = require('../../lib/wav');
const { engineMissing, tempDir, runCli, withPage } = require('./tools-helpers');

test('the demo writes the overlap, the stitched mix and a report that renders', { skip: engineMissing }, async (t) => {
  const dir = tempDir(t);
  const run = runCli(['demo', '--out', dir]);
  assert.equal(run.status, 0, run.stderr);
  const files = ['demo-overlap.wav', 'demo-mix.wav', 'demo.html'].map((name) => path.join(dir, name));
  assert.ok(run.stdout.trimEnd().endsWith(`Wrote:\n  ${files.join('\n  ')}`), run.stdout);
  assert.match(run.stdout, /^Strategy: /m);
  assert.match(run.stdout, /^ {2}overlap +\d+ beats/m);

  const duration = Number(/^Duration: ([\d.]+)s$/m.exec(run.stdout)[1]);
  const overlap = readWav(files[0]);
  assert.equal(overlap.sampleRate, 48000);
  assert.equal(overlap.channels.length, 2);
  assert.ok(Math.abs(overlap.channels[0].length / 48000 - duration) <= 0.005);
  const mix = readWav(files[1]);
  // About 90 s of each track, less what the two share.
  const seconds = mix.channels[0].length / 48000;
  assert.ok(seconds > 90 && seconds < 180 - duration, `mix of ${seconds}s`);

  await withPage(t, files[2], async (page, errors) => {
    await page.waitForFunction(() => document.body.dataset.ready === 'true', null, { timeout: 10000 });
    const loaded = await page.evaluate(async () => {
      const audio = document.querySelector('audio.player');
      if (audio.readyState < 1) await new Promise((resolve) => audio.addEventListener('loadedmetadata', resolve, { once: true }));
      await document.querySelector('figure.spectrogram img').decode();
      return { audio: audio.duration, strategy: document.querySelector('table.plan td').textContent };
    });
    assert.ok(loaded.audio > duration, `player holds ${loaded.audio}s`);
    assert.match(run.stdout, new RegExp(`^Strategy: ${loaded.strategy}$`, 'm'));
    await page.screenshot({ path: path.join(dir, 'demo.png'), fullPage: true });
    assert.deepEqual(errors, []);
  });
  assert.ok(fs.statSync(path.join(dir, 'demo.png')).size > 10000);
});

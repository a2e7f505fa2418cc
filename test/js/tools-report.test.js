'use strict';

// The spectrogram and the HTML report, the latter in a real browser.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { PNG } = require('pngjs');
const { computeSpectrogram, rowFrequency } = require('../../lib/spectrogram');
const { buildReport } = require('../../lib/report');
const { generateTrack } = require('../../lib/generator');
const { tempDir, withPage } = require('./tools-helpers');

test('the spectrogram puts a tone on its frequency row at its level, and only where it sounds', () => {
  const rate = 8000;
  const frames = 2 * rate;
  // 200 Hz at half scale (-6 dBFS) in the first second, 1 kHz at full scale in the second.
  const tone = Float32Array.from({ length: frames }, (_, i) =>
    i < rate ? 0.5 * Math.sin((2 * Math.PI * 200 * i) / rate) : Math.sin((2 * Math.PI * 1000 * i) / rate),
  );
  const height = 200;
  const width = 40;
  const { levels, minHz, maxHz } = computeSpectrogram([tone, tone], rate, { width, height, fftSize: 1024 });
  const loudestRow = (x) => {
    let best = 0;
    for (let y = 1; y < height; y += 1) if (levels[y * width + x] > levels[best * width + x]) best = y;
    return best;
  };
  for (const [x, hz, db] of [[5, 200, -6], [34, 1000, 0]]) {
    const y = loudestRow(x);
    const found = rowFrequency(y, height, minHz, maxHz);
    assert.ok(Math.abs(found / hz - 1) < 0.03, `column ${x}: loudest at ${found.toFixed(1)} Hz`);
    // Within the Hann window's scalloping (1.4 dB) for a tone between bins.
    assert.ok(Math.abs(levels[y * width + x] - db) < 1.5, `column ${x}: ${levels[y * width + x].toFixed(2)} dBFS`);
  }
  // Where a tone has stopped, its row is far below it.
  const row200 = loudestRow(5);
  assert.ok(levels[row200 * width + 34] < -40, `200 Hz after it stopped: ${levels[row200 * width + 34]}`);
});

function sampleMix() {
  const rate = 8000;
  const a = generateTrack({ bpm: 124, bars: 8, sampleRate: rate, seed: 1 });
  const b = generateTrack({ bpm: 128, bars: 8, sampleRate: rate, seed: 2, key: 'C major' });
  // A stretch of "mix": 4 s of a, then 4 s of b, standing in for the audio
  // around an overlap from 2 s to 6 s.
  const excerpt = [0, 1].map((c) => {
    const out = new Float32Array(8 * rate);
    out.set(a.channels[c].subarray(0, 4 * rate));
    out.set(b.channels[c].subarray(0, 4 * rate), 4 * rate);
    return out;
  });
  const result = {
    rendered: true,
    rejected: '',
    channels: [],
    sampleRate: rate,
    duration: 3.75,
    beats: 8,
    strategy: 'bass swap',
    outgoingStart: 11.612903225806452,
    incomingStart: 0,
    outgoingResume: 15.483870967741936,
    incomingResume: 3.75,
    outgoingTempoRatio: 1.0322580337524414,
    incomingTempoRatio: 1,
    targetBpm: 128,
    summary:
      'Selected 8-beat transition\n\nOutgoing start: 11.61s\nIncoming start: 0.00s\nDuration: 3.75s\n' +
      'Tempo: 124.0 -> 128.0 BPM (+3.2%)\nStrategy: bass swap\n',
  };
  return {
    sampleRate: rate,
    channels: 2,
    frames: 24 * rate,
    duration: 24,
    tracks: [
      { name: 'first <track>.wav', duration: 15.48, mixStart: 0 },
      { name: 'second.wav', duration: 15, mixStart: 11.61 },
    ],
    transitions: [
      {
        index: 0,
        outgoing: 'first <track>.wav',
        incoming: 'second.wav',
        result,
        outgoingDuration: a.channels[0].length / rate,
        incomingDuration: b.channels[0].length / rate,
        outgoingDownbeats: a.downbeats,
        incomingDownbeats: b.downbeats,
        mixOverlapStart: 11.61,
        mixOverlapEnd: 15.36,
        excerpt: { channels: excerpt, sampleRate: rate, mixStart: 9.61, overlapStart: 11.61, overlapEnd: 15.36 },
      },
    ],
  };
}

test('the report renders its plan, timeline, spectrogram and player in Chromium without script errors', async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'report.html');
  const mix = sampleMix();
  fs.writeFileSync(file, buildReport(mix, { title: 'Report test' }));
  await withPage(t, file, async (page, errors) => {
    await page.waitForFunction(() => document.body.dataset.ready === 'true', null, { timeout: 10000 });
    const facts = await page.evaluate(async () => {
      const audio = document.querySelector('audio.player');
      if (audio.readyState < 1) await new Promise((resolve) => audio.addEventListener('loadedmetadata', resolve, { once: true }));
      const image = document.querySelector('figure.spectrogram img');
      await image.decode();
      const rows = Object.fromEntries(
        [...document.querySelectorAll('table.plan tr')].map((row) => [row.querySelector('th').textContent, row.querySelector('td').textContent]),
      );
      return {
        rows,
        heading: document.querySelector('section.transition h2').textContent,
        overlaps: document.querySelectorAll('svg.timeline rect.overlap').length,
        downbeatTicks: [...document.querySelectorAll('svg.timeline path.downbeats')].map((p) => (p.getAttribute('d').match(/M/g) || []).length),
        imageSize: [image.naturalWidth, image.naturalHeight],
        audioSeconds: audio.duration,
        summary: document.querySelector('pre.summary').textContent,
        bassSwapMark: document.querySelectorAll('.strategy-mark').length,
      };
    });
    assert.deepEqual(errors, []);
    assert.equal(facts.heading, 'first <track>.wav → second.wav', 'names are shown as text, not markup');
    assert.equal(facts.rows.Strategy, 'bass swap');
    assert.equal(facts.rows.Length, '8 beats, 3.75 s');
    assert.equal(facts.rows.Tempo, '124.0 → 128.0 BPM (+3.2 %)');
    assert.match(facts.rows['Outgoing start'], /^11\.61 s \(0:11\.61\)$/);
    assert.match(facts.rows['Incoming resume'], /^3\.75 s/);
    assert.equal(facts.summary, mix.transitions[0].result.summary);
    assert.equal(facts.overlaps, 2);
    assert.deepEqual(facts.downbeatTicks, [8, 8]);
    assert.deepEqual(facts.imageSize, [960, 320]);
    assert.equal(facts.bassSwapMark, 1);
    assert.ok(Math.abs(facts.audioSeconds - 8) < 0.01, `player holds ${facts.audioSeconds}s`);

    // Clicking three quarters of the way across the spectrogram seeks there.
    const layers = page.locator('figure.spectrogram .layers');
    const box = await layers.boundingBox();
    await layers.click({ position: { x: box.width * 0.75, y: box.height / 2 } });
    const position = await page.evaluate(() => document.querySelector('audio.player').currentTime);
    assert.ok(Math.abs(position - 6) < 0.1, `seeked to ${position}s`);

    const shot = path.join(dir, 'report.png');
    await page.screenshot({ path: shot, fullPage: true });
    const png = PNG.sync.read(fs.readFileSync(shot));
    assert.ok(png.width >= 960 && png.height > 800, `screenshot ${png.width}x${png.height}`);
    assert.deepEqual(errors, []);
  });
});

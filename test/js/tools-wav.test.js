'use strict';

// WAV files in and out, and the audio helpers used at the seams of a mix.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { WaveFile } = require('wavefile');
const { readWav, decodeWav, encodeWav, writeWav, WavWriter, probeWav } = require('../../lib/wav');
const { mapChannels, resampleRange } = require('../../lib/audio');
const { tempDir } = require('./tools-helpers');

function ramp(frames, channel) {
  // Covers the full scale, with values past it at both ends.
  return Float32Array.from({ length: frames }, (_, i) => Math.fround(-1.2 + (2.4 * i) / (frames - 1) + channel * 0.001));
}

test('16-bit, 24-bit and float files round-trip, clamping what lies beyond full scale', () => {
  for (const [format, step] of [['16', 1 / 32768], ['24', 1 / 8388608], ['32f', 0]]) {
    for (const channelCount of [1, 2, 6]) {
      const channels = Array.from({ length: channelCount }, (_, c) => ramp(501, c));
      channels[0][7] = NaN;
      const back = decodeWav(encodeWav(channels, 22050, format), 'x.wav');
      assert.equal(back.sampleRate, 22050);
      assert.equal(back.channels.length, channelCount);
      for (let c = 0; c < channelCount; c += 1) {
        assert.equal(back.channels[c].length, 501);
        for (let i = 0; i < 501; i += 1) {
          const x = channels[c][i];
          if (Number.isNaN(x)) {
            if (format !== '32f') assert.equal(back.channels[c][i], 0, 'NaN becomes silence');
            continue;
          }
          const expected = format === '32f' ? x : Math.min(1 - step, Math.max(-1, x));
          assert.ok(Math.abs(back.channels[c][i] - expected) <= step / 2 + 1e-9, `${format} ${channelCount}ch [${c}][${i}]: ${back.channels[c][i]} vs ${x}`);
        }
      }
    }
  }
});

test('files in other formats, as the WAV library writes them, decode to the same values', () => {
  const ints = [0, 1, -1, 1000, -1000, 12345, -12345];
  const cases = [
    { depth: '8', samples: [128, 0, 255, 64, 192], expect: (v) => (v - 128) / 128 },
    { depth: '32', samples: ints.map((v) => v * 65536), expect: (v) => v / 2147483648 },
    { depth: '64', samples: [0, 0.5, -0.25, 0.125], expect: (v) => v },
    { depth: '16', samples: ints, expect: (v) => v / 32768, options: { container: 'RIFX' } },
  ];
  for (const { depth, samples, expect, options } of cases) {
    const wav = new WaveFile();
    wav.fromScratch(1, 8000, depth, samples, options);
    const back = decodeWav(Buffer.from(wav.toBuffer()), 'x.wav');
    assert.deepEqual(Array.from(back.channels[0]), samples.map((v) => Math.fround(expect(v))), depth);
  }
  // 20-bit samples sit left-justified in 24-bit frames.
  const twenty = encodeWav([Float32Array.of(0, 0.5, -0.25, 0.75)], 8000, '24');
  assert.equal(twenty.readUInt16LE(34), 24);
  twenty.writeUInt16LE(20, 34);
  assert.deepEqual(Array.from(decodeWav(twenty, 'x.wav').channels[0]), [0, 0.5, -0.25, 0.75]);
  // A-law is expanded to 16-bit PCM by the library before we read it.
  const alaw = new WaveFile();
  alaw.fromScratch(1, 8000, '16', [0, 1000, -1000, 32767]);
  alaw.toALaw();
  const expanded = new WaveFile(alaw.toBuffer());
  expanded.fromALaw();
  const back = decodeWav(Buffer.from(alaw.toBuffer()), 'x.wav');
  assert.deepEqual(Array.from(back.channels[0]), Array.from(expanded.getSamples(), (v) => Math.fround(v / 32768)));
});

test('a file written piece by piece equals one written whole; an abandoned one changes nothing', (t) => {
  const dir = tempDir(t);
  const channels = [ramp(1000, 0), ramp(1000, 1)];
  const file = path.join(dir, 'pieces.wav');
  const writer = new WavWriter(file, { channels: 2, sampleRate: 8000, format: '24' });
  writer.write(channels, 0, 10);
  writer.write(channels, 10, 10);
  writer.write(channels, 10, 1000);
  writer.close();
  assert.deepEqual(fs.readFileSync(file), encodeWav(channels, 8000, '24'));
  assert.deepEqual(probeWav(file), { channels: 2, sampleRate: 8000, frames: 1000 });

  // An abandoned write leaves an earlier file of the same name as it was.
  const failing = new WavWriter(file, { channels: 2, sampleRate: 8000 });
  assert.throws(() => failing.write([channels[0]]), /writer for 2 channels was handed 1/);
  failing.abort();
  assert.deepEqual(fs.readFileSync(file), encodeWav(channels, 8000, '24'));
  assert.deepEqual(fs.readdirSync(dir), ['pieces.wav']);
});

test('probing reads the format of long files and of files whose header chunks lie far in', (t) => {
  const dir = tempDir(t);
  const wav = encodeWav([ramp(100000, 0), ramp(100000, 1)], 8000, '16');
  const long = path.join(dir, 'long.wav');
  fs.writeFileSync(long, wav);
  assert.deepEqual(probeWav(long), { channels: 2, sampleRate: 8000, frames: 100000 });

  // A 70 kB chunk ahead of the format chunk.
  const junk = Buffer.alloc(8 + 70000);
  junk.write('JUNK', 0);
  junk.writeUInt32LE(70000, 4);
  const padded = Buffer.concat([wav.subarray(0, 12), junk, wav.subarray(12)]);
  padded.writeUInt32LE(padded.length - 8, 4);
  const far = path.join(dir, 'far.wav');
  fs.writeFileSync(far, padded);
  assert.deepEqual(probeWav(far), { channels: 2, sampleRate: 8000, frames: 100000 });

  const text = path.join(dir, 'notes.wav');
  fs.writeFileSync(text, 'x'.repeat(100000));
  assert.throws(() => probeWav(text), { name: 'UsageError', message: `${text} is not a WAV file (not a supported format)` });
});

test('unreadable and non-WAV files are named in one-line errors', (t) => {
  const dir = tempDir(t);
  const text = path.join(dir, 'notes.wav');
  fs.writeFileSync(text, 'these are not samples');
  assert.throws(() => readWav(text), { name: 'UsageError', message: `${text} is not a WAV file (not a supported format)` });
  assert.throws(() => readWav(path.join(dir, 'gone.wav')), { message: /cannot read .*gone\.wav: no such file/ });
  assert.throws(() => readWav(dir), { message: /it is a directory/ });
  assert.throws(() => writeWav(path.join(dir, 'missing', 'x.wav'), [new Float32Array(4)], 8000), { message: /cannot write .*no such directory/ });
});

test('resampled pieces of a track join without a seam', () => {
  const from = 44100;
  const to = 48000;
  const frames = 44100;
  const sine = Float32Array.from({ length: frames }, (_, i) => 0.5 * Math.sin((2 * Math.PI * 440 * i) / from));
  const cut = 20011;
  const first = resampleRange([sine], from, to, 0, cut)[0];
  const second = resampleRange([sine], from, to, cut, frames)[0];
  assert.equal(first.length + second.length, Math.round((frames * to) / from));
  const joined = new Float32Array(first.length + second.length);
  joined.set(first);
  joined.set(second, first.length);
  // Away from the file's own ends the result is the same sine at the new rate.
  let worst = 0;
  for (let i = 1000; i < joined.length - 1000; i += 1) {
    worst = Math.max(worst, Math.abs(joined[i] - 0.5 * Math.sin((2 * Math.PI * 440 * i) / to)));
  }
  // The sinc interpolation's own error is about 1e-5; a piece shifted by a
  // single frame would be off by 0.03 here.
  assert.ok(worst < 1e-3, `largest deviation ${worst}`);
  assert.equal(resampleRange([sine], from, from, 10, 20)[0].length, 10);
});

test('channels map onto the mix the way the engine maps them', () => {
  const mono = Float32Array.of(1, 2);
  assert.deepEqual(mapChannels([mono], 2), [mono, mono]);
  assert.deepEqual(Array.from(mapChannels([Float32Array.of(1, 3), Float32Array.of(3, 5)], 1)[0]), [2, 4]);
  assert.throws(() => mapChannels([mono, mono], 6), /cannot map 2 channels onto 6/);
});

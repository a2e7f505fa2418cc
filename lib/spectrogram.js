'use strict';

// A spectrogram of a stretch of audio as a PNG image, with a logarithmic
// frequency axis: a bass swap happens below 200 Hz and a filter sweep spans
// decades, so a linear axis would squeeze both into a few rows.

const FFT = require('fft.js');
const { PNG } = require('pngjs');

const DEFAULTS = { width: 960, height: 320, minHz: 25, maxHz: 16000, fftSize: 4096 };

// A perceptually even dark-to-bright ramp (black, violet, red, orange,
// pale yellow), so that level reads as brightness.
const COLOUR_STOPS = [
  [0.0, [0, 0, 4]],
  [0.2, [50, 10, 95]],
  [0.4, [120, 28, 109]],
  [0.6, [200, 55, 80]],
  [0.8, [249, 142, 9]],
  [1.0, [252, 255, 164]],
];

function colourAt(level) {
  const x = Math.min(1, Math.max(0, level));
  for (let i = 1; i < COLOUR_STOPS.length; i += 1) {
    const [x1, c1] = COLOUR_STOPS[i];
    if (x <= x1) {
      const [x0, c0] = COLOUR_STOPS[i - 1];
      const f = (x - x0) / (x1 - x0);
      return c0.map((value, k) => Math.round(value + (c1[k] - value) * f));
    }
  }
  return COLOUR_STOPS[COLOUR_STOPS.length - 1][1];
}

/** Row y (0 at the top) of an image `height` rows high shows this frequency. */
function rowFrequency(y, height, minHz, maxHz) {
  return minHz * Math.pow(maxHz / minHz, 1 - y / (height - 1));
}

/**
 * Level in dBFS per column and row: columns evenly spaced over the audio,
 * rows on the log axis. A full-scale sine reads 0 dB (the Hann window's
 * coherent gain of 1/2 is taken out).
 */
function computeSpectrogram(channels, sampleRate, options = {}) {
  const { width, height, minHz, fftSize } = { ...DEFAULTS, ...options };
  const maxHz = Math.min(options.maxHz ?? DEFAULTS.maxHz, sampleRate / 2);
  const frames = channels[0].length;
  const mono = new Float64Array(frames);
  for (const channel of channels) for (let i = 0; i < frames; i += 1) mono[i] += channel[i] / channels.length;

  const fft = new FFT(fftSize);
  const window = new Float64Array(fftSize);
  for (let i = 0; i < fftSize; i += 1) window[i] = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / fftSize);
  const input = new Array(fftSize).fill(0);
  const spectrum = fft.createComplexArray();
  const bins = fftSize / 2;
  const magnitude = new Float64Array(bins + 1);
  const levels = new Float32Array(width * height);
  const scale = 2 / (fftSize * 0.5);

  // Bin range each row covers: a row spans many bins high up, where the
  // loudest bin stands for it, and a fraction of a bin low down, where the
  // two nearest bins are interpolated.
  const rowBins = [];
  for (let y = 0; y < height; y += 1) {
    const centre = (rowFrequency(y, height, minHz, maxHz) * fftSize) / sampleRate;
    const upper = (rowFrequency(y - 0.5, height, minHz, maxHz) * fftSize) / sampleRate;
    const lower = (rowFrequency(y + 0.5, height, minHz, maxHz) * fftSize) / sampleRate;
    rowBins.push({ centre, lower: Math.max(0, Math.ceil(lower)), upper: Math.min(bins, Math.floor(upper)) });
  }

  for (let x = 0; x < width; x += 1) {
    const centre = Math.round(((x + 0.5) * frames) / width);
    const start = centre - fftSize / 2;
    for (let i = 0; i < fftSize; i += 1) {
      const index = start + i;
      input[i] = index >= 0 && index < frames ? mono[index] * window[i] : 0;
    }
    fft.realTransform(spectrum, input);
    for (let k = 0; k <= bins; k += 1) {
      magnitude[k] = Math.hypot(spectrum[2 * k], spectrum[2 * k + 1]) * scale;
    }
    for (let y = 0; y < height; y += 1) {
      const { centre: c, lower, upper } = rowBins[y];
      let value;
      if (upper > lower) {
        value = 0;
        for (let k = lower; k <= upper; k += 1) value = Math.max(value, magnitude[k]);
      } else {
        const k = Math.min(bins - 1, Math.floor(c));
        value = magnitude[k] + (magnitude[k + 1] - magnitude[k]) * (c - k);
      }
      levels[y * width + x] = 20 * Math.log10(Math.max(value, 1e-12));
    }
  }
  return { levels, width, height, minHz, maxHz };
}

/**
 * The spectrogram as PNG bytes. The colour ramp spans `rangeDb` (default 72)
 * below the loudest point of the image, or from `floorDb` to 0 dBFS when a
 * floor is given: a fixed scale would paint a loud club mix a uniform
 * bright band and hide the very swaps the picture is for.
 */
function spectrogramPng(channels, sampleRate, options = {}) {
  const { levels, width, height, minHz, maxHz } = computeSpectrogram(channels, sampleRate, options);
  let topDb = 0;
  let floorDb = options.floorDb;
  if (floorDb === undefined) {
    topDb = -Infinity;
    for (const level of levels) if (level > topDb) topDb = level;
    topDb = Number.isFinite(topDb) ? Math.ceil(topDb) : 0;
    floorDb = topDb - (options.rangeDb ?? 72);
  }
  const png = new PNG({ width, height });
  for (let i = 0; i < width * height; i += 1) {
    const [r, g, b] = colourAt((levels[i] - floorDb) / (topDb - floorDb));
    png.data[i * 4] = r;
    png.data[i * 4 + 1] = g;
    png.data[i * 4 + 2] = b;
    png.data[i * 4 + 3] = 255;
  }
  return { png: PNG.sync.write(png), width, height, minHz, maxHz, topDb, floorDb };
}

module.exports = { computeSpectrogram, spectrogramPng, rowFrequency, colourAt };

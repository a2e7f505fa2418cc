'use strict';

// Small operations on planar audio (arrays of Float32Array) that the
// stitching of a mix needs between the engine's overlaps.

const { resample } = require('wave-resampler');

/**
 * Maps channels onto `count` channels the way the engine does: equal counts
 * pass through, mono is copied to every channel, and a mono target averages.
 * Returns views where no new samples are needed.
 */
function mapChannels(channels, count) {
  if (channels.length === count) return channels;
  if (channels.length === 1) return Array.from({ length: count }, () => channels[0]);
  if (count === 1) {
    const frames = channels[0].length;
    const mono = new Float32Array(frames);
    for (const channel of channels) for (let i = 0; i < frames; i += 1) mono[i] += channel[i];
    for (let i = 0; i < frames; i += 1) mono[i] /= channels.length;
    return [mono];
  }
  throw new Error(`cannot map ${channels.length} channels onto ${count}`);
}

// Context read on each side of a piece before it is resampled, so that the
// resampler's filters see real audio at the piece's edges instead of
// starting from silence, which would leave a dip at every seam.
const RESAMPLE_CONTEXT_FRAMES = 512;

function gcd(a, b) {
  while (b) [a, b] = [b, a % b];
  return a;
}

/**
 * Frames [start, end) of `channels` at `fromRate`, resampled to `toRate`:
 * output frames [round(start × r), round(end × r)) of the whole track
 * resampled, r = toRate / fromRate. Pieces cut at consecutive positions
 * therefore join exactly, without gaps, overlaps or a shift of the grid.
 *
 * The resampler maps output frame i of an n-frame input onto input position
 * i × (n − 1) / n′, with n′ = ⌊n × ratio⌋ output frames. The window handed to
 * it starts on an input frame that is also an output frame and spans a whole
 * number of periods of the two rates, and the ratio is given as the window's
 * own frame counts, so that the mapping becomes exactly i × fromRate / toRate:
 * the same grid for every piece. (Only the ratio of the two rates matters to
 * the resampler, its low-pass filter included.)
 */
function resampleRange(channels, fromRate, toRate, start, end) {
  if (fromRate === toRate) return channels.map((channel) => channel.subarray(start, end));
  const frames = channels[0].length;
  const divisor = gcd(fromRate, toRate);
  const period = fromRate / divisor; // input frames per whole number of output frames
  const outPeriod = toRate / divisor;
  const outStart = Math.round((start * toRate) / fromRate);
  const outEnd = Math.round((end * toRate) / fromRate);
  const outFrames = Math.max(0, outEnd - outStart);
  const from = Math.max(0, Math.floor((start - RESAMPLE_CONTEXT_FRAMES) / period) * period);
  const wanted = Math.min(frames, end + RESAMPLE_CONTEXT_FRAMES) - from;
  const periods = Math.max(1, Math.ceil((wanted - 1) / period));
  const length = periods * period + 1;
  const lead = outStart - (from / period) * outPeriod;
  return channels.map((channel) => {
    // Past the end of the track the window is padded with silence.
    const input = new Float64Array(length);
    const available = channel.subarray(from, Math.min(frames, from + length));
    input.set(available);
    const output = resample(input, length, (length - 1) * (outPeriod / period) + 0.5, { method: 'sinc' });
    const piece = new Float32Array(outFrames);
    for (let i = 0; i < outFrames && lead + i < output.length; i += 1) piece[i] = output[lead + i];
    return piece;
  });
}

module.exports = { mapChannels, resampleRange };

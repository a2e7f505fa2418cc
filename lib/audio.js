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

/**
 * Frames [start, end) of `channels` at `fromRate`, resampled to `toRate`.
 * The piece's length becomes round(frames × toRate / fromRate), so pieces
 * cut at consecutive positions join without gaps.
 */
function resampleRange(channels, fromRate, toRate, start, end) {
  const frames = channels[0].length;
  const outStart = Math.round((start * toRate) / fromRate);
  const outEnd = Math.round((end * toRate) / fromRate);
  const outFrames = Math.max(0, outEnd - outStart);
  if (fromRate === toRate) return channels.map((channel) => channel.subarray(start, end));
  const from = Math.max(0, start - RESAMPLE_CONTEXT_FRAMES);
  const to = Math.min(frames, end + RESAMPLE_CONTEXT_FRAMES);
  const lead = Math.round(((start - from) * toRate) / fromRate);
  return channels.map((channel) => {
    const input = Float64Array.from(channel.subarray(from, to));
    const output = input.length > 1 ? resample(input, fromRate, toRate, { method: 'sinc' }) : input;
    const piece = new Float32Array(outFrames);
    for (let i = 0; i < outFrames && lead + i < output.length; i += 1) piece[i] = output[lead + i];
    return piece;
  });
}

module.exports = { mapChannels, resampleRange };

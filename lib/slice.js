'use strict';

// The engine takes at most 90 seconds of each track: slices around the
// overlap, not whole tracks. This module picks those slices, shifts beat
// times and the caller's windows onto them, and maps the engine's answer
// back onto the full tracks' timelines.

const { formatFixed } = require('./format');

const SLICE_LIMIT_SECONDS = 90;

// Reach of a transition beyond its start, used to keep a caller's window
// inside the slice: the engine's longest overlap (16 s) at the largest tempo
// ratio it applies (1.12), plus the audio it leaves after the outgoing
// overlap (0.25 s) and a little slack for rounding.
const LONGEST_REACH_SECONDS = 16 * 1.12 + 0.25 + 0.5;
const END_MARGIN_SECONDS = 0.25 + 0.5;

function limitFrames(sampleRate) {
  return Math.floor(SLICE_LIMIT_SECONDS * sampleRate);
}

/**
 * Frames [startFrame, endFrame) of the outgoing track to hand to the engine.
 * Without windows that is the last 90 s, which holds everything the engine
 * searches by default (the last 45 s). With windows (seconds on the full
 * track) the slice ends just past the latest point the windows allow.
 */
function outgoingSliceRange(frames, sampleRate, region = {}) {
  const limit = limitFrames(sampleRate);
  if (frames <= limit) return { startFrame: 0, endFrame: frames };
  let needEnd = frames / sampleRate;
  if (region.end) needEnd = Math.min(needEnd, region.end[1] + END_MARGIN_SECONDS);
  else if (region.start) needEnd = Math.min(needEnd, region.start[1] + LONGEST_REACH_SECONDS);
  const endFrame = Math.min(frames, Math.max(limit, Math.ceil(needEnd * sampleRate)));
  return { startFrame: endFrame - limit, endFrame };
}

/**
 * Frames of the incoming track to hand to the engine: the first 90 s, or,
 * with windows, 90 s from just before the earliest point they allow.
 */
function incomingSliceRange(frames, sampleRate, region = {}) {
  const limit = limitFrames(sampleRate);
  if (frames <= limit) return { startFrame: 0, endFrame: frames };
  let needStart = 0;
  if (region.start) needStart = region.start[0];
  else if (region.end) needStart = region.end[0] - 16 * 1.12;
  const startFrame = Math.min(frames - limit, Math.max(0, Math.floor((needStart - 0.5) * sampleRate)));
  return { startFrame, endFrame: startFrame + limit };
}

/**
 * The frames of a track the engine cut for an overlap that starts at
 * `startSeconds` and leaves the track at `resumeSeconds` (both on the
 * engine's timeline): it rounds the start and the length to frames
 * separately, so the end is not round(resume x rate) but one frame off it
 * now and then.
 */
function overlapFrames(startSeconds, resumeSeconds, sampleRate) {
  const startFrame = startSeconds > 0 ? Math.round(startSeconds * sampleRate) : 0;
  const endFrame = startFrame + Math.round(Math.max(0, resumeSeconds - startSeconds) * sampleRate);
  return { startFrame, endFrame };
}

/** Beat times inside [offset, offset + duration], shifted to start at 0. */
function shiftTimes(times, offset, duration) {
  const shifted = [];
  for (const time of times) {
    const local = time - offset;
    // A time that sits on the slice's first frame may come out a hair below
    // zero through the subtraction; it still belongs to the slice.
    if (local >= -1e-9 && local <= duration) shifted.push(Math.max(0, local));
  }
  return shifted;
}

/**
 * A track's slice as the engine's source object. The channels are views,
 * not copies: the engine copies what it is given anyway.
 */
function sliceTrack(track, { startFrame, endFrame }) {
  const offset = startFrame / track.sampleRate;
  const duration = (endFrame - startFrame) / track.sampleRate;
  const whole = startFrame === 0 && endFrame === track.channels[0].length;
  return {
    source: {
      channels: whole ? track.channels : track.channels.map((channel) => channel.subarray(startFrame, endFrame)),
      sampleRate: track.sampleRate,
      bpm: track.bpm,
      beats: whole ? track.beats : shiftTimes(track.beats, offset, duration),
      downbeats: whole ? track.downbeats : shiftTimes(track.downbeats, offset, duration),
    },
    startFrame,
    endFrame,
    offset,
    duration,
    whole,
  };
}

/** A region { start?: [a, b], end?: [a, b] } as the engine's constraint object, shifted by -offset. */
function engineConstraint(region, offset) {
  const constraint = {};
  if (region && region.start) {
    constraint.startEarliest = region.start[0] - offset;
    constraint.startLatest = region.start[1] - offset;
  }
  if (region && region.end) {
    constraint.endEarliest = region.end[0] - offset;
    constraint.endLatest = region.end[1] - offset;
  }
  return constraint;
}

/** The engine's own reading of a duck curve at fraction x of the track. */
function sampleCurve(values, x) {
  const n = values.length;
  if (!Number.isFinite(x)) return values[0];
  const position = Math.min(1, Math.max(0, x)) * (n - 1);
  const k = Math.floor(position);
  if (k >= n - 1) return values[n - 1];
  return values[k] + (values[k + 1] - values[k]) * (position - k);
}

/**
 * A duck curve laid over the whole outgoing track, re-laid over a slice of
 * it. The engine spreads a curve evenly over the track it is handed, so a
 * curve meant for the full track must be cut to the slice, or its shape
 * would land minutes away from where the user drew it. The slice keeps about
 * the same number of values per second.
 */
function sliceDuckCurve(values, fullDuration, sliceStart, sliceEnd) {
  if (!values || values.length < 2 || !(fullDuration > 0)) return values;
  if (sliceStart <= 0 && sliceEnd >= fullDuration) return values;
  const n = values.length;
  const span = (sliceEnd - sliceStart) / fullDuration;
  const count = Math.max(2, Math.ceil(n * span));
  const out = new Array(count);
  for (let j = 0; j < count; j += 1) {
    const time = sliceStart + ((sliceEnd - sliceStart) * j) / (count - 1);
    out[j] = sampleCurve(values, time / fullDuration);
  }
  return out;
}

/**
 * Moves an engine result from slice times to full-track times. The summary's
 * two start lines are rewritten to match; everything else in it (duration,
 * tempo, strategy, scores) does not depend on where the slice began.
 */
function mapResultToTracks(result, outgoingOffset, incomingOffset) {
  const mapped = { ...result };
  if (!result.rendered) return mapped;
  mapped.outgoingStart = result.outgoingStart + outgoingOffset;
  mapped.outgoingResume = result.outgoingResume + outgoingOffset;
  mapped.incomingStart = result.incomingStart + incomingOffset;
  mapped.incomingResume = result.incomingResume + incomingOffset;
  mapped.summary = result.summary
    .replace(/^Outgoing start: .*s$/m, `Outgoing start: ${formatFixed(mapped.outgoingStart, 2)}s`)
    .replace(/^Incoming start: .*s$/m, `Incoming start: ${formatFixed(mapped.incomingStart, 2)}s`);
  return mapped;
}

/**
 * An engine rejection in full-track terms: the windows it quotes ("outgoing
 * start in 70.00..=80.00s") are moved onto the full tracks, and where a
 * track was sliced the text says which part the engine saw, since the
 * durations it quotes are those of the slices. A slice may carry the
 * full-track `region` it was given; its windows are then quoted as they
 * are, rather than rounded twice through the engine's text.
 */
function mapRejectionToTracks(text, outgoing, incoming) {
  if (outgoing.offset === 0 && incoming.offset === 0 && outgoing.whole && incoming.whole) return text;
  const mapped = text.replace(/(outgoing|incoming) (start|end) in (-?[\d.]+)\.\.=(-?[\d.]+)s/g, (match, role, edge, a, b) => {
    const slice = role === 'outgoing' ? outgoing : incoming;
    const window = slice.region && slice.region[edge];
    const [from, to] = window || [Number(a) + slice.offset, Number(b) + slice.offset];
    return `${role} ${edge} in ${formatFixed(from, 2)}..=${formatFixed(to, 2)}s`;
  });
  const seen = (slice) => `${formatFixed(slice.offset, 2)}s to ${formatFixed(slice.offset + slice.duration, 2)}s`;
  return `${mapped} (the engine saw ${seen(outgoing)} of the outgoing track and ${seen(incoming)} of the incoming track)`;
}

module.exports = {
  overlapFrames,
  mapRejectionToTracks,
  SLICE_LIMIT_SECONDS,
  outgoingSliceRange,
  incomingSliceRange,
  sliceTrack,
  shiftTimes,
  engineConstraint,
  sliceDuckCurve,
  sampleCurve,
  mapResultToTracks,
};

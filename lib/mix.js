'use strict';

// Builds a continuous mix of N tracks with one engine-rendered transition
// per consecutive pair, and writes it as one WAV file piece by piece:
//
//   track 1 up to overlap 1, overlap 1, track 2 from where overlap 1 left
//   it up to overlap 2, overlap 2, ... , the last track to its end.
//
// Only two tracks are in memory at a time. Each transition is planned by
// the engine on 90-second slices (see slice.js); its answer is mapped back
// onto the full tracks before anything is written.

const { UsageError, RejectionError } = require('./errors');
const { mapChannels, resampleRange } = require('./audio');
const {
  overlapFrames,
  outgoingSliceRange,
  incomingSliceRange,
  sliceTrack,
  engineConstraint,
  sliceDuckCurve,
  mapResultToTracks,
  mapRejectionToTracks,
} = require('./slice');

const DEFAULT_EXCERPT_SECONDS = 6;

/**
 * The rate the mix is written at: the one most tracks share; on a tie the
 * second track's, which is the rate the engine renders the first overlap at.
 */
function chooseSampleRate(rates) {
  const counts = new Map();
  for (const rate of rates) counts.set(rate, (counts.get(rate) || 0) + 1);
  let best = rates.length > 1 ? rates[1] : rates[0];
  for (const [rate, count] of counts) if (count > counts.get(best)) best = rate;
  return best;
}

function chooseChannelCount(probes, names) {
  const count = Math.max(...probes.map((probe) => probe.channels));
  const widest = names[probes.findIndex((probe) => probe.channels === count)];
  probes.forEach((probe, index) => {
    if (probe.channels !== 1 && probe.channels !== count) {
      throw new UsageError(
        `${names[index]} has ${probe.channels} channels and ${widest} has ${count}; tracks must share a channel count or be mono`,
      );
    }
  });
  return count;
}

/** The outgoing region for a track that entered the mix at `enteredAt` seconds. */
function outgoingRegion(user = {}, enteredAt, duration, index) {
  const region = { ...user };
  if (enteredAt <= 0) return region;
  if (region.start) {
    const earliest = Math.max(region.start[0], enteredAt);
    if (earliest > region.start[1]) {
      throw new RejectionError(
        `transition ${index + 1}: its outgoing start window ends at ${region.start[1]}s, before the track is heard from ${enteredAt.toFixed(2)}s on (after the previous transition)`,
      );
    }
    region.start = [earliest, region.start[1]];
  } else if (region.end || enteredAt > duration - 45) {
    // The engine searches the last 45 s by default; it must not leave the
    // track before the previous transition has finished bringing it in.
    region.start = [enteredAt, duration];
  }
  return region;
}

function describeEngineThrow(error, pair) {
  // Errors thrown synchronously by the binding are about the audio handed
  // to it (a sample rate below 1000 Hz, say): the user's input, not a bug.
  if (error && typeof error.code === 'string') return new UsageError(`${pair}: ${error.message}`);
  return error;
}

/**
 * Runs the whole mix.
 *
 * entries: [{ name, probe(): { channels, sampleRate, frames }, load(): track }]
 *   where a track is { channels, sampleRate, bpm, beats, downbeats }.
 * transitions: one per pair, each { outgoing?, incoming? (regions
 *   { start?: [a, b], end?: [a, b] } in full-track seconds), beatLengths?,
 *   duckCurve? }.
 * renderTransition: the engine's function.
 * writer(channels, sampleRate): returns a sink with write(channels, start,
 *   end) and close(), or null to write nothing.
 * keepOverlaps: keep each rendered overlap (for writing it separately).
 * excerptSeconds: context kept around each overlap for the report, or 0.
 * onProgress(event): { kind: 'start' | 'transition' | 'done', ... }.
 */
async function runMix({
  entries,
  transitions,
  diagnostics = false,
  renderTransition,
  writer = () => null,
  keepOverlaps = false,
  excerptSeconds = DEFAULT_EXCERPT_SECONDS,
  onProgress = () => {},
}) {
  if (entries.length < 2) throw new UsageError('a mix needs at least two tracks');
  const names = entries.map((entry) => entry.name);
  const probes = entries.map((entry) => entry.probe());
  const sampleRate = chooseSampleRate(probes.map((probe) => probe.sampleRate));
  const channelCount = chooseChannelCount(probes, names);
  const sink = writer(channelCount, sampleRate);
  onProgress({ kind: 'start', total: entries.length - 1, names });

  let writtenFrames = 0;
  const excerptFrames = Math.round(excerptSeconds * sampleRate);
  // Appends frames [start, end) of a track (at its own rate and channel
  // count) to the mix and returns the piece as written, at the mix's format.
  // Without a file to write, only the part the report needs is converted
  // (`keep`: its last or first excerpt's worth): converting a sub-range gives
  // those frames of the whole piece (exactly at equal rates, and to well
  // below one 16-bit step where the resampler's filters run over a shorter
  // window).
  const append = (channels, rate, start, end, keep = 'all') => {
    const length = rate === sampleRate ? end - start : Math.round((end * sampleRate) / rate) - Math.round((start * sampleRate) / rate);
    const reach = Math.ceil((excerptFrames * rate) / sampleRate) + 2;
    let from = start;
    let to = end;
    if (!sink && keep === 'tail') from = Math.max(start, end - reach);
    if (!sink && keep === 'head') to = Math.min(end, start + reach);
    const piece = mapChannels(resampleRange(channels, rate, sampleRate, from, to), channelCount);
    if (sink) sink.write(piece, 0, piece[0].length);
    writtenFrames += length;
    return piece;
  };

  const tracksInfo = [];
  const results = [];
  let pendingExcerpt = null;
  const finishExcerpt = (followingPiece) => {
    if (!pendingExcerpt) return;
    const take = Math.min(excerptFrames, followingPiece[0].length);
    const parts = [...pendingExcerpt.parts, followingPiece.map((channel) => channel.subarray(0, take))];
    const frames = parts.reduce((sum, part) => sum + part[0].length, 0);
    const joined = Array.from({ length: channelCount }, (_, c) => {
      const out = new Float32Array(frames);
      let offset = 0;
      for (const part of parts) {
        out.set(part[c], offset);
        offset += part[c].length;
      }
      return out;
    });
    pendingExcerpt.result.excerpt = {
      channels: joined,
      sampleRate,
      mixStart: pendingExcerpt.mixStart,
      overlapStart: pendingExcerpt.overlapStart,
      overlapEnd: pendingExcerpt.overlapEnd,
    };
    pendingExcerpt = null;
  };

  try {
    let current = entries[0].load();
    let enteredAtFrame = 0;
    let mixStartOfTrack = 0;
    for (let index = 0; index < entries.length - 1; index += 1) {
      const next = entries[index + 1].load();
      const pair = `transition ${index + 1} (${names[index]} -> ${names[index + 1]})`;
      const request = transitions[index] || {};
      const outFrames = current.channels[0].length;
      const inFrames = next.channels[0].length;
      const outDuration = outFrames / current.sampleRate;
      const inDuration = inFrames / next.sampleRate;
      const enteredAt = enteredAtFrame / current.sampleRate;
      const outRegion = outgoingRegion(request.outgoing, enteredAt, outDuration, index);
      const inRegion = request.incoming || {};

      const outSlice = sliceTrack(current, outgoingSliceRange(outFrames, current.sampleRate, outRegion));
      const inSlice = sliceTrack(next, incomingSliceRange(inFrames, next.sampleRate, inRegion));
      const options = {
        outgoing: engineConstraint(outRegion, outSlice.offset),
        incoming: engineConstraint(inRegion, inSlice.offset),
        diagnostics,
      };
      if (request.beatLengths && request.beatLengths.length > 0) options.beatLengths = request.beatLengths;
      if (request.duckCurve) {
        const sliceEnd = outSlice.endFrame / current.sampleRate;
        options.duckCurve = sliceDuckCurve(request.duckCurve, outDuration, outSlice.offset, sliceEnd);
      }

      onProgress({ kind: 'transition', index, total: entries.length - 1, pair, stage: 'render' });
      let raw;
      try {
        raw = await renderTransition(outSlice.source, inSlice.source, options);
      } catch (error) {
        throw describeEngineThrow(error, pair);
      }
      if (!raw.rendered) {
        const text = mapRejectionToTracks(raw.rejected, { ...outSlice, region: outRegion }, { ...inSlice, region: inRegion });
        throw new RejectionError(`${pair}: ${text}`);
      }
      const result = mapResultToTracks(raw, outSlice.offset, inSlice.offset);

      // The seams of the mix are the frames the engine cut from each track,
      // so nothing is doubled or skipped.
      const headEnd =
        outSlice.startFrame + overlapFrames(raw.outgoingStart, raw.outgoingResume, current.sampleRate).startFrame;
      const resumeFrame = Math.min(
        inFrames,
        inSlice.startFrame + overlapFrames(raw.incomingStart, raw.incomingResume, next.sampleRate).endFrame,
      );
      if (headEnd < enteredAtFrame) {
        throw new Error(`${pair}: the engine left the track at ${result.outgoingStart}s, before it was heard`);
      }

      onProgress({ kind: 'transition', index, total: entries.length - 1, pair, stage: 'write', result });
      const headPiece = append(current.channels, current.sampleRate, enteredAtFrame, headEnd, pendingExcerpt ? 'all' : 'tail');
      finishExcerpt(headPiece);
      const overlapStartFrame = writtenFrames;
      const overlapPiece = append(raw.channels, raw.sampleRate, 0, raw.channels[0].length);

      tracksInfo[index] = {
        name: names[index],
        duration: outDuration,
        beats: current.beats,
        downbeats: current.downbeats,
        mixStart: mixStartOfTrack,
      };
      const entry = {
        index,
        outgoing: names[index],
        incoming: names[index + 1],
        result,
        outgoingDuration: outDuration,
        incomingDuration: inDuration,
        outgoingDownbeats: current.downbeats,
        incomingDownbeats: next.downbeats,
        mixOverlapStart: overlapStartFrame / sampleRate,
        mixOverlapEnd: writtenFrames / sampleRate,
      };
      if (keepOverlaps) entry.overlap = { channels: raw.channels, sampleRate: raw.sampleRate };
      results.push(entry);
      if (excerptFrames > 0) {
        const before = Math.min(excerptFrames, headPiece[0].length);
        const beforePart = headPiece.map((channel) => channel.subarray(headPiece[0].length - before));
        pendingExcerpt = {
          result: entry,
          parts: [beforePart, overlapPiece],
          mixStart: (overlapStartFrame - before) / sampleRate,
          overlapStart: overlapStartFrame / sampleRate,
          overlapEnd: writtenFrames / sampleRate,
        };
      }
      mixStartOfTrack = overlapStartFrame / sampleRate;
      enteredAtFrame = resumeFrame;
      current = next;
    }
    const lastIndex = entries.length - 1;
    const tail = append(current.channels, current.sampleRate, enteredAtFrame, current.channels[0].length, 'head');
    finishExcerpt(tail);
    tracksInfo[lastIndex] = {
      name: names[lastIndex],
      duration: current.channels[0].length / current.sampleRate,
      beats: current.beats,
      downbeats: current.downbeats,
      mixStart: mixStartOfTrack,
    };
    if (sink) sink.close();
  } catch (error) {
    if (sink && sink.abort) sink.abort();
    throw error;
  }
  onProgress({ kind: 'done', total: entries.length - 1 });
  return {
    sampleRate,
    channels: channelCount,
    frames: writtenFrames,
    duration: writtenFrames / sampleRate,
    tracks: tracksInfo,
    transitions: results,
  };
}

module.exports = { runMix, chooseSampleRate, outgoingRegion, DEFAULT_EXCERPT_SECONDS };

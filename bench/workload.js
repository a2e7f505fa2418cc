'use strict';

// The benchmark workload: two generated stereo tracks of at most 90 s at 124
// and 128 BPM with exact grids, a 44.1 kHz copy of the outgoing one for the
// resampling path, and, for the stretch-quality report, the same patterns
// rendered natively at the transition's target tempo.
//
// Tracks are written once into a cache folder (keyed by the generator's
// source and the settings below) as raw planar float32 PCM with the grid in
// float64, which the C++ stage benchmarks and the quality report read back
// (bench/workload.hpp), and as 32-bit float WAV for the command-line peers.
//
// Files per track NAME in the folder:
//   NAME.pcm        channel 0, then channel 1, ... (float32, little endian)
//   NAME.beats      beat times in seconds (float64, little endian)
//   NAME.downbeats  downbeat times in seconds (float64, little endian)
//   NAME.txt        "sample_rate channels frames bpm" on one line
//   NAME.wav        the same PCM as interleaved 32-bit float WAV
// and workload.json, the description the results page prints.

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const GENERATOR = path.join(__dirname, '..', 'lib', 'generator.js');
const WAV_WRITER = path.join(__dirname, '..', 'lib', 'wav.js');
const { writeWav } = require(WAV_WRITER);

const TRACKS = {
  outgoing: { bpm: 124, key: 'A minor', seed: 1, sampleRate: 48000, seconds: 90 },
  incoming: { bpm: 128, key: 'C major', seed: 2, sampleRate: 48000, seconds: 90 },
  outgoing44k: { bpm: 124, key: 'A minor', seed: 1, sampleRate: 44100, seconds: 90 },
};

function loadGenerator() {
  if (!fs.existsSync(GENERATOR)) {
    throw new Error(`the example-track generator (${GENERATOR}) is missing: the benchmark needs it for its workload`);
  }
  return require(GENERATOR);
}

function cacheFolder() {
  const hash = crypto.createHash('sha256');
  hash.update(fs.readFileSync(GENERATOR));
  hash.update(fs.readFileSync(__filename));
  hash.update(fs.readFileSync(WAV_WRITER));
  return path.join(os.tmpdir(), `segue-bench-${hash.digest('hex').slice(0, 16)}`);
}

// Written under a temporary name and renamed, so an interrupted run never
// leaves a half-written track that a later run would trust.
function writeTrack(folder, name, track) {
  const frames = track.channels[0].length;
  const write = (suffix, data) => {
    const temporary = path.join(folder, `${name}${suffix}.partial`);
    fs.writeFileSync(temporary, data);
    fs.renameSync(temporary, path.join(folder, `${name}${suffix}`));
  };
  write('.pcm', Buffer.concat(track.channels.map((c) => Buffer.from(c.buffer, c.byteOffset, c.byteLength))));
  write('.beats', Buffer.from(Float64Array.from(track.beats).buffer));
  write('.downbeats', Buffer.from(Float64Array.from(track.downbeats).buffer));
  // For the peer tools; the writer renames its file into place as well.
  writeWav(path.join(folder, `${name}.wav`), track.channels, track.sampleRate, '32f');
  // The description goes last: its presence marks a complete track.
  write('.txt', `${track.sampleRate} ${track.channels.length} ${frames} ${track.bpm}\n`);
}

function readHeader(folder, name) {
  const [sampleRate, count, frames, bpm] = fs
    .readFileSync(path.join(folder, `${name}.txt`), 'utf8')
    .trim()
    .split(/\s+/)
    .map(Number);
  return { sampleRate, count, frames, bpm };
}

function readTrack(folder, name) {
  const { sampleRate, count, frames, bpm } = readHeader(folder, name);
  // Read straight into one fresh ArrayBuffer per channel, as a decoder
  // would hand the caller its tracks: no intermediate file buffer is left
  // behind as garbage to blur the memory figures.
  const file = path.join(folder, `${name}.pcm`);
  if (fs.statSync(file).size !== count * frames * 4) throw new Error(`${file} does not hold ${count} x ${frames} samples`);
  const descriptor = fs.openSync(file, 'r');
  const channels = [];
  try {
    for (let c = 0; c < count; c += 1) {
      const channel = new Float32Array(frames);
      const bytes = new Uint8Array(channel.buffer);
      for (let done = 0; done < bytes.byteLength; ) {
        const read = fs.readSync(descriptor, bytes, done, bytes.byteLength - done, c * frames * 4 + done);
        if (read === 0) throw new Error(`${file} ended early`);
        done += read;
      }
      channels.push(channel);
    }
  } finally {
    fs.closeSync(descriptor);
  }
  const times = (suffix) => {
    const raw = fs.readFileSync(path.join(folder, `${name}${suffix}`));
    const copy = new Uint8Array(raw.byteLength);
    copy.set(raw);
    return Array.from(new Float64Array(copy.buffer));
  };
  return { channels, sampleRate, bpm, beats: times('.beats'), downbeats: times('.downbeats') };
}

function hasTrack(folder, name) {
  return fs.existsSync(path.join(folder, `${name}.txt`));
}

// A track's description from its header and the sizes of its beat files,
// without reading its samples.
function describe(settings, folder, name) {
  const { sampleRate, count, frames } = readHeader(folder, name);
  const times = (suffix) => fs.statSync(path.join(folder, `${name}${suffix}`)).size / 8;
  return {
    ...settings,
    channels: count,
    frames,
    seconds: frames / sampleRate,
    bars: times('.downbeats'),
    beats: times('.beats'),
  };
}

/**
 * Makes sure the workload exists on disk and returns
 * { folder, tracks: { outgoing, incoming, outgoing44k } (descriptions) }.
 */
function prepareWorkload({ log = () => {} } = {}) {
  const { generateTrack } = loadGenerator();
  const folder = cacheFolder();
  // Workloads of older generator or workload versions are of no further use.
  for (const entry of fs.readdirSync(path.dirname(folder))) {
    const other = path.join(path.dirname(folder), entry);
    if (entry.startsWith('segue-bench-') && other !== folder) fs.rmSync(other, { recursive: true, force: true });
  }
  fs.mkdirSync(folder, { recursive: true });
  const tracks = {};
  for (const [name, settings] of Object.entries(TRACKS)) {
    if (!hasTrack(folder, name)) {
      log(`generating the ${name} track (${settings.bpm} BPM, ${settings.sampleRate} Hz)`);
      writeTrack(folder, name, generateTrack({ ...settings, channels: 2 }));
    }
    tracks[name] = describe(settings, folder, name);
  }
  fs.writeFileSync(path.join(folder, 'workload.json'), JSON.stringify(tracks, null, 2));
  return { folder, tracks };
}

/**
 * Renders a track's pattern natively at `bpm`: the same settings and number
 * of bars, so every hit, note and envelope lands on the same beat. With
 * `seed` the noise of every hit changes (see floorSeed). Written into the
 * folder as `name` (default TRACK-at-BPM), whose name is returned.
 */
function prepareReference(folder, trackName, bpm, { seed, name, log = () => {} } = {}) {
  const { generateTrack } = loadGenerator();
  const settings = TRACKS[trackName];
  const { bars } = describe(settings, folder, trackName);
  const options = { ...settings, bpm, bars, channels: 2, seed: seed ?? settings.seed };
  delete options.seconds;
  const referenceName = name ?? `${trackName}-at-${bpm}`;
  if (!hasTrack(folder, referenceName)) {
    log(`rendering ${trackName} natively at ${bpm} BPM${seed !== undefined ? ` with seed ${seed}` : ''}`);
    writeTrack(folder, referenceName, generateTrack(options));
  }
  return referenceName;
}

// The noise floor of the quality report wants another realisation of the
// same groove: the next seed whose groove has the same bass pattern and an
// accent within 0.02, so that the two renders differ only in the noise
// inside the hits.
function floorSeed(seed) {
  const { grooveOf } = loadGenerator();
  const groove = grooveOf(seed);
  for (let candidate = seed + 1; candidate < seed + 10000; candidate += 1) {
    const other = grooveOf(candidate);
    if (other.pattern === groove.pattern && Math.abs(other.accent - groove.accent) < 0.02) return candidate;
  }
  return seed + 1;
}

module.exports = { TRACKS, prepareWorkload, prepareReference, readTrack, floorSeed };

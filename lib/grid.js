'use strict';

// Beat information for a track: read from a JSON sidecar or laid out as a
// regular grid from a tempo, a first downbeat and a bar length.
//
// The engine validates grids as well, but it reports a bad grid as a
// rejected transition after the audio has been loaded and analysed; checking
// here lets the command line name the file and stop before any work.

const fs = require('node:fs');
const path = require('node:path');
const { UsageError } = require('./errors');

function checkBpm(value, where) {
  if (typeof value !== 'number' || !Number.isFinite(value) || value <= 0) {
    throw new UsageError(`${where}: bpm must be a positive number, got ${JSON.stringify(value)}`);
  }
  return value;
}

function checkTimes(values, name, where) {
  if (!Array.isArray(values)) {
    throw new UsageError(`${where}: "${name}" must be a list of times in seconds`);
  }
  let previous = -Infinity;
  values.forEach((value, index) => {
    if (typeof value !== 'number' || !Number.isFinite(value) || value < 0) {
      throw new UsageError(`${where}: ${name}[${index}] must be a time of 0 or more seconds, got ${JSON.stringify(value)}`);
    }
    if (value <= previous) {
      throw new UsageError(`${where}: ${name} must be increasing, but ${name}[${index}] = ${value} follows ${previous}`);
    }
    previous = value;
  });
  return values.slice();
}

/** Validates an inline { bpm, beats, downbeats } object. */
function checkGrid(grid, where) {
  if (grid === null || typeof grid !== 'object' || Array.isArray(grid)) {
    throw new UsageError(`${where}: expected an object with "bpm", "beats" and "downbeats"`);
  }
  for (const field of ['bpm', 'beats', 'downbeats']) {
    if (!(field in grid)) throw new UsageError(`${where}: "${field}" is missing`);
  }
  return {
    bpm: checkBpm(grid.bpm, where),
    beats: checkTimes(grid.beats, 'beats', where),
    downbeats: checkTimes(grid.downbeats, 'downbeats', where),
  };
}

/** Reads a sidecar file { "bpm": …, "beats": […], "downbeats": […] }. */
function readSidecar(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    const reason = error.code === 'ENOENT' ? 'no such file' : error.code === 'EISDIR' ? 'it is a directory' : error.message;
    throw new UsageError(`cannot read beat file ${file}: ${reason}`);
  }
  let grid;
  try {
    grid = JSON.parse(text);
  } catch (error) {
    throw new UsageError(`beat file ${file} is not valid JSON: ${error.message}`);
  }
  return checkGrid(grid, `beat file ${file}`);
}

/** track.wav -> track.json, in the same folder. */
function sidecarPathFor(wavPath) {
  const parsed = path.parse(wavPath);
  return path.join(parsed.dir, `${parsed.name}.json`);
}

/** Writes a track's beat file next to it; returns the beat file's path. */
function writeSidecar(wavPath, { bpm, beats, downbeats }) {
  const sidecar = sidecarPathFor(wavPath);
  try {
    fs.writeFileSync(sidecar, `${JSON.stringify({ bpm, beats, downbeats })}\n`);
  } catch (error) {
    throw new UsageError(`cannot write ${sidecar}: ${error.message}`);
  }
  return sidecar;
}

/** The settings of a regular grid, checked before any track is read. */
function checkRegularGrid({ bpm, firstDownbeat = 0, beatsPerBar = 4 }, where = 'beat grid') {
  checkBpm(bpm, where);
  if (bpm > 1000) throw new UsageError(`${where}: bpm ${bpm} is beyond 1000, which no music is played at`);
  if (!Number.isFinite(firstDownbeat) || firstDownbeat < 0) {
    throw new UsageError(`${where}: the first downbeat must be a time of 0 or more seconds, got ${firstDownbeat}`);
  }
  if (!Number.isInteger(beatsPerBar) || beatsPerBar < 1 || beatsPerBar > 32) {
    throw new UsageError(`${where}: beats per bar must be a whole number from 1 to 32, got ${beatsPerBar}`);
  }
}

/**
 * A regular grid over a track of `duration` seconds. Beats run both ways
 * from the first downbeat (a pickup before it keeps its beats); downbeats
 * start at the first downbeat and come every `beatsPerBar` beats. Times are
 * computed from their index, never accumulated, so a long track does not
 * drift.
 */
function regularGrid({ bpm, firstDownbeat = 0, beatsPerBar = 4, duration }, where = 'beat grid') {
  checkRegularGrid({ bpm, firstDownbeat, beatsPerBar }, where);
  const period = 60 / bpm;
  const beats = [];
  const downbeats = [];
  const first = -Math.floor(firstDownbeat / period + 1e-9);
  for (let k = first; ; k += 1) {
    const time = Math.max(0, firstDownbeat + k * period);
    if (time >= duration) break;
    if (beats.length > 0 && time <= beats[beats.length - 1]) continue;
    beats.push(time);
    if (k >= 0 && k % beatsPerBar === 0) downbeats.push(time);
  }
  return { bpm, beats, downbeats };
}

module.exports = { readSidecar, writeSidecar, checkGrid, sidecarPathFor, checkRegularGrid, regularGrid };

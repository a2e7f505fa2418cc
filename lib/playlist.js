'use strict';

// A playlist for `segue mix`:
//
//   {
//     "tracks": [
//       "intro.wav",                                    beat file intro.json beside it
//       { "file": "b.wav", "grid": "b-beats.json" },    a beat file of its own
//       { "file": "c.wav", "bpm": 126, "firstDownbeat": 0.12, "beatsPerBar": 4 },
//       { "file": "d.wav", "grid": { "bpm": 128, "beats": [...], "downbeats": [...] } }
//     ],
//     "transitions": [                                  optional, one per pair, in order
//       { "outgoing": { "start": "2:30..2:45" }, "incoming": { "end": [20, 40] },
//         "beatLengths": [16], "duckCurve": "duck.txt" }
//     ],
//     "beatLengths": [8, 16],                           default for every transition
//     "diagnostics": false
//   }
//
// A bare array is read as the track list. Paths are relative to the
// playlist's folder.

const fs = require('node:fs');
const path = require('node:path');
const { UsageError } = require('./errors');
const { fileEntry } = require('./tracks');
const { parseNumber, parseWholeNumber, parseBeatLengths, readWindow, readDuckCurve, checkDuckCurve } = require('./options');

const TRACK_FIELDS = new Set(['file', 'name', 'grid', 'bpm', 'firstDownbeat', 'beatsPerBar']);
const TRANSITION_FIELDS = new Set(['outgoing', 'incoming', 'beatLengths', 'duckCurve']);
const TOP_FIELDS = new Set(['tracks', 'transitions', 'beatLengths', 'diagnostics']);

function checkFields(object, allowed, where) {
  for (const key of Object.keys(object)) {
    if (!allowed.has(key)) throw new UsageError(`${where}: unknown field "${key}"`);
  }
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function readTrack(item, index, folder, where) {
  const at = `${where}: tracks[${index}]`;
  const track = typeof item === 'string' ? { file: item } : item;
  if (!isObject(track)) throw new UsageError(`${at} must be a file name or an object with "file"`);
  checkFields(track, TRACK_FIELDS, at);
  if (typeof track.file !== 'string' || track.file === '') throw new UsageError(`${at}: "file" is missing`);
  const file = path.resolve(folder, track.file);
  let grid = {};
  if (track.grid !== undefined && track.bpm !== undefined) {
    throw new UsageError(`${at}: give either "grid" or "bpm", not both`);
  }
  if (typeof track.grid === 'string') grid = { sidecar: path.resolve(folder, track.grid) };
  else if (track.grid !== undefined) grid = { inline: track.grid, where: `${at}.grid` };
  else if (track.bpm !== undefined) {
    grid = {
      bpm: parseNumber(track.bpm, `${at}.bpm`),
      firstDownbeat: track.firstDownbeat === undefined ? 0 : parseNumber(track.firstDownbeat, `${at}.firstDownbeat`),
      beatsPerBar: track.beatsPerBar === undefined ? 4 : parseWholeNumber(track.beatsPerBar, `${at}.beatsPerBar`, 1, 32),
    };
  } else if (track.firstDownbeat !== undefined || track.beatsPerBar !== undefined) {
    throw new UsageError(`${at}: "firstDownbeat" and "beatsPerBar" need "bpm"`);
  }
  const name = track.name === undefined ? track.file : String(track.name);
  return fileEntry(file, grid, name);
}

function readRegion(value, at) {
  if (value === undefined) return {};
  if (!isObject(value)) throw new UsageError(`${at} must be an object with "start" and/or "end"`);
  checkFields(value, new Set(['start', 'end']), at);
  const region = {};
  if (value.start !== undefined) region.start = readWindow(value.start, `${at}.start`);
  if (value.end !== undefined) region.end = readWindow(value.end, `${at}.end`);
  return region;
}

function readTransition(item, index, folder, defaults, where) {
  const at = `${where}: transitions[${index}]`;
  if (item === null || item === undefined) return { beatLengths: defaults.beatLengths };
  if (!isObject(item)) throw new UsageError(`${at} must be an object`);
  checkFields(item, TRANSITION_FIELDS, at);
  const transition = {
    outgoing: readRegion(item.outgoing, `${at}.outgoing`),
    incoming: readRegion(item.incoming, `${at}.incoming`),
    beatLengths: item.beatLengths === undefined ? defaults.beatLengths : parseBeatLengths(item.beatLengths, `${at}.beatLengths`),
  };
  if (typeof item.duckCurve === 'string') transition.duckCurve = readDuckCurve(path.resolve(folder, item.duckCurve));
  else if (item.duckCurve !== undefined) transition.duckCurve = checkDuckCurve(item.duckCurve, `${at}.duckCurve`);
  return transition;
}

/** Reads and checks a playlist; returns { entries, transitions, diagnostics }. */
function readPlaylist(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    throw new UsageError(`cannot read playlist ${file}: ${error.code === 'ENOENT' ? 'no such file' : error.message}`);
  }
  let data;
  try {
    data = JSON.parse(text);
  } catch (error) {
    throw new UsageError(`playlist ${file} is not valid JSON: ${error.message}`);
  }
  const where = `playlist ${file}`;
  if (Array.isArray(data)) data = { tracks: data };
  if (!isObject(data)) throw new UsageError(`${where} must be a list of tracks or an object with "tracks"`);
  checkFields(data, TOP_FIELDS, where);
  if (!Array.isArray(data.tracks)) throw new UsageError(`${where}: "tracks" must be a list`);
  if (data.tracks.length < 2) throw new UsageError(`${where} needs at least two tracks, it has ${data.tracks.length}`);
  const folder = path.dirname(path.resolve(file));
  const entries = data.tracks.map((item, index) => readTrack(item, index, folder, where));
  const defaults = {
    beatLengths: data.beatLengths === undefined ? undefined : parseBeatLengths(data.beatLengths, `${where}: beatLengths`),
  };
  const given = data.transitions === undefined ? [] : data.transitions;
  if (!Array.isArray(given)) throw new UsageError(`${where}: "transitions" must be a list`);
  if (given.length > entries.length - 1) {
    throw new UsageError(`${where} has ${given.length} transitions for ${entries.length} tracks; at most ${entries.length - 1} fit`);
  }
  const transitions = entries.slice(1).map((_, index) => readTransition(given[index], index, folder, defaults, where));
  if (data.diagnostics !== undefined && typeof data.diagnostics !== 'boolean') {
    throw new UsageError(`${where}: "diagnostics" must be true or false`);
  }
  return { entries, transitions, diagnostics: data.diagnostics === true };
}

module.exports = { readPlaylist };

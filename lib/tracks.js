'use strict';

// A track for the command line: a WAV file and where its beat information
// comes from. Entries are checked up front (file readable, format known,
// beat information present and valid) and decoded only when the mix needs
// them, so a long playlist holds two tracks in memory at a time.

const fs = require('node:fs');
const path = require('node:path');
const { UsageError } = require('./errors');
const { readWav, probeWav } = require('./wav');
const { readSidecar, checkGrid, sidecarPathFor, checkRegularGrid, regularGrid } = require('./grid');

/**
 * grid: one of
 *   { sidecar: 'file.json' }                          a beat file
 *   { bpm, firstDownbeat?, beatsPerBar? }            a regular grid
 *   { inline: { bpm, beats, downbeats }, where }     beat lists given directly
 *   {}                                                the beat file next to the WAV
 * name: how messages and the report call the track.
 */
function fileEntry(wavPath, grid = {}, name = path.basename(wavPath)) {
  let probe;
  let sidecarGrid;
  const resolveGrid = () => {
    if (grid.inline) return checkGrid(grid.inline, grid.where || name);
    if (grid.bpm !== undefined) {
      // Built in load(), which knows the track's length; its settings are
      // checked now, before any transition is rendered.
      checkRegularGrid(grid, `beat grid of ${name}`);
      return null;
    }
    if (grid.sidecar) return readSidecar(grid.sidecar);
    const sidecar = sidecarPathFor(wavPath);
    if (!fs.existsSync(sidecar)) {
      throw new UsageError(
        `no beat information for ${wavPath}: ${sidecar} does not exist (write one, or give --bpm for a regular grid)`,
      );
    }
    return readSidecar(sidecar);
  };
  return {
    name,
    path: wavPath,
    // Every file this entry reads, so that no output can overwrite one.
    inputs: [wavPath, grid.sidecar || (grid.bpm === undefined && !grid.inline ? sidecarPathFor(wavPath) : undefined)].filter(Boolean),
    probe() {
      if (!probe) {
        probe = probeWav(wavPath);
        sidecarGrid = resolveGrid();
      }
      return probe;
    },
    load() {
      this.probe();
      const audio = readWav(wavPath);
      const frames = audio.channels[0].length;
      const beatGrid =
        sidecarGrid ||
        regularGrid(
          { bpm: grid.bpm, firstDownbeat: grid.firstDownbeat, beatsPerBar: grid.beatsPerBar, duration: frames / audio.sampleRate },
          `beat grid of ${name}`,
        );
      return { name, ...audio, ...beatGrid };
    },
  };
}

/** An entry for a track that is already in memory (the demo's generated tracks). */
function memoryEntry(track, name) {
  return {
    name,
    probe: () => ({ channels: track.channels.length, sampleRate: track.sampleRate, frames: track.channels[0].length }),
    load: () => ({ name, ...track }),
  };
}

module.exports = { fileEntry, memoryEntry };

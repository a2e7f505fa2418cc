'use strict';

// Plain-text output of the command line: the short plan table printed after
// the engine's summary.

const { formatFixed, formatClock } = require('./format');

function pad(text, width) {
  return text + ' '.repeat(Math.max(0, width - text.length));
}

function at(secondsValue) {
  return `${formatFixed(secondsValue, 2)}s (${formatClock(secondsValue)})`;
}

/** A few aligned lines: where each track is left, entered and resumed. */
function planTable(transition) {
  const r = transition.result;
  const rows = [
    ['', 'track', 'start', 'resume', 'tempo ratio'],
    ['outgoing', transition.outgoing, at(r.outgoingStart), at(r.outgoingResume), formatFixed(r.outgoingTempoRatio, 4)],
    ['incoming', transition.incoming, at(r.incomingStart), at(r.incomingResume), formatFixed(r.incomingTempoRatio, 4)],
  ];
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  const lines = rows.map((row) => row.map((cell, column) => pad(cell, widths[column])).join('  ').trimEnd());
  lines.push(
    `overlap   ${r.beats} beats, ${formatFixed(r.duration, 2)}s at ${formatFixed(r.targetBpm, 1)} BPM, ${r.strategy}, ` +
      `${formatClock(transition.mixOverlapStart)} to ${formatClock(transition.mixOverlapEnd)} in the mix`,
  );
  return lines.map((line) => `  ${line}`).join('\n');
}

module.exports = { planTable };

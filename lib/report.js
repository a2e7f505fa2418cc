'use strict';

// The report: one self-contained HTML file (no network, no external files)
// showing, for every transition of a render or a mix, the plan, a timeline
// of both tracks with the overlap and the downbeats, a spectrogram of the
// mix around the overlap and a player for that stretch of the mix.

const { encodeWav } = require('./wav');
const { spectrogramPng } = require('./spectrogram');
const { formatFixed, formatSignedFixed, formatClock } = require('./format');

const WIDTH = 960;
const SPECTROGRAM_HEIGHT = 320;
const FREQUENCY_TICKS = [50, 100, 200, 500, 1000, 2000, 5000, 10000];

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

function seconds(value) {
  return `${formatFixed(value, 2)} s <span class="clock">(${formatClock(value)})</span>`;
}

/** The tempo the outgoing track had before it was matched. */
function outgoingBpm(result) {
  return result.outgoingTempoRatio > 0 ? result.targetBpm / result.outgoingTempoRatio : result.targetBpm;
}

function planRows(transition) {
  const r = transition.result;
  const change = (r.outgoingTempoRatio - 1) * 100;
  return [
    ['Strategy', escapeHtml(r.strategy)],
    ['Length', `${r.beats} beats, ${formatFixed(r.duration, 2)} s`],
    ['Tempo', `${formatFixed(outgoingBpm(r), 1)} &rarr; ${formatFixed(r.targetBpm, 1)} BPM (${formatSignedFixed(change, 1)} %)`],
    ['Tempo ratios', `outgoing &times;${formatFixed(r.outgoingTempoRatio, 4)}, incoming &times;${formatFixed(r.incomingTempoRatio, 4)}`],
    ['Outgoing start', seconds(r.outgoingStart)],
    ['Outgoing resume', seconds(r.outgoingResume)],
    ['Incoming start', seconds(r.incomingStart)],
    ['Incoming resume', seconds(r.incomingResume)],
    ['In the mix', `${seconds(transition.mixOverlapStart)} to ${formatClock(transition.mixOverlapEnd)}`],
  ];
}

function planTable(transition) {
  const rows = planRows(transition)
    .map(([name, value]) => `<tr><th scope="row">${name}</th><td>${value}</td></tr>`)
    .join('');
  return `<table class="plan">${rows}</table>`;
}

/**
 * Both tracks on one scale, each in its own time, shifted so that the two
 * overlap starts line up. The stretch of each track that the overlap uses is
 * shaded; audio the mix does not play is drawn faint.
 */
function timelineSvg(transition) {
  const r = transition.result;
  const shift = r.outgoingStart - r.incomingStart;
  const from = Math.min(0, shift);
  const to = Math.max(transition.outgoingDuration, shift + transition.incomingDuration);
  const left = 110;
  const usable = WIDTH - left - 10;
  const x = (t) => left + ((t - from) / (to - from)) * usable;
  const rowHeight = 34;
  const rows = [
    {
      label: 'outgoing',
      name: transition.outgoing,
      y: 24,
      offset: 0,
      duration: transition.outgoingDuration,
      played: [0, r.outgoingResume],
      overlap: [r.outgoingStart, r.outgoingResume],
      downbeats: transition.outgoingDownbeats,
      cls: 'out',
    },
    {
      label: 'incoming',
      name: transition.incoming,
      y: 24 + rowHeight + 44,
      offset: shift,
      duration: transition.incomingDuration,
      played: [r.incomingStart, transition.incomingDuration],
      overlap: [r.incomingStart, r.incomingResume],
      downbeats: transition.incomingDownbeats,
      cls: 'in',
    },
  ];
  const parts = [];
  for (const row of rows) {
    const at = (t) => x(row.offset + t).toFixed(2);
    const width = (a, b) => Math.max(0.5, x(row.offset + b) - x(row.offset + a)).toFixed(2);
    parts.push(`<g class="track ${row.cls}" data-track="${row.label}">`);
    parts.push(`<text class="label" x="4" y="${row.y + 21}">${row.label}</text>`);
    parts.push(`<text class="name" x="${at(0)}" y="${row.y - 5}">${escapeHtml(row.name)}</text>`);
    parts.push(`<rect class="whole" x="${at(0)}" y="${row.y}" width="${width(0, row.duration)}" height="${rowHeight}"/>`);
    parts.push(`<rect class="played" x="${at(row.played[0])}" y="${row.y}" width="${width(row.played[0], row.played[1])}" height="${rowHeight}"/>`);
    parts.push(
      `<rect class="overlap" x="${at(row.overlap[0])}" y="${row.y}" width="${width(row.overlap[0], row.overlap[1])}" height="${rowHeight}"><title>overlap: ${formatFixed(row.overlap[0], 2)} s to ${formatFixed(row.overlap[1], 2)} s</title></rect>`,
    );
    const ticks = row.downbeats
      .filter((t) => t <= row.duration)
      .map((t) => `M${at(t)} ${row.y + rowHeight - 10}v10`)
      .join('');
    parts.push(`<path class="downbeats" d="${ticks}"/>`);
    parts.push(`<text class="time" x="${at(row.overlap[0])}" y="${row.y + rowHeight + 13}">${row.label === 'outgoing' ? 'leaves' : 'enters'} at ${formatClock(row.overlap[0])}</text>`);
    parts.push('</g>');
  }
  const axisY = 24 + 2 * rowHeight + 44 + 30;
  const step = niceStep((to - from) / 10);
  const axis = [];
  for (let t = Math.ceil(from / step) * step; t <= to; t += step) {
    axis.push(`<text class="axis" x="${x(t).toFixed(2)}" y="${axisY}">${formatClock(t).replace(/\.00$/, '')}</text>`);
  }
  const height = axisY + 8;
  return (
    `<svg class="timeline" viewBox="0 0 ${WIDTH} ${height}" width="${WIDTH}" height="${height}" role="img" ` +
    `aria-label="Timeline of both tracks with the overlap and the downbeats">${parts.join('')}` +
    `<g class="axis-labels">${axis.join('')}</g></svg>`
  );
}

function niceStep(raw) {
  for (const step of [1, 2, 5, 10, 15, 30, 60, 120, 300, 600]) if (step >= raw) return step;
  return 1200;
}

// Where each strategy moves its filters, as fractions of the overlap; shown
// over the spectrogram so the eye knows where to look.
const STRATEGY_MARKS = {
  'bass swap': [{ from: 0.45, to: 0.55, label: 'bass swap' }],
  'filtered blend': [
    { from: 0, to: 0.6, label: 'incoming high-pass opens' },
    { from: 0.3, to: 1, label: 'outgoing low-pass closes' },
  ],
};

function levelText(db) {
  return db < 0 ? `&minus;${-db}` : `${db}`;
}

function spectrogramFigure(transition, index) {
  const excerpt = transition.excerpt;
  const { png, height, minHz, maxHz, topDb, floorDb } = spectrogramPng(excerpt.channels, excerpt.sampleRate, {
    width: WIDTH,
    height: SPECTROGRAM_HEIGHT,
  });
  const length = excerpt.channels[0].length / excerpt.sampleRate;
  const x = (mixTime) => ((mixTime - excerpt.mixStart) / length) * WIDTH;
  const overlays = [];
  const startX = x(excerpt.overlapStart);
  const endX = x(excerpt.overlapEnd);
  overlays.push(`<rect class="overlap-band" x="${startX.toFixed(1)}" y="0" width="${(endX - startX).toFixed(1)}" height="${height}"/>`);
  for (const mark of STRATEGY_MARKS[transition.result.strategy] || []) {
    const a = startX + (endX - startX) * mark.from;
    const b = startX + (endX - startX) * mark.to;
    overlays.push(`<rect class="strategy-mark" x="${a.toFixed(1)}" y="${height - 34}" width="${(b - a).toFixed(1)}" height="12"><title>${mark.label}</title></rect>`);
  }
  const step = niceStep(length / 8);
  for (let t = Math.ceil(excerpt.mixStart / step) * step; t <= excerpt.mixStart + length; t += step) {
    overlays.push(`<text class="tick" x="${x(t).toFixed(1)}" y="${height - 6}">${formatClock(t).replace(/\.00$/, '')}</text>`);
  }
  for (const hz of FREQUENCY_TICKS) {
    if (hz < minHz || hz > maxHz) continue;
    const y = (height - 1) * (1 - Math.log(hz / minHz) / Math.log(maxHz / minHz));
    if (y < 14) continue; // no room for its label at the top edge
    overlays.push(`<path class="grid" d="M0 ${y.toFixed(1)}H${WIDTH}"/>`);
    overlays.push(`<text class="freq" x="4" y="${(y - 3).toFixed(1)}">${hz >= 1000 ? `${hz / 1000} kHz` : `${hz} Hz`}</text>`);
  }
  overlays.push(`<text class="edge" x="${(startX + 4).toFixed(1)}" y="14">overlap starts ${formatClock(excerpt.overlapStart)}</text>`);
  overlays.push(`<text class="edge" x="${(endX - 4).toFixed(1)}" y="14" text-anchor="end">ends ${formatClock(excerpt.overlapEnd)}</text>`);
  overlays.push(`<path class="playhead" d="M0 0V${height}"/>`);
  return `
    <figure class="spectrogram" data-index="${index}" data-start="${excerpt.mixStart}" data-length="${length}">
      <div class="layers" style="width:${WIDTH}px;height:${height}px">
        <img alt="Spectrogram of the mix around transition ${index + 1}" width="${WIDTH}" height="${height}"
             src="data:image/png;base64,${png.toString('base64')}">
        <svg viewBox="0 0 ${WIDTH} ${height}" width="${WIDTH}" height="${height}">${overlays.join('')}</svg>
      </div>
      <figcaption>Spectrogram of the mix from ${formatClock(excerpt.mixStart)} to ${formatClock(excerpt.mixStart + length)}
        (${formatFixed(minHz, 0)} Hz to ${formatFixed(maxHz / 1000, 0)} kHz, logarithmic; ${levelText(topDb)} to ${levelText(floorDb)} dBFS). Click to play from there.</figcaption>
    </figure>`;
}

function playerFigure(transition, index) {
  const excerpt = transition.excerpt;
  const wav = encodeWav(excerpt.channels, excerpt.sampleRate, '16');
  return `
    <audio class="player" data-index="${index}" controls preload="metadata"
           src="data:audio/wav;base64,${wav.toString('base64')}"></audio>`;
}

/** Every track on the mix's timeline, with the overlaps marked. */
function setOverview(mix) {
  const left = 10;
  const usable = WIDTH - 20;
  const x = (t) => left + (t / mix.duration) * usable;
  const rowHeight = 18;
  const parts = [];
  mix.tracks.forEach((track, index) => {
    const end = index < mix.transitions.length ? mix.transitions[index].mixOverlapEnd : mix.duration;
    const y = 8 + index * (rowHeight + 6);
    parts.push(
      `<rect class="set-track" x="${x(track.mixStart).toFixed(2)}" y="${y}" width="${Math.max(0.5, x(end) - x(track.mixStart)).toFixed(2)}" height="${rowHeight}"><title>${escapeHtml(track.name)}</title></rect>`,
    );
    parts.push(`<text class="set-name" x="${(x(track.mixStart) + 4).toFixed(2)}" y="${y + 13}">${escapeHtml(track.name)}</text>`);
  });
  for (const transition of mix.transitions) {
    parts.push(
      `<rect class="set-overlap" x="${x(transition.mixOverlapStart).toFixed(2)}" y="0" width="${Math.max(1, x(transition.mixOverlapEnd) - x(transition.mixOverlapStart)).toFixed(2)}" height="${8 + mix.tracks.length * (rowHeight + 6)}"/>`,
    );
  }
  const height = 14 + mix.tracks.length * (rowHeight + 6);
  return `<svg class="set" viewBox="0 0 ${WIDTH} ${height}" width="${WIDTH}" height="${height}" role="img" aria-label="The whole mix">${parts.join('')}</svg>`;
}

const STYLE = `
  :root { color-scheme: dark; --bg: #15161a; --fg: #e8e6e3; --dim: #8d8f98; --accent: #f5a524; --in: #4cc2ff; --out: #ff6b8b; }
  body { background: var(--bg); color: var(--fg); font: 15px/1.45 system-ui, sans-serif; margin: 24px auto; width: ${WIDTH}px; }
  h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 18px; margin: 36px 0 8px; border-top: 1px solid #333; padding-top: 18px; }
  .meta { color: var(--dim); margin: 0 0 12px; }
  table.plan { border-collapse: collapse; margin: 8px 0 12px; }
  table.plan th { text-align: left; font-weight: 500; color: var(--dim); padding: 2px 18px 2px 0; }
  table.plan td { padding: 2px 0; font-variant-numeric: tabular-nums; }
  .clock { color: var(--dim); }
  pre.summary { background: #1e2026; padding: 10px 12px; border-radius: 6px; margin: 8px 0 16px; }
  svg text { fill: var(--fg); font: 12px system-ui, sans-serif; }
  .timeline .whole { fill: #24262d; } .timeline .played { fill: #343844; }
  .timeline .out .overlap { fill: var(--out); opacity: .55; } .timeline .in .overlap { fill: var(--in); opacity: .55; }
  .timeline .downbeats { stroke: #c9c9d2; stroke-width: 1; opacity: .7; }
  .timeline .label { fill: var(--dim); } .timeline .name { font-size: 12px; }
  .timeline .time, .timeline .axis { fill: var(--dim); font-size: 11px; }
  .timeline .axis { text-anchor: middle; }
  figure { margin: 12px 0; } figcaption { color: var(--dim); font-size: 13px; margin-top: 4px; }
  .layers { position: relative; cursor: pointer; } .layers > * { position: absolute; left: 0; top: 0; }
  .spectrogram .overlap-band { fill: none; stroke: var(--accent); stroke-width: 2; stroke-dasharray: 6 4; }
  .spectrogram .strategy-mark { fill: var(--accent); opacity: .9; stroke: #000; stroke-width: 1; }
  .spectrogram .grid { stroke: #fff; stroke-opacity: .18; } .spectrogram .freq { fill: #fff; font-size: 11px; opacity: .8; }
  .spectrogram .edge { fill: var(--accent); font-size: 12px; }
  .spectrogram .tick { fill: #fff; font-size: 11px; opacity: .8; text-anchor: middle; }
  .spectrogram .playhead { stroke: #fff; stroke-width: 1.5; opacity: 0; }
  audio { width: ${WIDTH}px; }
  .set .set-track { fill: #343844; } .set .set-overlap { fill: var(--accent); opacity: .35; } .set .set-name { font-size: 11px; }
`;

// Moves a playhead over each spectrogram while its player runs, and seeks
// the player when the spectrogram is clicked.
const SCRIPT = `
  for (const figure of document.querySelectorAll('figure.spectrogram')) {
    const index = figure.dataset.index;
    const audio = document.querySelector('audio.player[data-index="' + index + '"]');
    const playhead = figure.querySelector('.playhead');
    const length = Number(figure.dataset.length);
    const width = figure.querySelector('img').width;
    const place = () => {
      const x = (audio.currentTime / length) * width;
      playhead.setAttribute('d', 'M' + x.toFixed(1) + ' 0V' + figure.querySelector('img').height);
      playhead.style.opacity = audio.currentTime > 0 ? 1 : 0;
    };
    audio.addEventListener('timeupdate', place);
    figure.querySelector('.layers').addEventListener('click', (event) => {
      const box = event.currentTarget.getBoundingClientRect();
      audio.currentTime = ((event.clientX - box.left) / box.width) * length;
      audio.play().catch(() => {});
      place();
    });
  }
  document.body.dataset.ready = 'true';
`;

/**
 * The report page. `mix` is what runMix returns, with an excerpt on every
 * transition; `title` heads the page.
 */
function buildReport(mix, { title = 'Segue transition report' } = {}) {
  const sections = mix.transitions.map((transition, index) => {
    const heading =
      mix.transitions.length > 1
        ? `Transition ${index + 1}: ${escapeHtml(transition.outgoing)} &rarr; ${escapeHtml(transition.incoming)}`
        : `${escapeHtml(transition.outgoing)} &rarr; ${escapeHtml(transition.incoming)}`;
    return `
  <section class="transition" id="transition-${index + 1}">
    <h2>${heading}</h2>
    ${planTable(transition)}
    <pre class="summary">${escapeHtml(transition.result.summary)}</pre>
    ${timelineSvg(transition)}
    ${spectrogramFigure(transition, index)}
    ${playerFigure(transition, index)}
  </section>`;
  });
  const overview =
    mix.transitions.length > 1
      ? `<section class="overview"><h2>The set</h2>${setOverview(mix)}</section>`
      : '';
  return `<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>${escapeHtml(title)}</title>
<style>${STYLE}</style>
</head>
<body>
  <h1>${escapeHtml(title)}</h1>
  <p class="meta">${mix.tracks.length} tracks, ${mix.transitions.length} transition${mix.transitions.length === 1 ? '' : 's'},
    mix ${formatClock(mix.duration)} at ${mix.sampleRate} Hz, ${mix.channels === 1 ? 'mono' : mix.channels === 2 ? 'stereo' : `${mix.channels} channels`}.
    Times are on each full track's timeline.</p>
  ${overview}
  ${sections.join('\n')}
<script>${SCRIPT}</script>
</body>
</html>
`;
}

module.exports = { buildReport, planRows, outgoingBpm, escapeHtml };

'use strict';

// The same overlap made by command-line tools, for a side-by-side time.
// They cannot choose a transition, so they are handed the plan Segue chose
// (where each track starts, the overlap's length and the tempo ratios) and
// only cut, stretch, fade and mix:
//
//   (a) sox cuts both regions, `rubberband -3` (the R3 engine, the stretch
//       engine Segue uses) stretches each track whose ratio is not 1, sox
//       applies equal-power (quarter-sine) fades and mixes the two;
//   (b) one ffmpeg call: atrim, the rubberband filter (the library's
//       default engine) where a ratio is not 1, and acrossfade (qsin).
//
// Each pipeline reads the workload's WAV files (in the page cache after the
// warm-up) and writes a 32-bit float WAV, as Segue's output is float.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { probeWav } = require(path.join(__dirname, '..', 'lib', 'wav.js'));

const STRETCH_TOLERANCE = 0.0001; // the render leaves ratios this close to 1 alone

function run(command, args) {
  execFileSync(command, args, { stdio: ['ignore', 'ignore', 'pipe'] });
}

// The Debian package versions: what `bench-setup.sh` installs and what a
// reader can reproduce.
function packageVersion(name) {
  try {
    return execFileSync('dpkg-query', ['-W', '-f=${Version}', name], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
  } catch {
    return null;
  }
}

function peerVersions() {
  return { sox: packageVersion('sox'), 'rubberband-cli': packageVersion('rubberband-cli'), ffmpeg: packageVersion('ffmpeg') };
}

function needsStretch(ratio) {
  return Math.abs(ratio - 1) > STRETCH_TOLERANCE;
}

// Seconds as text for a command line: enough digits to cut to the frame.
const seconds = (value) => value.toFixed(9);

function soxRubberband(folder, work, plan) {
  const d = plan.duration;
  const tracks = [
    { wav: path.join(folder, `${plan.outgoingName}.wav`), start: plan.outgoingStart, ratio: plan.outgoingTempoRatio, tag: 'o' },
    { wav: path.join(folder, `${plan.incomingName}.wav`), start: plan.incomingStart, ratio: plan.incomingTempoRatio, tag: 'i' },
  ];
  const steps = {};
  const time = (name, action) => {
    const start = performance.now();
    action();
    steps[name] = (steps[name] ?? 0) + performance.now() - start;
  };
  const faded = [];
  for (const track of tracks) {
    const cut = path.join(work, `${track.tag}-cut.wav`);
    const stretchedFile = path.join(work, `${track.tag}-stretched.wav`);
    const fadedFile = path.join(work, `${track.tag}-faded.wav`);
    const stretched = needsStretch(track.ratio);
    const length = stretched ? track.ratio * d : d;
    time('sox cut', () => run('sox', ['-V1', track.wav, '-e', 'floating-point', cut, 'trim', seconds(track.start), seconds(length)]));
    let source = cut;
    if (stretched) {
      time('rubberband -3', () => run('rubberband', ['-3', '-q', '-D', seconds(d), cut, stretchedFile]));
      source = stretchedFile;
    }
    const fade = track.tag === 'o' ? ['fade', 'q', '0', seconds(d), seconds(d)] : ['fade', 'q', seconds(d)];
    time('sox fade', () => run('sox', ['-V1', source, '-e', 'floating-point', fadedFile, ...fade]));
    faded.push(fadedFile);
  }
  const output = path.join(work, 'a-mix.wav');
  time('sox mix', () => run('sox', ['-V1', '-m', '-v', '1', faded[0], '-v', '1', faded[1], '-e', 'floating-point', output]));
  return { steps, output };
}

function ffmpegRubberband(folder, work, plan) {
  const d = plan.duration;
  const chain = (input, start, ratio, label) => {
    const stretched = needsStretch(ratio);
    const length = stretched ? ratio * d : d;
    const filters = [`atrim=start=${seconds(start)}:duration=${seconds(length)}`, 'asetpts=PTS-STARTPTS'];
    if (stretched) filters.push(`rubberband=tempo=${ratio}`);
    return `[${input}:a]${filters.join(',')}[${label}]`;
  };
  const graph = [
    chain(0, plan.outgoingStart, plan.outgoingTempoRatio, 'a'),
    chain(1, plan.incomingStart, plan.incomingTempoRatio, 'b'),
    `[a][b]acrossfade=d=${seconds(d)}:c1=qsin:c2=qsin`,
  ].join(';');
  const output = path.join(work, 'b-mix.wav');
  const start = performance.now();
  run('ffmpeg', [
    '-nostdin', '-y', '-loglevel', 'error',
    '-i', path.join(folder, `${plan.outgoingName}.wav`),
    '-i', path.join(folder, `${plan.incomingName}.wav`),
    '-filter_complex', graph, '-c:a', 'pcm_f32le', output,
  ]);
  return { steps: { ffmpeg: performance.now() - start }, output };
}

const PIPELINES = {
  a: { name: 'sox + rubberband -3 + sox', run: soxRubberband },
  b: { name: 'ffmpeg atrim + rubberband + acrossfade', run: ffmpegRubberband },
};

/**
 * Runs the pipelines on one plan, one run at a time, so that the caller can
 * interleave them with its own measurements. `run(key)` answers the run's
 * total and per-step times (ms) and the frames of its output; `close()`
 * removes the working folder.
 */
function createPeerRunner(folder, plan) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'segue-peers-'));
  return {
    run(key) {
      const start = performance.now();
      const { steps, output } = PIPELINES[key].run(folder, work, plan);
      const total = performance.now() - start;
      return { total, steps, frames: probeWav(output).frames };
    },
    close() {
      fs.rmSync(work, { recursive: true, force: true });
    },
  };
}

module.exports = { createPeerRunner, peerVersions, packageVersion, PIPELINES };

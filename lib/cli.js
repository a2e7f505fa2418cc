'use strict';

// The `segue` command: render one transition, mix a playlist, run the demo
// or write example tracks. Bad input ends with a one-line message and exit
// code 2, a transition the engine turns down with its reason and exit code 1.

const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');
const { UsageError, RejectionError } = require('./errors');
const { parseNumber, parseWholeNumber, parseBeatLengths, readWindow, readDuckCurve } = require('./options');
const { fileEntry, memoryEntry } = require('./tracks');
const { readPlaylist } = require('./playlist');
const { runMix, DEFAULT_EXCERPT_SECONDS } = require('./mix');
const { buildReport } = require('./report');
const { planTable } = require('./text');
const { WavWriter, writeWav, checkFormat } = require('./wav');
const { generateTrack } = require('./generator');
const { writeSidecar } = require('./grid');
const { formatClock } = require('./format');
const { createProgress } = require('./progress');

const ROOT = path.join(__dirname, '..');

const HELP = {
  main: `Usage: segue <command> [options]

Commands:
  render <outgoing.wav> <incoming.wav> -o mix.wav   one transition between two tracks
  mix <playlist.json> -o set.wav                    a continuous mix of a playlist
  demo [--out DIR]                                  render the built-in example tracks
  generate -o track.wav [--bpm N] [--key K]         write an example track and its beat file

Run "segue <command> --help" for the options of a command.
Exit codes: 0 done, 1 the engine found no acceptable transition, 2 bad input,
70 an internal fault (set SEGUE_TRACE=1 to print its stack).`,

  render: `Usage: segue render <outgoing.wav> <incoming.wav> [-o mix.wav] [options]

Plans and renders the transition from the outgoing to the incoming track and
writes the stitched mix: the outgoing track up to the overlap, the overlap,
then the incoming track from where the overlap left it. Tracks longer than
90 s are sliced around the overlap; all times are on the full tracks.

Output:
  -o, --output FILE            the stitched mix as WAV
      --overlap FILE           the overlap alone as WAV
      --report FILE            an HTML report (plan, timeline, spectrogram, player)
      --plan FILE              the plan as JSON (full-track times), for scripts
      --format 16|24|32f       sample format of the WAV files (default 16)

Beat information, per track (outgoing shown; incoming the same):
  (default)                    track.json beside track.wav: {"bpm":…, "beats":[…], "downbeats":[…]}
      --outgoing-grid FILE     a beat file elsewhere
      --outgoing-bpm N         a regular grid at N BPM instead of a beat file, with
      --outgoing-first-downbeat S   the first downbeat at S seconds (default 0)
      --outgoing-beats-per-bar N    and N beats to a bar (default 4)
      --bpm, --first-downbeat, --beats-per-bar   the same for both tracks

Where the transition may lie (seconds or m:ss, on the full track):
      --outgoing-start A..B    the overlap starts on the outgoing track between A and B
      --outgoing-end A..B      the outgoing track is consumed up to a point between A and B
      --incoming-start A..B    the incoming track enters between A and B
      --incoming-end A..B      the overlap ends on the incoming track between A and B
      --beat-lengths 8,16      overlap lengths in beats to consider (default: all)
      --duck-curve FILE        values laid evenly over the whole outgoing track (JSON
                               array or numbers separated by blanks); in a filtered
                               blend 1 closes the outgoing low-pass as planned, 0 holds
                               it open
      --diagnostics            add the chosen candidate's scores to the summary

  -h, --help                   this text

Example:
  segue render a.wav b.wav -o mix.wav --report mix.html --beat-lengths 16,32`,

  mix: `Usage: segue mix <playlist.json> -o set.wav [options]

Mixes the playlist's tracks into one continuous WAV file, with one rendered
transition per consecutive pair. The playlist is a JSON list of WAV files
(beat file beside each, as track.json) or an object:

  { "tracks": ["a.wav", {"file": "b.wav", "bpm": 126}, {"file": "c.wav", "grid": "c-beats.json"}],
    "transitions": [{"outgoing": {"start": "2:30..2:45"}, "beatLengths": [16]}],
    "beatLengths": [8, 16, 32], "diagnostics": false }

Paths are relative to the playlist. Options:
  -o, --output FILE            the mix as WAV (required)
      --report FILE            an HTML report covering every transition
      --plan FILE              every transition's plan as JSON (full-track times)
      --format 16|24|32f       sample format (default 16)
      --diagnostics            scores in every summary
  -h, --help                   this text`,

  demo: `Usage: segue demo [--out DIR]

Generates two example tracks (124 BPM in A minor and 128 BPM in C major,
about 90 s each), renders the transition between them and writes into DIR
(default out/): demo-overlap.wav, demo-mix.wav and demo.html.`,

  generate: `Usage: segue generate -o track.wav [options]

Writes a deterministic example track (drums, bass and chords) and its beat
file track.json beside it.
      --bpm N            tempo (default 124)
      --key KEY          e.g. "A minor", "F# major", "Ebm" (default A minor)
      --seconds S        length cap: as many whole bars as fit (default 90)
      --seed N           varies the groove (default 1)
      --rate HZ          sample rate (default 48000)
      --mono             one channel instead of two
      --format 16|24|32f sample format (default 16)`,
};

function loadEngine() {
  let addon;
  try {
    addon = require(ROOT);
  } catch (error) {
    throw new UsageError(String(error.message).split('\n')[0]);
  }
  if (typeof addon.renderTransition !== 'function') {
    throw new UsageError('the Segue addon in build/ does not provide renderTransition; rebuild it with `npm run setup`');
  }
  return addon.renderTransition;
}

function parse(command, args, options) {
  try {
    return parseArgs({ args, options: { ...options, help: { type: 'boolean', short: 'h' } }, allowPositionals: true, strict: true });
  } catch (error) {
    const unknown = /Unknown option '([^']+)'/.exec(error.message);
    if (unknown) throw new UsageError(`unknown option ${unknown[1]} (see segue ${command} --help)`);
    const missing = /Option '(?:-\w, )?(--[\w-]+)[^']*' argument missing/.exec(error.message);
    if (missing) throw new UsageError(`option ${missing[1]} needs a value`);
    const notString = /Option '(?:-\w, )?(--[\w-]+)[^']*' argument is ambiguous/.exec(error.message);
    if (notString) throw new UsageError(`option ${notString[1]} needs a value`);
    const boolean = /Option '(?:-\w, )?(--[\w-]+)' does not take an argument/.exec(error.message);
    if (boolean) throw new UsageError(`option ${boolean[1]} takes no value`);
    throw new UsageError(error.message.split('\n')[0]);
  }
}

function checkOutputPath(file, flag) {
  const folder = path.dirname(path.resolve(file));
  if (!fs.existsSync(folder)) throw new UsageError(`cannot write ${file} (${flag}): folder ${folder} does not exist`);
}

function sameFile(a, b) {
  if (path.resolve(a) === path.resolve(b)) return true;
  try {
    const sa = fs.statSync(a);
    const sb = fs.statSync(b);
    return sa.dev === sb.dev && sa.ino === sb.ino;
  } catch {
    return false;
  }
}

/** Refuses to overwrite an input (a track, a beat file, the playlist) with an output. */
function checkOutputsApart(outputs, inputs) {
  for (const [flag, file] of outputs) {
    if (!file) continue;
    const clash = inputs.find((input) => input && sameFile(file, input));
    if (clash) throw new UsageError(`${flag} ${file} is also an input; write to another file`);
  }
  const given = outputs.filter(([, file]) => file);
  for (let i = 0; i < given.length; i += 1) {
    for (let j = i + 1; j < given.length; j += 1) {
      if (sameFile(given[i][1], given[j][1])) throw new UsageError(`${given[i][0]} and ${given[j][0]} name the same file`);
    }
  }
}

const GRID_FLAGS = ['bpm', 'first-downbeat', 'beats-per-bar'];

/** Where a track's beats come from, from the render command's flags. */
function gridFromFlags(values, role) {
  const own = (flag) => values[`${role}-${flag}`];
  const sidecar = values[`${role}-grid`];
  const ownGiven = GRID_FLAGS.filter((flag) => own(flag) !== undefined);
  if (sidecar !== undefined && ownGiven.length > 0) {
    throw new UsageError(`give either --${role}-grid or --${role}-${ownGiven[0]}, not both`);
  }
  if (sidecar !== undefined) return { sidecar };
  const pick = (flag) => (own(flag) !== undefined ? [own(flag), `--${role}-${flag}`] : values[flag] !== undefined ? [values[flag], `--${flag}`] : [undefined]);
  const [bpm, bpmFlag] = pick('bpm');
  const [first, firstFlag] = pick('first-downbeat');
  const [perBar, perBarFlag] = pick('beats-per-bar');
  if (bpm === undefined) {
    if (first !== undefined || perBar !== undefined) {
      throw new UsageError(`${firstFlag || perBarFlag} needs a tempo: give --bpm or --${role}-bpm as well`);
    }
    return {};
  }
  return {
    bpm: parseNumber(bpm, bpmFlag),
    firstDownbeat: first === undefined ? 0 : parseNumber(first, firstFlag),
    beatsPerBar: perBar === undefined ? 4 : parseWholeNumber(perBar, perBarFlag, 1, 32),
  };
}

function regionFromFlags(values, role) {
  const region = {};
  if (values[`${role}-start`] !== undefined) region.start = readWindow(values[`${role}-start`], `--${role}-start`);
  if (values[`${role}-end`] !== undefined) region.end = readWindow(values[`${role}-end`], `--${role}-end`);
  return region;
}

function wavSink(file, format) {
  return (channels, sampleRate) => new WavWriter(file, { channels, sampleRate, format });
}

function describeAudio(mix) {
  const layout = mix.channels === 1 ? 'mono' : mix.channels === 2 ? 'stereo' : `${mix.channels} channels`;
  return `${formatClock(mix.duration)}, ${mix.sampleRate} Hz ${layout}`;
}

function printTransitions(mix, out) {
  mix.transitions.forEach((transition, index) => {
    if (mix.transitions.length > 1) out.write(`\nTransition ${index + 1}: ${transition.outgoing} -> ${transition.incoming}\n`);
    out.write(`${transition.result.summary.trimEnd()}\n\n${planTable(transition)}\n`);
  });
}

/** The plans as data: every number of each result except the audio. */
function planJson(mix) {
  return {
    mix: { duration: mix.duration, frames: mix.frames, sampleRate: mix.sampleRate, channels: mix.channels },
    tracks: mix.tracks.map((track) => ({ name: track.name, duration: track.duration, mixStart: track.mixStart })),
    transitions: mix.transitions.map((transition) => {
      const { channels, ...result } = transition.result;
      return {
        outgoing: transition.outgoing,
        incoming: transition.incoming,
        ...result,
        mixOverlapStart: transition.mixOverlapStart,
        mixOverlapEnd: transition.mixOverlapEnd,
      };
    }),
  };
}

function writePlan(file, mix) {
  try {
    fs.writeFileSync(file, `${JSON.stringify(planJson(mix), null, 2)}\n`);
  } catch (error) {
    throw new UsageError(`cannot write ${file}: ${error.message}`);
  }
}

function writeReport(file, mix, title) {
  try {
    fs.writeFileSync(file, buildReport(mix, { title }));
  } catch (error) {
    throw new UsageError(`cannot write ${file}: ${error.message}`);
  }
}

const RENDER_OPTIONS = {
  output: { type: 'string', short: 'o' },
  overlap: { type: 'string' },
  report: { type: 'string' },
  plan: { type: 'string' },
  format: { type: 'string', default: '16' },
  'outgoing-grid': { type: 'string' },
  'incoming-grid': { type: 'string' },
  ...Object.fromEntries(
    GRID_FLAGS.flatMap((flag) => [
      [flag, { type: 'string' }],
      [`outgoing-${flag}`, { type: 'string' }],
      [`incoming-${flag}`, { type: 'string' }],
    ]),
  ),
  'outgoing-start': { type: 'string' },
  'outgoing-end': { type: 'string' },
  'incoming-start': { type: 'string' },
  'incoming-end': { type: 'string' },
  'beat-lengths': { type: 'string' },
  'duck-curve': { type: 'string' },
  diagnostics: { type: 'boolean', default: false },
};

async function renderCommand(args, io) {
  const { values, positionals } = parse('render', args, RENDER_OPTIONS);
  if (values.help) return io.stdout.write(`${HELP.render}\n`), 0;
  if (positionals.length !== 2) {
    throw new UsageError(`render needs two WAV files, the outgoing and the incoming track (got ${positionals.length}); see segue render --help`);
  }
  const format = checkFormat(values.format, '--format');
  if (!values.output && !values.overlap && !values.report && !values.plan) {
    throw new UsageError('nothing to write: give -o mix.wav, --overlap overlap.wav, --report report.html or --plan plan.json');
  }
  const outputs = ['output', 'overlap', 'report', 'plan'].map((flag) => [`--${flag}`, values[flag]]);
  for (const [flag, file] of outputs) if (file) checkOutputPath(file, flag);
  checkOutputsApart(outputs, [...positionals, values['outgoing-grid'], values['incoming-grid'], values['duck-curve']]);
  const entries = [
    fileEntry(positionals[0], gridFromFlags(values, 'outgoing')),
    fileEntry(positionals[1], gridFromFlags(values, 'incoming')),
  ];
  const transition = { outgoing: regionFromFlags(values, 'outgoing'), incoming: regionFromFlags(values, 'incoming') };
  if (values['beat-lengths'] !== undefined) transition.beatLengths = parseBeatLengths(values['beat-lengths'], '--beat-lengths');
  if (values['duck-curve'] !== undefined) transition.duckCurve = readDuckCurve(values['duck-curve']);
  for (const entry of entries) entry.probe();

  const renderTransition = loadEngine();
  const mix = await runMix({
    entries,
    transitions: [transition],
    diagnostics: values.diagnostics,
    renderTransition,
    writer: values.output ? wavSink(values.output, format) : () => null,
    keepOverlaps: Boolean(values.overlap),
    excerptSeconds: values.report ? DEFAULT_EXCERPT_SECONDS : 0,
  });
  printTransitions(mix, io.stdout);
  io.stdout.write('\n');
  if (values.output) io.stdout.write(`Wrote ${values.output} (${describeAudio(mix)})\n`);
  if (values.overlap) {
    const { channels, sampleRate } = mix.transitions[0].overlap;
    writeWav(values.overlap, channels, sampleRate, format);
    io.stdout.write(`Wrote ${values.overlap} (the overlap, ${formatClock(channels[0].length / sampleRate)})\n`);
  }
  if (values.report) {
    writeReport(values.report, mix, `${entries[0].name} → ${entries[1].name}`);
    io.stdout.write(`Wrote ${values.report}\n`);
  }
  if (values.plan) {
    writePlan(values.plan, mix);
    io.stdout.write(`Wrote ${values.plan}\n`);
  }
  return 0;
}

async function mixCommand(args, io) {
  const { values, positionals } = parse('mix', args, {
    output: { type: 'string', short: 'o' },
    report: { type: 'string' },
    plan: { type: 'string' },
    format: { type: 'string', default: '16' },
    diagnostics: { type: 'boolean', default: false },
  });
  if (values.help) return io.stdout.write(`${HELP.mix}\n`), 0;
  if (positionals.length !== 1) throw new UsageError(`mix needs one playlist file (got ${positionals.length}); see segue mix --help`);
  if (!values.output) throw new UsageError('mix needs -o set.wav, the file to write the mix to');
  const format = checkFormat(values.format, '--format');
  checkOutputPath(values.output, '--output');
  if (values.report) checkOutputPath(values.report, '--report');
  if (values.plan) checkOutputPath(values.plan, '--plan');
  const playlist = readPlaylist(positionals[0]);
  checkOutputsApart(
    [['--output', values.output], ['--report', values.report], ['--plan', values.plan]],
    [positionals[0], ...playlist.entries.flatMap((entry) => entry.inputs)],
  );
  for (const entry of playlist.entries) entry.probe();

  const renderTransition = loadEngine();
  const progress = createProgress(io.stderr);
  let mix;
  try {
    mix = await runMix({
      entries: playlist.entries,
      transitions: playlist.transitions,
      diagnostics: values.diagnostics || playlist.diagnostics,
      renderTransition,
      writer: wavSink(values.output, format),
      excerptSeconds: values.report ? DEFAULT_EXCERPT_SECONDS : 0,
      onProgress: progress.update,
    });
  } finally {
    progress.stop();
  }
  printTransitions(mix, io.stdout);
  io.stdout.write(`\nWrote ${values.output} (${mix.tracks.length} tracks, ${mix.transitions.length} transitions, ${describeAudio(mix)})\n`);
  if (values.report) {
    writeReport(values.report, mix, `Mix of ${path.basename(positionals[0])}`);
    io.stdout.write(`Wrote ${values.report}\n`);
  }
  if (values.plan) {
    writePlan(values.plan, mix);
    io.stdout.write(`Wrote ${values.plan}\n`);
  }
  return 0;
}

/** The two built-in example tracks, as the demo and the tests use them. */
function demoTracks() {
  return [
    { name: 'example 124 BPM, A minor', track: generateTrack({ bpm: 124, key: 'A minor', seconds: 90, seed: 1 }) },
    { name: 'example 128 BPM, C major', track: generateTrack({ bpm: 128, key: 'C major', seconds: 90, seed: 2 }) },
  ];
}

async function demoCommand(args, io) {
  const { values, positionals } = parse('demo', args, { out: { type: 'string', default: path.join(ROOT, 'out') } });
  if (values.help) return io.stdout.write(`${HELP.demo}\n`), 0;
  if (positionals.length > 0) throw new UsageError(`demo takes no file arguments (got ${positionals[0]}); see segue demo --help`);
  const folder = values.out;
  try {
    fs.mkdirSync(folder, { recursive: true });
  } catch (error) {
    throw new UsageError(`cannot create ${folder}: ${error.message}`);
  }
  const files = {
    overlap: path.join(folder, 'demo-overlap.wav'),
    mix: path.join(folder, 'demo-mix.wav'),
    report: path.join(folder, 'demo.html'),
  };
  const renderTransition = loadEngine();
  const tracks = demoTracks();
  io.stdout.write(`Rendering a transition from "${tracks[0].name}" to "${tracks[1].name}"\n\n`);
  const mix = await runMix({
    entries: tracks.map(({ name, track }) => memoryEntry(track, name)),
    transitions: [{}],
    renderTransition,
    writer: wavSink(files.mix, '16'),
    keepOverlaps: true,
    excerptSeconds: DEFAULT_EXCERPT_SECONDS,
  });
  printTransitions(mix, io.stdout);
  const { channels, sampleRate } = mix.transitions[0].overlap;
  writeWav(files.overlap, channels, sampleRate, '16');
  writeReport(files.report, mix, 'Segue demo');
  io.stdout.write(`\nWrote:\n  ${files.overlap}\n  ${files.mix}\n  ${files.report}\n`);
  return 0;
}

async function generateCommand(args, io) {
  const { values, positionals } = parse('generate', args, {
    output: { type: 'string', short: 'o' },
    bpm: { type: 'string', default: '124' },
    key: { type: 'string', default: 'A minor' },
    seconds: { type: 'string', default: '90' },
    seed: { type: 'string', default: '1' },
    rate: { type: 'string', default: '48000' },
    mono: { type: 'boolean', default: false },
    format: { type: 'string', default: '16' },
  });
  if (values.help) return io.stdout.write(`${HELP.generate}\n`), 0;
  if (positionals.length > 0) throw new UsageError(`generate takes no file arguments; give the output with -o`);
  if (!values.output) throw new UsageError('generate needs -o track.wav');
  const format = checkFormat(values.format, '--format');
  checkOutputPath(values.output, '--output');
  const track = generateTrack({
    bpm: parseNumber(values.bpm, '--bpm'),
    key: values.key,
    seconds: parseNumber(values.seconds, '--seconds'),
    seed: parseWholeNumber(values.seed, '--seed', 0, 4294967295),
    sampleRate: parseWholeNumber(values.rate, '--rate', 8000, 384000),
    channels: values.mono ? 1 : 2,
  });
  writeWav(values.output, track.channels, track.sampleRate, format);
  const sidecar = writeSidecar(values.output, track);
  const length = track.channels[0].length / track.sampleRate;
  io.stdout.write(`Wrote ${values.output} (${formatClock(length)}, ${track.bars} bars at ${track.bpm} BPM in ${track.key}) and ${sidecar}\n`);
  return 0;
}

const COMMANDS = { render: renderCommand, mix: mixCommand, demo: demoCommand, generate: generateCommand };

/** Runs the command line; resolves to the exit code. Never throws. */
async function main(argv, io = { stdout: process.stdout, stderr: process.stderr }) {
  const [command, ...args] = argv;
  try {
    if (command === undefined || command === '--help' || command === '-h' || command === 'help') {
      const topic = command === 'help' && args[0] in HELP ? args[0] : 'main';
      io.stdout.write(`${HELP[topic]}\n`);
      return command === undefined ? 2 : 0;
    }
    const run = COMMANDS[command];
    if (!run) throw new UsageError(`unknown command "${command}"; the commands are render, mix, demo and generate (see segue --help)`);
    return await run(args, io);
  } catch (error) {
    if (error instanceof UsageError || error instanceof RejectionError) {
      io.stderr.write(`segue: ${error.message}\n`);
      return error.exitCode;
    }
    // Not the user's fault: say so in one line, with the stack for a bug report.
    io.stderr.write(`segue: unexpected failure: ${error && error.message}\n`);
    if (process.env.SEGUE_TRACE) io.stderr.write(`${error && error.stack}\n`);
    return 70;
  }
}

module.exports = { main, demoTracks, HELP };

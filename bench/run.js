#!/usr/bin/env node
'use strict';

// The benchmark runner behind `npm run bench` (full) and `npm run
// bench:quick` (a minute or less). It measures, on the generated workload
// (bench/workload.js):
//   1. the whole renderTransition call from JavaScript and the time it
//      holds the JavaScript thread;
//   2. every stage inside the job (Google Benchmark, bench/stages_bench.cpp)
//      and the JavaScript result conversion;
//   3. throughput with 1, 2 and 4 calls in flight;
//   4. peak RSS per call in flight against the input PCM;
//   5. command-line peers given the same plan (bench/peers.js);
//   6. stretch quality against native renders (bench/stretch_quality.cpp);
// checks the performance targets and writes a Markdown results page:
// bench/RESULTS.md for a full run, build-bench/RESULTS-quick.md for a quick
// one (so a quick look never replaces the committed page).
//
// Usage: node bench/run.js [--quick] [--out FILE] [--print-workload]
// Expects the addon in build/ and the benchmark programs in build-bench/
// (scripts/bench-setup.sh builds both; the npm scripts run it first).

const { execFileSync, spawn, spawnSync } = require('node:child_process');
const readline = require('node:readline');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { prepareWorkload, prepareReference, floorSeed } = require('./workload');
const { createPeerRunner, peerVersions, packageVersion, PIPELINES } = require('./peers');

const ROOT = path.join(__dirname, '..');
const BENCH_BUILD = path.join(ROOT, 'build-bench');

const TARGETS = {
  exceptStretchMs: 150,
  jsThreadMs: 60,
  twoInFlightSpeedup: 1.8,
  peerASpeedup: 1.7,
  rssPerCallOverPcm: 3,
};

const SETTINGS = {
  full: {
    warmups: 2,
    rounds: 11,
    inFlight: [2, 4],
    rssCounts: [1, 2, 4],
    stageRepetitions: 5,
    // Stages of a second or more run once per repetition whatever this is;
    // the job-less-stretch case gets several jobs per repetition.
    stageMinTime: 0.4,
    stageWarmup: 0.2,
    // Stage cases per workload variant (null: all of them).
    stageCases: { '48k': null, '44k1-to-48k': null },
    variants: ['48k', '44k1-to-48k'],
  },
  quick: {
    warmups: 1,
    rounds: 5,
    inFlight: [2],
    rssCounts: [1, 2],
    stageRepetitions: 5,
    stageMinTime: 0.05,
    stageWarmup: 0.05,
    // The composite cases repeat the stretch that the job-less-stretch case
    // already times; the 44.1 kHz variant only for its conversion.
    stageCases: {
      '48k': [
        'build_inputs', 'engine_setup', 'analysis_outgoing', 'analysis_incoming', 'search_and_scoring', 'loudness',
        'plan_transition', 'stretcher_setup', 'cut', 'filtering', 'mixing', 'fill_result', 'job_except_stretch',
      ],
      '44k1-to-48k': ['resampling'],
    },
    variants: ['48k'],
  },
};

const VARIANT_TRACKS = {
  '48k': { outgoing: 'outgoing', incoming: 'incoming', label: '48 kHz + 48 kHz' },
  '44k1-to-48k': { outgoing: 'outgoing44k', incoming: 'incoming', label: '44.1 kHz outgoing + 48 kHz incoming' },
};

function parseArguments(argv) {
  const options = { quick: false, out: null, printWorkload: false };
  for (let i = 0; i < argv.length; i += 1) {
    const arg = argv[i];
    if (arg === '--quick') options.quick = true;
    else if (arg === '--print-workload') options.printWorkload = true;
    else if (arg === '--out') {
      options.out = argv[i + 1];
      i += 1;
      if (!options.out) throw new Error('--out needs a file name');
    } else throw new Error(`unknown argument ${arg} (expected --quick, --out FILE or --print-workload)`);
  }
  return options;
}

const log = (text) => process.stderr.write(`bench: ${text}\n`);

function median(values) {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : 0.5 * (sorted[middle - 1] + sorted[middle]);
}

function output(command, args) {
  try {
    return execFileSync(command, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] }).trim();
  } catch {
    return null;
  }
}

// CPU time of the whole machine and of this process with its finished
// children, in seconds: their difference over the run is what other users
// of the machine took, the honest measure of how noisy the timings are.
function cpuSnapshot() {
  const ticks = Number(output('getconf', ['CLK_TCK'])) || 100;
  const [user, nice, system, , , irq, softirq, steal] = fs
    .readFileSync('/proc/stat', 'utf8')
    .split('\n')[0]
    .trim()
    .split(/\s+/)
    .slice(1)
    .map(Number);
  const fields = fs.readFileSync('/proc/self/stat', 'utf8').split(') ')[1].split(' ');
  // utime, stime, cutime, cstime are fields 14 to 17; 3 fields precede the split.
  const own = fields.slice(11, 15).map(Number).reduce((a, b) => a + b, 0);
  return { machine: (user + nice + system + irq + softirq + steal) / ticks, own: own / ticks, at: Date.now() };
}

function requireBuilt(file, hint) {
  if (!fs.existsSync(file)) throw new Error(`${file} is missing: ${hint}`);
}

// --- The machine -----------------------------------------------------------

function cmakeCache(name) {
  const cache = path.join(BENCH_BUILD, 'CMakeCache.txt');
  if (!fs.existsSync(cache)) return null;
  const match = new RegExp(`^${name}:[A-Z]+=(.*)$`, 'm').exec(fs.readFileSync(cache, 'utf8'));
  return match ? match[1] : null;
}

function machine() {
  const cpus = os.cpus();
  const compiler = cmakeCache('CMAKE_CXX_COMPILER') ?? 'c++';
  const modversion = (name) => output('pkg-config', ['--modversion', name]);
  return {
    cpu: cpus.length ? cpus[0].model.trim() : 'unknown',
    cores: cpus.length,
    memory: `${(os.totalmem() / 2 ** 30).toFixed(1)} GiB`,
    kernel: `${os.type()} ${os.release()}`,
    distribution: fs.existsSync('/etc/debian_version')
      ? `Debian ${fs.readFileSync('/etc/debian_version', 'utf8').trim()}`
      : os.version(),
    node: process.version,
    compiler: (output(compiler, ['--version']) ?? compiler).split('\n')[0],
    buildType: cmakeCache('CMAKE_BUILD_TYPE') ?? 'unknown',
    libraries: {
      fftw3f: modversion('fftw3f'),
      libebur128: modversion('libebur128'),
      soxr: modversion('soxr'),
      rubberband: modversion('rubberband'),
      'google-benchmark': packageVersion('libbenchmark-dev'),
    },
    peers: peerVersions(),
    commit: output('git', ['-C', ROOT, 'rev-parse', '--short', 'HEAD']),
    dirty: Boolean(output('git', ['-C', ROOT, 'status', '--porcelain', '--untracked-files=no'])),
  };
}

// --- Measurements ----------------------------------------------------------

function runNode(script, args, { exposeGc = true } = {}) {
  const flags = exposeGc ? ['--expose-gc'] : [];
  const result = spawnSync(process.execPath, [...flags, path.join(__dirname, script), ...args], {
    encoding: 'utf8',
    maxBuffer: 64 * 2 ** 20,
  });
  if (result.status !== 0) {
    throw new Error(`${script} failed (${result.status ?? result.signal}): ${result.stderr.trim()}`);
  }
  return JSON.parse(result.stdout);
}

// The call-timing process (bench/call-child.js), spoken to one request at
// a time.
function startCallServer(folder, variants) {
  const args = variants.map((v) => `${v}=${VARIANT_TRACKS[v].outgoing},${VARIANT_TRACKS[v].incoming}`);
  const child = spawn(process.execPath, ['--expose-gc', path.join(__dirname, 'call-child.js'), folder, ...args], {
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let stderr = '';
  child.stderr.on('data', (chunk) => {
    stderr += chunk;
  });
  const waiting = [];
  let failure = null;
  const fail = (error) => {
    failure = error;
    while (waiting.length) waiting.shift().reject(error);
  };
  readline.createInterface({ input: child.stdout }).on('line', (line) => waiting.shift()?.resolve(JSON.parse(line)));
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      if (code !== 0) fail(new Error(`call-child.js failed (${code ?? signal}): ${stderr.trim()}`));
      resolve();
    });
  });
  child.on('error', fail);
  return {
    request(body) {
      if (failure) return Promise.reject(failure);
      return new Promise((resolve, reject) => {
        waiting.push({ resolve, reject });
        child.stdin.write(`${JSON.stringify(body)}\n`);
      });
    },
    // Waits for the process to end, so its CPU time is counted as ours.
    close() {
      child.stdin.end();
      return exited;
    },
  };
}

// Our calls, the batches in flight and the peers' runs, round by round:
// every comparison is made within a round, so a busy spell of the shared
// machine hits both of its sides, and the targets take medians of those
// per-round ratios.
async function measureRounds(folder, settings) {
  // A process per variant, and another for the batches in flight, for the
  // allocator's sake: a process that just held several calls' buffers at
  // once, or another variant's, hands a single call fresh pages where a
  // process repeating one kind of call reuses its own, and those page
  // faults would read as a cost of the call (see measureStages). The first
  // call of a fresh process is timed apart (measureRss).
  const servers = {};
  for (const variant of settings.variants) servers[variant] = startCallServer(folder, [variant]);
  if (settings.inFlight.length) servers.batches = startCallServer(folder, ['48k']);
  try {
    const call = (variant) => servers[variant].request({ op: 'call', variant });
    const batch = async (variant, count) => (await servers.batches.request({ op: 'batch', variant, count })).elapsed;
    for (let i = 0; i < settings.warmups; i += 1) {
      for (const variant of settings.variants) await call(variant);
    }
    const describe = await servers['48k'].request({ op: 'describe', variant: '48k' });
    const peerRunner = createPeerRunner(folder, { ...describe.plan, outgoingName: 'outgoing', incomingName: 'incoming' });
    const calls = {};
    for (const variant of settings.variants) calls[variant] = { runs: [], inFlight: {} };
    const main = calls['48k'];
    for (const count of settings.inFlight) main.inFlight[count] = [];
    const peers = {};
    for (const key of Object.keys(PIPELINES)) peers[key] = { name: PIPELINES[key].name, totals: [], steps: [] };
    const pairs = { twoInFlight: [], peerA: [], peerB: [] };
    try {
      // The peers' and the batches' own warm-up.
      for (const key of Object.keys(PIPELINES)) peerRunner.run(key);
      for (const count of settings.inFlight) await batch('48k', count);
      for (let round = 0; round < settings.rounds; round += 1) {
        log(`round ${round + 1} of ${settings.rounds}`);
        const ours = await call('48k');
        main.runs.push(ours);
        for (const key of Object.keys(PIPELINES)) {
          const run = peerRunner.run(key);
          peers[key].totals.push(run.total);
          peers[key].steps.push(run.steps);
          peers[key].frames = run.frames;
          pairs[key === 'a' ? 'peerA' : 'peerB'].push(run.total / ours.whole);
        }
        for (const count of settings.inFlight) {
          const elapsed = await batch('48k', count);
          main.inFlight[count].push(elapsed);
          if (count === 2) pairs.twoInFlight.push((2 * ours.whole) / elapsed);
        }
        for (const variant of settings.variants.filter((v) => v !== '48k')) calls[variant].runs.push(await call(variant));
      }
    } finally {
      peerRunner.close();
    }
    for (const variant of settings.variants) {
      Object.assign(calls[variant], await servers[variant].request({ op: 'describe', variant }));
    }
    return { calls, peers, pairs };
  } finally {
    await Promise.all(Object.values(servers).map((server) => server.close()));
  }
}

function measureRss(folder, counts) {
  return counts.map((count) => runNode('rss-child.js', [folder, 'outgoing', 'incoming', String(count)]));
}

// One process per workload variant: a process that has held another
// variant's buffers hands out memory differently (the allocator's reuse of
// large blocks), which would show up as a stage cost of its own.
function measureStages(folder, settings) {
  const merged = { stages: {}, plans: [], libraryBuildType: null };
  for (const [variant, cases] of Object.entries(settings.stageCases)) {
    const all = (cases ?? STAGE_ROWS.map(([name]) => name)).filter(
      (name) => name !== 'resampling' || variant !== '48k',
    );
    // The job less its stretch, the figure a target rests on, gets a process
    // of its own as well: there the job's large copies meet the allocator of
    // a process that repeats jobs, as a process repeating calls does, not
    // one that the other cases' buffers have fragmented.
    const groups = [all.filter((name) => name !== 'job_except_stretch'), all.filter((name) => name === 'job_except_stretch')];
    for (const group of groups.filter((g) => g.length)) {
      const part = measureStagesOf(folder, settings, variant, group);
      Object.assign(merged.stages, part.stages);
      for (const plan of part.plans) if (!merged.plans.includes(plan)) merged.plans.push(plan);
      merged.libraryBuildType = part.libraryBuildType;
    }
  }
  return merged;
}

function measureStagesOf(folder, settings, variant, cases) {
  const program = path.join(BENCH_BUILD, 'bench', 'stages_bench');
  requireBuilt(program, 'run scripts/bench-setup.sh');
  const names = `(${cases.join('|')})`;
  const args = [
    `--benchmark_repetitions=${settings.stageRepetitions}`,
    `--benchmark_min_time=${settings.stageMinTime}`,
    `--benchmark_min_warmup_time=${settings.stageWarmup}`,
    '--benchmark_report_aggregates_only=true',
    '--benchmark_format=json',
    `--benchmark_filter=^${names}/${variant.replace(/\./g, '\\.')}/`,
  ];
  const result = spawnSync(program, args, {
    encoding: 'utf8',
    env: { ...process.env, SEGUE_BENCH_WORKLOAD: folder },
    maxBuffer: 64 * 2 ** 20,
  });
  if (result.status !== 0) throw new Error(`stages_bench failed: ${result.stderr.trim()}`);
  // Google Benchmark writes NaN and infinities as bare words (a coefficient
  // of variation of a counter that is 0 in every repetition is 0 / 0), which
  // JSON does not have.
  const report = JSON.parse(result.stdout.replace(/:\s*-?(nan|NaN|inf|Infinity)\b/g, ': null'));
  const stages = {};
  for (const entry of report.benchmarks) {
    const [stage, variant] = entry.run_name.split('/');
    const key = `${stage}/${variant}`;
    stages[key] ??= { stage, variant };
    if (entry.error_occurred) stages[key].error = entry.error_message;
    if (entry.aggregate_name === 'median') {
      stages[key].ms = entry.real_time;
      for (const counter of [
        'x_realtime', 'frames', 'candidates', 'lanes', 'tracks', 'span_s',
        'job_ms', 'stretch_ms', 'kernel_ms', 'job_cpu_ms', 'job_wall_ms',
      ]) {
        if (entry[counter] !== undefined) stages[key][counter] = entry[counter];
      }
    }
    if (entry.aggregate_name === 'cv') stages[key].cv = entry.real_time;
  }
  const plans = result.stderr
    .split('\n')
    .filter((line) => line.startsWith('workload '))
    .map((line) => line.slice('workload '.length));
  return { stages, plans, libraryBuildType: report.context.library_build_type };
}

function measureQuality(folder, targetBpm, settings) {
  const program = path.join(BENCH_BUILD, 'bench', 'stretch_quality');
  requireBuilt(program, 'run scripts/bench-setup.sh');
  const seed = floorSeed(1);
  const reference = prepareReference(folder, 'outgoing', targetBpm, { log });
  const floor = prepareReference(folder, 'outgoing', targetBpm, {
    seed,
    name: `outgoing-at-${targetBpm}-seed-${seed}`,
    log,
  });
  const rows = [];
  for (const variant of settings.variants) {
    const { outgoing, incoming, label } = VARIANT_TRACKS[variant];
    const result = spawnSync(program, [outgoing, incoming, reference, floor], {
      encoding: 'utf8',
      env: { ...process.env, SEGUE_BENCH_WORKLOAD: folder },
    });
    if (result.status !== 0) throw new Error(`stretch_quality failed: ${result.stderr.trim()}`);
    rows.push({ variant, label, ...JSON.parse(result.stdout) });
  }
  return { seed, rows };
}

// --- The page --------------------------------------------------------------

const ms = (value, digits = 1) => (Number.isFinite(value) ? `${value.toFixed(digits)} ms` : 'n/a');
const fixed = (value, digits = 2) => (Number.isFinite(value) ? value.toFixed(digits) : 'n/a');
const mib = (bytes) => `${(bytes / 2 ** 20).toFixed(1)} MiB`;
const verdict = (pass) => (pass ? '**pass**' : '**FAIL**');

function table(header, rows) {
  const line = (cells) => `| ${cells.join(' | ')} |`;
  return [line(header), line(header.map(() => '---')), ...rows.map(line)].join('\n');
}

const STAGE_ROWS = [
  ['build_inputs', 'building buffers and grids (the job copies both tracks)'],
  ['engine_setup', 'configuration and spectral analyser'],
  ['analysis_outgoing', 'analysis, outgoing track'],
  ['analysis_incoming', 'analysis, incoming track'],
  ['search_and_scoring', 'search and scoring'],
  ['loudness', 'loudness (two EBU R128 readings)'],
  ['plan_transition', 'whole planner call (search, scoring, loudness, plan)'],
  ['stretcher_setup', 'time-stretching processor creation'],
  ['cut', 'cutting the two regions'],
  ['resampling', 'resampling (44.1 to 48 kHz, outgoing region)'],
  ['stretching', 'time-stretching, processor reused (steady state)'],
  ['stretching_in_job', 'time-stretching as in a job (fresh processor, created in the timed region)'],
  ['conditioning', 'whole conditioning of both tracks'],
  ['filtering', "filtering (the plan's lanes)"],
  ['filtering_bass_swap', 'filtering with bass-swap lanes (comparison)'],
  ['filtering_filtered_blend', 'filtering with filtered-blend lanes (comparison)'],
  ['mixing', 'mixing (envelopes, sums, peak ceiling)'],
  ['render_overlap', 'whole render'],
  ['fill_result', 'filling the result record (summary text)'],
  ['compute', 'whole job (`compute`)'],
  ['job_except_stretch', 'whole job less the stretch inside it'],
  ['compute_in_parallel', 'two whole jobs at once on two threads (wall time of the pair)'],
];

function summarizeCalls(calls) {
  const pick = (key) => median(calls.runs.map((run) => run[key]));
  return {
    whole: pick('whole'),
    sync: pick('sync'),
    completion: pick('completion'),
    jsThread: median(calls.runs.map((run) => run.sync + run.completion)),
    runs: calls.runs.length,
  };
}

function writePage(data) {
  const { mode, settings, machineInfo, workload, calls, stages, rss, peers, pairs, quality, load, started, finished } = data;
  const main = summarizeCalls(calls['48k']);
  const stage = (name, variant = '48k') => stages.stages[`${name}/${variant}`] ?? {};
  // The stretch's share of the job, both timed within the same jobs.
  const jobStretch = stage('job_except_stretch');
  const stretchShare = jobStretch.stretch_ms / jobStretch.job_ms;

  const throughput = { 1: 1000 / main.whole };
  for (const [count, batches] of Object.entries(calls['48k'].inFlight)) {
    throughput[count] = (Number(count) * 1000) / median(batches);
  }
  // Targets that compare two measurements use the median of the per-round
  // ratios: both sides of each ratio ran within the same round.
  const twoInFlight = median(pairs.twoInFlight);
  const peerASpeedup = median(pairs.peerA);
  const speedupBound = peerASpeedup / stretchShare;

  const peerA = median(peers.a.totals);
  const peerB = median(peers.b.totals);
  const rssPerCall = rss.map((r) => ({ ...r, perCall: (r.peak - r.base) / r.count, own: (r.peak - r.inputs) / r.count }));
  const worstRss = Math.max(...rssPerCall.map((r) => r.perCall / r.pcm));

  const targets = [];
  // Everything but the stretch: the call's JavaScript-thread parts plus the
  // job less the stretch inside it (bench/stages_bench.cpp,
  // job_except_stretch), so the stretch's own noise stays out of it.
  const exceptStretchOf = (variant) => {
    const c = summarizeCalls(calls[variant]);
    return { js: c.jsThread, job: stage('job_except_stretch', variant).ms, whole: c.whole };
  };
  for (const variant of settings.variants) {
    const e = exceptStretchOf(variant);
    targets.push([
      `everything except the stretch, ≤ ${TARGETS.exceptStretchMs} ms (${VARIANT_TRACKS[variant].label})`,
      `JavaScript thread ${ms(e.js)} + job less its stretch ${ms(e.job)} = ${ms(e.js + e.job)}`,
      verdict(e.js + e.job <= TARGETS.exceptStretchMs),
    ]);
  }
  targets.push(
    [
      `JavaScript-thread time (synchronous part + completion), ≤ ${TARGETS.jsThreadMs} ms`,
      `${ms(main.sync)} + ${ms(main.completion)} = ${ms(main.jsThread)}`,
      verdict(main.jsThread <= TARGETS.jsThreadMs),
    ],
    [
      `2 calls in flight, ≥ ${TARGETS.twoInFlightSpeedup}× the throughput of 1`,
      `${fixed(twoInFlight)}× (median over rounds; medians ${fixed(throughput[2])} and ${fixed(throughput[1])} calls/s)`,
      verdict(twoInFlight >= TARGETS.twoInFlightSpeedup),
    ],
    [
      `whole call ≥ ${TARGETS.peerASpeedup}× faster than peer (a)`,
      `${fixed(peerASpeedup)}× (median over rounds; medians ${ms(peerA)} and ${ms(main.whole)})`,
      verdict(peerASpeedup >= TARGETS.peerASpeedup),
    ],
    [
      `peak RSS per call in flight ≤ ${TARGETS.rssPerCallOverPcm}× the input PCM`,
      `worst ${fixed(worstRss)}× (${rssPerCall.map((r) => `${r.count} in flight: ${fixed(r.perCall / r.pcm)}×`).join(', ')})`,
      verdict(worstRss <= TARGETS.rssPerCallOverPcm),
    ],
  );

  // Why a target is missed, from the same figures, so that the page
  // explains itself.
  const targetNotes = [];
  if (!(peerASpeedup >= TARGETS.peerASpeedup)) {
    targetNotes.push(
      `Peer (a) stretches with the same library and engine (R3) as Segue, and that stretch is ${fixed(100 * stretchShare, 0)} % ` +
        `of Segue's job (${ms(jobStretch.stretch_ms)} of ${ms(jobStretch.job_ms)}, timed inside the job). Even if everything else in the call cost nothing, the call would be at most ` +
        `${fixed(speedupBound)}× faster than peer (a); ${TARGETS.peerASpeedup}× would need the stretch itself to run faster than the library runs it, ` +
        'which no change outside the library can do without changing the rendered samples (splitting the channels over two threads, for one, changes them: ' +
        'the engine does not stretch the channels of a stereo track independently).',
    );
  }
  const parallel = stage('compute_in_parallel');
  const engineScaling = (2 * stage('compute').ms) / parallel.ms;
  if (!(twoInFlight >= TARGETS.twoInFlightSpeedup)) {
    targetNotes.push(
      `Calls in flight: the per-round ratios range from ${fixed(Math.min(...pairs.twoInFlight))}× to ${fixed(Math.max(...pairs.twoInFlight))}× on this shared virtual machine. ` +
        (Number.isFinite(engineScaling)
          ? `Inside the engine two jobs at once take ${ms(parallel.ms)} against ${ms(stage('compute').ms)} for one (${fixed(engineScaling)}× the throughput), ` +
            `and each job's CPU time (${ms(parallel.job_cpu_ms)}) equals its wall time (${ms(parallel.job_wall_ms)}): the jobs never wait for each other. `
          : '') +
        `What two calls do share is the JavaScript thread (${ms(main.jsThread)} per call), which caps the ratio near ` +
        `${fixed((2 * main.whole) / (main.whole + main.jsThread))}×; the rest of the shortfall is the cores running slower while both are busy.`,
    );
  }
  for (const variant of settings.variants.filter((v) => v !== '48k')) {
    const e = exceptStretchOf(variant);
    if (e.js + e.job <= TARGETS.exceptStretchMs) continue;
    targetNotes.push(
      `${VARIANT_TRACKS[variant].label}: everything but the stretch is ${ms(e.js + e.job)} against ${ms(exceptStretchOf('48k').js + exceptStretchOf('48k').job)} ` +
        `for the 48 kHz pair. The difference is the conversion of the outgoing region (${ms(stage('resampling', variant).ms)}) and the kernel's time faulting in fresh pages ` +
        `(${ms(stage('job_except_stretch', variant).kernel_ms)} per job against ${ms(stage('job_except_stretch').kernel_ms)}): with two tracks of different lengths the allocator ` +
        "keeps handing the job's largest buffers fresh pages from the system, where with two of one length it reuses its own. The large fixed parts are the two copies of the input " +
        `made by design (the task's on the JavaScript thread, ${ms(summarizeCalls(calls[variant]).sync)}; the job's, ${ms(stage('build_inputs', variant).ms)}) and the two analyses ` +
        `(${ms(stage('analysis_outgoing', variant).ms + stage('analysis_incoming', variant).ms)}), which could run side by side on two threads without changing a sample, ` +
        'at the price of a job using more than its one worker thread.',
    );
  }
  if (!(worstRss <= TARGETS.rssPerCallOverPcm)) {
    const r = rssPerCall[0];
    targetNotes.push(
      `Memory: a call holds three copies of its input PCM by design (the caller's arrays, the task's copy made on the JavaScript thread, ` +
        `the job's copy in its audio buffers), which is ${TARGETS.rssPerCallOverPcm}.00× before anything else; the call's working memory adds ` +
        `${fixed((r.perCall - 3 * r.pcm) / r.pcm)}× (${mib(r.perCall - 3 * r.pcm)}: the cut and conditioned regions, the stretcher's buffers, ` +
        'the rendered overlap and the analyses). Meeting the target would take one copy fewer, which changes who owns the samples.',
    );
  }

  const lines = [];
  const push = (...text) => lines.push(...text);
  push(
    '# Segue benchmark results',
    '',
    `Written by \`${mode === 'full' ? 'npm run bench' : 'npm run bench:quick'}\` (bench/run.js) on ${started.toISOString()}; ` +
      `the run took ${((finished - started) / 1000).toFixed(0)} s. Commit ${machineInfo.commit}${machineInfo.dirty ? ' with local changes' : ''}.`,
    `Medians of ${main.runs} rounds after ${settings.warmups} warm-up call(s): each round makes one call of each variant, runs each peer once and each batch of calls in flight once, ` +
      `so that what is compared ran side by side. Stage medians of ${settings.stageRepetitions} repetitions after a warm-up.`,
    '',
    `Other processes on the machine took ${fixed(load.othersCpuSeconds, 0)} CPU-seconds during the run's ${fixed(load.seconds, 0)} s ` +
      `(${fixed(load.othersCpuSeconds / load.seconds)} of ${machineInfo.cores} cores on average; load average ${fixed(load.start[0])} at the start, ${fixed(load.end[0])} at the end): ` +
      (load.othersCpuSeconds / load.seconds > 0.1
        ? '**the machine was busy with other work during this run, so the timings are inflated and the in-flight figures understated.**'
        : 'the machine was quiet.'),
    '',
    '## Targets',
    '',
    table(['target', 'measured', 'result'], targets),
    '',
    ...targetNotes.flatMap((note) => [note, '']),
    '## Machine',
    '',
    table(
      ['', ''],
      [
        ['CPU', `${machineInfo.cpu}, ${machineInfo.cores} cores`],
        ['memory', machineInfo.memory],
        ['system', `${machineInfo.distribution}, ${machineInfo.kernel}`],
        ['Node.js', machineInfo.node],
        ['compiler', `${machineInfo.compiler} (${machineInfo.buildType}, -ffp-contract=off)`],
        ...Object.entries(machineInfo.libraries).map(([name, version]) => [name, version ?? 'not found']),
        ...Object.entries(machineInfo.peers).map(([name, version]) => [`${name} (peer)`, version ?? 'not installed']),
      ],
    ),
    '',
    stages.libraryBuildType === 'debug'
      ? "Debian's Google Benchmark library reports itself as a debug build; that affects only the harness's own bookkeeping, not the code it times (built Release here).\n"
      : '',
    '## Workload',
    '',
    'Generated by the example-track generator (lib/generator.js: drums, bass and chords with exact beats and ' +
      'downbeats, every time constant a whole number of beats), stereo, default request (no windows, every beat length, ' +
      'no duck curve, no diagnostics).',
    '',
    table(
      ['track', 'tempo', 'key', 'seed', 'rate', 'length'],
      Object.entries(workload.tracks).map(([name, t]) => [
        name,
        `${t.bpm} BPM`,
        t.key,
        String(t.seed),
        `${t.sampleRate} Hz`,
        `${t.seconds.toFixed(2)} s (${t.bars} bars, ${t.frames} frames)`,
      ]),
    ),
    '',
    `Input PCM of one call: ${mib(calls['48k'].inputBytes)} (two stereo float tracks).`,
    '',
    'The plan the job chooses:',
    '',
    ...stages.plans.map((plan) => `- ${plan}`),
    '',
    `Summary text of the 48 kHz call:`,
    '',
    '```',
    calls['48k'].summary.trim(),
    '```',
    '',
    '## The whole call from JavaScript',
    '',
    'Call to settled promise; the synchronous part is the call until it returns the promise (reading the arguments ' +
      'and copying the PCM into the task); the completion is the JavaScript-thread time between return and ' +
      'settling (event-loop active time while the job runs elsewhere: converting the result, settling, releasing the task). ' +
      "Each variant runs in a process of its own (so do each variant's stage cases, and the job less its stretch once more apart): a process that also holds the other " +
      "variant's buffers hands out large blocks differently, and its page faults would read as a cost of the call.",
    '',
    table(
      ['variant', 'whole call', 'synchronous part', 'completion', 'JavaScript thread'],
      Object.entries(calls).map(([variant, c]) => {
        const s = summarizeCalls(c);
        return [VARIANT_TRACKS[variant].label, ms(s.whole), ms(s.sync), ms(s.completion, 2), ms(s.jsThread)];
      }),
    ),
    '',
    '## Stages inside the job',
    '',
    'Google Benchmark (bench/stages_bench.cpp), each stage on exactly the inputs the job hands it on this workload; ' +
      '"share" is of the whole job (of the whole call in a quick run). The composite rows (planner call, conditioning, render, job) include the rows above them.',
    '',
  );
  for (const variant of settings.variants) {
    push(`### ${VARIANT_TRACKS[variant].label}`, '');
    // Shares of the whole job, or of the whole call where the job alone was
    // not timed (the quick run).
    const total = stage('compute', variant).ms ?? (calls[variant] ? summarizeCalls(calls[variant]).whole : NaN);
    const rows = [];
    for (const [name, label] of STAGE_ROWS) {
      const s = stage(name, variant);
      if (s.ms === undefined && !s.error) continue;
      if (s.error) {
        rows.push([label, 'n/a', '', s.error]);
        continue;
      }
      const notes = [];
      if (s.x_realtime !== undefined) notes.push(`${fixed(s.x_realtime, 0)}× real time`);
      if (s.frames !== undefined) notes.push(`${s.frames} frames over ${fixed(s.span_s, 1)} s`);
      if (s.candidates !== undefined) notes.push(`${s.candidates} candidates`);
      if (s.job_cpu_ms !== undefined) notes.push(`each job ${ms(s.job_wall_ms)} wall, ${ms(s.job_cpu_ms)} CPU`);
      if (s.stretch_ms !== undefined) notes.push(`job ${ms(s.job_ms)}, of which the stretch ${ms(s.stretch_ms)} (timed inside the job)`);
      if (s.kernel_ms !== undefined) notes.push(`${ms(s.kernel_ms)} of the job in the kernel (faulting in fresh pages)`);
      if (s.cv !== undefined) notes.push(`cv ${fixed(100 * s.cv, 0)} %`);
      rows.push([label, ms(s.ms, s.ms < 1 ? 3 : 1), Number.isFinite(total) ? `${fixed((100 * s.ms) / total, 1)} %` : '', notes.join(', ')]);
    }
    const c = calls[variant] && summarizeCalls(calls[variant]);
    if (c) {
      rows.push(['result conversion and settling (JavaScript thread)', ms(c.completion, 2), '', 'measured from JavaScript']);
      rows.push(['argument conversion and PCM copy (JavaScript thread)', ms(c.sync), '', 'measured from JavaScript']);
    }
    push(table(['stage', 'median', 'share', 'notes'], rows), '');
  }

  push(
    `The first call of a fresh process (timed where the peak memory is measured below) takes ${ms(rss[0].whole)}, ` +
      `of which ${ms(rss[0].sync)} synchronous: nothing is warm yet, and every large block it copies into is fresh pages ` +
      "that the kernel must fault in; a process repeating calls of one size mostly reuses its own.",
    '',
    '## Throughput with calls in flight',
    '',
    `Each batch starts N calls at once on the same two tracks and waits for all; medians of ${settings.rounds} batches after a warm-up batch ` +
      `(1 in flight: the whole-call runs above). The host's thread pool has ${calls['48k'].threadpool} threads; the machine has ${machineInfo.cores} cores.`,
    '',
    table(
      ['calls in flight', 'batch time', 'throughput', 'relative to 1'],
      Object.keys(throughput).map((count) => [
        count,
        ms(count === '1' ? main.whole : median(calls['48k'].inFlight[count])),
        `${fixed(throughput[count])} calls/s`,
        `${fixed(throughput[count] / throughput[1])}×`,
      ]),
    ),
    '',
    ...(Number.isFinite(engineScaling)
      ? [
          `Inside the engine (no JavaScript), two jobs at once on two threads take ${ms(parallel.ms)} against ${ms(stage('compute').ms)} for one job ` +
            `(${fixed(engineScaling)}× the throughput); each of the two jobs used ${ms(parallel.job_cpu_ms)} of CPU in ${ms(parallel.job_wall_ms)} of wall time.`,
          '',
        ]
      : []),
    '## Peak memory per call in flight',
    '',
    'A fresh process per count: the RSS after loading the addon (base), after each caller read its own copy of the two ' +
      'tracks (inputs), and the kernel\'s peak RSS over the run. "Per call" is (peak − base) / N, so it includes the ' +
      "caller's arrays; \"of the call\" leaves them out.",
    '',
    table(
      ['calls in flight', 'base', 'with inputs', 'peak', 'per call', 'per call / input PCM', 'of the call / input PCM'],
      rssPerCall.map((r) => [
        String(r.count),
        mib(r.base),
        mib(r.inputs),
        mib(r.peak),
        mib(r.perCall),
        `${fixed(r.perCall / r.pcm)}×`,
        `${fixed(r.own / r.pcm)}×`,
      ]),
    ),
    '',
    `Input PCM per call: ${mib(rss[0].pcm)}. A call holds the caller's arrays, the task's copy (made on the JavaScript thread) ` +
      "and the job's own copy in its audio buffers, so three times the input PCM is reached before the job allocates " +
      'anything else; the rest is the conditioned regions, the rendered overlap, the analyses and the allocator\'s slack.',
    '',
    '## Peers side by side',
    '',
    'The same overlap made by command-line tools handed Segue\'s plan (start on each track, duration, tempo ratios); ' +
      'each run reads the workload as 32-bit float WAV and writes 32-bit float WAV. Tracks whose ratio is 1 are not stretched, as in Segue. ' +
      `Medians of ${peers.a.totals.length} runs after a warm-up, one per round, next to one Segue call.`,
    '',
    table(
      ['pipeline', 'median', 'steps (medians)', 'output frames', 'Segue / peer (per round)', 'peer / Segue (per round)'],
      Object.entries(peers).map(([key, p]) => {
        const total = median(p.totals);
        const steps = Object.keys(p.steps[0])
          .map((step) => `${step} ${ms(median(p.steps.map((s) => s[step])))}`)
          .join(', ');
        return [
          `(${key}) ${PIPELINES[key].name}`,
          ms(total),
          steps,
          String(p.frames),
          `${fixed(1 / median(pairs[key === 'a' ? 'peerA' : 'peerB']))}`,
          `${fixed(median(pairs[key === 'a' ? 'peerA' : 'peerB']))}×`,
        ];
      }),
    ),
    '',
    `Segue's whole call (48 kHz): ${ms(main.whole)}; its stretch is ${fixed(100 * stretchShare, 0)} % of the job. Peer (a) runs the same library and engine (R3) for its stretch ` +
      `(its rubberband step alone: ${ms(median(peers.a.steps.map((s) => s['rubberband -3'] ?? 0)))}), so even with everything else free a Segue call could be at most ` +
      `${fixed(speedupBound)}× faster than peer (a). Peer (b) uses the rubberband filter's default (the faster R2 engine) and has no analysis, search or loudness reading.`,
    '',
    '## Stretch quality (a report, not a test)',
    '',
    "The generator makes every time constant a whole number of beats, so the outgoing track's pattern rendered natively at " +
      `the target tempo is the ideal stretch. Our stretched outgoing overlap (before filters, fades and mixing) is compared with ` +
      `the same beats of that native render; the native render with seed ${quality.seed} (the same groove, other noise in every hit) against ` +
      'the first gives the floor of each measure.',
    '',
    '- onsets: energy above 3 kHz (256-sample frames, 32-sample hop) at least 9 dB above its mean over the preceding 8 ms and within 30 dB of the loudest frame, the largest such rise within 30 ms; each native onset is paired with our nearest within 25 ms;',
    '- jitter: 95th percentile of |offset − median offset| (the median is a constant delay, shown apart);',
    '- pre-echo: energy above 3 kHz in the 20 ms before each onset over the 20 ms after it, ours minus native, median (dB; above 0 means smearing ahead of the hit);',
    '- ⅓-octave log-spectral distance: RMS over 29 bands (25 Hz to 16 kHz) of the level difference, mean over 2048-sample frames (dB);',
    '- low-frequency level: energy below 120 Hz of the mono downmix (L+R)/2, ours minus native (dB; below 0 means bass lost, e.g. to phase cancellation between the channels), and the same per channel.',
    '',
    table(
      ['source', 'ratio', 'onsets paired', 'delay', 'jitter p95', 'within 5 ms', 'pre-echo', '⅓-oct LSD', 'mono LF', 'per-channel LF'],
      quality.rows.flatMap((row) => [
        [
          `${row.label}, ours`,
          fixed(row.ratio, 5),
          `${row.ours.matched} of ${row.ours.onsets}`,
          ms(row.ours.onset_offset_ms, 2),
          ms(row.ours.onset_jitter_p95_ms, 2),
          `${fixed(100 * row.ours.onsets_within_5ms, 0)} %`,
          `${fixed(row.ours.pre_echo_db, 2)} dB`,
          `${fixed(row.ours.lsd_db, 2)} dB`,
          `${fixed(row.ours.mono_lf_db, 2)} dB`,
          `${fixed(row.ours.stereo_lf_db, 2)} dB`,
        ],
        [
          'noise floor (other seed, native)',
          '',
          `${row.floor.matched} of ${row.floor.onsets}`,
          ms(row.floor.onset_offset_ms, 2),
          ms(row.floor.onset_jitter_p95_ms, 2),
          `${fixed(100 * row.floor.onsets_within_5ms, 0)} %`,
          `${fixed(row.floor.pre_echo_db, 2)} dB`,
          `${fixed(row.floor.lsd_db, 2)} dB`,
          `${fixed(row.floor.mono_lf_db, 2)} dB`,
          `${fixed(row.floor.stereo_lf_db, 2)} dB`,
        ],
      ]),
    ),
    '',
    `Target tempo ${quality.rows[0]?.target_bpm} BPM from ${quality.rows[0]?.source_bpm} BPM (ratio ${fixed(quality.rows[0]?.ratio, 6)}), ` +
      `${fixed(quality.rows[0]?.seconds, 2)} s of output per row.`,
    '',
    '## How to run',
    '',
    '```sh',
    'npm run bench        # everything, writes bench/RESULTS.md',
    'npm run bench:quick  # a minute or less, writes build-bench/RESULTS-quick.md',
    '```',
    '',
    'Both first run scripts/bench-setup.sh, which installs what is missing (the build dependencies, sox, rubberband-cli, ' +
      'ffmpeg) and builds the addon (build/) and the benchmark programs (build-bench/). The machine is shared: check ' +
      '`uptime` and rerun when it is quiet before reading a miss into a number.',
    '',
  );
  return lines.join('\n');
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const mode = options.quick ? 'quick' : 'full';
  const settings = SETTINGS[mode];
  const started = new Date();
  const load = { start: os.loadavg(), cpu: cpuSnapshot() };

  const workload = prepareWorkload({ log });
  if (options.printWorkload) {
    process.stdout.write(`${workload.folder}\n`);
    return;
  }
  requireBuilt(path.join(ROOT, 'build', 'segue.node'), 'run scripts/bench-setup.sh (or npm run setup)');

  const machineInfo = machine();
  log('timing the whole call, calls in flight and the peers, round by round');
  const { calls, peers, pairs } = await measureRounds(workload.folder, settings);
  log('measuring peak memory per call in flight');
  const rss = measureRss(workload.folder, settings.rssCounts);
  const plan = calls['48k'].plan;

  log('timing the stages inside the job');
  const stages = measureStages(workload.folder, settings);

  log('measuring stretch quality');
  const quality = measureQuality(workload.folder, plan.targetBpm, settings);

  load.end = os.loadavg();
  const cpu = cpuSnapshot();
  load.othersCpuSeconds = Math.max(0, cpu.machine - load.cpu.machine - (cpu.own - load.cpu.own));
  load.seconds = (cpu.at - load.cpu.at) / 1000;
  const page = writePage({
    mode,
    settings,
    machineInfo,
    workload,
    calls,
    stages,
    rss,
    peers,
    pairs,
    quality,
    load,
    started,
    finished: new Date(),
  });
  // Every measurement behind the page, for a closer look.
  fs.mkdirSync(BENCH_BUILD, { recursive: true });
  fs.writeFileSync(
    path.join(BENCH_BUILD, `bench-raw-${mode}.json`),
    JSON.stringify({ settings, machineInfo, calls, pairs, peers, rss, stages, quality, load }, null, 1),
  );
  const file = options.out ?? (options.quick ? path.join(BENCH_BUILD, 'RESULTS-quick.md') : path.join(__dirname, 'RESULTS.md'));
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, page);
  process.stdout.write(page.slice(0, page.indexOf('## Machine')));
  log(`results written to ${path.relative(process.cwd(), file) || file}`);
}

main().catch((error) => {
  process.stderr.write(`bench: ${error.message}\n`);
  process.exit(1);
});

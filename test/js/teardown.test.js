'use strict';

// Teardown while calls are in flight: process.exit() from the main thread,
// worker.terminate() with work queued, running and completing, and the
// addon loaded and unloaded by one worker after another. Each scenario runs
// in a child process, so that a crash or an abort shows as its exit status.
// `npm run soak` repeats them many more times.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { root, testHostPath, sanitized } = require('./fixtures');

const soak = Boolean(process.env.SEGUE_SOAK);
const fixtures = path.join(__dirname, 'fixtures.js');

function runNode(script, args = [], nodeArgs = []) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, [...nodeArgs, '-e', script, '--', ...args.map(String)],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8').on('data', (text) => {
      stdout += text;
    });
    child.stderr.setEncoding('utf8').on('data', (text) => {
      stderr += text;
    });
    child.on('close', (status, signal) => resolve({ status, signal, stdout, stderr }));
  });
}

// Two children at a time: the machine's cores are shared.
async function runEach(argsList, script) {
  const runs = [];
  for (let i = 0; i < argsList.length; i += 2) {
    runs.push(...await Promise.all(argsList.slice(i, i + 2).map((args) => runNode(script, args))));
  }
  return runs;
}

// Eight calls, stretched and resampled ones among them so that some are
// still running, then process.exit(7) at a moment given by the argument:
// "now" (everything queued), "getter" (from a getter while a ninth call's
// arguments are read), "settled:<n>" (from the callback of the n-th result)
// or a delay in milliseconds.
const exitScript = `
  const { renderTransition } = require(${JSON.stringify(root)});
  const { track } = require(${JSON.stringify(fixtures)});
  const moment = process.argv[process.argv.length - 1];
  const calls = [
    [track({ seconds: 6, bpm: 124 }), track({ seconds: 6, bpm: 126, channelCount: 1 }), {}],
    [track({ rate: 8000, seconds: 4, bpm: 124 }), track({ rate: 8000, seconds: 4, bpm: 126 }), {}],
    [track({ rate: 1500, seconds: 6, bpm: 120 }), track({ seconds: 6, bpm: 120 }), { diagnostics: true }],
    [track({ channelCount: 2 }), track({ channelCount: 6 }), {}],
  ];
  let settled = 0;
  for (let i = 0; i < 8; i++) {
    renderTransition(...calls[i % calls.length]).then(() => {
      settled++;
      if (moment === 'settled:' + settled) process.exit(7);
    });
  }
  if (moment === 'now') process.exit(7);
  // In the middle of reading a ninth call's arguments, its channels held.
  if (moment === 'getter') renderTransition(track(), track(), { get diagnostics() { process.exit(7); } });
  if (/^\\d+$/.test(moment)) setTimeout(() => process.exit(7), Number(moment));
`;

test('process.exit() with 8 calls in flight exits cleanly with its code', async () => {
  const moments = ['now', 'getter', 'settled:1', 'settled:3', 'settled:7', '0', '2', '10', '25', '50', '100', '150', '250'];
  const runs = soak ? 100 : moments.length;
  const results = await runEach(Array.from({ length: runs }, (_, i) => [moments[i % moments.length]]), exitScript);
  results.forEach((run, i) => {
    const moment = moments[i % moments.length];
    assert.equal(run.signal, null, `run ${i} (${moment}) died: ${run.stderr}`);
    assert.equal(run.status, 7, `run ${i} (${moment}): ${run.stderr}`);
    assert.equal(run.stderr, '', `run ${i} (${moment})`);
  });
});

// Each round a worker loads the package and the test host and queues six
// slow echo jobs and two renders (more than the host's four pool threads
// take at once), then is terminated at once (work queued), after 50 ms (work
// running) or after 400 ms (the first jobs completing); every fourth round
// it is stuck in a getter of a ninth call when that happens. Between rounds the
// main thread checks the module was unloaded with the worker; at the end it
// loads the module itself and renders.
const terminateScript = `
  const fs = require('node:fs');
  const { Worker } = require('node:worker_threads');
  const rounds = Number(process.argv[process.argv.length - 1]);
  const source = \`
    const { parentPort, workerData } = require('node:worker_threads');
    const host = require(${JSON.stringify(testHostPath('plain'))});
    const { renderTransition } = require(${JSON.stringify(root)});
    const { track } = require(${JSON.stringify(fixtures)});
    for (let i = 0; i < 6; i++) host.slowEchoTransition(track(), track(), {});
    renderTransition(track({ seconds: 6, bpm: 124 }), track({ seconds: 6, bpm: 126 }), {});
    renderTransition(track({ rate: 8000, seconds: 4, bpm: 124 }), track({ rate: 8000, seconds: 4, bpm: 126 }), {});
    parentPort.postMessage('queued');
    // Every fourth round: stuck in a getter while a call's arguments are
    // read, with its channels referenced, when the worker is terminated.
    if (workerData % 4 === 3) renderTransition(track(), track(), { get diagnostics() { for (;;); } });
  \`;
  const mapped = () => fs.readFileSync('/proc/self/maps', 'utf8').includes('segue_test_host_plain.node');
  (async () => {
    for (let round = 0; round < rounds; round++) {
      const worker = new Worker(source, { eval: true, workerData: round });
      const exited = new Promise((resolve) => worker.once('exit', resolve));
      worker.once('error', (error) => { throw error; });
      await new Promise((resolve) => worker.once('message', resolve));
      await new Promise((resolve) => setTimeout(resolve, [0, 50, 400][round % 3]));
      await worker.terminate();
      await exited;
      if (mapped()) throw new Error('round ' + round + ': the module outlived its worker');
    }
    const { renderTransition } = require(${JSON.stringify(root)});
    const { track } = require(${JSON.stringify(fixtures)});
    const result = await renderTransition(track({ bpm: 124 }), track({ bpm: 126 }), {});
    process.stdout.write(result.rendered ? 'intact' : result.rejected);
  })();
`;

test('worker.terminate() with work queued, running and completing leaves the process intact', async () => {
  const run = await runNode(terminateScript, [soak ? 60 : 8]);
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stderr, '');
  assert.equal(run.stdout, 'intact');
});

// Workers terminated with six jobs each, queued and running, on tracks of
// 3.8 MB: every round leaves 46 MB of tasks and results to free, so a work
// item the completion of a dying environment forgot shows at once. (Not
// bounded under AddressSanitizer, whose quarantine holds freed memory.)
const terminatedLeakScript = `
  const { Worker } = require('node:worker_threads');
  const source = \`
    const { parentPort } = require('node:worker_threads');
    const host = require(${JSON.stringify(testHostPath('plain'))});
    const { track } = require(${JSON.stringify(fixtures)});
    const large = track({ rate: 48000, seconds: 10 });
    for (let i = 0; i < 6; i++) host.slowEchoTransition(large, large, {});
    parentPort.postMessage('queued');
  \`;
  async function round(delay) {
    const worker = new Worker(source, { eval: true });
    const exited = new Promise((resolve) => worker.once('exit', resolve));
    await new Promise((resolve) => worker.once('message', resolve));
    await new Promise((resolve) => setTimeout(resolve, delay));
    await worker.terminate();
    await exited;
  }
  (async () => {
    await round(0);
    global.gc();
    const before = process.memoryUsage().rss;
    for (let i = 0; i < 5; i++) await round([0, 100][i % 2]);
    global.gc();
    process.stdout.write(String(process.memoryUsage().rss - before));
  })();
`;

test('terminated workers leave none of their tasks or results behind', async (t) => {
  const run = await runNode(terminatedLeakScript, [], ['--expose-gc']);
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  const growth = Number(run.stdout);
  assert.ok(Number.isFinite(growth), run.stdout);
  t.diagnostic(`resident set grew by ${(growth / 1048576).toFixed(1)} MB`);
  if (!sanitized) assert.ok(growth <= 16 * 1024 * 1024, `resident set grew by ${(growth / 1048576).toFixed(1)} MB`);
});

// Fifty workers one after another, each loading the package and the test
// host, rendering and echoing, then ending by itself; the main thread never
// loads the module, so each worker's exit unloads it.
const successionScript = `
  const fs = require('node:fs');
  const { Worker } = require('node:worker_threads');
  const count = Number(process.argv[process.argv.length - 1]);
  const source = \`
    const { parentPort, workerData } = require('node:worker_threads');
    const { renderTransition } = require(${JSON.stringify(root)});
    const host = require(${JSON.stringify(testHostPath('plain'))});
    const { track } = require(${JSON.stringify(fixtures)});
    (async () => {
      const rendered = await renderTransition(track({ bpm: 124 }), track({ bpm: 126 }), {});
      const echo = await host.echoTransition(track({ channelCount: 1, sample: () => workerData }), track(), {});
      parentPort.postMessage([rendered.rendered, echo.channels[0].every((x) => x === workerData)]);
    })();
  \`;
  const mapped = () => /segue\\.node|segue_test_host_plain\\.node/.test(fs.readFileSync('/proc/self/maps', 'utf8'));
  (async () => {
    for (let i = 0; i < count; i++) {
      const level = (i + 1) / 64;
      const worker = new Worker(source, { eval: true, workerData: level });
      const answer = new Promise((resolve, reject) => {
        worker.once('message', resolve);
        worker.once('error', reject);
      });
      const code = await new Promise((resolve) => worker.once('exit', resolve));
      const [rendered, echoed] = await answer;
      if (code !== 0 || !rendered || !echoed) throw new Error('worker ' + i + ': ' + [code, rendered, echoed]);
      if (mapped()) throw new Error('worker ' + i + ': the module outlived its worker');
    }
    process.stdout.write('unloaded ' + count + ' times');
  })();
`;

test('the addon loaded and unloaded by 50 successive workers', async () => {
  const run = await runNode(successionScript, [50]);
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stderr, '');
  assert.equal(run.stdout, 'unloaded 50 times');
});

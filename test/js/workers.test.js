'use strict';

// The module in worker_threads: loaded in several environments at once,
// called there, and torn down while a job runs.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { spawnSync } = require('node:child_process');

const { root, testHostPath, track } = require('./fixtures');

const fixtures = path.join(__dirname, 'fixtures.js');

// Each worker loads the package and the test host, makes one rejected and
// one rendered call and an echo of a tone unique to it, and posts what it
// got.
const workerSource = `
  const { parentPort, workerData } = require('node:worker_threads');
  const { renderTransition } = require(${JSON.stringify(root)});
  const { loadTestHost, track } = require(${JSON.stringify(fixtures)});
  (async () => {
    const rejected = await renderTransition(track({ channelCount: 2 }), track({ channelCount: 6 }), {});
    const rendered = await renderTransition(track({ bpm: 124 }), track({ bpm: 126 }), {});
    const echo = await loadTestHost('plain').echoTransition(
      track({ channelCount: 1, sample: () => workerData.level }), track({ channelCount: 1 }), {});
    parentPort.postMessage({ rejected: rejected.rejected, rendered: rendered.channels, channel: echo.channels[0] });
  })();
`;

function runWorker(level) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(workerSource, { eval: true, workerData: { level } });
    worker.once('message', resolve);
    worker.once('error', reject);
    worker.once('exit', (code) => reject(new Error(`worker exited with ${code} before answering`)));
  });
}

// First in this file, before the main thread has loaded the module: the
// workers race to register it and to resolve its Node-API table.
test('several workers load it at once, each getting its own results', async () => {
  const levels = [0.125, 0.25, 0.375, 0.5];
  const answers = await Promise.all(levels.map(runWorker));
  const bytes = (channel) => Buffer.from(channel.buffer, channel.byteOffset, channel.byteLength);
  answers.forEach((answer, i) => {
    assert.equal(answer.rendered.length, 2);
    answer.rendered.forEach((channel, c) => assert.ok(bytes(channel).equals(bytes(answers[0].rendered[c]))));
    assert.equal(answer.rejected, 'channel count mismatch: outgoing has 2, incoming has 6, and neither is mono');
    assert.equal(answer.channel.length, 4000);
    assert.ok(answer.channel.every((x) => x === levels[i]), `worker ${i}`);
  });
});

test('the main thread and a worker call it at the same time', async () => {
  const { renderTransition } = require(root);
  const [main, answer] = await Promise.all([renderTransition({ ...track(), bpm: 0 }, track(), {}), runWorker(0.75)]);
  assert.equal(main.rejected, 'invalid beat analysis: bpm must be finite and positive, got 0');
  assert.ok(answer.channel.every((x) => x === 0.75));
});

test('terminating a worker while its jobs run does not take the process down', () => {
  // In a child process, so that a crash shows as its exit status.
  const script = `
    const { Worker } = require('node:worker_threads');
    const source = \`
      const { parentPort } = require('node:worker_threads');
      const host = require(${JSON.stringify(testHostPath('plain'))});
      const { renderTransition } = require(${JSON.stringify(root)});
      const { track } = require(${JSON.stringify(fixtures)});
      for (let i = 0; i < 3; i++) host.slowEchoTransition(track(), track(), {});
      renderTransition(track({ rate: 44100, seconds: 10, bpm: 124 }), track({ rate: 44100, seconds: 10, bpm: 126 }), {});
      parentPort.postMessage('queued');
    \`;
    (async () => {
      for (let round = 0; round < 3; round++) {
        const worker = new Worker(source, { eval: true });
        await new Promise((resolve) => worker.once('message', resolve));
        await worker.terminate();
      }
      const host = require(${JSON.stringify(testHostPath('plain'))});
      const { track } = require(${JSON.stringify(fixtures)});
      const result = await host.echoTransition(track(), track(), {});
      process.stdout.write(result.rendered ? 'still rendering' : 'broken');
    })();
  `;
  const run = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stdout, 'still rendering');
});

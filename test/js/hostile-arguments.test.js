'use strict';

// Seeded malformed calls (test/js/hostile-calls.js): each must throw an Error
// with a status code, throw exactly what its own getter threw, or settle
// with a well-formed result, and none may crash or hang the process. They
// run in a child process so that a crash shows as a signal, with the calls
// that were in flight. `npm run soak` makes many more.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn } = require('node:child_process');

const runner = path.join(__dirname, 'hostile-calls.js');
const runs = process.env.SEGUE_SOAK ? [[20240611, 100000], [1, 50000], [2, 50000]] : [[20240611, 10000]];

function runCalls(seed, count) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, [runner, String(seed), String(count)], { stdio: ['ignore', 'pipe', 'pipe'] });
    let lastIndex = -1;
    let summary = null;
    let pendingText = '';
    let stderr = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (text) => {
      const lines = (pendingText + text).split('\n');
      pendingText = lines.pop();
      for (const line of lines) {
        if (line.startsWith('@')) lastIndex = Number(line.slice(1));
        else if (line.startsWith('{')) summary = JSON.parse(line);
      }
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      stderr += text;
    });
    child.on('close', (code, signal) => resolve({ code, signal, lastIndex, summary, stderr }));
  });
}

for (const [seed, count] of runs) {
  test(`${count} malformed calls from seed ${seed} each throw a coded Error, a getter's own exception, or settle`,
    { timeout: count * 30 }, async () => {
      const run = await runCalls(seed, count);
      const where = `seed ${seed}, last call started: ${run.lastIndex} (up to 16 in flight)\n${run.stderr}`;
      assert.equal(run.signal, null, `the process died: ${where}`);
      assert.equal(run.code, 0, where);
      assert.ok(run.summary, where);
      assert.equal(run.summary.error, undefined, run.summary.error);
      assert.deepEqual(run.summary.faults, [], JSON.stringify(run.summary.faults, null, 1));
      assert.equal(run.stderr, '');
      // Every way a call can end was reached, so the run exercised them all.
      const { tally } = run.summary;
      for (const kind of ['thrownWithCode', 'thrownByGetter', 'hostTypeError', 'rendered', 'rejected', 'identical']) {
        assert.ok(tally[kind] > 0, `no call ended as ${kind}: ${JSON.stringify(tally)}`);
      }
      const made = Object.values(tally).reduce((a, b) => a + b, 0);
      assert.ok(made >= count, `only ${made} of ${count} calls ended`);
    });
}

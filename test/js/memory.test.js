'use strict';

// Leak check: many calls, with garbage collection, must leave the resident
// set flat. Each echoed call hands back 768 KB of channel storage (copied in
// the refusing host), and each real render copies 256 KB of input and hands
// back eight rendered channels, so a leak of the channel storage, of the
// task's copy of the input or of a work item grows the resident set by
// hundreds of megabytes. A loose bound, not a benchmark.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { root, testHostPath } = require('./fixtures');

const script = `
  const { renderTransition } = require(${JSON.stringify(root)});
  const plain = require(${JSON.stringify(testHostPath('plain'))});
  const refusing = require(${JSON.stringify(testHostPath('refusing'))});
  const { track } = require(${JSON.stringify(path.join(__dirname, 'fixtures.js'))});

  const large = track({ channelCount: 2, rate: 48000, seconds: 1 });
  const small = track({ channelCount: 8, rate: 1000, seconds: 4 });
  async function calls(count) {
    for (let i = 0; i < count; i++) {
      const results = await Promise.all([
        plain.echoTransition(large, large, {}),
        refusing.echoTransition(large, large, {}),
        renderTransition(small, small, {}),
      ]);
      const counts = results.map((result) => result.channels.length).join();
      if (counts !== '4,4,8') throw new Error('unexpected channel counts ' + counts);
    }
  }
  async function collect() {
    // External buffers are finalized after the collection, from the event loop.
    for (let i = 0; i < 4; i++) {
      global.gc();
      await new Promise(setImmediate);
    }
  }
  (async () => {
    await calls(50);
    await collect();
    const before = process.memoryUsage().rss;
    for (let round = 0; round < 10; round++) {
      await calls(50);
      await collect();
    }
    process.stdout.write(String(process.memoryUsage().rss - before));
  })();
`;

test('500 calls leave the resident set flat', () => {
  const run = spawnSync(process.execPath, ['--expose-gc', '-e', script], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const growth = Number(run.stdout);
  assert.ok(Number.isFinite(growth), run.stdout);
  assert.ok(growth < 32 * 1024 * 1024, `resident set grew by ${(growth / 1048576).toFixed(1)} MB`);
});

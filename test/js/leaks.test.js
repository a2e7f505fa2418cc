'use strict';

// After 50 warm-up calls, 2,000 more may grow the resident set by at most
// 16 MB once the garbage collector has run. The calls take every path that
// owns memory: rendered and rejected jobs, arguments refused after the
// channels were referenced (a bad field, a throwing getter, a failed PCM
// check), external and copied result buffers, and jobs that fault. Each uses
// fresh 20-second tracks (160 KB per track), so a reference, task, work item
// or result leaked on any one path grows the set by tens of megabytes.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { root, testHostPath, sanitized } = require('./fixtures');

// Under AddressSanitizer freed memory waits in a quarantine of hundreds of
// megabytes before reuse, so the resident set measures the quarantine, not
// leaks: there the calls still run (every owning path under the sanitizer)
// but the bound is not applied. The engine's own leaks are LeakSanitizer's.

const script = `
  const { renderTransition } = require(${JSON.stringify(root)});
  const plain = require(${JSON.stringify(testHostPath('plain'))});
  const refusing = require(${JSON.stringify(testHostPath('refusing'))});
  const { track } = require(${JSON.stringify(path.join(__dirname, 'fixtures.js'))});

  const long = track({ channelCount: 2, seconds: 20 });
  const fresh = (source, changes = {}) => ({ ...source, channels: source.channels.map((c) => c.slice()), ...changes });
  const outgoing = track({ seconds: 6, bpm: 100 });
  const incoming = track({ seconds: 6, bpm: 140 });
  const sixChannels = track({ channelCount: 6, seconds: 20 });
  const throwing = { get diagnostics() { throw new RangeError('refused'); } };

  const expectThrow = (call, check) => {
    try {
      call();
    } catch (error) {
      if (!check(error)) throw new Error('unexpected exception ' + error);
      return Promise.resolve();
    }
    throw new Error('did not throw');
  };
  const kinds = [
    () => renderTransition(fresh(outgoing), fresh(incoming), {}).then((r) => {
      if (!r.rendered) throw new Error(r.rejected);
    }),
    () => renderTransition(fresh(long), fresh(sixChannels), {}).then((r) => {
      if (r.rendered) throw new Error('2 and 6 channels rendered');
    }),
    () => expectThrow(() => renderTransition(fresh(long), fresh(long), { diagnostics: 1 }),
      (e) => e.code === 'BooleanExpected'),
    () => expectThrow(() => renderTransition(fresh(long), fresh(long), throwing), (e) => e.message === 'refused'),
    () => expectThrow(() => renderTransition(fresh(long), fresh(long, { channels: [long.channels[0].slice(), new Float32Array(5)] }), {}),
      (e) => e.message === 'incoming PCM channels have differing lengths'),
    () => plain.echoTransition(fresh(long), fresh(long), {}).then((r) => {
      if (r.channels.length !== 4) throw new Error('echo lost channels');
    }),
    () => refusing.echoTransition(fresh(long), fresh(long), {}).then((r) => {
      if (r.channels.length !== 4) throw new Error('copied echo lost channels');
    }),
    () => plain.throwingTransition(fresh(long), fresh(long), {}).then(
      () => { throw new Error('a throwing job resolved'); },
      (e) => { if (e.code !== 'GenericFailure') throw e; }),
  ];
  // A collection after each batch: the resident set then shows what stays,
  // not the garbage (inputs, results) the collector has yet to reach, which
  // the allocator keeps mapped afterwards.
  async function calls(count) {
    for (let done = 0; done < count; done += kinds.length) {
      const batch = Math.min(kinds.length, count - done);
      await Promise.all(kinds.slice(0, batch).map((call) => call()));
      global.gc();
      await new Promise(setImmediate);
    }
  }
  async function collect() {
    // External buffers are finalized after the collection, from the event loop.
    for (let i = 0; i < 6; i++) {
      global.gc();
      await new Promise(setImmediate);
    }
  }
  (async () => {
    await calls(50);
    await collect();
    const before = process.memoryUsage().rss;
    await calls(2000);
    await collect();
    process.stdout.write(String(process.memoryUsage().rss - before));
  })();
`;

test('2,000 calls on every owning path leave the resident set within 16 MB', (t) => {
  const run = spawnSync(process.execPath, ['--expose-gc', '-e', script], { encoding: 'utf8' });
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  const growth = Number(run.stdout);
  assert.ok(Number.isFinite(growth), run.stdout);
  t.diagnostic(`resident set grew by ${(growth / 1048576).toFixed(1)} MB${sanitized ? ' (sanitized: not bounded)' : ''}`);
  if (!sanitized) assert.ok(growth <= 16 * 1024 * 1024, `resident set grew by ${(growth / 1048576).toFixed(1)} MB`);
});

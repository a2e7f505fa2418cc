'use strict';

// Times renderTransition from JavaScript, in a process of its own (started
// by bench/run.js with --expose-gc) so that nothing else the runner holds
// disturbs the heap or the thread pool.
//
//   node --expose-gc bench/call-child.js '{"folder": ..., "outgoing": "outgoing",
//     "incoming": "incoming", "warmups": 1, "runs": 5, "inFlight": [2, 4],
//     "batches": 5}'
//
// Prints one JSON object: per run of one call its whole time (call to
// settled promise), its synchronous part (call to return) and the
// JavaScript-thread time of its completion (event-loop active time while
// waiting, which is the result conversion and the settling), the plan the
// result describes, and per number of calls in flight the wall time of each
// batch.

const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { readTrack } = require('./workload');

const { renderTransition } = require(path.join(__dirname, '..'));

async function timedCall(outgoing, incoming) {
  const before = performance.eventLoopUtilization();
  const start = performance.now();
  const promise = renderTransition(outgoing, incoming, {});
  const returned = performance.now();
  const waiting = performance.eventLoopUtilization();
  const result = await promise;
  const settled = performance.now();
  const completion = performance.eventLoopUtilization(waiting);
  const call = performance.eventLoopUtilization(waiting, before);
  if (!result.rendered) throw new Error(`the call was rejected: ${result.rejected}`);
  return {
    sync: returned - start,
    whole: settled - start,
    completion: completion.active,
    callActive: call.active,
    result,
  };
}

function collect() {
  if (typeof global.gc === 'function') global.gc();
}

async function main() {
  const config = JSON.parse(process.argv[2]);
  const outgoing = readTrack(config.folder, config.outgoing);
  const incoming = readTrack(config.folder, config.incoming);
  collect();

  let plan = null;
  for (let i = 0; i < config.warmups; i += 1) {
    const { result } = await timedCall(outgoing, incoming);
    plan = result;
    collect();
  }
  const runs = [];
  for (let i = 0; i < config.runs; i += 1) {
    const { result, ...times } = await timedCall(outgoing, incoming);
    plan = result;
    runs.push(times);
    collect();
  }

  const inFlight = {};
  for (const count of config.inFlight ?? []) {
    const batches = [];
    for (let b = 0; b < (config.batches ?? 5) + 1; b += 1) {
      const start = performance.now();
      const results = await Promise.all(Array.from({ length: count }, () => renderTransition(outgoing, incoming, {})));
      const elapsed = performance.now() - start;
      if (!results.every((r) => r.rendered)) throw new Error('a call in flight was rejected');
      // The first batch warms the pool's threads up and is not counted.
      if (b > 0) batches.push(elapsed);
      collect();
    }
    inFlight[count] = batches;
  }

  const { channels, summary, ...numbers } = plan;
  const frames = outgoing.channels[0].length;
  process.stdout.write(
    JSON.stringify({
      runs,
      inFlight,
      plan: { ...numbers, channels: channels.length, frames: channels[0].length },
      summary,
      inputBytes:
        outgoing.channels.reduce((sum, c) => sum + c.byteLength, 0) +
        incoming.channels.reduce((sum, c) => sum + c.byteLength, 0),
      outgoingFrames: frames,
      threadpool: process.env.UV_THREADPOOL_SIZE ?? '4 (default)',
    }),
  );
}

main().catch((error) => {
  process.stderr.write(`${error.stack ?? error}\n`);
  process.exit(1);
});

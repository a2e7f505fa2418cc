'use strict';

// Times renderTransition from JavaScript, in a process of its own (started
// by bench/run.js with --expose-gc) so that nothing the runner holds
// disturbs the heap or the thread pool. It serves requests, one JSON object
// per line on stdin, answering each with one JSON line on stdout, so the
// runner can interleave its calls with the peers' runs: a busy spell of the
// shared machine then hits both sides of a comparison alike.
//
//   node --expose-gc bench/call-child.js FOLDER VARIANT=OUTGOING,INCOMING ...
//
// Requests:
//   {"op": "call", "variant": V}
//     one call; answers its whole time (call to settled promise), its
//     synchronous part (call to return) and the JavaScript-thread time of
//     its completion (event-loop active time while waiting: the result
//     conversion, the settling and the release of the task), in ms;
//   {"op": "batch", "variant": V, "count": N}
//     N calls started at once; answers the wall time until all settled;
//   {"op": "describe", "variant": V}
//     the last result's plan and summary and the input's size.

const path = require('node:path');
const readline = require('node:readline');
const { performance } = require('node:perf_hooks');
const { readTrack } = require('./workload');

const { renderTransition } = require(path.join(__dirname, '..'));

function collect() {
  if (typeof global.gc === 'function') global.gc();
}

async function timedCall(outgoing, incoming) {
  const start = performance.now();
  const promise = renderTransition(outgoing, incoming, {});
  const returned = performance.now();
  const waiting = performance.eventLoopUtilization();
  const result = await promise;
  const settled = performance.now();
  const completion = performance.eventLoopUtilization(waiting);
  if (!result.rendered) throw new Error(`the call was rejected: ${result.rejected}`);
  return { times: { sync: returned - start, whole: settled - start, completion: completion.active }, result };
}

async function main() {
  const [folder, ...variantArgs] = process.argv.slice(2);
  const variants = {};
  for (const arg of variantArgs) {
    const [name, tracks] = arg.split('=');
    const [outgoing, incoming] = tracks.split(',');
    variants[name] = { outgoing: readTrack(folder, outgoing), incoming: readTrack(folder, incoming), last: null };
  }
  collect();

  const handle = async (request) => {
    const variant = variants[request.variant];
    if (!variant) throw new Error(`unknown variant ${request.variant}`);
    const { outgoing, incoming } = variant;
    if (request.op === 'call') {
      const { times, result } = await timedCall(outgoing, incoming);
      variant.last = result;
      return times;
    }
    if (request.op === 'batch') {
      const start = performance.now();
      const results = await Promise.all(
        Array.from({ length: request.count }, () => renderTransition(outgoing, incoming, {})),
      );
      const elapsed = performance.now() - start;
      if (!results.every((r) => r.rendered)) throw new Error('a call in flight was rejected');
      return { elapsed };
    }
    if (request.op === 'describe') {
      const { channels, summary, ...numbers } = variant.last;
      return {
        plan: { ...numbers, channels: channels.length, frames: channels[0].length },
        summary,
        inputBytes: [...outgoing.channels, ...incoming.channels].reduce((sum, c) => sum + c.byteLength, 0),
        threadpool: process.env.UV_THREADPOOL_SIZE ?? '4 (default)',
      };
    }
    throw new Error(`unknown request ${request.op}`);
  };

  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    if (!line.trim()) continue;
    const answer = await handle(JSON.parse(line));
    // Results of the call are garbage from here on; collecting them now
    // keeps the next measurement from paying for this one's.
    collect();
    process.stdout.write(`${JSON.stringify(answer)}\n`);
  }
}

main().catch((error) => {
  process.stderr.write(`${error.stack ?? error}\n`);
  process.exit(1);
});

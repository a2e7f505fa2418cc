'use strict';

// Peak resident memory of K calls of renderTransition in flight at once, in
// a fresh process (the kernel's peak RSS only ever grows, so each count
// needs its own). Each call gets its own copy of the two input tracks, as
// K independent callers would hold them.
//
//   node --expose-gc bench/rss-child.js FOLDER OUTGOING INCOMING K
//
// Prints JSON: the RSS after loading the addon (base), after reading the
// inputs (inputs), the peak over the run (peak), all in bytes, the PCM
// bytes of one call's two tracks, and the time (ms) until all K calls had
// returned (sync) and until all had settled (whole).

const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { readTrack } = require('./workload');

const { renderTransition } = require(path.join(__dirname, '..'));

async function main() {
  const [folder, outgoingName, incomingName, countText] = process.argv.slice(2);
  const count = Number(countText);
  global.gc();
  const base = process.memoryUsage().rss;
  const inputs = [];
  for (let k = 0; k < count; k += 1) inputs.push([readTrack(folder, outgoingName), readTrack(folder, incomingName)]);
  // The file buffers the tracks were read from are garbage now.
  global.gc();
  const afterInputs = process.memoryUsage().rss;
  // The first calls of a fresh process, timed too: nothing is warm, and
  // every large block is fresh pages.
  const start = performance.now();
  const promises = inputs.map(([outgoing, incoming]) => renderTransition(outgoing, incoming, {}));
  const returned = performance.now();
  const results = await Promise.all(promises);
  const settled = performance.now();
  if (!results.every((r) => r.rendered)) throw new Error('a call was rejected');
  const peak = process.resourceUsage().maxRSS * 1024;
  const [outgoing, incoming] = inputs[0];
  const pcm = [...outgoing.channels, ...incoming.channels].reduce((sum, c) => sum + c.byteLength, 0);
  process.stdout.write(
    JSON.stringify({ count, base, inputs: afterInputs, peak, pcm, sync: returned - start, whole: settled - start }),
  );
}

main().catch((error) => {
  process.stderr.write(`${error.stack ?? error}\n`);
  process.exit(1);
});

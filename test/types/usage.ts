// Compiled with `tsc --noEmit -p test/types`: the declarations must accept
// every documented use and reject the misuses marked below.
import { renderTransition } from '../..';
import type { JsRegionConstraint, JsTransitionOptions, JsTransitionResult, JsTransitionSource } from '../..';

const rate = 4000;
const tone = new Float32Array(rate * 4).map((_, i) => 0.1 * Math.sin(i / 10));
const source: JsTransitionSource = {
  channels: [tone, tone.slice()],
  sampleRate: rate,
  bpm: 120,
  beats: [0, 0.5, 1, 1.5],
  downbeats: [0],
};
const window: JsRegionConstraint = { startEarliest: 1, startLatest: 2 };
const options: JsTransitionOptions = {
  outgoing: window,
  incoming: { endEarliest: 2, endLatest: 3 },
  beatLengths: [4, 8],
  duckCurve: [1, 0.5],
  diagnostics: true,
};

async function use(): Promise<number> {
  const result: JsTransitionResult = await renderTransition(source, source, options);
  const first: Float32Array | undefined = result.channels[0];
  const flags: [boolean, string, string, string] = [result.rendered, result.rejected, result.strategy, result.summary];
  const numbers: number[] = [
    result.sampleRate, result.duration, result.beats, result.outgoingStart, result.incomingStart,
    result.outgoingResume, result.incomingResume, result.outgoingTempoRatio, result.incomingTempoRatio,
    result.targetBpm,
  ];
  await renderTransition(source, source, {});
  return (first?.length ?? 0) + flags.length + numbers.length;
}

// @ts-expect-error channels are Float32Arrays, not plain numbers
const plain: JsTransitionSource = { ...source, channels: [[0, 1]] };
// @ts-expect-error every field of a source is required
const partial: JsTransitionSource = { channels: [tone], sampleRate: rate, beats: [], downbeats: [] };
// @ts-expect-error the options argument is required
renderTransition(source, source);
// @ts-expect-error diagnostics is a boolean
const wrong: JsTransitionOptions = { diagnostics: 1 };
// @ts-expect-error the result has no property of another name
renderTransition(source, source, {}).then((r) => r.render);

export { use, plain, partial, wrong };

'use strict';

// renderTransition's arguments: what is thrown synchronously for bad input
// (exact message and code), in which order fields are read, and what the
// task receives for good input (through the test host's echo job).
const test = require('node:test');
const assert = require('node:assert/strict');

const { renderTransition } = require('../..');
const { loadTestHost, track, echoedTask } = require('./fixtures');

const host = loadTestHost('plain');

const withSource = (changes) => ({ ...track(), ...changes });

// [name, () => arguments, message, code]
const rejectedArguments = [
  ['source without bpm', () => [withSource({ bpm: undefined }), track(), {}], 'Missing field `bpm`', 'InvalidArg'],
  ['source without channels', () => [withSource({ channels: undefined, bpm: undefined }), track(), {}],
    'Missing field `channels`', 'InvalidArg'],
  ['incoming without downbeats', () => [track(), withSource({ downbeats: undefined }), {}],
    'Missing field `downbeats`', 'InvalidArg'],
  ['Float64Array channel', () => [withSource({ channels: [new Float64Array(4000)] }), track(), {}],
    'Expected Float32Array, got Float64Array on JsTransitionSource.channels', 'InvalidArg'],
  ['Uint8ClampedArray channel', () => [withSource({ channels: [new Uint8ClampedArray(4)] }), track(), {}],
    'Expected Float32Array, got Uint8ClampedArray on JsTransitionSource.channels', 'InvalidArg'],
  ['Int16Array channel', () => [withSource({ channels: [new Int16Array(4)] }), track(), {}],
    'Expected Float32Array, got Int16Array on JsTransitionSource.channels', 'InvalidArg'],
  ['BigInt64Array channel', () => [withSource({ channels: [new BigInt64Array(4)] }), track(), {}],
    'Expected Float32Array, got UnknownArray on JsTransitionSource.channels', 'InvalidArg'],
  ['plain array channel', () => [withSource({ channels: [[0, 0.5]] }), track(), {}],
    'Get TypedArray info failed on JsTransitionSource.channels', 'InvalidArg'],
  ['DataView channel', () => [withSource({ channels: [new DataView(new ArrayBuffer(8))] }), track(), {}],
    'Get TypedArray info failed on JsTransitionSource.channels', 'InvalidArg'],
  ['number channel', () => [withSource({ channels: [0.5] }), track(), {}],
    'Failed to create reference from TypedArray on JsTransitionSource.channels', 'InvalidArg'],
  ['channels as one typed array', () => [withSource({ channels: new Float32Array(4000) }), track(), {}],
    'Failed to get Array length on JsTransitionSource.channels', 'ArrayExpected'],
  ['sampleRate as string', () => [withSource({ sampleRate: '44100' }), track(), {}],
    'Expected f64, got String on JsTransitionSource.sampleRate', 'NumberExpected'],
  ['sampleRate null', () => [withSource({ sampleRate: null }), track(), {}],
    'Expected f64, got Null on JsTransitionSource.sampleRate', 'NumberExpected'],
  ['bpm as BigInt', () => [withSource({ bpm: 120n }), track(), {}],
    'Expected f64, got Unknown on JsTransitionSource.bpm', 'NumberExpected'],
  ['bpm as function', () => [withSource({ bpm: () => 120 }), track(), {}],
    'Expected f64, got Function on JsTransitionSource.bpm', 'NumberExpected'],
  ['beats null', () => [withSource({ beats: null }), track(), {}],
    'Failed to get Array length on JsTransitionSource.beats', 'ArrayExpected'],
  ['beat as string, no index', () => [withSource({ beats: [0, 'half'] }), track(), {}],
    'Expected f64, got String on JsTransitionSource.beats', 'NumberExpected'],
  ['downbeat as object', () => [withSource({ downbeats: [{}] }), track(), {}],
    'Expected f64, got Object on JsTransitionSource.downbeats', 'NumberExpected'],
  ['duckCurve null', () => [track(), track(), { duckCurve: null }],
    'Failed to get Array length on JsTransitionOptions.duckCurve', 'ArrayExpected'],
  ['duckCurve entry as symbol', () => [track(), track(), { duckCurve: [Symbol('x')] }],
    'Expected f64, got Symbol on JsTransitionOptions.duckCurve', 'NumberExpected'],
  ['beatLengths as number', () => [track(), track(), { beatLengths: 8 }],
    'Failed to get Array length on JsTransitionOptions.beatLengths', 'ArrayExpected'],
  ['beatLengths entry as string', () => [track(), track(), { beatLengths: [4, '8'] }],
    'Expected u32, got String on JsTransitionOptions.beatLengths', 'NumberExpected'],
  ['diagnostics as number', () => [track(), track(), { diagnostics: 1 }],
    'Expected bool on JsTransitionOptions.diagnostics', 'BooleanExpected'],
  ['diagnostics null', () => [track(), track(), { diagnostics: null }],
    'Expected bool on JsTransitionOptions.diagnostics', 'BooleanExpected'],
  ['region bound as string', () => [track(), track(), { outgoing: { endLatest: '30' } }],
    'Expected f64, got String on JsRegionConstraint.endLatest on JsTransitionOptions.outgoing', 'NumberExpected'],
  ['incoming region bound as boolean', () => [track(), track(), { incoming: { startEarliest: true } }],
    'Expected f64, got Boolean on JsRegionConstraint.startEarliest on JsTransitionOptions.incoming',
    'NumberExpected'],

  // PCM checks, made after all three arguments were read.
  ['no channels', () => [withSource({ channels: [] }), track(), {}], 'outgoing PCM has no channels', 'InvalidArg'],
  ['incoming without samples', () => [track(), track({ frames: 0 }), { beatLengths: [4], diagnostics: true }],
    'incoming PCM is empty', 'InvalidArg'],
  ['empty first channel, later channels full',
    () => [withSource({ channels: [new Float32Array(0), new Float32Array(1000)] }), track(), {}],
    'outgoing PCM is empty', 'InvalidArg'],
  ['channels of 1000 and 999 samples',
    () => [withSource({ channels: [new Float32Array(1000), new Float32Array(999)] }), track(), {}],
    'outgoing PCM channels have differing lengths', 'InvalidArg'],
  ['sample rate 999.9', () => [withSource({ sampleRate: 999.9 }), track(), {}],
    'outgoing sample rate 999.9 is not usable', 'InvalidArg'],
  ['sample rate NaN', () => [track(), withSource({ sampleRate: NaN }), {}],
    'incoming sample rate NaN is not usable', 'InvalidArg'],
  ['sample rate infinite', () => [withSource({ sampleRate: Infinity }), track(), {}],
    'outgoing sample rate inf is not usable', 'InvalidArg'],
  ['sample rate negative', () => [withSource({ sampleRate: -48000 }), track(), {}],
    'outgoing sample rate -48000 is not usable', 'InvalidArg'],
  ['one frame past 90 s at 48 kHz', () => [track({ channelCount: 1, rate: 48000, frames: 4320001 }), track(), {}],
    'outgoing PCM is 90.0s, beyond the 90s an overlap slice should ever be', 'InvalidArg'],
  ['two minutes at 1 kHz', () => [track(), track({ channelCount: 1, rate: 1000, seconds: 120 }), {}],
    'incoming PCM is 120.0s, beyond the 90s an overlap slice should ever be', 'InvalidArg'],

  // Which error wins: arguments in order, fields in order, reading before
  // the PCM checks.
  ['outgoing before incoming', () => [withSource({ bpm: 'x' }), withSource({ channels: undefined }), {}],
    'Expected f64, got String on JsTransitionSource.bpm', 'NumberExpected'],
  ['bpm before beats', () => [withSource({ bpm: 'x', beats: null }), track(), {}],
    'Expected f64, got String on JsTransitionSource.bpm', 'NumberExpected'],
  ['options read before the PCM is checked', () => [withSource({ channels: [] }), track(), { diagnostics: 0 }],
    'Expected bool on JsTransitionOptions.diagnostics', 'BooleanExpected'],
  ['outgoing PCM checked before incoming', () => [withSource({ sampleRate: 5 }), track({ frames: 0 }), {}],
    'outgoing sample rate 5 is not usable', 'InvalidArg'],
  ['outgoing option before diagnostics', () => [track(), track(), { diagnostics: 1, outgoing: { startLatest: null } }],
    'Expected f64, got Null on JsRegionConstraint.startLatest on JsTransitionOptions.outgoing', 'NumberExpected'],
];

test('bad arguments throw synchronously with the exact message and code', async (t) => {
  for (const [name, makeArguments, message, code] of rejectedArguments) {
    await t.test(name, () => {
      const args = makeArguments();
      assert.throws(() => renderTransition(...args), (error) => {
        assert.ok(error instanceof Error);
        assert.equal(error.message, message);
        assert.equal(error.code, code);
        return true;
      });
    });
  }
});

test('reading from a missing or null argument throws the host own TypeError', async (t) => {
  const cases = [
    ['no arguments', []],
    ['missing options', [track(), track()]],
    ['null options', [track(), track(), null]],
    ['null incoming', [track(), null, {}]],
    ['null region object', [track(), track(), { outgoing: null }]],
  ];
  for (const [name, args] of cases) {
    await t.test(name, () => {
      assert.throws(() => renderTransition(...args), (error) => {
        assert.ok(error instanceof TypeError);
        assert.equal(error.code, undefined);
        return true;
      });
    });
  }
});

test('an exception thrown by a getter reaches the caller unchanged', async (t) => {
  const thrown = new RangeError('getter refused');
  const throwing = (object, key) => Object.defineProperty(object, key, {
    get() {
      throw thrown;
    },
  });
  const cases = [
    ['options getter', () => [track(), track(), throwing({}, 'diagnostics')]],
    ['source getter', () => [throwing(track(), 'sampleRate'), track(), {}]],
    ['region getter', () => [track(), track(), { incoming: throwing({}, 'endLatest') }]],
    ['channel array element getter', () => {
      const channels = [];
      throwing(channels, 0);
      channels.length = 1;
      return [withSource({ channels }), track(), {}];
    }],
  ];
  for (const [name, makeArguments] of cases) {
    await t.test(name, () => {
      const args = makeArguments();
      assert.throws(() => renderTransition(...args), (error) => error === thrown);
    });
  }
});

test('arguments and their fields are read in a fixed order', async () => {
  const reads = [];
  const logged = (label, object) => new Proxy(object, {
    get(target, key, receiver) {
      if (typeof key === 'string') reads.push(`${label}.${key}`);
      return Reflect.get(target, key, receiver);
    },
  });
  const options = logged('options', {
    incoming: logged('incoming', { endLatest: 3, startEarliest: 1 }),
    outgoing: logged('outgoing', {}),
  });
  const promise = renderTransition(logged('out', track()), logged('in', track()), options);
  const source = ['channels', 'sampleRate', 'bpm', 'beats', 'downbeats'];
  const region = ['startEarliest', 'startLatest', 'endEarliest', 'endLatest'];
  assert.deepEqual(reads, [
    ...source.map((key) => `out.${key}`),
    ...source.map((key) => `in.${key}`),
    'options.outgoing',
    ...region.map((key) => `outgoing.${key}`),
    'options.incoming',
    ...region.map((key) => `incoming.${key}`),
    'options.beatLengths',
    'options.duckCurve',
    'options.diagnostics',
  ]);
  assert.equal(typeof (await promise).rendered, 'boolean');
});

test('arguments past the third are ignored', async () => {
  const untouchable = new Proxy({}, {
    get() {
      throw new Error('the fourth argument was read');
    },
  });
  const result = await host.echoTransition(track(), track(), {}, untouchable);
  assert.equal(result.rendered, true);
});

test('the task receives the windows, beat lengths, curve and switch as derived', async (t) => {
  // [name, options, the part of the echoed task to compare, expected]
  const cases = [
    ['lone startEarliest is dropped', { outgoing: { startEarliest: 12 } }, 'outgoingRegion', { start: null, end: null }],
    ['both start bounds make a window', { outgoing: { startEarliest: 12, startLatest: 20 } }, 'outgoingRegion',
      { start: [12, 20], end: null }],
    ['end window, lone start bound dropped', { incoming: { startLatest: 4, endEarliest: 8, endLatest: 9.5 } },
      'incomingRegion', { start: null, end: [8, 9.5] }],
    ['bounds are not checked here', { incoming: { startEarliest: 9, startLatest: -1 } }, 'incomingRegion',
      { start: [9, -1], end: null }],
    ['absent region object', {}, 'incomingRegion', { start: null, end: null }],
    ['undefined region object', { outgoing: undefined }, 'outgoingRegion', { start: null, end: null }],
    ['beatLengths absent', {}, 'beatLengths', null],
    ['beatLengths empty is absent', { beatLengths: [] }, 'beatLengths', null],
    ['beatLengths copied', { beatLengths: [16, 4, 8] }, 'beatLengths', [16, 4, 8]],
    ['duckCurve undefined is absent', { duckCurve: undefined }, 'duckCurve', null],
    ['duckCurve empty stays empty', { duckCurve: [] }, 'duckCurve', []],
    ['duckCurve as read', { duckCurve: [1, 0.5, -0.25, NaN] }, 'duckCurve', [1, 0.5, -0.25, 'NaN']],
    ['diagnostics absent is false', {}, 'diagnostics', false],
    ['diagnostics true', { diagnostics: true }, 'diagnostics', true],
  ];
  for (const [name, options, key, expected] of cases) {
    await t.test(name, async () => {
      const task = echoedTask(await host.echoTransition(track(), track(), options));
      assert.deepEqual(task[key], expected);
    });
  }
});

test('a track reaches the task with its rate truncated, its bpm rounded to 32 bits and its beats unchecked',
  async (t) => {
    const cases = [
      ['fractional rate', { sampleRate: 44100.9, channels: [new Float32Array(441)] },
        { sampleRate: 44100 }],
      ['rate 1000 passes', { sampleRate: 1000 }, { sampleRate: 1000 }],
      ['rate beyond 32 bits saturates', { sampleRate: 1e12 }, { sampleRate: 4294967295 }],
      ['bpm unchecked', { bpm: -5 }, { bpm: -5 }],
      ['beats unchecked', { beats: [3, -1, 2], downbeats: [NaN] }, { beats: [3, -1, 2], downbeats: ['NaN'] }],
    ];
    for (const [name, changes, expected] of cases) {
      await t.test(name, async () => {
        const task = echoedTask(await host.echoTransition(withSource(changes), track(), {}));
        for (const [key, value] of Object.entries(expected)) assert.deepEqual(task.outgoing[key], value, key);
      });
    }
  });

test('bpm is rounded to the nearest 32-bit float, out-of-range values included', async () => {
  // Half an ulp above the largest float: from there on IEEE rounding gives
  // infinity (ties go to even).
  const overflow = (2 ** 25 - 1) * 2 ** 103;
  const justBelow = overflow - 2 ** 75;
  const text = (value) => (Number.isFinite(value) ? value : value > 0 ? 'inf' : '-inf');
  for (const bpm of [120.1, 1 / 3, 1e300, overflow, justBelow, -justBelow, -overflow, 1e-50]) {
    const task = echoedTask(await host.echoTransition(withSource({ bpm }), track(), {}));
    assert.equal(task.outgoing.bpm, text(Math.fround(bpm)), `bpm ${bpm}`);
  }
});

test('exactly 90 s at 48 kHz is accepted', async () => {
  const result = await host.echoTransition(track({ channelCount: 1, rate: 48000, frames: 4320000 }),
    track({ channelCount: 1 }), {});
  assert.equal(result.channels[0].length, 4320000);
  assert.equal(result.duration, 90);
});

test('the PCM copied is the view, offset included, not its whole buffer', async () => {
  const buffer = new ArrayBuffer(4 * 3000);
  new Float32Array(buffer).forEach((_, i, all) => { all[i] = i; });
  const view = new Float32Array(buffer, 4 * 1000, 1500);
  const result = await host.echoTransition(withSource({ channels: [view] }), track({ channelCount: 1 }), {});
  assert.equal(result.channels[0].length, 1500);
  assert.equal(result.channels[0][0], 1000);
  assert.equal(result.channels[0][1499], 2499);
});

test('a buffer detached by a later getter counts as empty, never as its old memory', () => {
  const source = track();
  const channel = source.channels[0];
  Object.defineProperty(source, 'downbeats', {
    get() {
      structuredClone(channel.buffer, { transfer: [channel.buffer] });
      return [0];
    },
  });
  assert.throws(() => host.echoTransition(source, track(), {}), { message: 'outgoing PCM is empty', code: 'InvalidArg' });
});

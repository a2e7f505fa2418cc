'use strict';

// A seeded generator of malformed renderTransition calls, and the rule each
// outcome must meet. A call may
//   - throw an Error whose `code` is a Node-API status text,
//   - throw exactly what one of its own getters or Proxy traps threw,
//   - throw the host's own TypeError where a property had to be read from
//     null, undefined or a revoked Proxy,
//   - or return a promise that resolves with a well-formed result object.
// Anything else, a crash, or a promise that never settles is a fault. A call
// whose arguments differ from a well-formed call only in ways that must not
// matter (shared or resizable memory, views at an offset, forwarding Proxies,
// inherited or extra fields, getters) must resolve with exactly the result
// of that well-formed call.
//
// As a script (`node hostile-calls.js <seed> <count>`) it makes `count`
// calls and prints one JSON line of tallies and faults. Before each call it
// writes "@<index>", so that after a crash the last such line and the
// number of calls in flight point at the culprits; the same seed replays
// the same calls.
const path = require('node:path');
const fs = require('node:fs');
const { types } = require('node:util');

const { renderTransition } = require(path.join(__dirname, '..', '..'));
const { createRandom } = require(path.join(__dirname, '..', '..', 'lib', 'random.js'));
const { regularGrid } = require(path.join(__dirname, '..', '..', 'lib', 'grid.js'));
const { resultKeys } = require('./fixtures');

const STATUS_CODES = new Set([
  'InvalidArg', 'ObjectExpected', 'StringExpected', 'NameExpected', 'FunctionExpected', 'NumberExpected',
  'BooleanExpected', 'ArrayExpected', 'GenericFailure', 'PendingException', 'Cancelled', 'EscapeCalledTwice',
  'HandleScopeMismatch', 'CallbackScopeMismatch', 'QueueFull', 'Closing', 'BigintExpected', 'DateExpected',
  'ArrayBufferExpected', 'DetachableArraybufferExpected', 'WouldDeadlock', 'NoExternalBuffersAllowed', 'Unknown',
]);
const STRATEGIES = new Set(['equal-power crossfade', 'beatmatched crossfade', 'bass swap', 'filtered blend',
  'short fade']);
const SOURCE_FIELDS = ['channels', 'sampleRate', 'bpm', 'beats', 'downbeats'];
const OPTION_FIELDS = ['outgoing', 'incoming', 'beatLengths', 'duckCurve', 'diagnostics'];
const REGION_FIELDS = ['startEarliest', 'startLatest', 'endEarliest', 'endLatest'];
// A slot key meaning "an index of this list, picked when the value is placed".
const ANY_INDEX = Symbol('any index');

// The generator's own seeded source, so that a seed names the same calls
// on every platform.
function generator(seed) {
  const next = createRandom(seed);
  return {
    next,
    below: (n) => Math.floor(next() * n),
    pick(list) {
      return list[Math.floor(next() * list.length)];
    },
    chance: (p) => next() < p,
  };
}

// Well-formed calls at 1000 Hz: the generator starts from one of these and
// breaks it. Four render (one of them a filtered blend, the only strategy
// that reads the duck curve), one is rejected by the planner and one by the
// channel-count rule.
function tone(frames, step, level) {
  const channel = new Float32Array(frames);
  for (let f = 0; f < frames; f++) channel[f] = level * Math.sin(f * step);
  return channel;
}
function baseTrack(channels, bpm) {
  const { beats, downbeats } = regularGrid({ bpm, duration: channels[0].length / 1000 });
  return { channels, sampleRate: 1000, bpm, beats, downbeats };
}
const BASES = [
  {
    name: 'stereo pair',
    outgoing: baseTrack([tone(4000, 1 / 7, 0.25), tone(4000, 2 / 7, 0.25)], 124),
    incoming: baseTrack([tone(4000, 1 / 5, 0.3), tone(4000, 1 / 3, 0.2)], 126),
    options: {},
  },
  {
    name: 'mono into stereo, with lengths and diagnostics',
    outgoing: baseTrack([tone(6000, 1 / 9, 0.3)], 120),
    incoming: baseTrack([tone(6000, 1 / 4, 0.3), tone(6000, 1 / 6, 0.3)], 120),
    options: { beatLengths: [4, 8], diagnostics: true },
  },
  {
    name: 'windows and a duck curve',
    outgoing: baseTrack([tone(4000, 1 / 8, 0.4)], 100),
    incoming: baseTrack([tone(4000, 1 / 2, 0.4)], 140),
    options: { outgoing: { startEarliest: 0, startLatest: 3 }, incoming: { startEarliest: 0, startLatest: 1 },
      duckCurve: [1, 0.5, 0.25, 1] },
  },
  {
    name: 'filtered blend shaped by a duck curve',
    outgoing: baseTrack([tone(6000, (2 * Math.PI * 50) / 1000, 0.3)], 120),
    incoming: baseTrack([tone(6000, (2 * Math.PI * 400) / 1000, 0.3)], 120),
    options: { duckCurve: [1, 0.8, 0.3, 0.1] },
  },
  {
    name: 'too short to plan',
    outgoing: baseTrack([tone(2000, 1 / 7, 0.2)], 124),
    incoming: baseTrack([tone(2000, 1 / 5, 0.2)], 126),
    options: { beatLengths: [8] },
  },
  {
    name: 'two and three channels',
    outgoing: baseTrack([tone(3000, 1 / 7, 0.2), tone(3000, 1 / 6, 0.2)], 124),
    incoming: baseTrack([tone(3000, 1 / 5, 0.2), tone(3000, 1 / 4, 0.2), tone(3000, 1 / 3, 0.2)], 126),
    options: {},
  },
];

function copyTrack(track) {
  return { ...track, channels: track.channels.map((c) => c.slice()), beats: track.beats.slice(),
    downbeats: track.downbeats.slice() };
}
function freshArguments(base) {
  return [copyTrack(base.outgoing), copyTrack(base.incoming), structuredClone(base.options)];
}

const bytesOf = (channel) => Buffer.from(channel.buffer, channel.byteOffset, channel.byteLength);

// Why a resolved value is malformed, or null.
function resultFault(kase, result) {
  if (result === null || typeof result !== 'object') return `resolved with ${typeof result}`;
  const keys = Object.keys(result).join();
  if (keys !== resultKeys.join()) return `resolved with keys ${keys}`;
  if (typeof result.rendered !== 'boolean' || !Array.isArray(result.channels)) return 'resolved with bad types';
  if (result.rendered) {
    if (result.rejected !== '' || !STRATEGIES.has(result.strategy)) return 'rendered without a strategy';
    if (result.channels.length === 0) return 'rendered without channels';
    const frames = result.channels[0].length;
    if (!result.channels.every((c) => c instanceof Float32Array && c.length === frames && c.byteOffset === 0)) {
      return 'rendered channels malformed';
    }
    // Non-finite input samples may flow through (the peak ceiling skips
    // NaN); finite input of sane size must render finite samples.
    if (kase.finiteInput && !result.channels.every((c) => c.every(Number.isFinite))) {
      return 'rendered samples not finite';
    }
  } else if (typeof result.rejected !== 'string' || result.rejected === '' || result.channels.length !== 0) {
    return 'rejected without a reason';
  }
  return null;
}

function sameResult(a, b) {
  for (const key of resultKeys) {
    if (key === 'channels') continue;
    if (!Object.is(a[key], b[key])) return `${key} differs: ${a[key]} and ${b[key]}`;
  }
  if (a.channels.length !== b.channels.length) return 'channel counts differ';
  for (let c = 0; c < a.channels.length; c++) {
    if (!bytesOf(a.channels[c]).equals(bytesOf(b.channels[c]))) return `channel ${c} differs`;
  }
  return null;
}

// Per call: what its getters and traps may throw and what it may therefore
// legitimately end in.
class Case {
  constructor(index, base) {
    this.index = index;
    this.base = base;
    this.sentinels = new Set();
    this.hostTypeError = false;
    this.expectSentinel = undefined; // the one exception the call must throw
    this.benign = true; // must resolve with the base call's result
    this.labels = [];
    this.nested = []; // [Case, outcome] of calls made from inside getters
    this.finiteInput = true; // no channel holds a sample beyond ±1e30
  }

  sentinel(value) {
    this.sentinels.add(value);
    return value;
  }
}

function throwingGetter(kase, random) {
  const thrown = kase.sentinel(random.pick([
    () => new RangeError(`getter ${kase.index}`),
    () => ({ hostile: kase.index }),
    () => Symbol(`getter ${kase.index}`),
    () => 42 + kase.index,
  ])());
  return {
    thrown,
    get() {
      throw thrown;
    },
  };
}

function throwingProxy(kase, target = {}) {
  const thrown = kase.sentinel(new TypeError(`trap ${kase.index}`));
  return new Proxy(target, {
    get() {
      throw thrown;
    },
  });
}

function forwardingProxy(target) {
  return new Proxy(target, { get: (t, key, receiver) => Reflect.get(t, key, receiver) });
}

function revokedProxy() {
  const { proxy, revoke } = Proxy.revocable({}, {});
  revoke();
  return proxy;
}

function detached(channel) {
  structuredClone(channel.buffer, { transfer: [channel.buffer] });
  return channel;
}

function onResizable(channel, { tracking = true } = {}) {
  const buffer = new ArrayBuffer(channel.byteLength, { maxByteLength: channel.byteLength * 2 + 64 });
  const view = tracking ? new Float32Array(buffer) : new Float32Array(buffer, 0, channel.length);
  view.set(channel);
  return view;
}

function onShared(channel, { growable = false } = {}) {
  const buffer = growable
    ? new SharedArrayBuffer(channel.byteLength, { maxByteLength: channel.byteLength * 2 + 64 })
    : new SharedArrayBuffer(channel.byteLength);
  const view = new Float32Array(buffer);
  view.set(channel);
  return view;
}

function atOffset(channel, random) {
  const before = 1 + random.below(64);
  const buffer = new Float32Array(before + channel.length + 1 + random.below(64));
  buffer.fill(NaN);
  const view = buffer.subarray(before, before + channel.length);
  view.set(channel);
  return view;
}

class Float32Subclass extends Float32Array {}

const sparse = (length, ...values) => {
  const list = [...values];
  list.length = length;
  return list;
};

// Values that break whatever slot they land in.
function anyValue(kase, random) {
  const values = [
    () => undefined, () => null, () => true, () => false, () => 0, () => -0, () => NaN, () => Infinity,
    () => -Infinity, () => '', () => '44100', () => Symbol('value'), () => 10n, () => ({}), () => [],
    () => function value() {}, () => new Date(0), () => /x/, () => new Map([[0, 1]]), () => Object.create(null),
    () => new Error('a value'), () => Promise.resolve(1), () => new Float32Array(4), () => new Float64Array(4),
    () => new ArrayBuffer(8), () => throwingProxy(kase), () => revokedProxy(), () => forwardingProxy({}),
    () => Object.freeze([1, 2]), () => new Proxy([], {}), () => new WeakRef({}), () => new DataView(new ArrayBuffer(4)),
  ];
  return random.pick(values)();
}

function numberValue(random) {
  return random.pick([NaN, Infinity, -Infinity, -0, 0, -1, 0.5, 999.9, 1000, 1e-30, 1e30, 1e300, -1e300, 5e-324,
    2 ** 31, 2 ** 32, 2 ** 32 + 1, 2 ** 53, Number.MAX_VALUE, -Number.MAX_VALUE, 384000, 44100.9, 12,
    random.next() * 200 - 100]);
}

function listValue(kase, random) {
  return random.pick([
    () => [], () => [NaN], () => [Infinity, -Infinity], () => [-1, 0, 1], () => [3, 2, 1], () => [1, , 3],
    () => sparse(2 ** 32 - 1), () => sparse(1e6, 0, 0.5), () => Array.from({ length: 100000 }, (_, i) => i / 100),
    () => ['0', '1'], () => [[1]], () => [1e300, 1e301], () => [2 ** 32, 2 ** 33], () => [-5], () => [0], () => [4.5],
    () => [4, 8, 16, 32, 64, 4, 8], () => new Float64Array([0, 1]), () => ({ length: 2, 0: 1, 1: 2 }),
    () => Object.freeze([0, 0.5, 1]), () => new Proxy([0, 1], {}),
    () => {
      const list = [0, 0.5, 1];
      const { get } = throwingGetter(kase, random);
      Object.defineProperty(list, 1, { get });
      return list;
    },
    () => Array.from({ length: 1000 }, () => numberValue(random)),
  ])();
}

function channelValue(kase, random, frames) {
  const filled = (value) => new Float32Array(frames).fill(value);
  return random.pick([
    () => new Float32Array(0), () => new Float32Array(1), () => filled(NaN), () => filled(Infinity),
    () => filled(-Infinity), () => filled(3.4e38), () => filled(1e-45),
    () => onShared(tone(frames, 0.1, 0.5)), () => onShared(tone(frames, 0.1, 0.5), { growable: true }),
    () => atOffset(tone(frames, 0.2, 0.5), random), () => new Float64Array(frames), () => new Int8Array(frames),
    () => new Uint8Array(frames), () => new Uint8ClampedArray(frames), () => new Int16Array(frames),
    () => new Uint16Array(frames), () => new Int32Array(frames), () => new Uint32Array(frames),
    () => new BigInt64Array(4), () => new BigUint64Array(4), () => new DataView(new ArrayBuffer(frames * 4)),
    () => new ArrayBuffer(frames * 4), () => Buffer.alloc(16), () => detached(new Float32Array(frames)),
    () => detached(atOffset(new Float32Array(frames), random)), () => onResizable(new Float32Array(frames)),
    () => {
      const view = onResizable(new Float32Array(frames), { tracking: false });
      view.buffer.resize(0);
      return view;
    },
    () => new Float32Array(91000), () => new Float32Array(frames + 1), () => Array.from({ length: 16 }, () => 0.5),
    () => forwardingProxy(new Float32Array(frames)), () => Object.create(Float32Array.prototype),
    () => new Float32Subclass(frames), () => new Float32Array(new SharedArrayBuffer(0)),
  ])();
}

function channelsValue(kase, random, frames) {
  return random.pick([
    () => [], () => [new Float32Array(0)], () => sparse(2 ** 32 - 1), () => sparse(3, new Float32Array(frames)),
    () => new Float32Array(frames), () => [0.5, 0.25], () => Array.from({ length: 64 }, () => tone(frames, 0.3, 0.1)),
    () => Array.from({ length: 3 }, () => channelValue(kase, random, frames)), () => forwardingProxy([]),
    () => [[new Float32Array(frames)]], () => throwingProxy(kase, []),
  ])();
}

// An own data property, read without running a getter or a trap: the
// generator must not trip the traps it set for the binding.
function peek(object, key) {
  if (object === null || (typeof object !== 'object' && typeof object !== 'function') || types.isProxy(object)) {
    return undefined;
  }
  const descriptor = Object.getOwnPropertyDescriptor(object, key);
  return descriptor && 'value' in descriptor ? descriptor.value : undefined;
}

const isList = (value) => !types.isProxy(value) && Array.isArray(value);
const isPlainObject = (value) => value !== null && typeof value === 'object' && !types.isProxy(value);

// Where a value can go, in the order the binding reads them (`order`), so a
// getter can act on what was read before it.
function slotsOf(args) {
  const slots = [];
  const add = (kind, parent, key, order) => slots.push({ kind, parent, key, order });
  for (let a = 0; a < 3; a++) add(a < 2 ? 'source' : 'options', args, a, a * 100);
  for (const s of [0, 1]) {
    const source = peek(args, s);
    if (!isPlainObject(source)) continue;
    SOURCE_FIELDS.forEach((field, f) => {
      const kind = field === 'channels' ? 'channels' : field === 'sampleRate' || field === 'bpm' ? 'number' : 'list';
      add(kind, source, field, s * 100 + f * 10 + 1);
    });
    const channels = peek(source, 'channels');
    if (isList(channels) && channels.length < 100) {
      channels.forEach((_, k) => add('channel', channels, k, channelOrder(s, k)));
    }
    for (const field of ['beats', 'downbeats']) {
      const list = peek(source, field);
      if (isList(list) && list.length > 0 && list.length < 1000) {
        add('element', list, ANY_INDEX, s * 100 + SOURCE_FIELDS.indexOf(field) * 10 + 2);
      }
    }
  }
  const options = peek(args, 2);
  if (isPlainObject(options)) {
    OPTION_FIELDS.forEach((field, f) => {
      const kind = field === 'diagnostics' ? 'bool' : field === 'outgoing' || field === 'incoming' ? 'region' : 'list';
      add(kind, options, field, 200 + f * 20 + 1);
    });
    for (const [f, field] of [[0, 'outgoing'], [1, 'incoming']]) {
      const region = peek(options, field);
      if (region === undefined || isPlainObject(region)) {
        REGION_FIELDS.forEach((bound, b) => add('bound', { options, field }, bound, 200 + f * 20 + b + 2));
      }
    }
    for (const [f, field] of [[2, 'beatLengths'], [3, 'duckCurve']]) {
      const list = peek(options, field);
      if (isList(list) && list.length > 0 && list.length < 1000) {
        add('element', list, ANY_INDEX, 200 + f * 20 + 2);
      }
    }
  }
  return slots;
}

// The object a slot's key lives on (a region object is created when the
// options have none).
function holderOf(slot) {
  if (slot.kind !== 'bound') return slot.parent;
  const { options, field } = slot.parent;
  if (peek(options, field) === undefined) options[field] = {};
  return peek(options, field);
}

function keyOf(slot, random) {
  return slot.key === ANY_INDEX ? random.below(slot.parent.length) : slot.key;
}

function framesOf(args) {
  const first = peek(peek(peek(args, 0), 'channels'), 0);
  return types.isFloat32Array(first) && first.length <= 100000 ? first.length : 4000;
}

function wrongValue(kase, slot, random, frames) {
  if (random.chance(0.3)) return anyValue(kase, random);
  switch (slot.kind) {
    case 'number': case 'bound': case 'element': return random.chance(0.8) ? numberValue(random) : anyValue(kase, random);
    case 'list': return listValue(kase, random);
    case 'channels': return channelsValue(kase, random, frames);
    case 'channel': return channelValue(kase, random, frames);
    case 'bool': return random.pick([true, false, 1, 0, 'true', null]);
    default: return anyValue(kase, random);
  }
}

// A property read from these throws the host's own TypeError.
const unreadable = (value) => value === null || value === undefined || (() => {
  try {
    Reflect.get(value, 'x');
    return false;
  } catch (error) {
    return error instanceof TypeError && !(error.message || '').startsWith('trap ');
  }
})();

function place(kase, slot, random, value) {
  try {
    const holder = holderOf(slot);
    holder[keyOf(slot, random)] = value;
  } catch {
    // A frozen object or list took no new value: the call stays as it was.
    kase.labels.push('(not placed)');
    return;
  }
  // Sources and options are read from; a region object too, unless absent.
  const readFrom = slot.kind === 'source' || slot.kind === 'options' || (slot.kind === 'region' && value !== undefined);
  if (readFrom && (value === null || value === undefined || typeof value === 'object') && unreadable(value)) {
    kase.hostTypeError = true;
  }
}

// Channel k of source s is read after `channels` and before `sampleRate`.
const channelOrder = (s, k) => s * 100 + 2 + (k + 1) / 1000;

// Channels read before `order`, which a getter there may detach or resize.
function channelsReadBefore(args, order) {
  const channels = [];
  for (const s of [0, 1]) {
    const list = peek(peek(args, s), 'channels');
    if (!isList(list)) continue;
    list.forEach((channel, k) => {
      if (channelOrder(s, k) < order && types.isFloat32Array(channel)) channels.push({ list, k });
    });
  }
  return channels;
}

// A getter on a slot that, when read, does something to a channel read
// earlier (or runs a nested call), then returns the slot's value.
function actingGetter(kase, slot, random, args) {
  const holder = holderOf(slot);
  const key = keyOf(slot, random);
  const value = holder[key];
  const targets = channelsReadBefore(args, slot.order);
  const actions = [
    ['nested call', () => {
      const inner = new Case(`${kase.index}.nested`, kase.base);
      kase.nested.push([inner, call(inner, freshArguments(kase.base))]);
    }],
    // Garbage enough for a collection while the binding holds handles.
    ['provoke a collection', () => {
      let garbage = [];
      for (let i = 0; i < 20000; i++) garbage.push({ i, list: [i, i] });
      garbage = null;
    }],
  ];
  if (targets.length > 0) {
    const target = random.pick(targets);
    const original = target.list[target.k];
    const resizable = onResizable(original);
    target.list[target.k] = resizable;
    actions.push(
      ['detach', () => detached(resizable)],
      ['shrink by half', () => resizable.buffer.resize(Math.floor(resizable.buffer.byteLength / 2))],
      ['shrink to a partial sample', () => resizable.buffer.resize(Math.max(0, resizable.buffer.byteLength - 2))],
      ['shrink to nothing', () => resizable.buffer.resize(0)],
      ['grow', () => resizable.buffer.resize(resizable.buffer.maxByteLength)],
      ['overwrite with NaN', () => {
        kase.finiteInput = false;
        resizable.fill(NaN);
      }],
      ['replace in its list', () => {
        target.list[target.k] = new Float64Array(4);
      }],
    );
  }
  const [label, act] = random.pick(actions);
  kase.labels.push(`getter at ${slot.kind} ${String(key)}: ${label}`);
  if (label !== 'nested call' && label !== 'provoke a collection') kase.benign = false;
  Object.defineProperty(holder, key, {
    configurable: true,
    enumerable: true,
    get() {
      act();
      return value;
    },
  });
}

// Changes a well-formed call must not notice.
function benignChange(kase, random, args) {
  const changes = [
    ['channel on shared memory', () => mapChannel(args, random, (c) => onShared(c))],
    ['channel on growable shared memory', () => mapChannel(args, random, (c) => onShared(c, { growable: true }))],
    ['channel at an offset', () => mapChannel(args, random, (c) => atOffset(c, random))],
    ['channel on a resizable buffer', () => mapChannel(args, random, (c) => onResizable(c))],
    ['fixed view on a resizable buffer', () => mapChannel(args, random, (c) => onResizable(c, { tracking: false }))],
    ['channel of a Float32Array subclass', () => mapChannel(args, random, (c) => Float32Subclass.from(c))],
    ['forwarding proxies', () => {
      const a = random.below(3);
      args[a] = forwardingProxy(args[a]);
    }],
    ['inherited fields', () => {
      const s = random.below(2);
      args[s] = Object.create(args[s]);
    }],
    ['extra fields that throw', () => {
      for (const object of [args[0], args[1], args[2]]) {
        Object.defineProperty(object, 'extra', {
          configurable: true,
          enumerable: true,
          get() {
            throw new Error('an unknown field was read');
          },
        });
      }
    }],
    ['fields as getters', () => {
      const source = args[random.below(2)];
      const field = random.pick(SOURCE_FIELDS);
      const value = source[field];
      Object.defineProperty(source, field, { configurable: true, get: () => value });
    }],
    ['explicit undefined options', () => {
      for (const field of ['outgoing', 'incoming', 'duckCurve', 'diagnostics']) {
        if (!(field in args[2])) args[2][field] = undefined;
      }
    }],
    ['empty beat lengths', () => {
      if (!('beatLengths' in args[2])) args[2].beatLengths = [];
    }],
    ['lone region bounds', () => {
      if (!('outgoing' in args[2])) args[2].outgoing = { startEarliest: 1, endLatest: 2 };
    }],
    ['fraction of a hertz', () => {
      args[random.below(2)].sampleRate = 1000.75;
    }],
    ['a fourth argument that throws', () => {
      args[3] = throwingProxy(new Case('unused'));
    }],
  ];
  const [label, change] = random.pick(changes);
  try {
    change();
    kase.labels.push(label);
  } catch {
    // An earlier change left a getter where this one would assign.
    kase.labels.push(`${label} (skipped)`);
  }
}

function mapChannel(args, random, transform) {
  const source = args[random.below(2)];
  const k = random.below(source.channels.length);
  source.channels[k] = transform(source.channels[k]);
}

function saneSamples(args) {
  for (const source of [peek(args, 0), peek(args, 1)]) {
    const channels = peek(source, 'channels');
    if (!isList(channels) || channels.length > 100) continue;
    for (let k = 0; k < channels.length; k++) {
      const channel = peek(channels, k);
      if (types.isFloat32Array(channel) && channel.length <= 100000 &&
          !Array.prototype.every.call(channel, (x) => Math.abs(x) <= 1e30)) {
        return false;
      }
    }
  }
  return true;
}

function buildCase(index, random) {
  const base = random.pick(BASES);
  const kase = new Case(index, base);
  const args = freshArguments(base);
  const mode = random.next();
  if (mode < 0.45) {
    // One to three wrong values.
    kase.benign = false;
    const count = random.chance(0.6) ? 1 : 2 + random.below(2);
    for (let i = 0; i < count; i++) {
      const slots = slotsOf(args);
      const slot = random.pick(slots);
      const value = wrongValue(kase, slot, random, framesOf(args));
      kase.labels.push(`${slot.kind} ${String(slot.key === ANY_INDEX ? 'element' : slot.key)}`);
      place(kase, slot, random, value);
    }
  } else if (mode < 0.6) {
    // One throwing getter on an otherwise well-formed call: its exception,
    // exactly, is the outcome.
    kase.benign = false;
    const slot = random.pick(slotsOf(args));
    const holder = holderOf(slot);
    const key = keyOf(slot, random);
    const { thrown, get } = throwingGetter(kase, random);
    Object.defineProperty(holder, key, { configurable: true, get });
    kase.expectSentinel = thrown;
    kase.labels.push(`throwing getter at ${slot.kind} ${String(key)}`);
  } else if (mode < 0.75) {
    const slots = slotsOf(args).filter((slot) => slot.kind !== 'source' && slot.kind !== 'options');
    actingGetter(kase, random.pick(slots), random, args);
  } else {
    const count = 1 + random.below(3);
    for (let i = 0; i < count; i++) benignChange(kase, random, args);
  }
  if (!saneSamples(args)) kase.finiteInput = false;
  return { kase, args };
}

// Makes the call. Returns a promise of its outcome: `kind` says how it ended
// (thrown with a code, thrown by a getter, the host's TypeError, rendered,
// rejected by the engine, identical to its well-formed call) and `fault`
// what was wrong with that, or null.
function call(kase, args) {
  let returned;
  try {
    returned = renderTransition(...args);
  } catch (thrown) {
    return Promise.resolve(thrownOutcome(kase, thrown));
  }
  if (!(returned instanceof Promise)) return Promise.resolve({ kind: 'returned', fault: 'returned no promise' });
  if (kase.expectSentinel !== undefined) {
    returned.catch(() => {});
    return Promise.resolve({ kind: 'returned', fault: 'did not throw what its getter threw' });
  }
  return returned.then(
    (result) => {
      const kind = kase.benign ? 'identical' : result && result.rendered ? 'rendered' : 'rejected';
      return { kind, fault: resultFault(kase, result) ?? (kase.benign ? sameResult(result, kase.base.result) : null) };
    },
    (error) => ({ kind: 'rejected promise', fault: `promise rejected: ${describe(error)}` }),
  );
}

function thrownOutcome(kase, thrown) {
  const outcome = (kind, fault = null) => ({ kind, fault });
  if (kase.expectSentinel !== undefined) {
    return Object.is(thrown, kase.expectSentinel)
      ? outcome('thrownByGetter')
      : outcome('thrown', `threw ${describe(thrown)} instead of its getter's exception`);
  }
  if (kase.sentinels.has(thrown)) return outcome('thrownByGetter');
  if (kase.benign) return outcome('thrown', `threw ${describe(thrown)} for a well-formed call`);
  if (thrown instanceof Error && typeof thrown.message === 'string' && typeof thrown.code === 'string') {
    return STATUS_CODES.has(thrown.code) ? outcome('thrownWithCode') : outcome('thrown', `threw code ${thrown.code}`);
  }
  if (thrown instanceof TypeError && thrown.code === undefined && kase.hostTypeError) return outcome('hostTypeError');
  return outcome('thrown', `threw ${describe(thrown)}`);
}

function describe(value) {
  if (value instanceof Error) return `${value.name}(${value.code ?? ''}: ${value.message})`;
  return typeof value === 'symbol' ? value.toString() : `${typeof value} ${String(value)}`;
}

async function prepareBases() {
  for (const base of BASES) base.result = await renderTransition(...freshArguments(base));
  const rendered = BASES.filter((base) => base.result.rendered).length;
  if (rendered < 4) throw new Error(`only ${rendered} of the well-formed calls rendered`);
  if (!BASES.some((base) => base.result.strategy === 'filtered blend')) throw new Error('no filtered blend');
}

// Makes `count` calls from `seed`, at most `inFlight` unsettled at a time.
// `progress(index)` runs before each call. Returns how many calls ended in
// each way and the first faults.
async function runHostileCalls({ seed, count, inFlight = 16, progress = () => {}, timeoutMs = 120000 }) {
  await prepareBases();
  const random = generator(seed);
  const tally = {};
  const faults = [];
  let pending = [];
  const settle = async () => {
    let timer;
    const timeout = new Promise((resolve) => {
      timer = setTimeout(() => resolve(false), timeoutMs);
    });
    const outcomes = Promise.all(pending.map(async ([kase, promise]) => {
      const { kind, fault } = await promise;
      tally[kind] = (tally[kind] ?? 0) + 1;
      if (fault && faults.length < 20) {
        faults.push({ index: kase.index, base: kase.base.name, labels: kase.labels, fault });
      }
    }));
    const settled = await Promise.race([outcomes.then(() => true), timeout]);
    clearTimeout(timer);
    if (!settled) throw new Error(`calls ${pending.map(([kase]) => kase.index).join()} did not settle`);
    pending = [];
  };
  for (let index = 0; index < count; index++) {
    progress(index);
    const { kase, args } = buildCase(index, random);
    pending.push([kase, call(kase, args)], ...kase.nested);
    if (pending.length >= inFlight) await settle();
  }
  await settle();
  return { seed, count, tally, faults };
}

module.exports = { runHostileCalls, generator, STATUS_CODES };

if (require.main === module) {
  const seed = Number(process.argv[2] ?? 1);
  const count = Number(process.argv[3] ?? 1000);
  runHostileCalls({ seed, count, progress: (index) => fs.writeSync(1, `@${index}\n`) }).then(
    (summary) => fs.writeSync(1, `${JSON.stringify(summary)}\n`),
    (error) => {
      fs.writeSync(1, `${JSON.stringify({ seed, error: String(error && error.stack) })}\n`);
      process.exitCode = 1;
    },
  );
}

'use strict';

// The object a call resolves with, and every way its promise settles.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { renderTransition } = require('../..');
const { loadTestHost, testHostPath, track, echoedTask, resultKeys } = require('./fixtures');

const plain = loadTestHost('plain');
const refusing = loadTestHost('refusing');

function assertShape(result) {
  assert.deepEqual(Object.keys(result), resultKeys);
  assert.equal(Object.getPrototypeOf(result), Object.prototype);
  for (const key of resultKeys) {
    const descriptor = Object.getOwnPropertyDescriptor(result, key);
    assert.deepEqual([descriptor.writable, descriptor.enumerable, descriptor.configurable], [true, true, true], key);
    assert.equal(descriptor.get, undefined, key);
  }
  const types = Object.fromEntries(resultKeys.map((key) => [key, typeof result[key]]));
  assert.deepEqual(types, {
    rendered: 'boolean', rejected: 'string', channels: 'object', sampleRate: 'number', duration: 'number',
    beats: 'number', strategy: 'string', outgoingStart: 'number', incomingStart: 'number',
    outgoingResume: 'number', incomingResume: 'number', outgoingTempoRatio: 'number',
    incomingTempoRatio: 'number', targetBpm: 'number', summary: 'string',
  });
  assert.ok(Array.isArray(result.channels));
}

test('an engine rejection resolves, with the failure values', async (t) => {
  const cases = [
    ['2 and 6 channels', [track({ channelCount: 2 }), track({ channelCount: 6 }), {}],
      'channel count mismatch: outgoing has 2, incoming has 6, and neither is mono'],
    ['outgoing bpm 0', [{ ...track(), bpm: 0 }, track(), {}],
      'invalid beat analysis: bpm must be finite and positive, got 0'],
    ['window that ends before it begins', [track(), track(), { outgoing: { startEarliest: 3, startLatest: 1 } }],
      'unsupported configuration: outgoing start window ends before it begins: 3..=1'],
    // The planner's own wording follows its prefix.
    ['no admitted length fits', [track(), track(), { beatLengths: [3] }], /^no viable transition found: ./],
  ];
  for (const [name, args, rejected] of cases) {
    await t.test(name, async () => {
      const result = await renderTransition(...args);
      assertShape(result);
      const { rejected: text, ...rest } = result;
      if (rejected instanceof RegExp) assert.match(text, rejected);
      else assert.equal(text, rejected);
      assert.deepEqual(rest, {
        rendered: false, channels: [], sampleRate: 0, duration: 0, beats: 0, strategy: '', outgoingStart: 0,
        incomingStart: 0, outgoingResume: 0, incomingResume: 0, outgoingTempoRatio: 1, incomingTempoRatio: 1,
        targetBpm: 0, summary: '',
      });
    });
  }
});

test('every property of a rendered result comes from its own field', async () => {
  const result = await plain.echoTransition(track({ rate: 2000, seconds: 2 }), track({ channelCount: 1 }), {});
  assertShape(result);
  const { channels, summary, ...numbers } = result;
  assert.deepEqual(numbers, {
    rendered: true, rejected: '', sampleRate: 2000, duration: 2, beats: 16, strategy: 'echo', outgoingStart: 1.25,
    incomingStart: 2.5, outgoingResume: 3.75, incomingResume: 5,
    // 32-bit values widened: single-precision rounding shows.
    outgoingTempoRatio: Math.fround(1.02), incomingTempoRatio: Math.fround(0.98), targetBpm: 124.5,
  });
  assert.equal(result.outgoingTempoRatio, 1.0199999809265137);
  assert.equal(channels.length, 3);
  assert.equal(typeof echoedTask(result), 'object');
});

for (const [variant, host] of [['external buffers', plain], ['a host that refuses external buffers', refusing]]) {
  test(`rendered channels arrive intact as Float32Arrays of their own, with ${variant}`, async () => {
    const outgoing = track({ channelCount: 2, rate: 1000, seconds: 3 });
    const incoming = track({ channelCount: 1, rate: 1000, seconds: 3, sample: (f) => f / 4096 });
    const result = await host.echoTransition(outgoing, incoming, {});
    const expected = [...outgoing.channels, ...incoming.channels];
    assert.equal(result.channels.length, expected.length);
    const buffers = new Set();
    result.channels.forEach((channel, c) => {
      assert.ok(channel instanceof Float32Array);
      assert.equal(channel.byteOffset, 0);
      assert.equal(channel.buffer.byteLength, 4 * channel.length);
      assert.deepEqual(channel, expected[c]);
      buffers.add(channel.buffer);
    });
    assert.equal(buffers.size, expected.length);
  });
}

test('results never share storage, with the caller or with each other', async () => {
  const outgoing = track({ channelCount: 1, sample: () => 0.25 });
  const incoming = track({ channelCount: 1, sample: () => -0.5 });
  const first = plain.echoTransition(outgoing, incoming, {});
  // The caller may reuse its arrays as soon as the call returns.
  outgoing.channels[0].fill(9);
  structuredClone(incoming.channels[0].buffer, { transfer: [incoming.channels[0].buffer] });
  const [a, b] = await Promise.all([first, plain.echoTransition(track({ channelCount: 1 }), track(), {})]);
  assert.ok(a.channels[0].every((x) => x === 0.25));
  assert.ok(a.channels[1].every((x) => x === -0.5));
  a.channels[0].fill(7);
  b.channels[0][0] = 7;
  assert.ok(a.channels[1].every((x) => x === -0.5));
  assert.notEqual(a.channels[0].buffer, b.channels[0].buffer);
  const again = await plain.echoTransition(track({ channelCount: 1, sample: () => 0.25 }), track(), {});
  assert.ok(again.channels[0].every((x) => x === 0.25));
});

test('calls made back to back each settle with their own result', async () => {
  const calls = [
    renderTransition({ ...track(), bpm: 0 }, track(), {}),
    renderTransition(track({ channelCount: 2 }), track({ channelCount: 6 }), {}),
    plain.echoTransition(track({ channelCount: 1, sample: () => 0.125 }), track({ channelCount: 1 }), {}),
    plain.echoTransition(track({ channelCount: 1, sample: () => 0.375 }), track({ channelCount: 1 }), {}),
  ];
  const [bpm, mismatch, first, second] = await Promise.all(calls);
  assert.equal(bpm.rejected, 'invalid beat analysis: bpm must be finite and positive, got 0');
  assert.equal(mismatch.rejected, 'channel count mismatch: outgoing has 2, incoming has 6, and neither is mono');
  assert.ok(first.channels[0].every((x) => x === 0.125));
  assert.ok(second.channels[0].every((x) => x === 0.375));
});

test('a job that faults rejects with GenericFailure and leaves the module usable', async (t) => {
  const cases = [
    ['out of memory', plain.faultyTransition, 'Transition job failed: out of memory'],
    ['exception', plain.throwingTransition, 'Transition job failed: the planner lost its place'],
  ];
  for (const [name, call, message] of cases) {
    await t.test(name, async () => {
      await assert.rejects(call(track(), track(), {}), (error) => {
        assert.ok(error instanceof Error);
        assert.equal(error.message, message);
        assert.equal(error.code, 'GenericFailure');
        return true;
      });
      assert.equal((await plain.echoTransition(track(), track(), {})).rendered, true);
    });
  }
});

test('a cancelled work item rejects with AbortError', async () => {
  await assert.rejects(plain.settleWith(11), (error) => {
    assert.ok(error instanceof Error);
    assert.deepEqual([error.message, error.code, error.name], ['AbortError', 'Cancelled', 'AbortError']);
    return true;
  });
});

test('any other host status rejects with an empty message and the status code', async () => {
  const codes = [
    'InvalidArg', 'ObjectExpected', 'StringExpected', 'NameExpected', 'FunctionExpected', 'NumberExpected',
    'BooleanExpected', 'ArrayExpected', 'GenericFailure', 'PendingException', null, 'EscapeCalledTwice',
    'HandleScopeMismatch', 'CallbackScopeMismatch', 'QueueFull', 'Closing', 'BigintExpected', 'DateExpected',
    'ArrayBufferExpected', 'DetachableArraybufferExpected', 'WouldDeadlock', 'NoExternalBuffersAllowed',
    'Unknown', 'Unknown',
  ];
  for (const [index, code] of codes.entries()) {
    const status = index + 1;
    if (code === null) continue; // 11 is the cancellation above
    await assert.rejects(plain.settleWith(status), (error) => {
      assert.deepEqual([error.message, error.code, error.name], ['', code, 'Error'], `status ${status}`);
      return true;
    });
  }
});

test('a Node-API function missing from the host reports itself and fails', () => {
  const script = `process.stdout.write(String(require(${JSON.stringify(testHostPath('plain'))}).probeMissingSymbol()))`;
  const run = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', cwd: path.dirname(__filename) });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stdout, '9'); // napi_generic_failure
  assert.equal(run.stderr, 'Node-API symbol napi_create_promise has not been loaded\n');
});

const strategies = ['equal-power crossfade', 'beatmatched crossfade', 'bass swap', 'filtered blend', 'short fade'];
const bytes = (channel) => Buffer.from(channel.buffer, channel.byteOffset, channel.byteLength);
const sameAudio = (a, b) => a.length === b.length && a.every((channel, c) => bytes(channel).equals(bytes(b[c])));

test('a rendered transition resolves with its plan and one Float32Array per channel', async () => {
  const result = await renderTransition(track({ bpm: 124 }), track({ bpm: 126 }), {});
  assertShape(result);
  assert.equal(result.rendered, true);
  assert.equal(result.rejected, '');
  assert.ok(strategies.includes(result.strategy), result.strategy);
  assert.match(result.summary, /^Selected \d+-beat transition\n/);
  assert.equal(result.sampleRate, 1000);
  assert.ok([4, 8, 16, 32].includes(result.beats), String(result.beats));
  assert.ok(result.duration > 0);
  // 32-bit numbers widened to 64 bits: each is exactly a float.
  for (const key of ['outgoingTempoRatio', 'incomingTempoRatio', 'targetBpm']) {
    assert.equal(Math.fround(result[key]), result[key], key);
  }
  assert.notEqual(result.outgoingTempoRatio, 1);
  assert.equal(result.channels.length, 2);
  const [left, right] = result.channels;
  assert.ok(left.length > 0);
  assert.equal(right.length, left.length);
  for (const channel of result.channels) {
    assert.ok(channel instanceof Float32Array);
    assert.equal(channel.byteOffset, 0);
    assert.equal(channel.buffer.byteLength, 4 * channel.length);
    assert.ok(channel.some((x) => x !== 0));
  }
  assert.notEqual(left.buffer, right.buffer);
});

test('channel counts and sample rates of the rendered audio', async (t) => {
  const cases = [
    ['stereo into mono', track({ channelCount: 2 }), track({ channelCount: 1 }), 2, 1000],
    ['mono into stereo', track({ channelCount: 1 }), track({ channelCount: 2 }), 2, 1000],
    ['44100 Hz into 48000 Hz', track({ channelCount: 1, rate: 44100 }), track({ channelCount: 1, rate: 48000 }), 1,
      48000],
  ];
  for (const [name, outgoing, incoming, channels, sampleRate] of cases) {
    await t.test(name, async () => {
      const result = await renderTransition(outgoing, incoming, {});
      assert.equal(result.rejected, '');
      assert.equal(result.channels.length, channels);
      assert.equal(result.sampleRate, sampleRate);
    });
  }
});

test('a host that refuses external buffers gets the same rendered audio, copied', async () => {
  const outgoing = track({ bpm: 124 });
  const incoming = track({ channelCount: 1, bpm: 126 });
  const [external, copied] = await Promise.all([
    renderTransition(outgoing, incoming, {}),
    refusing.renderTransition(outgoing, incoming, {}),
  ]);
  assert.equal(external.rendered, true);
  const { channels: a, ...planA } = external;
  const { channels: b, ...planB } = copied;
  assert.deepEqual(planB, planA);
  assert.ok(sameAudio(a, b));
});

test('both hosts hand back every bit of every channel, NaN payloads, -0 and denormals included', async () => {
  // Bit patterns no arithmetic produces: a float copy that went through an
  // FPU operation, or a copy of the wrong length or offset, shows.
  const patterns = [0x7fc00001, 0x7f800001, 0xffbfffff, 0x80000000, 0x00000001, 0x807fffff, 0x7f800000, 0xff800000];
  const channel = (seed, length) => {
    const bits = new Uint32Array(length);
    for (let i = 0; i < length; i++) bits[i] = i < patterns.length ? patterns[(i + seed) % patterns.length] : Math.imul(i + seed, 2654435761) >>> 0;
    return new Float32Array(bits.buffer);
  };
  const outgoing = { ...track({ channelCount: 1 }), channels: [channel(0, 4000), channel(3, 4000), channel(5, 4000)] };
  const incoming = { ...track({ channelCount: 1, rate: 2000 }), channels: [channel(7, 8000)] };
  const sent = [...outgoing.channels, ...incoming.channels].map((c) => Buffer.from(bytes(c)));
  const [external, copied] = await Promise.all([plain.echoTransition(outgoing, incoming, {}),
    refusing.echoTransition(outgoing, incoming, {})]);
  for (const result of [external, copied]) {
    assert.equal(result.channels.length, sent.length);
    result.channels.forEach((c, i) => assert.ok(bytes(c).equals(sent[i]), `channel ${i}`));
  }
});

test('overlapping calls and reused input arrays leave each rendered result unchanged', async () => {
  const outgoing = track({ bpm: 124 });
  const incoming = track({ bpm: 126 });
  const alone = await renderTransition(outgoing, incoming, {});
  const reversedAlone = await renderTransition(incoming, outgoing, {});

  const sameTime = renderTransition(outgoing, incoming, {});
  const reversed = renderTransition(incoming, outgoing, {});
  // The arrays are the caller's again as soon as the calls return.
  for (const channel of [...outgoing.channels, ...incoming.channels]) channel.fill(0.9);
  outgoing.beats.length = 0;
  const [first, second] = await Promise.all([sameTime, reversed]);
  assert.ok(sameAudio(first.channels, alone.channels));
  assert.ok(sameAudio(second.channels, reversedAlone.channels));
  assert.equal(first.summary, alone.summary);
  assert.equal(second.summary, reversedAlone.summary);
});

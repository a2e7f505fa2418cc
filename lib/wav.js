'use strict';

// WAV files in and out. The container (RIFF, RIFX and RF64 chunks, the
// format chunk, WAVE_FORMAT_EXTENSIBLE, the compressed codecs) is handled by
// the wavefile library. The bulk conversion between sample bytes and planar
// 32-bit floats is done here with DataView, because the library's generic
// bit packer needs many seconds for a single track (16 s to write 90 s of
// stereo float), far too slow for a tool that moves whole DJ sets.

const fs = require('node:fs');
const { WaveFile } = require('wavefile');
const { UsageError } = require('./errors');

/** Sample formats the writers accept, by their command-line names. */
const OUTPUT_FORMATS = new Set(['16', '24', '32f']);

function describeReadFailure(path, error) {
  if (error.code === 'ENOENT') return `cannot read ${path}: no such file`;
  if (error.code === 'EISDIR') return `cannot read ${path}: it is a directory`;
  if (error.code === 'EACCES') return `cannot read ${path}: permission denied`;
  return `cannot read ${path}: ${error.message}`;
}

/**
 * Decodes a WAV file held in memory into planar 32-bit floats in -1..1.
 * Integer PCM of 8 to 32 bits, 32- and 64-bit float, A-law, mu-law and IMA
 * ADPCM are understood. `name` is used in error messages.
 * Returns { channels: Float32Array[], sampleRate, bitDepth }.
 */
function decodeWav(bytes, name) {
  const wav = new WaveFile();
  try {
    wav.fromBuffer(bytes);
  } catch (error) {
    throw notWav(name, error);
  }
  const channelCount = wav.fmt.numChannels;
  const sampleRate = wav.fmt.sampleRate;
  if (!Number.isInteger(channelCount) || channelCount < 1) {
    throw new UsageError(`${name} is not a usable WAV file: it declares ${channelCount} channels`);
  }
  if (!Number.isFinite(sampleRate) || sampleRate < 1) {
    throw new UsageError(`${name} is not a usable WAV file: it declares a sample rate of ${sampleRate} Hz`);
  }
  const originalDepth = wav.bitDepth;
  try {
    // Companded and ADPCM data are expanded to 16-bit PCM by the library.
    if (wav.bitDepth === '8a') wav.fromALaw();
    else if (wav.bitDepth === '8m') wav.fromMuLaw();
    else if (wav.bitDepth === '4') wav.fromIMAADPCM();
  } catch (error) {
    throw new UsageError(`${name} could not be decoded: ${error.message}`);
  }

  const data = wav.data.samples;
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  const littleEndian = wav.container !== 'RIFX';
  let depth = wav.bitDepth;
  if (!['8', '16', '24', '32', '32f', '64'].includes(depth)) {
    // Integer widths such as 12 or 20 bits sit left-justified in a 16- or
    // 24-bit container, so reading the container as a whole scales them right.
    const container = (wav.fmt.blockAlign / channelCount) * 8;
    if (wav.fmt.audioFormat === 3 || !['8', '16', '24', '32'].includes(String(container))) {
      throw new UsageError(`${name} uses an unsupported sample format (${wav.bitDepth} bits in ${container}-bit frames)`);
    }
    depth = String(container);
  }
  const bytesPer = { 8: 1, 16: 2, 24: 3, 32: 4, '32f': 4, 64: 8 }[depth];
  const frameBytes = bytesPer * channelCount;
  const frames = Math.floor(data.byteLength / frameBytes);
  const channels = Array.from({ length: channelCount }, () => new Float32Array(frames));

  const read = {
    8: (offset) => (view.getUint8(offset) - 128) / 128,
    16: (offset) => view.getInt16(offset, littleEndian) / 32768,
    24: (offset) => {
      const b0 = view.getUint8(offset);
      const b1 = view.getUint8(offset + 1);
      const b2 = view.getUint8(offset + 2);
      const value = littleEndian ? b0 | (b1 << 8) | (b2 << 16) : b2 | (b1 << 8) | (b0 << 16);
      return ((value << 8) >> 8) / 8388608;
    },
    32: (offset) => view.getInt32(offset, littleEndian) / 2147483648,
    '32f': (offset) => view.getFloat32(offset, littleEndian),
    64: (offset) => view.getFloat64(offset, littleEndian),
  }[depth];

  for (let c = 0; c < channelCount; c += 1) {
    const out = channels[c];
    let offset = c * bytesPer;
    for (let i = 0; i < frames; i += 1) {
      out[i] = read(offset);
      offset += frameBytes;
    }
  }
  return { channels, sampleRate, bitDepth: originalDepth };
}

// Enough for the header chunks of any ordinary WAV file, so that probing a
// playlist does not read every track in full before the mix reads it again.
const PROBE_BYTES = 64 * 1024;

function readBytes(path, limit = Infinity) {
  try {
    if (limit === Infinity) return fs.readFileSync(path);
    const fd = fs.openSync(path, 'r');
    try {
      const head = Buffer.alloc(limit);
      return head.subarray(0, fs.readSync(fd, head, 0, limit, 0));
    } finally {
      fs.closeSync(fd);
    }
  } catch (error) {
    throw new UsageError(describeReadFailure(path, error));
  }
}

function notWav(name, error) {
  return new UsageError(`${name} is not a WAV file (${error.message.replace(/\.$/, '').toLowerCase()})`);
}

/**
 * Reads a WAV file's format without decoding its samples: { channels,
 * sampleRate, frames }. Lets a playlist be checked before any work starts.
 * Reads only the head of the file unless its header chunks lie further in.
 */
function probeWav(path) {
  let bytes = readBytes(path, PROBE_BYTES);
  const wav = new WaveFile();
  try {
    wav.fromBuffer(bytes, false);
  } catch (error) {
    if (bytes.length < PROBE_BYTES) throw notWav(path, error);
    bytes = readBytes(path);
    try {
      wav.fromBuffer(bytes, false);
    } catch (fullError) {
      throw notWav(path, fullError);
    }
  }
  const { numChannels, sampleRate, blockAlign } = wav.fmt;
  if (!(numChannels >= 1) || !(sampleRate >= 1) || !(blockAlign >= 1)) {
    throw new UsageError(`${path} is not a usable WAV file: its format chunk declares ${numChannels} channels at ${sampleRate} Hz`);
  }
  return { channels: numChannels, sampleRate, frames: Math.floor(wav.data.chunkSize / blockAlign) };
}

/** Reads and decodes a WAV file; every failure is a UsageError naming the file. */
function readWav(path) {
  return decodeWav(readBytes(path), path);
}

/** The format as the writers name it; `what` names it in the error. */
function checkFormat(format, what = 'sample format') {
  const code = String(format);
  if (!OUTPUT_FORMATS.has(code)) throw new UsageError(`${what} "${format}" is not one of 16, 24, 32f`);
  return code;
}

function headerFor(channelCount, sampleRate, code) {
  const wav = new WaveFile();
  wav.fromScratch(channelCount, sampleRate, code, []);
  return Buffer.from(wav.toBuffer());
}

function quantize(x, scale) {
  const v = Math.round(x * scale);
  if (Number.isNaN(v)) return 0;
  if (v < -scale) return -scale;
  return v > scale - 1 ? scale - 1 : v;
}

// Interleaves frames [start, end) of planar float channels into sample bytes.
// Integer formats are clamped to full scale (a float mix may exceed it) and
// NaN becomes silence rather than a full-scale click.
function packFrames(channels, start, end, code) {
  const channelCount = channels.length;
  const bytesPer = code === '16' ? 2 : code === '24' ? 3 : 4;
  const frames = Math.max(0, end - start);
  const out = Buffer.alloc(frames * channelCount * bytesPer);
  const view = new DataView(out.buffer, out.byteOffset, out.byteLength);
  let offset = 0;
  for (let i = start; i < end; i += 1) {
    for (let c = 0; c < channelCount; c += 1) {
      const x = channels[c][i];
      if (code === '32f') {
        view.setFloat32(offset, x, true);
        offset += 4;
      } else if (code === '16') {
        view.setInt16(offset, quantize(x, 32768), true);
        offset += 2;
      } else {
        const v = quantize(x, 8388608);
        view.setUint8(offset, v & 0xff);
        view.setUint8(offset + 1, (v >> 8) & 0xff);
        view.setUint8(offset + 2, (v >> 16) & 0xff);
        offset += 3;
      }
    }
  }
  return out;
}

/** Encodes planar float channels as a complete WAV file in memory. */
function encodeWav(channels, sampleRate, format = '16') {
  const code = checkFormat(format);
  const frames = channels[0].length;
  const header = headerFor(channels.length, sampleRate, code);
  const body = packFrames(channels, 0, frames, code);
  patchSizes(header, body.length);
  return Buffer.concat([header, body]);
}

const MAX_RIFF_BYTES = 0xffffffff;

function patchSizes(header, dataBytes) {
  header.writeUInt32LE(header.length - 8 + dataBytes, 4);
  header.writeUInt32LE(dataBytes, header.length - 4);
}

/**
 * Writes a WAV file piece by piece, so that a long mix never has to exist in
 * memory as a whole. The samples go to a temporary file beside the target,
 * which close() completes (the sizes in the header) and renames into place:
 * a failed or abandoned write leaves neither a half-written file nor a
 * damaged earlier one behind.
 */
class WavWriter {
  constructor(path, { channels, sampleRate, format = '16' }) {
    this.path = path;
    this.code = checkFormat(format);
    this.channelCount = channels;
    this.sampleRate = sampleRate;
    this.header = headerFor(channels, sampleRate, this.code);
    this.dataBytes = 0;
    this.frames = 0;
    this.partial = `${path}.partial-${process.pid}`;
    try {
      this.fd = fs.openSync(this.partial, 'w');
      fs.writeSync(this.fd, this.header);
    } catch (error) {
      this.abort();
      throw new UsageError(`cannot write ${path}: ${error.code === 'ENOENT' ? 'no such directory' : error.message}`);
    }
  }

  /** Appends frames [start, end) of planar channels (as many as the writer has). */
  write(channels, start = 0, end = channels[0].length) {
    if (channels.length !== this.channelCount) {
      throw new Error(`writer for ${this.channelCount} channels was handed ${channels.length}`);
    }
    const bytes = packFrames(channels, start, end, this.code);
    if (this.header.length + this.dataBytes + bytes.length - 8 > MAX_RIFF_BYTES) {
      this.abort();
      throw new UsageError(`${this.path} would exceed the 4 GiB a WAV file can hold; use a shorter playlist or 16-bit output`);
    }
    this.#writeAll(bytes);
    this.dataBytes += bytes.length;
    this.frames += Math.max(0, end - start);
  }

  close() {
    const sizes = Buffer.from(this.header);
    patchSizes(sizes, this.dataBytes);
    try {
      fs.writeSync(this.fd, sizes, 0, sizes.length, 0);
      fs.closeSync(this.fd);
      this.fd = undefined;
      fs.renameSync(this.partial, this.path);
    } catch (error) {
      this.abort();
      throw new UsageError(`cannot write ${this.path}: ${error.message}`);
    }
  }

  /** Closes and removes the unfinished file; safe to call more than once. */
  abort() {
    if (this.fd !== undefined) {
      try {
        fs.closeSync(this.fd);
      } catch {
        // already closed
      }
      this.fd = undefined;
    }
    fs.rmSync(this.partial, { force: true });
  }

  #writeAll(bytes) {
    try {
      let written = 0;
      while (written < bytes.length) written += fs.writeSync(this.fd, bytes, written, bytes.length - written);
    } catch (error) {
      this.abort();
      throw new UsageError(`cannot write ${this.path}: ${error.message}`);
    }
  }
}

/** Writes a complete WAV file in one go. */
function writeWav(path, channels, sampleRate, format = '16') {
  const writer = new WavWriter(path, { channels: channels.length, sampleRate, format });
  writer.write(channels);
  writer.close();
}

module.exports = { readWav, probeWav, decodeWav, encodeWav, writeWav, WavWriter, checkFormat };

'use strict';

// Deterministic example tracks: drums, bass and chords at a given tempo, key
// and length, with their exact beat and downbeat times.
//
// Every duration in here (note lengths, envelope time constants, pitch
// glides, hit positions) is a whole number of beats or a fraction of one,
// while every frequency is fixed in hertz. A track rendered at another tempo
// is therefore what an ideal, pitch-preserving time-stretch of it would be,
// which is what makes the tracks usable as a reference for the stretcher.

const { UsageError } = require('./errors');
const { createRandom } = require('./random');

const NOTE_NAMES = { c: 0, d: 2, e: 4, f: 5, g: 7, a: 9, b: 11 };

// Chord roots as semitones above the key's tonic, one chord per bar.
const PROGRESSIONS = {
  minor: [
    { offset: 0, minor: true },
    { offset: 8, minor: false },
    { offset: 3, minor: false },
    { offset: 10, minor: false },
  ],
  major: [
    { offset: 0, minor: false },
    { offset: 7, minor: false },
    { offset: 9, minor: true },
    { offset: 5, minor: false },
  ],
};

const BARS_PER_PHRASE = 8;

/** Parses "A minor", "Am", "F# major", "Eb", "c#m" into { tonic, mode, name }. */
function parseKey(text) {
  const match = /^\s*([a-g])([#b]?)\s*(m|min|minor|maj|major)?\s*$/i.exec(String(text));
  if (!match) {
    throw new UsageError(`key "${text}" is not a key such as "A minor", "Am" or "F# major"`);
  }
  const letter = match[1].toLowerCase();
  let tonic = NOTE_NAMES[letter];
  if (match[2] === '#') tonic += 1;
  if (match[2] === 'b') tonic -= 1;
  tonic = (tonic + 12) % 12;
  const quality = (match[3] || '').toLowerCase();
  const mode = quality === 'm' || quality.startsWith('min') ? 'minor' : 'major';
  const name = `${letter.toUpperCase()}${match[2]} ${mode}`;
  return { tonic, mode, name };
}

// Bass notes' positions within a bar, in beats.
const BASS_PATTERNS = [
  [0.5, 1.5, 2.5, 3.5],
  [0, 0.5, 1.5, 2.5, 3, 3.5],
  [0.5, 1.5, 2.25, 2.5, 3.5],
];

/**
 * The groove a seed picks: which of the bass patterns (an index) and the
 * hat accent (0.7 to 1.0). Two seeds with the same groove give renders that
 * differ only in the noise inside the hits.
 */
function grooveOf(seed) {
  const random = createRandom(seed);
  return { pattern: Math.floor(random() * BASS_PATTERNS.length), accent: 0.7 + random() * 0.3 };
}

function midiToHz(note) {
  return 440 * Math.pow(2, (note - 69) / 12);
}

// One cycle of a band-limited sawtooth (eight partials), read with linear
// interpolation: far cheaper per sample than summing sines, and free of the
// aliasing a naive sawtooth would fold down into the mix.
const TABLE_SIZE = 2048;
const SAW_TABLE = (() => {
  const table = new Float64Array(TABLE_SIZE + 1);
  for (let i = 0; i <= TABLE_SIZE; i += 1) {
    let value = 0;
    for (let k = 1; k <= 8; k += 1) value += Math.sin((2 * Math.PI * k * i) / TABLE_SIZE) / k;
    table[i] = value * 0.55;
  }
  return table;
})();

function sectionLayers(bar, bars) {
  const phrase = Math.floor(bar / BARS_PER_PHRASE);
  const phrases = Math.ceil(bars / BARS_PER_PHRASE);
  const intro = { kick: true, hats: true, snare: false, bass: false, chords: false };
  const build = { kick: true, hats: true, snare: true, bass: true, chords: false };
  const full = { kick: true, hats: true, snare: true, bass: true, chords: true };
  const breakdown = { kick: false, hats: true, snare: false, bass: false, chords: true };
  if (phrases <= 2) return phrase === 0 ? build : full;
  if (phrase === 0) return intro;
  if (phrase === phrases - 1) return intro; // the outro mirrors the intro, as DJ tools expect
  if (phrase === 1) return build;
  if (phrase === phrases - 2) return full;
  return phrase % 2 === 0 ? full : breakdown;
}

/**
 * Generates one example track.
 *
 * options: bpm (default 124), key (default "A minor"), seconds (length cap,
 * default 90: the track holds as many whole bars as fit) or bars, seed
 * (default 1), sampleRate (default 48000), channels (1 or 2, default 2),
 * beatsPerBar (default 4).
 *
 * Returns { channels: Float32Array[], sampleRate, bpm, beats, downbeats,
 * beatsPerBar, bars, key } where beats and downbeats are exact times in
 * seconds. The result depends on nothing but the options.
 */
function generateTrack(options = {}) {
  const bpm = options.bpm ?? 124;
  const sampleRate = options.sampleRate ?? 48000;
  const channelCount = options.channels ?? 2;
  const beatsPerBar = options.beatsPerBar ?? 4;
  const seed = options.seed ?? 1;
  const key = parseKey(options.key ?? 'A minor');

  if (!Number.isFinite(bpm) || bpm < 30 || bpm > 300) {
    throw new UsageError(`bpm ${bpm} is outside 30 to 300`);
  }
  if (!Number.isInteger(sampleRate) || sampleRate < 8000 || sampleRate > 384000) {
    throw new UsageError(`sample rate ${sampleRate} is not a whole number from 8000 to 384000`);
  }
  if (channelCount !== 1 && channelCount !== 2) {
    throw new UsageError(`channels must be 1 or 2, got ${channelCount}`);
  }
  if (!Number.isInteger(beatsPerBar) || beatsPerBar < 2 || beatsPerBar > 12) {
    throw new UsageError(`beats per bar must be a whole number from 2 to 12, got ${beatsPerBar}`);
  }
  if (!Number.isInteger(seed)) throw new UsageError(`seed must be a whole number, got ${seed}`);

  const beatSeconds = 60 / bpm;
  const barSeconds = beatSeconds * beatsPerBar;
  let bars;
  if (options.bars !== undefined) {
    bars = options.bars;
  } else {
    const seconds = options.seconds ?? 90;
    // A tiny allowance so that a length of exactly n bars is not lost to rounding.
    bars = Math.floor(seconds / barSeconds + 1e-9);
  }
  if (!Number.isInteger(bars) || bars < 1) {
    throw new UsageError(`the track must hold at least one bar (${barSeconds.toFixed(2)}s at ${bpm} BPM)`);
  }

  const totalBeats = bars * beatsPerBar;
  const frames = Math.round(totalBeats * beatSeconds * sampleRate);
  const left = new Float64Array(frames);
  const right = new Float64Array(frames);
  const frameOf = (beat) => Math.round(beat * beatSeconds * sampleRate);
  const seconds = (beatsCount) => beatsCount * beatSeconds;
  const nyquist = sampleRate / 2;

  // The seed varies the groove, not the structure: the bass pattern, the
  // hat accents and the noise of every hit.
  const groove = grooveOf(seed);
  const bassPattern = BASS_PATTERNS[groove.pattern];
  const hatAccent = groove.accent;

  const addMono = (start, values, gain, pan) => {
    // Constant-power pan, pan in -1..1.
    const angle = ((pan + 1) * Math.PI) / 4;
    const gl = gain * Math.cos(angle);
    const gr = gain * Math.sin(angle);
    const end = Math.min(frames, start + values.length);
    for (let i = start; i < end; i += 1) {
      left[i] += values[i - start] * gl;
      right[i] += values[i - start] * gr;
    }
  };

  // Kicks, bass notes and chords repeat identically, so each distinct sound
  // is synthesised once and then copied to its positions. The cache is keyed
  // by every parameter, including the length in frames, which the rounding
  // of beat positions can change by one.
  const cache = new Map();
  const cached = (key, make) => {
    let value = cache.get(key);
    if (!value) {
      value = make();
      cache.set(key, value);
    }
    return value;
  };

  const kick = (beat) => {
    const start = frameOf(beat);
    const length = frameOf(beat + 1) - start;
    const out = cached(`kick ${length}`, () => {
      const values = new Float64Array(length);
      const pitchTau = seconds(0.06);
      const ampTau = seconds(0.22);
      const clickTau = seconds(0.008);
      for (let i = 0; i < length; i += 1) {
        const t = i / sampleRate;
        // Phase of a glide from 160 Hz down to 48 Hz, integrated in closed form.
        const phase = 2 * Math.PI * (48 * t + 112 * pitchTau * (1 - Math.exp(-t / pitchTau)));
        values[i] = Math.sin(phase) * Math.exp(-t / ampTau) + 0.25 * Math.sin(phase * 3.1) * Math.exp(-t / clickTau);
      }
      return values;
    });
    addMono(start, out, 0.7, 0);
  };

  // Noise through a one-pole high-pass: 'cutoff' sets the colour.
  const noiseHit = (beat, lengthBeats, decayBeats, cutoffHz, gain, pan, tone) => {
    const start = frameOf(beat);
    const length = frameOf(beat + lengthBeats) - start;
    const out = new Float64Array(length);
    const tau = seconds(decayBeats);
    const a = Math.exp((-2 * Math.PI * Math.min(cutoffHz, nyquist * 0.9)) / sampleRate);
    // Each hit draws its own noise, keyed by its position in beats, so that
    // a hit sounds the same at any tempo and whatever came before it.
    const noise = createRandom(Math.imul(seed, 0x9e3779b1) ^ Math.round(beat * 64 + cutoffHz));
    let previousIn = 0;
    let previousOut = 0;
    for (let i = 0; i < length; i += 1) {
      const t = i / sampleRate;
      const x = noise() * 2 - 1;
      const y = a * (previousOut + x - previousIn);
      previousIn = x;
      previousOut = y;
      let value = y;
      if (tone) value = 0.6 * y + 0.5 * Math.sin(2 * Math.PI * tone * t);
      out[i] = value * Math.exp(-t / tau);
    }
    addMono(start, out, gain, pan);
  };

  const bassNote = (beat, lengthBeats, hz) => {
    const start = frameOf(beat);
    const length = frameOf(beat + lengthBeats) - start;
    const out = cached(`bass ${hz} ${length}`, () => {
      const values = new Float64Array(length);
      const attack = seconds(0.02);
      const release = seconds(0.06);
      const total = length / sampleRate;
      for (let i = 0; i < length; i += 1) {
        const t = i / sampleRate;
        const envelope = Math.min(1, t / attack, Math.max(0, (total - t) / release));
        const phase = 2 * Math.PI * hz * t;
        const raw = Math.sin(phase) + 0.35 * Math.sin(2 * phase) + 0.15 * Math.sin(3 * phase);
        values[i] = Math.tanh(raw * 1.4) * envelope;
      }
      return values;
    });
    addMono(start, out, 0.4, 0);
  };

  const chordBar = (beat, lengthBeats, notes, gain) => {
    const start = frameOf(beat);
    const length = frameOf(beat + lengthBeats) - start;
    const [l, r] = cached(`chord ${notes.join(',')} ${gain} ${length}`, () => {
      const attack = seconds(0.25);
      const release = seconds(0.5);
      const total = length / sampleRate;
      const sides = [new Float64Array(length), new Float64Array(length)];
      for (const note of notes) {
        const hz = midiToHz(note);
        // Two slightly detuned voices per note, one on each side: the width
        // of a real pad without a chorus effect.
        for (const [detune, target] of [[0.997, sides[0]], [1.003, sides[1]]]) {
          const step = (hz * detune * TABLE_SIZE) / sampleRate;
          let position = (note * 97) % TABLE_SIZE;
          for (let i = 0; i < length; i += 1) {
            const index = position | 0;
            target[i] += SAW_TABLE[index] + (SAW_TABLE[index + 1] - SAW_TABLE[index]) * (position - index);
            position += step;
            if (position >= TABLE_SIZE) position -= TABLE_SIZE;
          }
        }
      }
      for (let i = 0; i < length; i += 1) {
        const t = i / sampleRate;
        const envelope = Math.min(1, t / attack, Math.max(0, (total - t) / release)) * gain;
        sides[0][i] *= envelope;
        sides[1][i] *= envelope;
      }
      return sides;
    });
    const end = Math.min(frames, start + length);
    for (let i = start; i < end; i += 1) {
      left[i] += l[i - start];
      right[i] += r[i - start];
    }
  };

  const progression = PROGRESSIONS[key.mode];
  for (let bar = 0; bar < bars; bar += 1) {
    const layers = sectionLayers(bar, bars);
    const barBeat = bar * beatsPerBar;
    const chord = progression[bar % progression.length];
    const rootClass = (key.tonic + chord.offset) % 12;
    if (layers.kick) {
      for (let b = 0; b < beatsPerBar; b += 1) kick(barBeat + b);
    }
    if (layers.snare) {
      for (let b = 1; b < beatsPerBar; b += 2) noiseHit(barBeat + b, 0.5, 0.09, 1200, 0.3, 0, 190);
    }
    if (layers.hats) {
      for (let b = 0; b < beatsPerBar; b += 1) {
        noiseHit(barBeat + b + 0.5, 0.25, 0.035, 7000, 0.16 * hatAccent, 0.3, 0);
        if (layers.bass) noiseHit(barBeat + b + 0.25, 0.125, 0.015, 9000, 0.06, -0.35, 0);
      }
    }
    if (layers.bass) {
      // E1 to D#2: low enough to be bass, high enough for small speakers.
      const bassMidi = 28 + ((rootClass - 4 + 12) % 12);
      const hz = midiToHz(bassMidi);
      for (let cycle = 0; cycle < beatsPerBar; cycle += 4) {
        for (const position of bassPattern) {
          if (cycle + position < beatsPerBar) bassNote(barBeat + cycle + position, 0.4, hz);
        }
      }
    }
    if (layers.chords) {
      const chordRoot = 55 + ((rootClass - 7 + 12) % 12);
      const notes = [chordRoot, chordRoot + (chord.minor ? 3 : 4), chordRoot + 7];
      chordBar(barBeat, beatsPerBar, notes, layers.kick ? 0.07 : 0.1);
    }
  }

  // A memoryless soft knee keeps the peaks below full scale without an
  // envelope of its own, which would carry a time constant in seconds.
  const knee = 0.6;
  const soften = (x) => {
    const magnitude = Math.abs(x);
    if (magnitude <= knee) return x;
    const shaped = knee + (0.98 - knee) * Math.tanh((magnitude - knee) / (0.98 - knee));
    return x < 0 ? -shaped : shaped;
  };
  const outLeft = new Float32Array(frames);
  const outRight = new Float32Array(frames);
  for (let i = 0; i < frames; i += 1) {
    outLeft[i] = soften(left[i]);
    outRight[i] = soften(right[i]);
  }
  let channels;
  if (channelCount === 2) {
    channels = [outLeft, outRight];
  } else {
    const mono = new Float32Array(frames);
    for (let i = 0; i < frames; i += 1) mono[i] = 0.5 * (outLeft[i] + outRight[i]);
    channels = [mono];
  }

  const beats = [];
  for (let b = 0; b < totalBeats; b += 1) beats.push((b * 60) / bpm);
  const downbeats = [];
  for (let bar = 0; bar < bars; bar += 1) downbeats.push((bar * beatsPerBar * 60) / bpm);

  return { channels, sampleRate, bpm, beats, downbeats, beatsPerBar, bars, key: key.name };
}

module.exports = { generateTrack, grooveOf, parseKey };

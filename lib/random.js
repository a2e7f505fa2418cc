'use strict';

/**
 * mulberry32: a seeded source of numbers in [0, 1), small, fast and
 * identical on every platform, so that generated tracks and generated test
 * cases are the same everywhere.
 */
function createRandom(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

module.exports = { createRandom };

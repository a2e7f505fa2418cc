'use strict';

// Readers for the values that the command line and playlists share: beat
// lengths, windows and duck curves. Each names the flag or field it reads,
// so an error points at what to fix.

const fs = require('node:fs');
const { UsageError } = require('./errors');
const { parseWindow, parseTime } = require('./format');

function parseNumber(text, what) {
  const value = typeof text === 'number' ? text : Number(String(text).trim());
  if (String(text).trim() === '' || !Number.isFinite(value)) {
    throw new UsageError(`${what} "${text}" is not a number`);
  }
  return value;
}

function parseWholeNumber(text, what, min, max) {
  const value = parseNumber(text, what);
  if (!Number.isInteger(value) || value < min || value > max) {
    throw new UsageError(`${what} "${text}" is not a whole number from ${min} to ${max}`);
  }
  return value;
}

/** "8,16" or [8, 16] -> [8, 16]. */
function parseBeatLengths(value, what) {
  const items = Array.isArray(value) ? value : String(value).split(',');
  if (items.length === 0 || (items.length === 1 && String(items[0]).trim() === '')) {
    throw new UsageError(`${what} is empty; give beat counts such as 8,16`);
  }
  return items.map((item) => parseWholeNumber(item, `${what} entry`, 1, 4294967295));
}

/** "150..165", "2:30..2:45" or [150, 165] -> [150, 165]. */
function readWindow(value, what) {
  if (Array.isArray(value)) {
    if (value.length !== 2) throw new UsageError(`${what} must be [earliest, latest]`);
    const [earliest, latest] = value.map((item) => (typeof item === 'number' ? item : parseTime(item, what)));
    if (!Number.isFinite(earliest) || !Number.isFinite(latest) || earliest < 0) {
      throw new UsageError(`${what} must hold two times of 0 or more seconds`);
    }
    if (earliest > latest) throw new UsageError(`${what} ends before it begins`);
    return [earliest, latest];
  }
  if (typeof value !== 'string') throw new UsageError(`${what} must be a window such as "150..165"`);
  return parseWindow(value, what);
}

/**
 * A duck curve file: a JSON array of numbers, or numbers separated by
 * blanks, commas or line breaks. The values are laid evenly over the whole
 * outgoing track. In a filtered blend they warp the closing of the outgoing
 * low-pass: 1 lets it close as planned, 0 holds it open, and it never reopens.
 */
function readDuckCurve(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    throw new UsageError(`cannot read duck curve ${file}: ${error.code === 'ENOENT' ? 'no such file' : error.message}`);
  }
  let values;
  const trimmed = text.trim();
  if (trimmed.startsWith('[')) {
    try {
      values = JSON.parse(trimmed);
    } catch (error) {
      throw new UsageError(`duck curve ${file} is not valid JSON: ${error.message}`);
    }
  } else {
    values = trimmed === '' ? [] : trimmed.split(/[\s,]+/);
  }
  return checkDuckCurve(values, `duck curve ${file}`);
}

function checkDuckCurve(values, what) {
  if (!Array.isArray(values) || values.length === 0) throw new UsageError(`${what} holds no values`);
  return values.map((value, index) => {
    const number = typeof value === 'number' ? value : Number(value);
    if ((typeof value !== 'number' && typeof value !== 'string') || !Number.isFinite(number)) {
      throw new UsageError(`${what}: value ${index + 1} (${JSON.stringify(value)}) is not a number`);
    }
    return number;
  });
}

module.exports = { parseNumber, parseWholeNumber, parseBeatLengths, readWindow, readDuckCurve, checkDuckCurve };

'use strict';

// Number and time texts shared by the command line, the plan table and the
// report.

const { UsageError } = require('./errors');

/**
 * Fixed notation with `digits` decimals, rounded to nearest from the exact
 * binary value with ties to even: the rounding the engine's own summary
 * uses, so that a time we rewrite reads exactly as the engine would have
 * printed it. (Number#toFixed breaks exact ties upwards: 0.125 gives "0.13"
 * there and "0.12" here.)
 */
function formatFixed(value, digits) {
  if (Number.isNaN(value)) return 'NaN';
  if (!Number.isFinite(value)) return value > 0 ? 'inf' : '-inf';
  if (Math.abs(value) >= 1e21) return String(value);
  const negative = value < 0 || Object.is(value, -0);
  // 60 digits hold every binary fraction of a double below 2^53 in full.
  const exact = Math.abs(value).toFixed(Math.min(100, digits + 60));
  const point = exact.indexOf('.');
  const integerPart = exact.slice(0, point);
  const kept = integerPart + exact.slice(point + 1, point + 1 + digits);
  const rest = exact.slice(point + 1 + digits);
  let roundUp = false;
  if (rest[0] > '5') roundUp = true;
  else if (rest[0] === '5') {
    const beyond = /[1-9]/.test(rest.slice(1));
    roundUp = beyond || Number(kept[kept.length - 1]) % 2 === 1;
  }
  let digitsText = kept;
  if (roundUp) digitsText = (BigInt(kept) + 1n).toString().padStart(kept.length, '0');
  const whole = digitsText.slice(0, digitsText.length - digits) || '0';
  const text = digits > 0 ? `${whole}.${digitsText.slice(digitsText.length - digits)}` : whole;
  return negative ? `-${text}` : text;
}

/** "+1.6" / "-3.1" / "+0.0": fixed notation with an explicit sign. */
function formatSignedFixed(value, digits) {
  const text = formatFixed(value, digits);
  return text.startsWith('-') || text === 'NaN' ? text : `+${text}`;
}

/** 75.5 -> "1:15.50"; times of an hour or more get hours too. */
function formatClock(seconds) {
  if (!Number.isFinite(seconds)) return formatFixed(seconds, 2);
  const sign = seconds < 0 ? '-' : '';
  const hundredths = Math.round(Math.abs(seconds) * 100);
  const hours = Math.floor(hundredths / 360000);
  const minutes = Math.floor((hundredths % 360000) / 6000);
  const rest = (hundredths % 6000) / 100;
  const secondsText = rest.toFixed(2).padStart(5, '0');
  if (hours > 0) return `${sign}${hours}:${String(minutes).padStart(2, '0')}:${secondsText}`;
  return `${sign}${minutes}:${secondsText}`;
}

/**
 * Reads a time in seconds ("95.5") or as minutes and seconds ("1:35.5",
 * "1:02:03"). `what` names the value in the error message.
 */
function parseTime(text, what) {
  const value = String(text).trim();
  const parts = value.split(':');
  const plain = /^\d+(\.\d+)?$/;
  const valid =
    parts.length <= 3 &&
    parts.every((part, index) => (index === parts.length - 1 ? plain.test(part) : /^\d+$/.test(part))) &&
    (parts.length === 1 || parts.slice(1).every((part) => Number(part) < 60));
  if (!valid) {
    throw new UsageError(`${what} "${text}" is not a time such as 95.5 or 1:35.5`);
  }
  return parts.reduce((total, part) => total * 60 + Number(part), 0);
}

/** Reads "EARLIEST..LATEST" into [earliest, latest]. */
function parseWindow(text, what) {
  const parts = String(text).split('..');
  if (parts.length !== 2 || parts[0].trim() === '' || parts[1].trim() === '') {
    throw new UsageError(`${what} "${text}" is not a window such as 150..165 or 2:30..2:45`);
  }
  const earliest = parseTime(parts[0], what);
  const latest = parseTime(parts[1], what);
  if (earliest > latest) {
    throw new UsageError(`${what} "${text}" ends before it begins`);
  }
  return [earliest, latest];
}

module.exports = { formatFixed, formatSignedFixed, formatClock, parseTime, parseWindow };

// Type declarations of the Segue addon.

/** One decoded track: a slice of at most 90 seconds around the overlap. */
export interface JsTransitionSource {
  /** Planar PCM, one Float32Array per channel, all of one length (> 0). */
  channels: Float32Array[];
  /** Samples per second; at least 1000, fractions are truncated. */
  sampleRate: number;
  /** Tempo in beats per minute (finite and positive). */
  bpm: number;
  /** Beat times in seconds from the start of the slice, increasing, not below 0. */
  beats: number[];
  /** Downbeat times in seconds from the start of the slice, increasing, not below 0. */
  downbeats: number[];
}

/**
 * Where the transition may lie on one track, in seconds of that track. A
 * window applies only when both of its bounds are given.
 */
export interface JsRegionConstraint {
  startEarliest?: number;
  startLatest?: number;
  endEarliest?: number;
  endLatest?: number;
}

export interface JsTransitionOptions {
  /** Where the transition may lie on the outgoing track. */
  outgoing?: JsRegionConstraint;
  /** Where the incoming track may enter and where the overlap may end on it. */
  incoming?: JsRegionConstraint;
  /** The transition lengths in beats to consider; empty means all. */
  beatLengths?: number[];
  /** Ducking curve laid evenly over the whole outgoing track. */
  duckCurve?: number[];
  /** Adds the chosen candidate's scores to the summary. */
  diagnostics?: boolean;
}

/**
 * The resolved value: the same fifteen properties, in this order, whether a
 * transition was rendered (`rendered` true, `rejected` "") or the engine
 * rejected the request (`rendered` false, `rejected` the reason, `channels`
 * empty, `strategy` and `summary` "", both tempo ratios 1, every other
 * number 0).
 */
export interface JsTransitionResult {
  rendered: boolean;
  rejected: string;
  /** The rendered overlap, one Float32Array per channel, each over its own buffer. */
  channels: Float32Array[];
  /** Hz, a whole number. */
  sampleRate: number;
  /** Seconds. */
  duration: number;
  /** Length of the transition in beats. */
  beats: number;
  /** "equal-power crossfade", "beatmatched crossfade", "bass swap", "filtered blend" or "short fade". */
  strategy: string;
  /** Seconds into the outgoing track where the transition starts. */
  outgoingStart: number;
  /** Seconds into the incoming track where it enters. */
  incomingStart: number;
  /** Seconds into the outgoing track just past the material the transition used. */
  outgoingResume: number;
  /** Seconds into the incoming track where its playback continues. */
  incomingResume: number;
  outgoingTempoRatio: number;
  incomingTempoRatio: number;
  targetBpm: number;
  /** Human-readable explanation of the choice. */
  summary: string;
}

/**
 * Plans and renders a transition from `outgoing` into `incoming` off the
 * JavaScript thread. Invalid arguments throw synchronously (an Error whose
 * `code` names the Node-API status, e.g. "InvalidArg"); engine failures
 * resolve with `rendered` false. The input arrays may be reused as soon as
 * the call returns.
 */
export function renderTransition(
  outgoing: JsTransitionSource,
  incoming: JsTransitionSource,
  options: JsTransitionOptions,
): Promise<JsTransitionResult>;

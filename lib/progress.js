'use strict';

// Progress of a mix: a bar on a terminal, plain lines otherwise (a log file
// or a CI job would fill up with the bar's redraws).

const cliProgress = require('cli-progress');

function createProgress(stream) {
  if (stream.isTTY) {
    const bar = new cliProgress.SingleBar(
      {
        stream,
        format: 'mixing {bar} {value}/{total} transitions | {step}',
        hideCursor: true,
        clearOnComplete: true,
        barsize: 30,
      },
      cliProgress.Presets.shades_classic,
    );
    let started = false;
    return {
      update(event) {
        if (event.kind === 'start') {
          bar.start(event.total, 0, { step: 'loading' });
          started = true;
        } else if (event.kind === 'transition' && started) {
          const step = event.stage === 'render' ? `rendering ${event.pair}` : `writing ${event.pair}`;
          bar.update(event.stage === 'render' ? event.index : event.index + 1, { step });
        } else if (event.kind === 'done' && started) {
          bar.update(event.total, { step: 'done' });
        }
      },
      stop() {
        if (started) bar.stop();
        started = false;
      },
    };
  }
  return {
    update(event) {
      if (event.kind === 'transition' && event.stage === 'render') {
        stream.write(`[${event.index + 1}/${event.total}] rendering ${event.pair}\n`);
      } else if (event.kind === 'transition' && event.stage === 'write') {
        const r = event.result;
        stream.write(`[${event.index + 1}/${event.total}] ${r.strategy}, ${r.beats} beats\n`);
      }
    },
    stop() {},
  };
}

module.exports = { createProgress };

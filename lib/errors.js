'use strict';

// Two kinds of failure reach the user of the command line, and they exit
// differently: input the user can fix (exit 2) and a request the engine
// turned down after looking at the music (exit 1).

class UsageError extends Error {
  constructor(message) {
    super(message);
    this.name = 'UsageError';
    this.exitCode = 2;
  }
}

class RejectionError extends Error {
  constructor(message) {
    super(message);
    this.name = 'RejectionError';
    this.exitCode = 1;
  }
}

module.exports = { UsageError, RejectionError };

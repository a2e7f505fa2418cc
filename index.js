'use strict';

// Loads the native addon built by `npm run setup` (or `npm test`).
const path = require('node:path');

const addonPath = path.join(__dirname, 'build', 'segue.node');

function loadAddon() {
  try {
    return require(addonPath);
  } catch (error) {
    if (error && error.code === 'MODULE_NOT_FOUND') {
      throw new Error(
        `The Segue addon is not built (${addonPath} is missing). ` +
          'Build it with `npm run setup`, which installs the Debian build ' +
          'dependencies and compiles the addon.',
        { cause: error },
      );
    }
    throw error;
  }
}

module.exports = loadAddon();

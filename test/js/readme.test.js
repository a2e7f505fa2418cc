'use strict';

// The usage example in the README runs and prints what the README says.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const root = path.join(__dirname, '..', '..');

test('the README usage example prints what the README shows', () => {
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  const usage = readme.slice(readme.indexOf('## Usage'));
  const code = /```js\n([\s\S]*?)```/.exec(usage)[1];
  const printed = /It prints:\n\n```text\n([\s\S]*?)```/.exec(usage)[1];

  // Run it as a user would, with `segue` resolving to this checkout.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'segue-readme-'));
  try {
    fs.mkdirSync(path.join(dir, 'node_modules'));
    fs.symlinkSync(root, path.join(dir, 'node_modules', 'segue'));
    fs.writeFileSync(path.join(dir, 'example.js'), code);
    const run = spawnSync(process.execPath, ['example.js'], { cwd: dir, encoding: 'utf8' });
    assert.equal(run.stderr, '');
    assert.equal(run.status, 0);
    assert.equal(run.stdout, printed);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

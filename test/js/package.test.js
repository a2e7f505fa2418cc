'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const root = path.join(__dirname, '..', '..');

test('the package loads the built addon', () => {
  const segue = require(root);
  assert.equal(typeof segue, 'object');
});

test('a missing addon says how to build it', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'segue-unbuilt-'));
  try {
    fs.copyFileSync(path.join(root, 'index.js'), path.join(dir, 'index.js'));
    const run = spawnSync(process.execPath, ['-e', `require(${JSON.stringify(dir)})`], { encoding: 'utf8' });
    assert.notEqual(run.status, 0);
    assert.match(run.stderr, /The Segue addon is not built/);
    assert.match(run.stderr, /npm run setup/);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

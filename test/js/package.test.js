'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const root = path.join(__dirname, '..', '..');

test('the package exports renderTransition and nothing else', () => {
  const segue = require(root);
  assert.deepEqual(Object.keys(segue), ['renderTransition']);
  assert.equal(typeof segue.renderTransition, 'function');
  assert.equal(segue.renderTransition.name, 'renderTransition');
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

test('the addon exports only its registration entry and does not link against node', () => {
  const addon = path.join(root, 'build', 'segue.node');
  const symbols = spawnSync('nm', ['-D', '--defined-only', addon], { encoding: 'utf8' });
  assert.equal(symbols.status, 0, symbols.stderr);
  const names = symbols.stdout.trim().split('\n').map((line) => line.trim().split(/\s+/).pop());
  assert.deepEqual(names, ['napi_register_module_v1']);

  const libraries = spawnSync('ldd', [addon], { encoding: 'utf8' });
  assert.equal(libraries.status, 0, libraries.stderr);
  assert.doesNotMatch(libraries.stdout, /node/);
  const undefinedNapi = spawnSync('nm', ['-D', '--undefined-only', addon], { encoding: 'utf8' });
  assert.doesNotMatch(undefinedNapi.stdout, /napi_/);
});

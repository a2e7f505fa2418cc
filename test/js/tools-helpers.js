'use strict';

// Shared set-up of the command-line tool's tests: temporary folders,
// generated tracks on disk, running the `segue` command, and a headless
// Chromium for the report.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { generateTrack } = require('../../lib/generator');
const { writeWav } = require('../../lib/wav');
const { writeSidecar } = require('../../lib/grid');

const root = path.join(__dirname, '..', '..');
const cliPath = path.join(root, 'bin', 'segue.js');

/** The engine's renderTransition, or undefined while the addon lacks it. */
function loadEngine() {
  try {
    const addon = require(root);
    return typeof addon.renderTransition === 'function' ? addon.renderTransition : undefined;
  } catch {
    return undefined;
  }
}

const engineMissing = loadEngine() ? false : 'the addon does not provide renderTransition yet';

function tempDir(t, prefix = 'segue-tools-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

function runCli(args, { cwd = root } = {}) {
  const run = spawnSync(process.execPath, [cliPath, ...args], { cwd, encoding: 'utf8', timeout: 120000 });
  return { status: run.status, stdout: run.stdout, stderr: run.stderr };
}

/**
 * Generates a track and writes it as name.wav (32-bit float, so that tests
 * can compare samples exactly) with its beat file name.json.
 */
function writeTrack(dir, name, options) {
  const track = generateTrack({ sampleRate: 8000, ...options });
  const wav = path.join(dir, `${name}.wav`);
  writeWav(wav, track.channels, track.sampleRate, '32f');
  const json = writeSidecar(wav, track);
  return { wav, json, track };
}

/** Opens an HTML file in headless Chromium; calls use(page, errors) and closes the browser. */
async function withPage(t, file, use) {
  const { chromium } = require('playwright-core');
  const profile = tempDir(t, 'segue-chromium-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1040, height: 900 },
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
  try {
    const page = await context.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    page.on('console', (message) => {
      if (message.type() === 'error') errors.push(message.text());
    });
    await page.goto(`file://${file}`);
    await use(page, errors);
  } finally {
    await context.close();
  }
}

module.exports = { root, engineMissing, loadEngine, tempDir, runCli, writeTrack, withPage };

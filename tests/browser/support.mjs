// What the browser tests share: rhl serve on a free port, Debian's
// chromium, GDAL's tools, the page at rest, and pixels compared.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const began = Date.now();
export function step(text) { console.log(`browser: ${((Date.now() - began) / 1000).toFixed(1)} s: ${text}`); }

// A GDAL tool's standard output.
export function gdal(tool, args, input) {
  return execFileSync(tool, args, { input, encoding: 'utf8', stdio: [input === undefined ? 'ignore' : 'pipe', 'pipe', 'pipe'] });
}

export function gdalInfo(file) {
  return JSON.parse(gdal('gdalinfo', ['-json', file]));
}

// Points [[x, y], ...] from one CRS to another, x first (longitude first).
export function transform(from, to, points) {
  const out = gdal('gdaltransform', ['-s_srs', from, '-t_srs', to, '-output_xy'],
                   points.map((p) => p.join(' ')).join('\n') + '\n');
  return out.trim().split('\n').map((line) => line.trim().split(/\s+/).map(Number));
}

// rhl serve FILES in folder `cwd` on a free port; resolves once it prints
// the address to open.
export function startServer(rhl, files, cwd) {
  const child = spawn(path.resolve(rhl), ['serve', ...files, '--port', '0'],
                      { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  const log = { out: '', err: '' };
  child.stderr.on('data', (d) => { log.err += d; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('rhl serve did not start:\n' + log.err)), 60000);
    child.stdout.on('data', (d) => {
      log.out += d;
      const m = log.out.match(/open (http:\/\/127\.0\.0\.1:\d+\/) /);
      if (m) { clearTimeout(timer); resolve({ child, log, url: m[1] }); }
    });
    child.on('exit', (code) => reject(new Error(`rhl serve exited with ${code}:\n${log.err}`)));
  });
}

export function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) return resolve(server.child.exitCode);
    server.child.once('exit', (code, signal) => resolve(signal ?? code));
    server.child.kill('SIGINT');
  });
}

// Debian's chromium, headless, in a profile of its own (removed by close()).
export async function startBrowser(viewport) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'rhl-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  return {
    context,
    page: context.pages()[0] ?? await context.newPage(),
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// The map in view has stopped moving (a pan glides on after the mouse is
// let go), and every tile it shows has loaded.
export async function settled(page) {
  let last = null;
  for (let still = 0; still < 3;) {
    await page.waitForTimeout(100);
    const now = await page.evaluate(() => JSON.stringify(window.rhlMap.getPixelOrigin()) +
                                           JSON.stringify(window.rhlMap.getCenter()) + window.rhlMap.getZoom());
    still = now === last ? still + 1 : 0;
    last = now;
  }
  await page.waitForFunction(() => {
    const pane = window.rhlMap.getContainer();
    const tiles = [...pane.querySelectorAll('.leaflet-tile-container img.leaflet-tile')];
    return tiles.every((t) => t.complete && t.classList.contains('leaflet-tile-loaded')) &&
           !pane.querySelector('.leaflet-zoom-anim');
  }, null, { timeout: 60000 });
  await page.waitForTimeout(300);  // Leaflet prunes the tiles of the old level
}

// A screenshot of the map in view, controls hidden, within `clip` (the
// whole map when none).
export async function mapShot(page, clip) {
  const box = await page.evaluate(() => {
    const r = window.rhlMap.getContainer().getBoundingClientRect();
    return { x: r.left, y: r.top, width: r.width, height: r.height };
  });
  await page.addStyleTag({ content: '.leaflet-control-container { display: none }' });
  const shot = await page.screenshot({ clip: clip ?? box });
  await page.addStyleTag({ content: '.leaflet-control-container { display: block }' });
  return shot;
}

// How far screenshot `shot` is from the picture expected: `layers`, PNGs
// (RGBA, the same size) each drawn with its opacity over `background`
// ([r, g, b]), in order. Decoded by the browser. Gives the mean absolute
// difference per channel, the share of pixels more than `farAbove` apart in
// some channel, the shot's spread of luminance and count of colours, and the
// share of the picture the layers cover.
export async function compareToLayers(page, shot, layers, background, farAbove = 32) {
  return page.evaluate(async ({ shot, layers, background, farAbove }) => {
    async function pixels(base64) {
      const img = new Image();
      img.src = 'data:image/png;base64,' + base64;
      await img.decode();
      const canvas = document.createElement('canvas');
      canvas.width = img.naturalWidth;
      canvas.height = img.naturalHeight;
      const context = canvas.getContext('2d');
      context.drawImage(img, 0, 0);
      return context.getImageData(0, 0, canvas.width, canvas.height);
    }
    const p = await pixels(shot);
    const n = p.width * p.height;
    const expected = new Float64Array(3 * n);
    const covered = new Uint8Array(n);
    for (let i = 0; i < n; ++i) expected.set(background, 3 * i);
    for (const layer of layers) {
      const q = await pixels(layer.png);
      if (q.width !== p.width || q.height !== p.height) return { sizes: [p.width, p.height, q.width, q.height] };
      for (let i = 0; i < n; ++i) {
        const a = (q.data[4 * i + 3] / 255) * layer.opacity;
        if (q.data[4 * i + 3] > 0) covered[i] = 1;
        for (let k = 0; k < 3; ++k) expected[3 * i + k] = expected[3 * i + k] * (1 - a) + q.data[4 * i + k] * a;
      }
    }
    let sum = 0, far = 0, lum = 0, lum2 = 0, cover = 0;
    const colours = new Set();
    for (let i = 0; i < n; ++i) {
      let worst = 0;
      for (let k = 0; k < 3; ++k) {
        const d = Math.abs(p.data[4 * i + k] - expected[3 * i + k]);
        sum += d;
        worst = Math.max(worst, d);
      }
      if (worst > farAbove) ++far;
      cover += covered[i];
      const y = 0.299 * p.data[4 * i] + 0.587 * p.data[4 * i + 1] + 0.114 * p.data[4 * i + 2];
      lum += y;
      lum2 += y * y;
      if (colours.size < 1000) colours.add((p.data[4 * i] << 16) | (p.data[4 * i + 1] << 8) | p.data[4 * i + 2]);
    }
    const mean = lum / n;
    return { meanDifference: sum / (3 * n), farShare: far / n, cover: cover / n,
             spread: Math.sqrt(Math.max(0, lum2 / n - mean * mean)), colours: colours.size };
  }, { shot: shot.toString('base64'), layers: layers.map((l) => ({ png: l.png.toString('base64'), opacity: l.opacity })),
       background, farAbove });
}

export function assertClose(result, name, limits) {
  step(`${name}: ${JSON.stringify(result)}`);
  assert.equal(result.sizes, undefined, `${name}: screenshot and picture differ in size`);
  assert.ok(result.spread > 10 && result.colours > 50, `${name}: the map is not blank`);
  assert.ok(result.meanDifference < limits.mean, `${name}: mean difference ${result.meanDifference}`);
  assert.ok(result.farShare < limits.far, `${name}: ${result.farShare} of the pixels differ by more than ${limits.farAbove ?? 32}`);
}

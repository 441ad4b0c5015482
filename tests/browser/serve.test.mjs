// rhl serve in Debian's chromium, headless, driven through playwright-core:
// the page loads and shows tiles, a zoom in and a pan load new ones, the
// pointer reads world coordinates, and screenshots of the map match rhl
// render of the same window.
//
//   node serve.test.mjs --rhl RHL --image FILE [--work DIR] [--screenshot OUT.png]
//
// The image is expected to be the bundled sample: 2048 x 1024, longitude
// -180 to 180 and latitude 90 to -90. A browser other than /usr/bin/chromium
// is never used, nor downloaded.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const options = { work: null, screenshot: null };
for (let i = 2; i < process.argv.length; i += 2) {
  const name = process.argv[i].replace(/^--/, '');
  if (!['rhl', 'image', 'work', 'screenshot'].includes(name) || i + 1 >= process.argv.length) {
    console.error('usage: node serve.test.mjs --rhl RHL --image FILE [--work DIR] [--screenshot OUT.png]');
    process.exit(2);
  }
  options[name] = process.argv[i + 1];
}
assert.ok(options.rhl && options.image, '--rhl and --image are needed');
const work = options.work ?? fs.mkdtempSync(path.join(os.tmpdir(), 'rhl-browser-'));
fs.mkdirSync(work, { recursive: true });
const viewport = { width: 1024, height: 640 };

function step(text) { console.log(`browser: ${text}`); }

// rhl serve on a free port; resolves once it prints the address to open.
function startServer() {
  // Started in the image's folder, so that the page names it as a person would.
  const child = spawn(path.resolve(options.rhl), ['serve', path.basename(options.image), '--port', '0'],
                      { cwd: path.dirname(options.image), stdio: ['ignore', 'pipe', 'pipe'] });
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

function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) return resolve(server.child.exitCode);
    server.child.once('exit', (code, signal) => resolve(signal ?? code));
    server.child.kill('SIGINT');
  });
}

// The map has stopped moving (a pan glides on after the mouse is let go),
// and every tile it shows has loaded.
async function settled(page) {
  let last = null;
  for (let still = 0; still < 3;) {
    await page.waitForTimeout(100);
    const now = await page.evaluate(() => JSON.stringify(window.rhlMap.getPixelOrigin()) +
                                           JSON.stringify(window.rhlMap.getCenter()));
    still = now === last ? still + 1 : 0;
    last = now;
  }
  await page.waitForFunction(() => {
    const tiles = [...document.querySelectorAll('.leaflet-tile-container img.leaflet-tile')];
    return tiles.length > 0 && tiles.every((t) => t.complete && t.classList.contains('leaflet-tile-loaded')) &&
           !document.querySelector('.leaflet-zoom-anim');
  }, null, { timeout: 30000 });
  await page.waitForTimeout(300);  // Leaflet prunes the tiles of the old level
}

// The part of the map the image covers: its screen rectangle and the image
// pixels under it, at the map's scale.
function visibleWindow(page, image) {
  return page.evaluate(({ width, height }) => {
    const map = window.rhlMap;
    const size = map.getSize();
    const scale = Math.pow(2, map.getZoom());
    const origin = map.latLngToContainerPoint([0, 0]);
    const x0 = Math.max(0, Math.round(origin.x)), y0 = Math.max(0, Math.round(origin.y));
    const x1 = Math.min(size.x, Math.round(origin.x + width * scale));
    const y1 = Math.min(size.y, Math.round(origin.y + height * scale));
    const src = [(x0 - origin.x) / scale, (y0 - origin.y) / scale, (x1 - origin.x) / scale,
                 (y1 - origin.y) / scale].map(Math.round);
    return { scale, clip: { x: x0, y: y0, width: x1 - x0, height: y1 - y0 }, src };
  }, image);
}

// Pixels of two PNGs, decoded by the browser: how far apart they are, and
// how much the first varies.
async function comparePngs(page, a, b) {
  return page.evaluate(async ({ a, b }) => {
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
    const [p, q] = [await pixels(a), await pixels(b)];
    if (p.width !== q.width || p.height !== q.height)
      return { sizes: [p.width, p.height, q.width, q.height] };
    let sum = 0, far = 0, lum = 0, lum2 = 0;
    const colours = new Set();
    const n = p.width * p.height;
    for (let i = 0; i < n; ++i) {
      let worst = 0;
      for (let k = 0; k < 3; ++k) {
        const d = Math.abs(p.data[4 * i + k] - q.data[4 * i + k]);
        sum += d;
        worst = Math.max(worst, d);
      }
      if (worst > 8) ++far;
      const y = 0.299 * p.data[4 * i] + 0.587 * p.data[4 * i + 1] + 0.114 * p.data[4 * i + 2];
      lum += y;
      lum2 += y * y;
      if (colours.size < 1000) colours.add((p.data[4 * i] << 16) | (p.data[4 * i + 1] << 8) | p.data[4 * i + 2]);
    }
    const mean = lum / n;
    return { meanDifference: sum / (3 * n), farShare: far / n,
             spread: Math.sqrt(Math.max(0, lum2 / n - mean * mean)), colours: colours.size };
  }, { a: a.toString('base64'), b: b.toString('base64') });
}

// A screenshot of the map, controls hidden, against rhl render of the window
// it shows.
async function checkAgainstRender(page, image, name) {
  const view = await visibleWindow(page, image);
  assert.ok(view.clip.width > 100 && view.clip.height > 100, `${name}: the image is in view`);
  await page.addStyleTag({ content: '.leaflet-control-container { display: none }' });
  const shot = await page.screenshot({ clip: view.clip });
  await page.addStyleTag({ content: '.leaflet-control-container { display: block }' });
  fs.writeFileSync(path.join(work, `${name}-browser.png`), shot);
  const rendered = path.join(work, `${name}-rhl.png`);
  execFileSync(options.rhl, ['render', options.image, '-o', rendered, '--src', view.src.join(','),
                             '--scale', String(view.scale)]);
  const result = await comparePngs(page, shot, fs.readFileSync(rendered));
  step(`${name}: --src ${view.src.join(',')} --scale ${view.scale}: ` + JSON.stringify(result));
  assert.equal(result.sizes, undefined, `${name}: screenshot and render differ in size`);
  assert.ok(result.spread > 10 && result.colours > 50, `${name}: the map is not blank`);
  assert.ok(result.meanDifference < 2, `${name}: mean difference ${result.meanDifference}`);
  assert.ok(result.farShare < 0.01, `${name}: ${result.farShare} of the pixels differ by more than 8`);
}

const server = await startServer();
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'rhl-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
let failed = false;
try {
  const page = context.pages()[0] ?? await context.newPage();
  const tiles = new Map();  // path -> status
  const offsite = [];
  page.on('response', (r) => {
    const url = new URL(r.url());
    if (url.pathname.startsWith('/tiles/')) tiles.set(url.pathname, r.status());
  });
  page.on('request', (r) => { if (!r.url().startsWith(server.url) && !r.url().startsWith('data:')) offsite.push(r.url()); });
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));

  step(`opening ${server.url}`);
  await page.goto(server.url);
  await settled(page);
  const catalogue = await (await page.request.get(server.url + 'api/images')).json();
  const image = catalogue.images[0];
  assert.equal(image.width, 2048);
  const first = new Set(tiles.keys());
  assert.ok(first.size >= 2, `tiles appear (${first.size})`);
  const info = await page.textContent('.leaflet-top.leaflet-right .rhl-panel');
  assert.match(info, /2048 x 1024 pixels/);
  assert.match(info, /ECW\.RHL/);
  const startZoom = await page.evaluate(() => window.rhlMap.getZoom());
  step(`loaded ${first.size} tiles at zoom ${startZoom}`);
  await checkAgainstRender(page, image, 'start');

  // Image pixel (1536, 768) lies at longitude 90, latitude -45.
  const point = await page.evaluate(() => window.rhlMap.latLngToContainerPoint([-768, 1536]));
  await page.mouse.move(point.x, point.y);
  const pointer = await page.textContent('.rhl-pointer');
  const read = pointer.match(/pixel ([-\d.]+), ([-\d.]+) .* world ([-\d.]+), ([-\d.]+)/);
  assert.ok(read, pointer);
  const [col, row, x, y] = read.slice(1).map(Number);
  assert.ok(Math.abs(col - 1536) <= 1 && Math.abs(row - 768) <= 1, pointer);
  const cell = 360 / 2048;  // the sample's pixel size in degrees
  assert.ok(Math.abs(x - (-180 + col * cell)) < 0.01 && Math.abs(y - (90 - row * cell)) < 0.01,
            `world coordinates follow the registration: ${pointer}`);

  fs.writeFileSync(path.join(work, 'serve.png'), await page.screenshot());
  if (options.screenshot) fs.copyFileSync(path.join(work, 'serve.png'), options.screenshot);
  await page.mouse.move(1, 1);

  step('zooming in');
  await page.click('.leaflet-control-zoom-in');
  await settled(page);
  assert.equal(await page.evaluate(() => window.rhlMap.getZoom()), startZoom + 1);
  const level = image.top_level + startZoom + 1;
  const zoomed = [...tiles.keys()].filter((t) => !first.has(t));
  assert.ok(zoomed.length >= 2 && zoomed.every((t) => t.startsWith(`/tiles/${image.id}/${level}/`)),
            `a zoom in loads tiles of level ${level}: ${zoomed}`);

  step('panning');
  const before = new Set(tiles.keys());
  const centre = { x: viewport.width / 2, y: viewport.height / 2 };
  await page.mouse.move(centre.x, centre.y);
  await page.mouse.down();
  await page.mouse.move(centre.x - 400, centre.y - 300, { steps: 12 });
  await page.mouse.up();
  await settled(page);
  const panned = [...tiles.keys()].filter((t) => !before.has(t));
  assert.ok(panned.length >= 1, 'a pan loads new tiles');
  assert.deepEqual([...tiles.values()].filter((s) => s !== 200), [], 'every tile answered 200');

  // A drag may end between two screen pixels; the map then rests on whole
  // ones, where tiles are drawn sharp.
  const rest = await page.evaluate(() => L.DomUtil.getPosition(window.rhlMap.getPane('mapPane')));
  assert.ok(Number.isInteger(rest.x) && Number.isInteger(rest.y), `the map rests at ${rest.x}, ${rest.y}`);
  const snapped = await page.evaluate(() => {
    const pane = window.rhlMap.getPane('mapPane');
    L.DomUtil.setPosition(pane, L.DomUtil.getPosition(pane).add([0.4, -0.3]));
    window.rhlMap.fire('moveend');
    return L.DomUtil.getPosition(pane);
  });
  assert.ok(Number.isInteger(snapped.x) && Number.isInteger(snapped.y),
            `a move ending between pixels is finished: ${snapped.x}, ${snapped.y}`);
  await settled(page);
  await checkAgainstRender(page, image, 'panned');

  assert.deepEqual(errors, [], 'no script errors');
  assert.deepEqual(offsite, [], 'nothing is fetched from elsewhere');
  step(`${tiles.size} tiles in all; screenshots in ${work}`);
} catch (e) {
  failed = true;
  console.error(e);
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
  const status = await stopServer(server);
  if (status !== 0) {
    failed = true;
    console.error(`rhl serve stopped with ${status}`);
  }
  if (server.log.err) console.error('rhl serve said:\n' + server.log.err);
}
console.log(failed ? 'browser: FAILED' : 'browser: passed');
process.exit(failed ? 1 : 0);

// rhl serve in Debian's chromium, headless, driven through playwright-core.
// Images are cut from a world image in EPSG:4326 at test time: two
// adjacent ones side by side (one of them through a link file), one warped
// to UTM zone 29N with an alpha band, and one without georeferencing. The
// map page shows the first three on one Web Mercator map, compared with
// gdalwarp's picture of the same view; the pixel view shows the fourth as
// rhl render does.
//
//   node serve.test.mjs --rhl RHL --sample WORLD.tif [--work DIR] [--screenshot OUT.png]
//
// The sample spans longitude -180 to 180 and latitude 90 to -90 (the
// bundled one). A browser other than /usr/bin/chromium is never used, nor
// downloaded.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { checkMap } from './map.mjs';
import { checkPixels } from './pixels.mjs';
import { gdal, gdalInfo, settled, startBrowser, startServer, step, stopServer } from './support.mjs';

const options = { work: null, screenshot: null };
for (let i = 2; i < process.argv.length; i += 2) {
  const name = process.argv[i].replace(/^--/, '');
  if (!['rhl', 'sample', 'work', 'screenshot'].includes(name) || i + 1 >= process.argv.length) {
    console.error('usage: node serve.test.mjs --rhl RHL --sample WORLD.tif [--work DIR] [--screenshot OUT.png]');
    process.exit(2);
  }
  options[name] = process.argv[i + 1];
}
assert.ok(options.rhl && options.sample, '--rhl and --sample are needed');
options.rhl = path.resolve(options.rhl);
const work = path.resolve(options.work ?? fs.mkdtempSync(path.join(os.tmpdir(), 'rhl-browser-')));
const images = path.join(work, 'images');
fs.rmSync(images, { recursive: true, force: true });
fs.mkdirSync(images, { recursive: true });

// The sample's pixels are 360/2048 degrees; column 1024 is longitude 0.
// west: longitude 0 to 20.04, latitude 59.94 to 29.88; east the same from
// 20.04 on; utm: longitude -22.15 to -4.22, latitude 56.07 to 30.06,
// warped to 5 km pixels; plain: the whole sample, no georeferencing.
function makeImages() {
  const sample = path.resolve(options.sample);
  const at = (name) => path.join(images, name);
  gdal('gdal_translate', ['-q', '-srcwin', '1024', '171', '114', '171', sample, at('west.tif')]);
  gdal('gdal_translate', ['-q', '-srcwin', '1138', '171', '114', '171', sample, at('east.tif')]);
  fs.writeFileSync(at('west.url'), at('west.tif') + '\n');
  gdal('gdal_translate', ['-q', '-srcwin', '898', '193', '102', '148', sample, at('utm-source.tif')]);
  gdal('gdalwarp', ['-q', '-t_srs', 'EPSG:32629', '-tr', '5000', '5000', '-r', 'bilinear', '-dstalpha',
                    at('utm-source.tif'), at('utm.tif')]);
  gdal('gdal_translate', ['-q', '-of', 'PNG', '--config', 'GDAL_PAM_ENABLED', 'NO', sample, at('plain.png')]);
  const files = { west: at('west.tif'), east: at('east.tif'), utm: at('utm.tif'), plain: at('plain.png') };
  const info = Object.fromEntries(Object.entries(files).map(([id, file]) => [id, gdalInfo(file)]));
  assert.equal(info.plain.coordinateSystem, undefined, 'plain.png has no CRS');
  return { files, info };
}

const started = Date.now();
const fixtures = makeImages();
step(`images made in ${images}`);
const server = await startServer(options.rhl, ['west.url', 'east.tif', 'utm.tif', 'plain.png'], images);
const viewport = { width: 1280, height: 720 };
const browser = await startBrowser(viewport);
let failed = false;
try {
  const page = browser.page;
  const requests = [];
  const offsite = [];
  const errors = [];
  page.on('response', (r) => requests.push({ path: new URL(r.url()).pathname, status: r.status() }));
  page.on('request', (r) => {
    if (!r.url().startsWith(server.url) && !r.url().startsWith('data:')) offsite.push(r.url());
  });
  page.on('pageerror', (e) => errors.push(String(e)));

  step(`opening ${server.url}`);
  await page.goto(server.url);
  await page.waitForFunction(() => window.rhl !== undefined, null, { timeout: 30000 });
  await settled(page);
  const ctx = { page, server, work, options, fixtures, requests, viewport };
  await checkMap(ctx);
  await checkPixels(ctx);

  // Unknown paths are not the page.
  for (const unknown of ['no/such/page', 'app.js.map', 'tiles/nothing/0/0/0.png', 'xyz/nothing/0/0/0.png',
                         'api/nothing']) {
    const r = await page.request.get(server.url + unknown);
    assert.equal(r.status(), 404, `/${unknown} answered ${r.status()}`);
  }
  const refused = requests.filter((r) => r.status !== 200);
  assert.deepEqual(refused, [], 'every request of the page answered 200');
  assert.deepEqual(errors, [], 'no script errors');
  assert.deepEqual(offsite, [], 'nothing is fetched from elsewhere');
  step(`${requests.length} requests in all, ${((Date.now() - started) / 1000).toFixed(1)} s; screenshots in ${work}`);
} catch (e) {
  failed = true;
  console.error(e);
} finally {
  await browser.close();
  const status = await stopServer(server);
  if (status !== 0) {
    failed = true;
    console.error(`rhl serve stopped with ${status}`);
  }
  if (server.log.err) console.error('rhl serve said:\n' + server.log.err);
}
console.log(failed ? 'browser: FAILED' : 'browser: passed');
process.exit(failed ? 1 : 0);

// The map page: the georeferenced images on one Web Mercator map, against
// gdalwarp's picture of each view; layer switches, opacity and the mosaic;
// zoom to a layer; the pointer's position in the map's CRS, the layer's and
// as its pixel; each layer's facts; no control ever disabled by the zoom.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { assertClose, compareToLayers, gdal, mapShot, settled, step, transform } from './support.mjs';

const HALF_WORLD = 20037508.342789244;  // EPSG:3857's x at longitude 180
const EARTH = 6378137;
// gdalwarp's bilinear against views reduced by the module and warped by
// the server, enlarged by the browser: edges and the reduction differ.
// A picture one layer off (or a few pixels off) is many times further.
const LIMITS = { mean: 1.5, far: 0.01 };

// The map's grid: zoom, size, and its top-left corner in world pixels at
// that zoom (whole numbers: the map rests on whole screen pixels).
async function mapGrid(page) {
  const g = await page.evaluate(() => {
    const map = window.rhlMap;
    const pane = L.DomUtil.getPosition(map.getPane('mapPane'));
    const origin = map.getPixelOrigin();
    const size = map.getSize();
    return { zoom: map.getZoom(), width: size.x, height: size.y, left: origin.x - pane.x, top: origin.y - pane.y };
  });
  assert.ok(Number.isInteger(g.left) && Number.isInteger(g.top), `the map rests on whole pixels: ${JSON.stringify(g)}`);
  const cell = (2 * HALF_WORLD) / (256 * Math.pow(2, g.zoom));
  const minx = -HALF_WORLD + g.left * cell, maxy = HALF_WORLD - g.top * cell;
  g.box = [minx, maxy - g.height * cell, minx + g.width * cell, maxy];
  return g;
}

// gdalwarp's picture of image `id` on grid `g`: a PNG with alpha.
const pictures = new Map();
function warped(ctx, g, id) {
  const key = [id, g.width, g.height, ...g.box].join(',');
  if (!pictures.has(key)) {
    const out = path.join(ctx.work, `warp-${pictures.size}`);
    gdal('gdalwarp', ['-q', '-overwrite', '-t_srs', 'EPSG:3857', '-te', ...g.box.map(String), '-ts', String(g.width),
                      String(g.height), '-r', 'bilinear', '-dstalpha', ctx.fixtures.files[id], out + '.tif']);
    gdal('gdal_translate', ['-q', '-of', 'PNG', out + '.tif', out + '.png']);
    pictures.set(key, fs.readFileSync(out + '.png'));
  }
  return pictures.get(key);
}

async function background(page) {
  const css = await page.evaluate(() => getComputedStyle(window.rhlMap.getContainer()).backgroundColor);
  return css.match(/\d+/g).slice(0, 3).map(Number);
}

// The map in view against `layers` ([id, opacity], bottom first) warped by
// gdalwarp; also against `unlike`, a picture it must not match.
async function expectPicture(ctx, name, layers, unlike) {
  const { page } = ctx;
  await settled(page);
  const g = await mapGrid(page);
  const shot = await mapShot(page);
  fs.writeFileSync(path.join(ctx.work, `${name}-browser.png`), shot);
  const bg = await background(page);
  const picture = (list) => list.map(([id, opacity]) => ({ png: warped(ctx, g, id), opacity }));
  step(`${name}: zoom ${g.zoom}, EPSG:3857 ${g.box.map((v) => v.toFixed(1)).join(' ')}, ${g.width} x ${g.height}`);
  const result = await compareToLayers(page, shot, picture(layers), bg);
  assertClose(result, name, LIMITS);
  assert.ok(result.cover > 0.05, `${name}: the images are in view (${result.cover})`);
  if (unlike) {
    const other = await compareToLayers(page, shot, picture(unlike), bg);
    step(`${name}, against ${JSON.stringify(unlike)}: ${other.meanDifference.toFixed(2)}`);
    assert.ok(other.meanDifference > 2 * result.meanDifference && other.meanDifference > 1,
              `${name} differs from ${JSON.stringify(unlike)}`);
  }
  return shot;
}

const ALL = [['west', 1], ['east', 1], ['utm', 1]];

async function setVisible(page, id, on) {
  await page.locator(`[data-layer="${id}"] .rhl-visible`).setChecked(on);
}

async function setOpacity(page, id, percent) {
  await page.locator(`[data-layer="${id}"] .rhl-opacity`).fill(String(percent));
}

// Every control of the page can be used.
async function nothingDisabled(page, when) {
  const off = await page.evaluate(() => [...document.querySelectorAll('#side input, #side button')]
    .filter((c) => c.disabled || c.classList.contains('leaflet-disabled') || getComputedStyle(c).pointerEvents === 'none')
    .map((c) => (c.closest('[data-layer]')?.dataset.layer ?? '') + ' ' + (c.className || c.textContent)));
  assert.deepEqual(off, [], `nothing is disabled ${when}`);
  // And a layer switch works there.
  const shown = () => page.evaluate(() => document.querySelector('#map .rhl-layer-utm') !== null);
  await setVisible(page, 'utm', false);
  assert.equal(await shown(), false, `utm switched off ${when}`);
  await setVisible(page, 'utm', true);
  assert.equal(await shown(), true, `utm switched on ${when}`);
}

function mercator([lon, lat]) {
  return [EARTH * lon * Math.PI / 180, EARTH * Math.log(Math.tan(Math.PI / 4 + lat * Math.PI / 360))];
}

// Moves the pointer to the screen pixel nearest [lon, lat]; gives the
// position there, once the readout is for it.
export async function pointTo(page, lonlat) {
  await page.mouse.move(5, 5);
  const p = await page.evaluate(([lon, lat]) => window.rhlMap.latLngToContainerPoint([lat, lon]), lonlat);
  const x = Math.round(p.x), y = Math.round(p.y);
  await page.mouse.move(x, y);
  await page.waitForFunction(() => document.getElementById('pointer').dataset.state === 'current', null,
                             { timeout: 30000 });
  return page.evaluate(([x, y]) => {
    const at = window.rhlMap.containerPointToLatLng([x, y]);
    return [at.lng, at.lat];
  }, [x, y]);
}

export function numbers(text) {
  return text.match(/-?\d+(\.\d+)?/g).map(Number);
}

export function pixelValues(file, col, row) {
  return gdal('gdallocationinfo', ['-valonly', file, String(col), String(row)]).trim().split(/\s+/).map(Number);
}

// The pixel of image `id` (its geotransform from gdalinfo) at [x, y] of its CRS.
function pixelOf(ctx, id, [x, y]) {
  const g = ctx.fixtures.info[id].geoTransform;
  return [Math.floor((x - g[0]) / g[1]), Math.floor((y - g[3]) / g[5])];
}

// Where pixel [col, row]'s centre lies, in the image's CRS.
function centreOf(ctx, id, [col, row]) {
  const g = ctx.fixtures.info[id].geoTransform;
  return [g[0] + (col + 0.5) * g[1], g[3] + (row + 0.5) * g[5]];
}

// The readout for the point under the pointer, `at` ([lon, lat]), checked:
// EPSG:3857 and degrees; per layer in `layers` ([id, EPSG code]) its CRS's
// coordinates within `tolerance`, its pixel and the RGB GDAL reads there.
async function checkReadout(ctx, at, layers) {
  const { page } = ctx;
  const rows = await page.$$eval('#pointer .rhl-where tr', (trs) => trs.map((tr) => tr.textContent));
  step(`pointer at ${at.map((v) => v.toFixed(5)).join(', ')}: ${rows.join(' | ')}`);
  const m = numbers(rows[0].replace('EPSG:3857', ''));
  const want = mercator(at);
  assert.ok(Math.abs(m[0] - want[0]) <= 1 && Math.abs(m[1] - want[1]) <= 1, `EPSG:3857 ${rows[0]}, not ${want}`);
  const d = numbers(rows[1]);
  assert.ok(Math.abs(d[0] - at[0]) < 0.01 && Math.abs(d[1] - at[1]) < 0.01, `degrees ${rows[1]}, not ${at}`);
  for (const [id, crs, tolerance] of layers) {
    const hit = page.locator(`#pointer .rhl-hit[data-layer="${id}"]`);
    const label = await hit.locator('th').first().textContent();
    assert.equal(label, crs, `${id}'s CRS`);
    const xy = numbers(await hit.locator('.rhl-xy').textContent());
    const expected = crs === 'EPSG:4326' ? at : transform('EPSG:4326', crs, [at])[0];
    assert.ok(Math.abs(xy[0] - expected[0]) <= tolerance && Math.abs(xy[1] - expected[1]) <= tolerance,
              `${id}: ${xy} in ${crs}, not ${expected}`);
    const pixel = numbers(await hit.locator('.rhl-pixel').textContent());
    const wantPixel = pixelOf(ctx, id, expected);
    assert.deepEqual(pixel, wantPixel, `${id}'s pixel`);
    const rgb = numbers(await hit.locator('.rhl-rgb').textContent());
    assert.deepEqual(rgb, pixelValues(ctx.fixtures.files[id], ...wantPixel).slice(0, 3), `${id}'s RGB`);
    step(`  ${id}: ${crs} ${xy.join(', ')}, pixel ${pixel.join(', ')}, RGB ${rgb.join(', ')}`);
  }
}

export async function checkMap(ctx) {
  const { page } = ctx;
  const { info } = ctx.fixtures;
  const catalogue = await page.evaluate(() => window.rhl.catalogue);
  assert.deepEqual(catalogue.layers.map((l) => [l.id, l.georeferenced]),
                   [['west', true], ['east', true], ['utm', true], ['plain', false]]);
  assert.equal(await page.evaluate(() => window.rhl.mode()), 'map');

  // What each layer is.
  for (const [id, crs, name, bands] of [['west', 'EPSG:4326', 'WGS 84', '3 bands Byte (red, green, blue)'],
                                        ['east', 'EPSG:4326', 'WGS 84', '3 bands Byte (red, green, blue)'],
                                        ['utm', 'EPSG:32629', 'UTM zone 29N', '4 bands Byte (red, green, blue, alpha)']]) {
    const facts = await page.textContent(`[data-layer="${id}"] .rhl-facts`);
    for (const part of [crs, name, `${info[id].size[0]} x ${info[id].size[1]} pixels`, bands])
      assert.ok(facts.includes(part), `${id}'s facts name ${part}: ${facts}`);
  }
  assert.match(await page.textContent('[data-layer="utm"] .rhl-facts'), /nodata: alpha band \(transparent\)/);
  assert.match(await page.textContent('[data-layer="west"] .rhl-facts'), /no nodata/);
  assert.match(await page.textContent('[data-layer="plain"] .rhl-facts'), /not georeferenced/);

  // The start shows every image.
  const fitsAll = await page.evaluate(() => {
    const b = window.rhl.catalogue.mosaic.bounds;
    return window.rhlMap.getBounds().contains([[b[1], b[0]], [b[3], b[2]]]);
  });
  assert.ok(fitsAll, 'the map starts with every image in view');
  await expectPicture(ctx, 'map-start', ALL);

  // The page as a person sees it, pointer on the UTM image.
  const utmCentre = transform('EPSG:32629', 'EPSG:4326', [centreOf(ctx, 'utm', [126, 184])])[0];
  await pointTo(page, utmCentre);
  fs.writeFileSync(path.join(ctx.work, 'serve.png'), await page.screenshot());
  if (ctx.options.screenshot) fs.copyFileSync(path.join(ctx.work, 'serve.png'), ctx.options.screenshot);
  await page.mouse.move(5, 5);

  step('switching a layer off and on, opacity, the mosaic');
  await setVisible(page, 'east', false);
  await expectPicture(ctx, 'map-no-east', [['west', 1], ['utm', 1]], ALL);
  await setVisible(page, 'east', true);
  await setOpacity(page, 'west', 40);
  await expectPicture(ctx, 'map-west-40', [['west', 0.4], ['east', 1], ['utm', 1]], ALL);
  await setOpacity(page, 'west', 100);
  for (const id of ['west', 'east', 'utm']) await setVisible(page, id, false);
  await setVisible(page, 'mosaic', true);
  await expectPicture(ctx, 'map-mosaic', ALL, [['east', 1]]);
  assert.ok(ctx.requests.some((r) => r.path.startsWith('/xyz/mosaic/')), 'the mosaic comes from its own tiles');
  await setVisible(page, 'mosaic', false);
  for (const id of ['west', 'east', 'utm']) await setVisible(page, id, true);

  step('the controls at the coarsest and the finest zoom');
  const maxZoom = await page.evaluate(() => window.rhlMap.getMaxZoom());
  for (const zoom of [0, maxZoom]) {
    await page.evaluate((z) => window.rhlMap.setZoom(z, { animate: false }), zoom);
    await settled(page);
    await nothingDisabled(page, `at zoom ${zoom}`);
  }

  step('zoom to a layer');
  await page.click('[data-layer="utm"] .rhl-zoom');
  await settled(page);
  const fit = await page.evaluate(() => {
    const b = window.rhl.catalogue.layers.find((l) => l.id === 'utm').bounds;
    const bounds = L.latLngBounds([[b[1], b[0]], [b[3], b[2]]]);
    const map = window.rhlMap;
    return { zoom: map.getZoom(), best: map.getBoundsZoom(bounds), contains: map.getBounds().contains(bounds),
             centre: map.getCenter(), middle: bounds.getCenter() };
  });
  assert.ok(fit.contains && fit.zoom === fit.best, `the UTM image fills the map: ${JSON.stringify(fit)}`);
  await expectPicture(ctx, 'map-utm', ALL);

  step('the pointer');
  const utmAt = await pointTo(page, utmCentre);
  await checkReadout(ctx, utmAt, [['utm', 'EPSG:32629', 1]]);
  const westAt = await pointTo(page, [info.west.geoTransform[0] + 20.5 * info.west.geoTransform[1],
                                      info.west.geoTransform[3] + 85.5 * info.west.geoTransform[5]]);
  await checkReadout(ctx, westAt, [['west', 'EPSG:4326', 0.001]]);
  await pointTo(page, [-2, 45]);  // between the UTM image and west
  assert.match(await page.textContent('#pointer .rhl-hits'), /no layer here/);

  // A pointer moving on while queries run: the readout ends where it stops.
  const from = await page.evaluate(([lon, lat]) => window.rhlMap.latLngToContainerPoint([lat, lon]), utmAt);
  await page.mouse.move(Math.round(from.x), Math.round(from.y));
  await page.mouse.move(Math.round(from.x) + 300, Math.round(from.y) + 40, { steps: 30 });
  await page.waitForFunction(() => document.getElementById('pointer').dataset.state === 'current');
  const last = await page.evaluate(([x, y]) => {
    const m = L.CRS.EPSG3857.project(window.rhlMap.containerPointToLatLng([x, y]));
    return { want: [m.x, m.y], got: document.querySelector('#pointer .rhl-hits').dataset.point };
  }, [Math.round(from.x) + 300, Math.round(from.y) + 40]);
  const got = last.got.split(',').map(Number);
  assert.ok(Math.abs(got[0] - last.want[0]) < 1e-3 && Math.abs(got[1] - last.want[1]) < 1e-3,
            `the readout is for where the pointer stopped: ${JSON.stringify(last)}`);
  await page.mouse.move(5, 5);
}

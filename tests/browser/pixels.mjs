// The pixel view: an image without georeferencing in its own pixels, the
// whole image, zoomed, panned and at 1:1, each screenshot against rhl render
// of the window it shows; a drag that ends between screen pixels finished;
// the pointer's pixel and coordinates; a georeferenced image entered at 1:1
// where the map was, and the way back to the map.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { numbers, pixelValues, pointTo } from './map.mjs';
import { assertClose, compareToLayers, settled, step, transform } from './support.mjs';

// The part of the view the image covers: its screen rectangle and the image
// pixels under it, at the view's scale.
function visibleWindow(page) {
  return page.evaluate(() => {
    const map = window.rhlMap;
    const layer = window.rhl.pixelView.layer();
    const size = map.getSize();
    const scale = Math.pow(2, map.getZoom());
    const origin = map.latLngToContainerPoint([0, 0]);
    const x0 = Math.max(0, Math.round(origin.x)), y0 = Math.max(0, Math.round(origin.y));
    const x1 = Math.min(size.x, Math.round(origin.x + layer.width * scale));
    const y1 = Math.min(size.y, Math.round(origin.y + layer.height * scale));
    const src = [(x0 - origin.x) / scale, (y0 - origin.y) / scale, (x1 - origin.x) / scale,
                 (y1 - origin.y) / scale].map(Math.round);
    return { scale, clip: { x: x0, y: y0, width: x1 - x0, height: y1 - y0 }, src, nodata: layer.nodata };
  });
}

// A screenshot of the view, controls hidden, against rhl render of the
// window it shows (black transparent where the layer's black is nodata).
async function checkAgainstRender(ctx, file, name) {
  const { page } = ctx;
  await settled(page);
  const view = await visibleWindow(page);
  assert.ok(view.clip.width > 100 && view.clip.height > 100, `${name}: the image is in view`);
  await page.addStyleTag({ content: '.leaflet-control-container { display: none }' });
  const shot = await page.screenshot({ clip: view.clip });
  await page.addStyleTag({ content: '.leaflet-control-container { display: block }' });
  fs.writeFileSync(path.join(ctx.work, `${name}-browser.png`), shot);
  const rendered = path.join(ctx.work, `${name}-rhl.png`);
  const nodata = view.nodata ? ['--a_nodata', '0'] : [];
  execFileSync(ctx.options.rhl, ['render', file, '-o', rendered, '-q', '--src', view.src.join(','),
                                 '--scale', String(view.scale), ...nodata]);
  step(`${name}: --src ${view.src.join(',')} --scale ${view.scale} ${nodata.join(' ')}`);
  const bg = await page.evaluate(() => getComputedStyle(window.rhlMap.getContainer()).backgroundColor);
  const result = await compareToLayers(page, shot, [{ png: fs.readFileSync(rendered), opacity: 1 }],
                                       bg.match(/\d+/g).slice(0, 3).map(Number), 8);
  assertClose(result, name, { mean: 2, far: 0.01, farAbove: 8 });
  return view;
}

// The pointer near image pixel `at` ([col, row]) of `layer` (from the
// catalogue), in the pixel view: its pixel, its coordinates in the CRS
// `crs` names (the geotransform's), the RGB GDAL reads in `file` there.
async function checkPointer(ctx, layer, file, at, crs) {
  const { page } = ctx;
  const [lng, lat] = await pointTo(page, [at[0], -at[1]]);
  const col = lng, row = -lat;
  const rows = await page.$$eval('#pointer .rhl-where tr', (trs) => trs.map((tr) => tr.textContent));
  step(`pointer over ${layer.id}'s pixels at ${col}, ${row}: ${rows.join(' | ')}`);
  const shown = numbers(rows[0]);
  assert.ok(Math.abs(shown[0] - col) <= 0.05 && Math.abs(shown[1] - row) <= 0.05, rows[0]);
  assert.ok(Math.abs(col - at[0]) <= 2 && Math.abs(row - at[1]) <= 2, `the pointer is near ${at}`);
  assert.ok(rows[1].startsWith(crs), rows[1]);
  const g = layer.geotransform;
  const xy = numbers(rows[1].slice(crs.length));
  const want = [g[0] + col * g[1], g[3] + row * g[5]];
  const tolerance = Math.abs(g[1]) / 2;
  assert.ok(Math.abs(xy[0] - want[0]) <= tolerance && Math.abs(xy[1] - want[1]) <= tolerance,
            `${crs} coordinates: ${xy}, not ${want}`);
  const rgb = numbers(await page.textContent('#pointer .rhl-rgb'));
  assert.deepEqual(rgb, pixelValues(file, Math.floor(col), Math.floor(row)).slice(0, 3), 'RGB under the pointer');
  await page.mouse.move(5, 5);
}

async function mode(page) {
  return page.evaluate(() => window.rhl.mode());
}

export async function checkPixels(ctx) {
  const { page, requests } = ctx;
  const plain = ctx.fixtures.files.plain;

  step('the pixel view of an image without georeferencing');
  const before = requests.length;
  await page.click('[data-layer="plain"] .rhl-pixels');
  assert.equal(await mode(page), 'pixels');
  await settled(page);
  const catalogue = await page.evaluate(() => window.rhl.catalogue);
  const image = catalogue.layers.find((l) => l.id === 'plain');
  const tiles = () => requests.slice(before).map((r) => r.path).filter((p) => p.startsWith('/tiles/'));
  const first = new Set(tiles());
  assert.ok(first.size >= 2 && [...first].every((t) => t.startsWith('/tiles/plain/')), `its tiles: ${[...first]}`);
  const info = await page.textContent('#view');
  assert.match(info, /2048 x 1024 pixels/);
  assert.match(info, /ECW\.RHL/);
  const start = await checkAgainstRender(ctx, plain, 'pixels-start');
  assert.ok(start.scale < 1, 'the whole image, reduced');

  // Image pixel (1536, 768): its registration and its RGB.
  await checkPointer(ctx, image, plain, [1536.3, 768.3], 'registration');
  await page.mouse.move(5, 5);

  step('zooming in, panning');
  await page.click('#pixels .leaflet-control-zoom-in');
  await settled(page);
  const zoomed = tiles().filter((t) => !first.has(t));
  const level = image.top_level + Math.log2(start.scale) + 1;
  assert.ok(zoomed.length >= 2 && zoomed.every((t) => t.startsWith(`/tiles/plain/${level}/`)),
            `a zoom in loads tiles of level ${level}: ${zoomed}`);
  await checkAgainstRender(ctx, plain, 'pixels-zoomed');
  await page.click('#pixels .leaflet-control-zoom-in');
  await settled(page);
  const seen = new Set(tiles());
  const centre = await page.evaluate(() => {
    const r = window.rhlMap.getContainer().getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
  });
  await page.mouse.move(centre.x, centre.y);
  await page.mouse.down();
  await page.mouse.move(centre.x - 400, centre.y - 300, { steps: 12 });
  await page.mouse.up();
  await settled(page);
  assert.ok(tiles().some((t) => !seen.has(t)), 'a pan loads new tiles');

  // A drag may end between two screen pixels; the view then rests on whole
  // ones, where tiles are drawn sharp.
  const rest = await page.evaluate(() => L.DomUtil.getPosition(window.rhlMap.getPane('mapPane')));
  assert.ok(Number.isInteger(rest.x) && Number.isInteger(rest.y), `the view rests at ${rest.x}, ${rest.y}`);
  const snapped = await page.evaluate(() => {
    const pane = window.rhlMap.getPane('mapPane');
    L.DomUtil.setPosition(pane, L.DomUtil.getPosition(pane).add([0.4, -0.3]));
    window.rhlMap.fire('moveend');
    return L.DomUtil.getPosition(pane);
  });
  assert.ok(Number.isInteger(snapped.x) && Number.isInteger(snapped.y),
            `a move ending between pixels is finished: ${snapped.x}, ${snapped.y}`);

  const panned = await checkAgainstRender(ctx, plain, 'pixels-panned');
  assert.equal(panned.scale, 1, '1:1');
  await page.click('.rhl-whole');
  await settled(page);
  assert.equal(await page.evaluate(() => window.rhlMap.getZoom()), Math.log2(start.scale), 'the whole image again');
  await page.click('.rhl-one-to-one');
  const one = await checkAgainstRender(ctx, plain, 'pixels-1to1');
  assert.equal(one.scale, 1, '1:1');
  // Past 1:1 the 1:1 tiles are enlarged, pixels kept square.
  const atOne = new Set(tiles());
  await page.click('#pixels .leaflet-control-zoom-in');
  await settled(page);
  const enlarged = tiles().filter((t) => !atOne.has(t));
  assert.ok(enlarged.every((t) => t.startsWith(`/tiles/plain/${image.top_level}/`)), `1:1 tiles: ${enlarged}`);
  assert.match(await page.textContent('#view'), /scale2:1/);

  step('back to the map, and a georeferenced image at 1:1 where the map is');
  await page.click('.rhl-to-map');
  assert.equal(await mode(page), 'map');
  await settled(page);
  const centreAt = await page.evaluate(() => {
    const c = window.rhlMap.getCenter();
    return [c.lng, c.lat];
  });
  const utmInfo = ctx.fixtures.info.utm;
  const [ux, uy] = transform('EPSG:4326', 'EPSG:32629', [centreAt])[0];
  const gt = utmInfo.geoTransform;
  const expected = [(ux - gt[0]) / gt[1], (uy - gt[3]) / gt[5]];
  await page.click('[data-layer="utm"] .rhl-pixels');
  await page.waitForFunction(() => window.rhl.mode() === 'pixels');
  await settled(page);
  const shown = await page.evaluate(() => {
    const c = window.rhlMap.getCenter();
    return { zoom: window.rhlMap.getZoom(), col: c.lng, row: -c.lat, layer: window.rhl.pixelView.layer().id };
  });
  assert.ok(shown.layer === 'utm' && shown.zoom === 0 && Math.abs(shown.col - expected[0]) <= 1.5 &&
            Math.abs(shown.row - expected[1]) <= 1.5,
            `utm at 1:1 around pixel ${expected}: ${JSON.stringify(shown)}`);
  await checkAgainstRender(ctx, ctx.fixtures.files.utm, 'utm-1to1');

  // A pixel near the centre, in its CRS.
  const utm = catalogue.layers.find((l) => l.id === 'utm');
  await checkPointer(ctx, utm, ctx.fixtures.files.utm, [Math.floor(shown.col) + 10.3, Math.floor(shown.row) + 5.3],
                     'EPSG:32629');
  await page.mouse.move(5, 5);
  await page.click('.rhl-to-map');
  assert.equal(await mode(page), 'map');
}

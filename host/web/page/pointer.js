// The pointer's position: on the map, in EPSG:3857 and in degrees at once,
// and, from the server's point query, per layer shown under it its own
// CRS's coordinates, its pixel and the pixel's RGB; over an image's own
// pixels, the pixel and the image's coordinates at once (from its
// geotransform), the RGB from the server. One query runs at a time; while
// it runs only the latest position waits, so a moving pointer gets answers
// as fast as the server gives them, each for where it was asked.
import { element, fixed, getJson, table } from './dom.js';

const PAUSE_MS = 50;  // between two queries

export function createPointer(section, catalogue) {
  const layers = new Map(catalogue.layers.map((l) => [l.id, l]));
  const title = element('h2', 'Pointer');
  const where = element('div', null, 'rhl-where');
  let hits = element('div', null, 'rhl-hits');
  section.replaceChildren(title, where, hits);

  let latest = null;  // the query waiting to be asked, or the one running
  let running = false;
  let place = 0;      // changes when the pointer leaves a view: answers from before are dropped

  function showHits(next) {
    hits.replaceWith(next);
    hits = next;
  }

  async function ask(url, show) {
    latest = { url, show, place };
    section.dataset.state = 'asking';
    if (running) return;
    running = true;
    for (let query = latest; query; query = latest) {
      let answer = null, error = null;
      try {
        answer = await getJson(query.url);
      } catch (e) {
        error = e;
      }
      if (query.place === place) query.show(answer, error);
      if (latest === query) {
        latest = null;
        section.dataset.state = 'current';
      }
      if (latest) await new Promise((resolve) => setTimeout(resolve, PAUSE_MS));
    }
    running = false;
  }

  function hitsElement(answer, error, pixelFrame) {
    const div = element('div', null, 'rhl-hits');
    div.dataset.point = answer ? answer.point.join(',') : '';
    if (error) {
      div.append(element('div', String(error.message || error), 'rhl-error'));
      return div;
    }
    if (!answer.features.length) div.append(element('div', pixelFrame ? 'outside the image' : 'no layer here'));
    for (const feature of answer.features) {
      const p = feature.properties;
      const hit = element('div', null, 'rhl-hit');
      hit.dataset.layer = p.layer;
      const rows = [];
      if (!pixelFrame) {
        hit.append(element('div', p.layer, 'rhl-hit-layer'));
        const layer = layers.get(p.layer);
        // A tenth of the image's pixel.
        const step = layer ? Math.abs(layer.geotransform[1]) / 10 : 1e-6;
        rows.push([p.crs || 'its CRS', element('span', fixed(p.x, step) + ', ' + fixed(p.y, step), 'rhl-xy')]);
      }
      rows.push(['pixel', element('span', p.column + ', ' + p.row, 'rhl-pixel')]);
      rows.push(['RGB', element('span', p.rgb.join(', ') + (p.nodata ? ' (no data)' : ''), 'rhl-rgb')]);
      hit.append(table(rows));
      div.append(hit);
    }
    return div;
  }

  // Over the map at `latlng`; `resolution`: a screen pixel in EPSG:3857
  // metres; `shown`: the ids of the layers drawn, bottom first.
  function overMap(latlng, resolution, shown) {
    const at = latlng.wrap();
    const m = L.CRS.EPSG3857.project(at);
    const degrees = resolution / 111319.49079327357;
    where.replaceChildren(table([
      ['EPSG:3857', fixed(m.x, resolution) + ', ' + fixed(m.y, resolution)],
      ['lon, lat', fixed(at.lng, degrees) + '\u00b0, ' + fixed(at.lat, degrees) + '\u00b0'],
    ]));
    if (!shown.length) {
      away(null);
      showHits(element('div', 'no layer is shown', 'rhl-hits'));
      return;
    }
    ask(catalogue.services.point + '?crs=EPSG:3857&x=' + m.x + '&y=' + m.y + '&layers=' +
        shown.map(encodeURIComponent).join(','), (answer, error) => showHits(hitsElement(answer, error, false)));
  }

  // Over image `layer`'s own pixels at `pixel` ({col, row}, fractional);
  // `scale`: screen pixels an image pixel.
  function overPixels(layer, pixel, scale) {
    const g = layer.geotransform;
    const x = g[0] + pixel.col * g[1] + pixel.row * g[2];
    const y = g[3] + pixel.col * g[4] + pixel.row * g[5];
    const step = Math.abs(g[1]) / Math.max(1, scale);
    const inside = pixel.col >= 0 && pixel.row >= 0 && pixel.col < layer.width && pixel.row < layer.height;
    where.replaceChildren(table([
      ['pixel', fixed(pixel.col, 1 / Math.max(1, scale)) + ', ' + fixed(pixel.row, 1 / Math.max(1, scale)) +
                (inside ? '' : ' (outside the image)')],
      [layer.crs ? layer.crs.id || 'its CRS' : 'registration', fixed(x, step) + ', ' + fixed(y, step)],
    ]));
    if (!inside) {
      away(null);
      return;
    }
    ask(catalogue.services.point + '?crs=pixels:' + encodeURIComponent(layer.id) + '&x=' + pixel.col +
        '&y=' + pixel.row, (answer, error) => showHits(hitsElement(answer, error, true)));
  }

  // The pointer left the view (with `hint` to show), or is where no query is due.
  function away(hint) {
    place += 1;
    latest = null;
    section.dataset.state = 'current';
    showHits(element('div', null, 'rhl-hits'));
    if (hint) where.replaceChildren(element('div', hint, 'rhl-hint'));
  }

  away('move the pointer over the map');
  return { overMap, overPixels, away };
}

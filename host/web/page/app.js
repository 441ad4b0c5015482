// The map page of rhl serve: the georeferenced images on one Web Mercator
// map (mapview.js), any image in its own pixels (pixelview.js), the list of
// layers (layers.js) and the pointer's position (pointer.js), all from the
// server's catalogue (/api/layers). The page shows one of the two views at
// a time; the map keeps its place while an image's pixels are shown.
import { button, element, getJson, table } from './dom.js';
import { createLayerList } from './layers.js';
import { createMapView } from './mapview.js';
import { createPixelView } from './pixelview.js';
import { createPointer } from './pointer.js';

const mapDiv = document.getElementById('map');
const pixelDiv = document.getElementById('pixels');
const viewSection = document.getElementById('view');

function start(catalogue) {
  document.getElementById('module').textContent =
      catalogue.module.name + ' \u00b7 ' + catalogue.module.description;
  const byId = new Map(catalogue.layers.map((l) => [l.id, l]));
  const placed = catalogue.layers.filter((l) => l.georeferenced);
  const mapView = placed.length ? createMapView(mapDiv, catalogue) : null;
  const pixelView = createPixelView(pixelDiv, catalogue);
  const pointer = createPointer(document.getElementById('pointer'), catalogue);
  let mode = mapView ? 'map' : 'pixels';

  function describe() {
    if (mode === 'map') {
      const zoom = mapView.map.getZoom();
      viewSection.replaceChildren(
          element('h2', 'Map \u00b7 Web Mercator (EPSG:3857)'),
          table([['zoom', String(zoom)]]),
          button('all images', 'fit the map to every image', 'rhl-fit-all',
                 () => mapView.zoomTo(catalogue.mosaic.id)));
      return;
    }
    const layer = pixelView.layer();
    const g = layer.geotransform;
    const scale = pixelView.scale();
    const bar = element('div', null, 'rhl-controls');
    bar.append(button('1:1', 'one image pixel a screen pixel', 'rhl-one-to-one', () => pixelView.oneToOne()),
               button('whole image', 'fit the whole image', 'rhl-whole', () => pixelView.whole()));
    if (mapView) bar.append(button('back to the map', 'the map of every georeferenced image', 'rhl-to-map', showMap));
    viewSection.replaceChildren(element('h2', 'Pixels of ' + layer.id), bar, table([
      ['file', layer.file],
      ['size', layer.width + ' x ' + layer.height + ' pixels'],
      ['pixel', g[1] + ' x ' + g[5]],
      ['origin', g[0] + ', ' + g[3]],
      ['scale', scale >= 1 ? scale + ':1' : '1:' + 1 / scale],
      ['module', catalogue.module.name + ' (' + catalogue.module.description + ')'],
    ]));
  }

  function showMap() {
    mode = 'map';
    pixelDiv.hidden = true;
    mapDiv.hidden = false;
    mapView.map.invalidateSize();
    list.mark(null);
    pointer.away('move the pointer over the map');
    describe();
  }

  function showPixels(layer, at) {
    mode = 'pixels';
    mapDiv.hidden = true;
    pixelDiv.hidden = false;
    pixelView.map.invalidateSize();
    pixelView.show(layer, at);
    list.mark(layer.id);
    pointer.away('move the pointer over the image');
    describe();
  }

  // An image's pixels: at 1:1 where the map's centre lies on it, else whole.
  async function pixels(id) {
    const layer = byId.get(id);
    let at = null;
    if (mode === 'map' && layer.georeferenced) {
      const centre = L.CRS.EPSG3857.project(mapView.map.getCenter().wrap());
      try {
        const answer = await getJson(catalogue.services.point + '?crs=EPSG:3857&x=' + centre.x + '&y=' +
                                     centre.y + '&layers=' + encodeURIComponent(id));
        const hit = answer.features[0];
        if (hit) at = { col: hit.properties.column, row: hit.properties.row };
      } catch (e) {
        at = null;  // the whole image, then
      }
    }
    showPixels(layer, at);
  }

  const list = createLayerList(document.getElementById('layers'), catalogue, {
    visible: (id, on) => mapView.setVisible(id, on),
    opacity: (id, value) => mapView.setOpacity(id, value),
    zoomTo: (id) => {
      if (mode !== 'map') showMap();
      mapView.zoomTo(id);
    },
    pixels,
  });

  if (mapView) {
    const map = mapView.map;
    map.on('zoomend', () => { if (mode === 'map') describe(); });
    map.on('mousemove', (e) => pointer.overMap(e.latlng, mapView.resolution(), mapView.shown()));
    map.on('mouseout', () => pointer.away('move the pointer over the map'));
  }
  pixelView.map.on('zoomend', () => { if (mode === 'pixels') describe(); });
  pixelView.map.on('mousemove', (e) => {
    pointer.overPixels(pixelView.layer(), pixelView.pixelAt(e.latlng), pixelView.scale());
  });
  pixelView.map.on('mouseout', () => pointer.away('move the pointer over the image'));

  // For scripted checks of the page: the map in view, and both views.
  window.rhl = { catalogue, mapView, pixelView, mode: () => mode, pixels, showMap };
  Object.defineProperty(window, 'rhlMap', {
    get: () => (mode === 'map' ? mapView.map : pixelView.map),
  });
  if (mode === 'map') showMap();
  else if (catalogue.layers.length) showPixels(catalogue.layers[0], null);
}

getJson('/api/layers')
  .then(start)
  .catch((error) => {
    viewSection.replaceChildren(element('div', String(error), 'rhl-error'));
  });

// The map: every georeferenced layer on one Web Mercator map from the
// server's XYZ tiles, each its own tile layer, drawn in the catalogue's
// order (the first at the bottom), and under them the mosaic, the server's
// own composition of them all. Layers keep their place at every zoom: none
// is ever hidden or disabled by it.
import { restOnWholePixels } from './dom.js';

// Levels past the finest any layer asks for. Their tiles come from the
// server too: tiles the browser enlarged would blend each image's edge with
// what lies beyond it, and adjacent images would show a seam.
const ENLARGED_LEVELS = 4;
const MERCATOR_LIMIT = 85.0511287798066;

export function boundsOf(entry) {
  const b = entry.bounds;  // west, south, east, north in degrees
  if (!b) return null;
  return L.latLngBounds([[Math.max(b[1], -MERCATOR_LIMIT), b[0]],
                         [Math.min(b[3], MERCATOR_LIMIT), b[2]]]);
}

export function createMapView(container, catalogue) {
  const placed = catalogue.layers.filter((l) => l.georeferenced);
  const finest = Math.max(0, ...placed.map((l) => l.zoom.max));
  const maxZoom = Math.min(finest + ENLARGED_LEVELS, 24);
  const map = L.map(container, { zoomSnap: 1, zoomDelta: 1, minZoom: 0, maxZoom });
  L.control.scale({ position: 'bottomleft' }).addTo(map);
  restOnWholePixels(map);

  const entries = new Map();  // id -> { entry, tiles, visible }
  function add(entry, zIndex, visible) {
    const bounds = boundsOf(entry);
    const tiles = L.tileLayer(entry.xyz, {
      tileSize: catalogue.tile_size,
      minZoom: 0,
      maxZoom,
      bounds: bounds || undefined,
      noWrap: true,
      keepBuffer: 1,
      zIndex,
      className: 'rhl-layer-' + entry.id,
    });
    entries.set(entry.id, { entry, tiles, bounds, visible: false });
    setVisible(entry.id, visible);
  }

  function setVisible(id, on) {
    const e = entries.get(id);
    if (!e || e.visible === on) return;
    e.visible = on;
    if (on) e.tiles.addTo(map);
    else map.removeLayer(e.tiles);
  }

  function zoomTo(id) {
    const e = entries.get(id);
    if (e && e.bounds) map.fitBounds(e.bounds);
  }

  add(catalogue.mosaic, 1, false);
  placed.forEach((l, i) => add(l, i + 2, true));
  if (entries.get(catalogue.mosaic.id).bounds) zoomTo(catalogue.mosaic.id);
  else map.fitWorld();

  return {
    map,
    setVisible,
    visible: (id) => entries.has(id) && entries.get(id).visible,
    setOpacity: (id, value) => entries.has(id) && entries.get(id).tiles.setOpacity(value),
    zoomTo,
    // The images drawn, bottom first, the mosaic's among them.
    shown: () => {
      const all = entries.get(catalogue.mosaic.id).visible;
      return placed.filter((l) => all || entries.get(l.id).visible).map((l) => l.id);
    },
    // A screen pixel's side in EPSG:3857 metres.
    resolution: () => 2 * 20037508.342789244 / (catalogue.tile_size * Math.pow(2, map.getZoom())),
  };
}

// One image in its own pixel frame, as the module delivers it: map zoom 0
// is 1:1 and zoom -top_level shows the whole image, which is tile level 0
// on the server; past 1:1 the browser enlarges the 1:1 tiles, pixels kept
// square. Map units are image pixels (x right, y up, so a pixel row is
// -lat). For images without georeferencing, and for looking at any image
// pixel for pixel.
import { restOnWholePixels } from './dom.js';

const ENLARGED_LEVELS = 3;

export function createPixelView(container, catalogue) {
  const map = L.map(container, { crs: L.CRS.Simple, zoomSnap: 1, zoomDelta: 1 });
  restOnWholePixels(map);
  let current = null;
  let tiles = null;

  function imageBounds(layer) {
    return L.latLngBounds([[-layer.height, 0], [0, layer.width]]);
  }

  // Shows `layer`, centred on image pixel `at` ({col, row}) at 1:1, or whole.
  function show(layer, at) {
    if (tiles) map.removeLayer(tiles);
    current = layer;
    const bounds = imageBounds(layer);
    map.setMinZoom(-layer.top_level);
    map.setMaxZoom(ENLARGED_LEVELS);
    tiles = L.tileLayer(layer.tiles, {
      tileSize: catalogue.tile_size,
      minZoom: -layer.top_level,
      maxZoom: ENLARGED_LEVELS,
      maxNativeZoom: 0,
      zoomOffset: layer.top_level,
      bounds,
      noWrap: true,
      keepBuffer: 1,
      className: 'rhl-pixel-tiles',
    }).addTo(map);
    if (at) oneToOne(at);
    else whole();
  }

  function whole() {
    if (current) map.fitBounds(imageBounds(current), { maxZoom: 0, animate: false });
  }

  // 1:1 around image pixel `at`, or around the centre of the view.
  function oneToOne(at) {
    if (!current) return;
    const centre = at ? L.latLng(-(at.row + 0.5), at.col + 0.5) : map.getCenter();
    map.setView(centre, 0, { animate: false });
  }

  return {
    map,
    show,
    whole,
    oneToOne: () => oneToOne(null),
    layer: () => current,
    // The image pixel under a position of the map: column and row, fractional.
    pixelAt: (latlng) => ({ col: latlng.lng, row: -latlng.lat }),
    scale: () => Math.pow(2, map.getZoom()),
  };
}

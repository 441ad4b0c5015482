// The list of layers beside the map: per layer a switch, its opacity, a
// zoom to it and its own pixels at 1:1, and what it is (CRS, size, bands,
// nodata). The top layer comes first, the mosaic (drawn under them all)
// last; images without georeferencing follow, with their pixels only.
// Nothing here is ever disabled, whatever the map's zoom.
import { button, element } from './dom.js';

function unique(values) {
  return [...new Set(values)];
}

export function crsText(layer) {
  if (!layer.crs) return 'not on the map: ' + (layer.note || 'it is not georeferenced');
  const id = layer.crs.id || 'a CRS without identifier';
  return layer.crs.name ? id + ' \u00b7 ' + layer.crs.name : id;
}

export function bandsText(layer) {
  const bands = layer.bands || [];
  const types = unique(bands.map((b) => b.type));
  const colours = bands.map((b) => b.color).filter((c) => c && c !== 'undefined');
  let text = bands.length + (bands.length === 1 ? ' band ' : ' bands ') + types.join('/');
  if (colours.length) text += ' (' + colours.join(', ') + ')';
  return text;
}

export function nodataText(layer) {
  const bands = layer.bands || [];
  const values = unique(bands.filter((b) => b.nodata !== null && b.nodata !== undefined).map((b) => b.nodata));
  let text;
  if (values.length) text = 'nodata ' + values.join(', ');
  else if (bands.some((b) => b.color === 'alpha')) text = 'nodata: alpha band';
  else if (layer.nodata) text = 'nodata: mask';
  else return 'no nodata';
  return layer.nodata ? text + ' (transparent)' : text;
}

// actions: visible(id, on), opacity(id, 0..1), zoomTo(id), pixels(id)
export function createLayerList(section, catalogue, actions) {
  section.replaceChildren();
  const placed = catalogue.layers.filter((l) => l.georeferenced);
  const framed = catalogue.layers.filter((l) => !l.georeferenced);

  function controls(row, entry, visible) {
    const name = element('label', null, 'rhl-name');
    const box = element('input', null, 'rhl-visible');
    box.type = 'checkbox';
    box.checked = visible;
    box.addEventListener('change', () => actions.visible(entry.id, box.checked));
    name.append(box, ' ' + entry.id);
    const opacity = element('input', null, 'rhl-opacity');
    opacity.type = 'range';
    opacity.min = 0;
    opacity.max = 100;
    opacity.value = 100;
    opacity.title = 'opacity';
    opacity.setAttribute('aria-label', 'opacity of ' + entry.id);
    opacity.addEventListener('input', () => actions.opacity(entry.id, opacity.value / 100));
    const bar = element('div', null, 'rhl-controls');
    bar.append(name, opacity,
               button('zoom to', 'fit the map to ' + entry.id, 'rhl-zoom', () => actions.zoomTo(entry.id)));
    row.append(bar);
  }

  function facts(row, layer) {
    const div = element('div', null, 'rhl-facts');
    div.append(element('div', crsText(layer), 'rhl-crs'),
               element('div', layer.width + ' x ' + layer.height + ' pixels \u00b7 ' + bandsText(layer) +
                              ' \u00b7 ' + nodataText(layer), 'rhl-size'),
               element('div', layer.file + (layer.driver ? ' (' + layer.driver + ')' : ''), 'rhl-file'));
    row.append(div);
  }

  function layerRow(layer) {
    const row = element('div', null, 'rhl-layer');
    row.dataset.layer = layer.id;
    if (layer.georeferenced) controls(row, layer, true);
    else row.append(element('div', layer.id, 'rhl-name'));
    row.querySelector('.rhl-controls, .rhl-name').append(
        button('pixels', 'the image\u2019s own pixels, 1:1', 'rhl-pixels', () => actions.pixels(layer.id)));
    facts(row, layer);
    return row;
  }

  if (placed.length) {
    section.append(element('h2', 'Layers, top first'));
    for (const layer of [...placed].reverse()) section.append(layerRow(layer));
    const mosaic = element('div', null, 'rhl-layer rhl-mosaic');
    mosaic.dataset.layer = catalogue.mosaic.id;
    controls(mosaic, catalogue.mosaic, false);
    mosaic.append(element('div', catalogue.mosaic.title + ', in one layer: ' +
                                 catalogue.mosaic.layers.join(', '), 'rhl-facts'));
    section.append(mosaic);
  }
  if (framed.length) {
    section.append(element('h2', 'Images in their own pixel frame'));
    for (const layer of framed) section.append(layerRow(layer));
  }

  return {
    // Marks the layer whose pixels are shown (or none).
    mark(id) {
      for (const row of section.querySelectorAll('.rhl-layer'))
        row.classList.toggle('rhl-shown', row.dataset.layer === id);
    },
  };
}

// The map page of rhl serve. Each image is a layer in its own pixel frame:
// map zoom 0 is 1:1 and zoom -top shows the whole image, which is tile
// level 0 on the server. Map units are image pixels (x right, y up, so a
// pixel row is -lat); the pointer's world position comes from the image's
// geotransform, which the server derives from the module's registration block.
(function () {
  'use strict';

  const map = L.map('map', { crs: L.CRS.Simple, zoomSnap: 1, zoomDelta: 1 });
  window.rhlMap = map;  // for scripted checks of the page

  // Tiles are drawn sharp only at whole screen pixels, and a drag can end
  // between two (pointers report fractions of a pixel, and the drag's last
  // step may never be drawn): the map then moves the rest of the way
  // (panBy cannot do it: it rounds the distance it is asked to move).
  map.on('moveend', function () {
    const pane = map.getPane('mapPane');
    const at = L.DomUtil.getPosition(pane);
    const whole = L.point(Math.round(at.x), Math.round(at.y));
    if (whole.equals(at)) return;
    L.DomUtil.setPosition(pane, whole);
    map.fire('moveend');  // the layers look again at what is in view
  });

  function element(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (className) e.className = className;
    return e;
  }

  function panel(position, className) {
    const control = L.control({ position: position });
    control.onAdd = function () {
      const div = element('div', undefined, 'rhl-panel ' + (className || ''));
      L.DomEvent.disableClickPropagation(div);
      return div;
    };
    return control.addTo(map);
  }

  // Digits enough to tell neighbouring pixels apart.
  function digits(step) {
    const size = Math.abs(step);
    return size > 0 ? Math.max(0, Math.min(12, Math.ceil(-Math.log10(size)) + 1)) : 6;
  }

  function world(image, col, row) {
    const g = image.geotransform;
    return [g[0] + col * g[1] + row * g[2], g[3] + col * g[4] + row * g[5]];
  }

  function showInfo(info, image, module) {
    const div = info.getContainer();
    div.replaceChildren(element('h1', image.id));
    const table = element('table');
    const scale = Math.pow(2, map.getZoom());
    const rows = [
      ['file', image.file],
      ['image', image.resolved.replace(/^.*\//, '')],
      ['size', image.width + ' x ' + image.height + ' pixels'],
      ['pixel', image.geotransform[1] + ' x ' + image.geotransform[5]],
      ['origin', image.geotransform[0] + ', ' + image.geotransform[3]],
      ['scale', scale >= 1 ? '1:1' : '1:' + 1 / scale],
      ['module', module ? module.name + ' (' + module.description + ')' : ''],
    ];
    for (const [name, value] of rows) {
      const tr = element('tr');
      tr.append(element('th', name), element('td', value));
      table.append(tr);
    }
    div.append(table);
  }

  function showPointer(pointer, image, latlng) {
    const div = pointer.getContainer();
    if (!latlng) {
      div.textContent = 'move the pointer over the image';
      return;
    }
    const col = latlng.lng, row = -latlng.lat;
    const w = world(image, col, row);
    const d = digits(image.geotransform[1]);
    const inside = col >= 0 && row >= 0 && col < image.width && row < image.height;
    div.textContent = 'pixel ' + col.toFixed(1) + ', ' + row.toFixed(1) + '  \u00b7  world ' +
        w[0].toFixed(d) + ', ' + w[1].toFixed(d) + (inside ? '' : '  (outside the image)');
  }

  function start(catalogue) {
    const info = panel('topright');
    const pointer = panel('bottomleft', 'rhl-pointer');
    const layers = {};
    let current = null;

    for (const image of catalogue.images) {
      const bounds = L.latLngBounds([[-image.height, 0], [0, image.width]]);
      const layer = L.tileLayer(image.tiles, {
        tileSize: catalogue.tile_size,
        minZoom: -image.top_level,
        maxZoom: 0,
        zoomOffset: image.top_level,
        bounds: bounds,
        noWrap: true,
        keepBuffer: 1,
      });
      layer.image = image;
      layer.imageBounds = bounds;
      layers[image.id] = layer;
    }

    function choose(layer) {
      current = layer;
      map.setMinZoom(-layer.image.top_level);
      map.setMaxZoom(0);
      map.fitBounds(layer.imageBounds);
      showInfo(info, layer.image, catalogue.module);
      showPointer(pointer, layer.image, null);
    }

    const all = Object.values(layers);
    if (all.length === 0) return;
    if (all.length > 1) L.control.layers(layers, {}, { collapsed: false }).addTo(map);
    map.on('baselayerchange', function (e) { choose(e.layer); });
    map.on('zoomend', function () { showInfo(info, current.image, catalogue.module); });
    map.on('mousemove', function (e) { showPointer(pointer, current.image, e.latlng); });
    map.on('mouseout', function () { showPointer(pointer, current.image, null); });
    all[0].addTo(map);
    choose(all[0]);
  }

  fetch('/api/images')
    .then(function (response) {
      if (!response.ok) throw new Error('/api/images answered ' + response.status);
      return response.json();
    })
    .then(start)
    .catch(function (error) {
      panel('topright', 'rhl-error').getContainer().textContent = String(error);
    });
})();

// What the page's parts share: elements, numbers, the server's JSON, and
// maps that rest on whole screen pixels.

export function element(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = text;
  if (className) e.className = className;
  return e;
}

export function button(text, title, className, onClick) {
  const b = element('button', text, className);
  b.type = 'button';
  b.title = title;
  b.addEventListener('click', onClick);
  return b;
}

// A table of [name, value] rows; a value is text or an element.
export function table(rows) {
  const t = element('table');
  for (const [name, value] of rows) {
    const tr = element('tr');
    const td = element('td');
    td.append(value);
    tr.append(element('th', name), td);
    t.append(tr);
  }
  return t;
}

// Decimals enough to tell apart two values `step` apart.
export function digits(step) {
  const size = Math.abs(step);
  return size > 0 && isFinite(size) ? Math.max(0, Math.min(12, Math.ceil(-Math.log10(size)) + 1)) : 6;
}

export function fixed(value, step) {
  return value.toFixed(digits(step));
}

export async function getJson(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(url.replace(/\?.*/, '') + ' answered ' + response.status);
  return response.json();
}

// Tiles are drawn sharp only at whole screen pixels, and a drag can end
// between two (pointers report fractions of a pixel, and the drag's last
// step may never be drawn): the map then moves the rest of the way (panBy
// cannot do it: it rounds the distance it is asked to move).
export function restOnWholePixels(map) {
  map.on('moveend', function () {
    const pane = map.getPane('mapPane');
    const at = L.DomUtil.getPosition(pane);
    const whole = L.point(Math.round(at.x), Math.round(at.y));
    if (whole.equals(at)) return;
    L.DomUtil.setPosition(pane, whole);
    map.fire('moveend');  // the layers look again at what is in view
  });
}

"use strict";
// Set once when the page loads: a test (or a curious operator) can tell that
// updates arrive without a reload.
window.brelvintPageLoadedAt = Date.now();
// Where the members are headed on the maps, for checks from outside.
window.brelvintPlotted = [];

const params = new URLSearchParams(location.search);
const token = params.get("token");
function withToken(path) {
  return token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
}

const POLL_MS = 1000;        // polling once a second is the most the page asks
const MOVE_MS = 600;         // a marker glides to its new place within one poll
const GRID_SPACING_PX = 90;  // grid lines at least this far apart on screen
const STYLES = {
  member: {radius: 6, color: "#ffffff", weight: 1.5, fillColor: "#2b6cd2", fillOpacity: 1},
  battle: {radius: 7, color: "#7a1d0b", weight: 2, fillColor: "#d2452b", fillOpacity: 1},
  dead: {radius: 5, color: "#ffffff", weight: 1, fillColor: "#8a8f98", fillOpacity: 0.9},
};
const LABEL_RANK = {battle: 0, member: 1, dead: 2};
const LABEL_GAP = 7;         // pixels from a marker's centre to its label

// Map units are the game's: X to the right and Y down from the top-left corner,
// one unit per pixel of the facet's picture at zoom 0. Leaflet's simple system
// counts its first coordinate upwards, hence the sign.
function toLatLng(x, y) { return L.latLng(-y, x); }
function toGame(latLng) { return {x: latLng.lng, y: -latLng.lat}; }

function element(tag, attributes, text) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function stateOf(member) { return member.isDead ? "dead" : member.inBattle ? "battle" : "member"; }
function memberKey(network, name) { return network + "\n" + name; }

function formatConnected(seconds) {
  if (seconds < 60) return seconds + " s";
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return minutes + " min";
  return Math.floor(minutes / 60) + " h " + String(minutes % 60).padStart(2, "0") + " min";
}

// 1, 2 or 5 times a power of ten, at least `value` and never below 1.
function niceStep(value) {
  let power = 1;
  while (power * 10 <= value) power *= 10;
  for (const factor of [1, 2, 5, 10]) if (factor * power >= value) return factor * power;
  return 10 * power;
}

// ---------------------------------------------------------------- maps

// Lines every few hundred units, numbered along the top (X) and the left (Y),
// redrawn for whatever part of the facet is in view.
const AxisGrid = L.Layer.extend({
  onAdd(map) {
    this._canvas = L.DomUtil.create("canvas", "axis-grid", map.getContainer());
    map.on("move zoom resize viewreset", this._draw, this);
    this._draw();
  },
  onRemove(map) {
    map.off("move zoom resize viewreset", this._draw, this);
    L.DomUtil.remove(this._canvas);
  },
  _draw() {
    const map = this._map, size = map.getSize(), ratio = window.devicePixelRatio || 1;
    const canvas = this._canvas;
    canvas.width = size.x * ratio;
    canvas.height = size.y * ratio;
    canvas.style.width = size.x + "px";
    canvas.style.height = size.y + "px";
    const context = canvas.getContext("2d");
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    const step = niceStep(GRID_SPACING_PX / map.getZoomScale(map.getZoom(), 0));
    const from = toGame(map.containerPointToLatLng([0, 0]));
    const to = toGame(map.containerPointToLatLng([size.x, size.y]));
    context.font = "11px system-ui, sans-serif";
    const label = (text, x, y) => {
      const width = context.measureText(text).width;
      context.fillStyle = "rgba(238, 240, 243, 0.85)";
      context.fillRect(x - 2, y - 11, width + 4, 14);
      context.fillStyle = "#6b7383";
      context.fillText(text, x, y);
    };
    context.strokeStyle = "#d3d7de";
    context.lineWidth = 1;
    for (let i = Math.ceil(from.x / step); i * step <= to.x; i++) {
      const at = Math.round(map.latLngToContainerPoint(toLatLng(i * step, 0)).x) + 0.5;
      context.beginPath(); context.moveTo(at, 0); context.lineTo(at, size.y); context.stroke();
    }
    for (let i = Math.ceil(from.y / step); i * step <= to.y; i++) {
      const at = Math.round(map.latLngToContainerPoint(toLatLng(0, i * step)).y) + 0.5;
      context.beginPath(); context.moveTo(0, at); context.lineTo(size.x, at); context.stroke();
    }
    // Labels after all lines, so no line crosses a number; none under the zoom buttons.
    for (let i = Math.ceil(from.x / step); i * step <= to.x; i++) {
      const at = Math.round(map.latLngToContainerPoint(toLatLng(i * step, 0)).x);
      if (at > 44 && at < size.x - 60) label(String(i * step), at + 3, 13);
    }
    for (let i = Math.ceil(from.y / step); i * step <= to.y; i++) {
      const at = Math.round(map.latLngToContainerPoint(toLatLng(0, i * step)).y);
      if (at > 24 && at < size.y - 24) label(String(i * step), 3, at - 3);
    }
  },
});

// The game coordinates under the mouse, for reading a place off the map.
const PointerPlace = L.Control.extend({
  options: {position: "bottomleft"},
  onAdd(map) {
    const box = L.DomUtil.create("div", "pointer");
    map.on("mousemove", event => {
      const place = toGame(event.latlng);
      box.textContent = "X " + Math.round(place.x) + " \u00b7 Y " + Math.round(place.y);
    });
    map.on("mouseout", () => { box.textContent = ""; });
    return box;
  },
});

const FitAll = L.Control.extend({
  options: {position: "topright"},
  onAdd() {
    const bar = L.DomUtil.create("div", "leaflet-bar");
    const link = L.DomUtil.create("a", "fit-all", bar);
    link.href = "#";
    link.title = "Show the whole facet and everyone on it";
    link.setAttribute("role", "button");
    link.textContent = "\u2922";
    L.DomEvent.disableClickPropagation(bar);
    L.DomEvent.on(link, "click", event => { L.DomEvent.preventDefault(event); this.options.onFit(); });
    return bar;
  },
});

const views = new Map();    // facet -> one map: {facet, figure, caption, element, map, grid, picture, entries, members, touched}
const entries = new Map();  // member key -> {key, member, view, marker, from, to, start}
const moving = new Set();   // entries gliding to their new place
const pictures = new Map(); // facet -> {image, width, height} once loaded, null when there is none
let chosenKey = null;       // the member whose row was clicked
let pointedKey = null;      // the member under the mouse
let frame = 0;

function loadPicture(facet, done) {
  if (pictures.has(facet)) return done(pictures.get(facet));
  const image = new Image();
  image.onload = () => {
    pictures.set(facet, {image: image, width: image.naturalWidth, height: image.naturalHeight});
    done(pictures.get(facet));
  };
  image.onerror = () => { pictures.set(facet, null); done(null); };
  image.src = withToken("/maps/facet-" + facet + ".png");
}

const BULK_MIN_REACH = 16384;  // map units either side of the middle that always count as the bulk

// The values within reach of the middle one: the reach grows with the spread
// of the middle half, so a crowd spread wide stays whole while one member
// far from everyone (a client reporting X = 2^63 - 1) is left out.
function bulkRange(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = share => sorted[Math.floor((sorted.length - 1) * share)];
  const reach = Math.max(BULK_MIN_REACH, 3 * (at(0.75) - at(0.25)));
  return [at(0.5) - reach, at(0.5) + reach];
}

// The places a map's first view shows: those on its picture, or without a
// picture those of the bulk of its members.
function fitPlaces(view) {
  const places = [...view.entries.values()].map(entry => entry.to);
  if (view.picture) {
    const picture = view.picture.getBounds();
    return places.filter(place => picture.contains(place));
  }
  if (!places.length) return places;
  const [left, right] = bulkRange(places.map(place => place.lng));
  const [bottom, top] = bulkRange(places.map(place => place.lat));
  return places.filter(place => place.lng >= left && place.lng <= right && place.lat >= bottom && place.lat <= top);
}

// The picture and everyone on it; without a picture, the corner at 0,0 and
// the bulk of the members, with room for the names right of the markers.
function fitAll(view) {
  const bounds = view.picture ? view.picture.getBounds() : L.latLngBounds([toLatLng(0, 0)]);
  const places = fitPlaces(view);
  if (places.length) bounds.extend(L.latLngBounds(places));
  if (bounds.getNorthEast().equals(bounds.getSouthWest())) bounds.extend(toLatLng(1024, 1024));
  view.map.fitBounds(bounds, {paddingTopLeft: [24, 24], paddingBottomRight: [90, 24], animate: false});
}

// A facet's figure is made at once; its map only once the figure comes near
// the screen, so a page with many facets builds the few in view.
function createView(facet) {
  const figure = element("figure", {"data-facet": facet});
  const div = element("div", {class: "map", "data-facet": facet});
  const caption = element("figcaption", {}, "Facet " + facet);
  figure.append(div, caption);
  const container = document.getElementById("maps");
  const after = [...views.values()].filter(view => view.facet > facet).sort((a, b) => a.facet - b.facet)[0];
  container.insertBefore(figure, after ? after.figure : null);
  const view = {facet, figure, caption, element: div, map: null, grid: null, picture: null,
                entries: new Map(), members: new Map(), touched: false};
  views.set(facet, view);
  nearScreen.observe(figure);
  return view;
}

const nearScreen = new IntersectionObserver(seen => {
  for (const one of seen) {
    if (!one.isIntersecting) continue;
    nearScreen.unobserve(one.target);
    const view = views.get(Number(one.target.dataset.facet));
    if (view && view.figure === one.target && !view.map) buildMap(view);
  }
}, {rootMargin: "200px"});

function buildMap(view) {
  const {facet, caption, element: div} = view;
  const map = L.map(div, {crs: L.CRS.Simple, minZoom: -6, maxZoom: 4, zoomSnap: 0.25, zoomDelta: 0.5,
                          zoomControl: false, attributionControl: false});
  view.map = map;
  view.grid = new AxisGrid();
  L.control.zoom({position: "topright"}).addTo(map);
  new FitAll({onFit: () => fitAll(view)}).addTo(map);
  new PointerPlace().addTo(map);
  L.control.attribution({position: "bottomright", prefix: "Leaflet"}).addTo(map);
  view.grid.addTo(map);
  map.setView([0, 0], 0);
  map.on("move moveend resize", () => placeSoon(view));
  map.on("click", () => choose(null));
  for (const kind of ["mousedown", "wheel", "touchstart", "keydown"]) {
    div.addEventListener(kind, () => { view.touched = true; }, {passive: true});
  }
  // Another facet's map appearing narrows this one: keep the view's centre, or
  // the whole facet while the operator has not moved it.
  view.resizes = new ResizeObserver(() => {
    map.invalidateSize({animate: false});
    if (!view.touched) fitAll(view);
  });
  view.resizes.observe(div);
  for (const [key, {network, member}] of view.members) createEntry(key, network, member, view);
  fitAll(view);
  if (view.members.has(chosenKey)) choose(chosenKey);

  loadPicture(facet, picture => {
    if (views.get(facet) !== view) return;  // gone while it loaded
    if (!picture) {
      caption.textContent = "Facet " + facet + " (grid)";
      return;
    }
    // The image is the one already loaded, so Leaflet fetches nothing more.
    const bounds = L.latLngBounds(toLatLng(0, picture.height), toLatLng(picture.width, 0));
    view.picture = L.imageOverlay(picture.image, bounds).addTo(map);
    view.grid.remove();
    caption.textContent = "Facet " + facet + " \u00b7 " + picture.width + " \u00d7 " + picture.height;
    if (!view.touched) fitAll(view);
  });
}

function removeView(view) {
  nearScreen.unobserve(view.figure);
  if (view.map) {
    view.resizes.disconnect();
    for (const entry of view.entries.values()) forget(entry);
    view.map.remove();
  }
  view.figure.remove();
  views.delete(view.facet);
}

function labelText(entry) {
  const member = entry.member;
  if (entry.key !== pointedKey) return member.name;
  const state = {member: "", battle: " \u00b7 in battle", dead: " \u00b7 dead"}[stateOf(member)];
  return member.name + " \u00b7 " + entry.network + " \u00b7 HP " + member.hp + state;
}

function styleEntry(entry) {
  const state = stateOf(entry.member);
  const style = Object.assign({}, STYLES[state]);
  if (entry.key === chosenKey) Object.assign(style, {color: "#1d2330", weight: 3, radius: style.radius + 1});
  entry.marker.setStyle(style);
  entry.marker.setRadius(style.radius);
  const tooltip = entry.marker.getTooltip();
  // A member's name is the client's text: it reaches the label as text only.
  const text = labelText(entry);
  if (entry.label.textContent !== text) {
    entry.label.textContent = text;
    tooltip.update();
  }
  const label = tooltip.getElement();
  if (!label) return;
  for (const kind of ["battle", "dead"]) label.classList.toggle(kind, state === kind);
  label.classList.toggle("chosen", entry.key === chosenKey);
  label.classList.toggle("pointed", entry.key === pointedKey);
}

function createEntry(key, network, member, view) {
  const place = toLatLng(member.x, member.y);
  const marker = L.circleMarker(place, STYLES.member).addTo(view.map);
  // Leaflet would parse a string as HTML: it is handed a node holding the name as text.
  const label = element("span", {}, member.name);
  marker.bindTooltip(label, {permanent: true, direction: "right", offset: [LABEL_GAP, 0], className: "label"});
  const entry = {key, network, member, view, marker, label, from: place, to: place, start: 0};
  marker.getElement().setAttribute("data-name", member.name);
  marker.getTooltip().getElement().setAttribute("data-name", member.name);
  marker.on("click", event => { L.DomEvent.stopPropagation(event); choose(key); });
  marker.on("mouseover", () => point(key));
  marker.on("mouseout", () => point(null));
  view.entries.set(key, entry);
  entries.set(key, entry);
  styleEntry(entry);
  return entry;
}

function forget(entry) {
  entry.marker.remove();
  entry.view.entries.delete(entry.key);
  entries.delete(entry.key);
  moving.delete(entry);
}

function glide(entry, member) {
  const target = toLatLng(member.x, member.y);
  if (target.equals(entry.to)) return;
  entry.from = entry.marker.getLatLng();
  entry.to = target;
  entry.start = performance.now();
  moving.add(entry);
  if (!frame) frame = requestAnimationFrame(step);
}

function step(now) {
  const changed = new Set();
  for (const entry of moving) {
    const t = Math.min(1, Math.max(0, (now - entry.start) / MOVE_MS));
    const eased = t * (2 - t);
    entry.marker.setLatLng(L.latLng(entry.from.lat + (entry.to.lat - entry.from.lat) * eased,
                                    entry.from.lng + (entry.to.lng - entry.from.lng) * eased));
    changed.add(entry.view);
    if (t >= 1) moving.delete(entry);
  }
  for (const view of changed) placeLabels(view);
  frame = moving.size ? requestAnimationFrame(step) : 0;
}

function overlaps(a, b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

function setSide(tooltip, side) {
  tooltip.options.direction = side;
  tooltip.options.offset = [side === "right" ? LABEL_GAP : -LABEL_GAP, 0];
  tooltip.update();
}

// Where a label would be on either side of its marker, from where it is now:
// Leaflet puts it LABEL_GAP plus its 6 px margin from the marker's centre.
function labelPlaces(tooltip, r) {
  const gap = LABEL_GAP + 6, width = r.right - r.left;
  const x = tooltip.options.direction === "right" ? r.left - gap : r.right + gap;
  return {
    right: {left: x + gap, right: x + gap + width, top: r.top, bottom: r.bottom},
    left: {left: x - gap - width, right: x - gap, top: r.top, bottom: r.bottom},
  };
}

// Shows every label that fits inside its map, right or else left of its
// marker, clear of the markers and of the labels shown before it, in order:
// the member under the mouse, the chosen member, those in battle, the living,
// the dead, and by name within each. The others' names show when the mouse is
// on their marker.
function placeLabels(view) {
  const box = view.element.getBoundingClientRect();
  const rank = entry => entry.key === pointedKey ? -2 : entry.key === chosenKey ? -1 : LABEL_RANK[stateOf(entry.member)];
  const ordered = [...view.entries.values()].sort(
      (a, b) => rank(a) - rank(b) || (a.member.name < b.member.name ? -1 : a.member.name > b.member.name ? 1 : 0));
  const taken = ordered.map(entry => entry.marker.getElement().getBoundingClientRect());
  const fits = r => r.left >= box.left && r.right <= box.right && r.top >= box.top && r.bottom <= box.bottom &&
      !taken.some(other => overlaps(other, r));
  for (const entry of ordered) {
    const tooltip = entry.marker.getTooltip(), label = tooltip.getElement();
    if (!label) continue;
    const places = labelPlaces(tooltip, label.getBoundingClientRect());
    let side = ["right", "left"].find(one => fits(places[one]));
    if (!side && entry.key === pointedKey) side = "right";
    if (side && side !== tooltip.options.direction) setSide(tooltip, side);
    label.classList.toggle("hidden", !side);
    if (side) taken.push(label.getBoundingClientRect());
  }
}

// Labels are placed before the next frame is drawn, once all of Leaflet's own
// handlers have moved the markers: a map event reaches the page before Leaflet
// has redrawn the markers for it.
const toPlace = new Set();
function placeSoon(view) {
  if (!toPlace.size) {
    requestAnimationFrame(() => {
      const pending = [...toPlace];
      toPlace.clear();
      for (const one of pending) if (views.get(one.facet) === one) placeLabels(one);
    });
  }
  toPlace.add(view);
}

function point(key) {
  const before = entries.get(pointedKey);
  pointedKey = key;
  if (before) styleEntry(before);
  const entry = entries.get(key);
  if (entry) styleEntry(entry);
  for (const one of [before, entry]) if (one) placeSoon(one.view);
}

function choose(key) {
  const before = entries.get(chosenKey);
  chosenKey = key;
  if (before) { styleEntry(before); placeSoon(before.view); }
  for (const row of document.querySelectorAll("tbody tr")) row.classList.toggle("chosen", row.dataset.key === key);
  const entry = entries.get(key);
  if (!entry) {
    // Its map is not built yet: bringing it near the screen builds it, and
    // the map then finds the chosen member.
    const waiting = [...views.values()].find(view => view.members.has(key));
    if (waiting) waiting.figure.scrollIntoView({block: "nearest", behavior: "smooth"});
    return;
  }
  styleEntry(entry);
  entry.marker.bringToFront();
  const view = entry.view;
  view.touched = true;
  view.map.panTo(entry.to);
  placeSoon(view);
  const box = view.figure.getBoundingClientRect();
  if (box.bottom < 0 || box.top > window.innerHeight) view.figure.scrollIntoView({block: "nearest", behavior: "smooth"});
}

function updateMaps(members) {
  const facets = new Set(members.map(item => item.member.facet));
  const byKey = new Map(members.map(item => [item.key, item.member]));
  for (const entry of [...entries.values()]) {
    const member = byKey.get(entry.key);
    if (!member || member.facet !== entry.view.facet) forget(entry);
  }
  for (const view of [...views.values()]) {
    if (!facets.has(view.facet)) removeView(view);
    else view.members.clear();
  }
  for (const facet of [...facets].sort((a, b) => a - b)) if (!views.has(facet)) createView(facet);
  const fresh = new Set();
  for (const {key, network, member} of members) {
    const view = views.get(member.facet);
    view.members.set(key, {network, member});
    if (!view.map) continue;  // built, with everyone on it, once it comes near the screen
    let entry = entries.get(key);
    if (!entry) {
      entry = createEntry(key, network, member, view);
      fresh.add(view);
    } else {
      entry.member = member;
      glide(entry, member);
      styleEntry(entry);
    }
  }
  for (const view of views.values()) {
    if (!view.map) continue;
    // Until the operator moves a map, it keeps the members it fits in view.
    const seen = view.map.getBounds();
    if (!view.touched && fitPlaces(view).some(place => !seen.contains(place))) fitAll(view);
    else if (fresh.has(view)) placeSoon(view);
  }
  window.brelvintPlotted = members.map(({network, member}) =>
      ({name: member.name, network: network, facet: member.facet, x: member.x, y: member.y}));
}

// ---------------------------------------------------------------- tables

const COLUMNS = [
  {title: "Name", kind: "name", text: m => m.name},
  {title: "Address", kind: "address", text: m => m.address},
  {title: "X", kind: "num", text: m => String(m.x)},
  {title: "Y", kind: "num", text: m => String(m.y)},
  {title: "Facet", kind: "num", text: m => String(m.facet)},
  {title: "HP", kind: "num", text: m => String(m.hp)},
  {title: "Connected", kind: "num", text: m => formatConnected(m.connectedSeconds)},
  {title: "Location", kind: "location", text: m => [m.city, m.country].filter(Boolean).join(", ")},
];

const sections = new Map();  // network name -> {section, small, table, body, nobody, rows}

function createSection(network) {
  const section = element("section", {class: "network", "data-network": network.name});
  const title = element("h2", {}, network.name + " ");
  const small = element("small");
  title.append(small);
  const table = element("table");
  const head = element("tr");
  for (const column of COLUMNS) head.append(element("th", {class: column.kind}, column.title));
  const thead = element("thead");
  thead.append(head);
  const body = element("tbody");
  table.append(thead, body);
  head.append(element("th", {class: "actions"}, ""));
  const nobody = element("p", {class: "nobody"}, "No members.");
  section.append(title, table, nobody, createBroadcastBox(network.name));
  // Clicking a row finds its member; a click that ends a text selection does not.
  body.addEventListener("click", event => {
    const row = event.target.closest("tr");
    if (row && window.getSelection().isCollapsed) choose(row.dataset.key);
  });
  return {section, small, table, body, nobody, rows: new Map()};
}

function setText(node, text) {
  if (node.data !== text) node.data = text;
}

function createRow(key, member) {
  const row = element("tr", {"data-name": member.name});
  row.dataset.key = key;
  row.cellTexts = COLUMNS.map(column => {
    const cell = element("td", {class: column.kind});
    if (column.kind === "name") cell.append(element("span", {class: "dot"}));
    const text = document.createTextNode("");
    cell.append(text);
    row.append(cell);
    return text;
  });
  row.append(createActionCell(key));
  return row;
}

// Changes only what changed, text node by text node, so whatever the operator
// has selected in the table stays selected.
function updateSection(part, network) {
  const summary = "port " + network.port + " \u00b7 " + network.currentUsers + "/" + network.maxUsers +
      (network.enabled ? "" : " \u00b7 disabled");
  if (part.small.textContent !== summary) part.small.textContent = summary;
  part.small.classList.toggle("off", !network.enabled);
  // Leavers go first: then the rows that stay are already in order and none is
  // moved, which would drop a selection inside it.
  const keys = new Set(network.members.map(member => memberKey(network.name, member.name)));
  for (const [key, row] of part.rows) {
    if (!keys.has(key)) { row.remove(); part.rows.delete(key); }
  }
  network.members.forEach((member, index) => {
    const key = memberKey(network.name, member.name);
    let row = part.rows.get(key);
    if (!row) {
      row = createRow(key, member);
      part.rows.set(key, row);
      row.classList.toggle("chosen", key === chosenKey);
    }
    if (part.body.children[index] !== row) part.body.insertBefore(row, part.body.children[index] || null);
    COLUMNS.forEach((column, i) => setText(row.cellTexts[i], column.text(member)));
    row.classList.toggle("battle", member.inBattle && !member.isDead);
    row.classList.toggle("dead", member.isDead);
  });
  // Location is empty everywhere when no lookup service is set: no column then.
  part.table.classList.toggle("no-location", !network.members.some(m => m.city || m.country));
  part.table.hidden = network.members.length === 0;
  part.nobody.hidden = network.members.length !== 0;
}

function updateTables(networks) {
  const container = document.getElementById("networks");
  const names = new Set(networks.map(network => network.name));
  for (const [name, part] of sections) {
    if (!names.has(name)) { part.section.remove(); sections.delete(name); }
  }
  networks.forEach((network, index) => {
    let part = sections.get(network.name);
    if (!part) sections.set(network.name, part = createSection(network));
    if (container.children[index] !== part.section) container.insertBefore(part.section, container.children[index] || null);
    updateSection(part, network);
  });
}

// ---------------------------------------------------------------- actions

// The token goes in a header, never in the address: an address with it would
// let a link act.
async function act(path, body) {
  const headers = {"Content-Type": "application/json"};
  if (token) headers.Authorization = "Bearer " + token;
  const notice = document.getElementById("notice");
  try {
    const response = await fetch(path, {method: "POST", headers, body: JSON.stringify(body),
                                        cache: "no-store"});
    let text = "status " + response.status;
    try { text = (await response.json()).text || text; } catch (ignored) { /* not JSON */ }
    notice.textContent = text;
    notice.classList.toggle("failed", !response.ok);
  } catch (failure) {
    notice.textContent = failure.message;
    notice.classList.add("failed");
  }
  refresh();
}

// One confirmation for every action; the member's name and the network reach it
// as text only. A ban may also be given a length in minutes.
let confirmed = null;
function ask(question, withReason, withMinutes, then) {
  const dialog = document.getElementById("confirm");
  document.getElementById("confirm-text").textContent = question;
  document.getElementById("confirm-reason-box").hidden = !withReason;
  document.getElementById("confirm-reason").value = "";
  document.getElementById("confirm-minutes-box").hidden = !withMinutes;
  document.getElementById("confirm-minutes").value = "";
  confirmed = then;
  dialog.showModal();
}
document.getElementById("confirm-ok").addEventListener("click", () => {
  const then = confirmed;
  confirmed = null;
  document.getElementById("confirm").close();
  if (then) then(document.getElementById("confirm-reason").value, document.getElementById("confirm-minutes").value.trim());
});
document.getElementById("confirm-cancel").addEventListener("click", () => {
  confirmed = null;
  document.getElementById("confirm").close();
});

function memberOfKey(key) {
  const cut = key.indexOf("\n");
  return {network: key.slice(0, cut), name: key.slice(cut + 1)};
}

function createActionCell(key) {
  const cell = element("td", {class: "actions"});
  const {network, name} = memberOfKey(key);
  const kick = element("button", {type: "button", class: "kick"}, "Kick");
  const ban = element("button", {type: "button", class: "ban"}, "Ban");
  kick.addEventListener("click", event => {
    event.stopPropagation();
    ask("Kick " + name + " from network " + network + "?", true, false,
        reason => act("/action/kick", {network, name, reason}));
  });
  ban.addEventListener("click", event => {
    event.stopPropagation();
    ask("Ban " + name + " on network " + network +
        "? Their address is refused until the ban is lifted, or for the minutes given.",
        true, true, (reason, minutes) => {
          const body = {network, name, reason};
          // Left empty, the ban is permanent; anything but a whole number the
          // server refuses with a line saying why.
          if (minutes !== "") {
            body.minutes = /^[0-9]+$/.test(minutes) && Number(minutes) > 0 ? Number(minutes) : -1;
          }
          act("/action/ban", body);
        });
  });
  cell.append(kick, ban);
  return cell;
}

function createBroadcastBox(network) {
  const box = element("div", {class: "broadcast"});
  const input = element("input", {type: "text", maxlength: "1000", placeholder: "Notice to every member",
                                  "aria-label": "Broadcast to " + network});
  const send = element("button", {type: "button"}, "Broadcast");
  send.addEventListener("click", () => {
    const text = input.value;
    if (!text) return;
    ask("Send \u201c" + text + "\u201d to every member of network " + network + "?", false, false, () => {
      input.value = "";
      act("/action/broadcast", {network, text});
    });
  });
  box.append(input, send);
  return box;
}

// ---------------------------------------------------------------- polling

let refreshing = false;
async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const response = await fetch(withToken("/status.json"), {cache: "no-store"});
    if (!response.ok) throw new Error("status " + response.status);
    const status = await response.json();
    const members = [];
    for (const network of status.networks) {
      for (const member of network.members) {
        members.push({key: memberKey(network.name, member.name), network: network.name, member});
      }
    }
    updateTables(status.networks);
    updateMaps(members);
    if (chosenKey !== null && !entries.has(chosenKey)) choose(null);
    document.getElementById("connections").textContent = status.connections;
    document.getElementById("updated").textContent = new Date().toLocaleTimeString();
    document.getElementById("error").textContent = "";
  } catch (failure) {
    document.getElementById("error").textContent = "(" + failure.message + ")";
  } finally {
    refreshing = false;
  }
}

refresh();
setInterval(refresh, POLL_MS);

// The line's page: tiles, counters, chart, Pareto and units from the JSON
// API, kept live by the server's event stream. Every text from the record
// (serials, messages, names) is set as textContent, never as HTML.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function isoUtc(date) {
    return date.toISOString().replace(/\.\d{3}Z$/, 'Z');
  }

  function localTime(utc) {
    if (!utc) return '';
    const date = new Date(utc);
    return isNaN(date) ? utc : date.toLocaleString();
  }

  function localHour(utc) {
    const date = new Date(utc);
    return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
  }

  function percent(value) {
    return value === null || value === undefined ? '–' : (value * 100).toFixed(1) + ' %';
  }

  function duration(ms) {
    if (!ms) return '';
    return (ms / 1000).toFixed(1) + ' s';
  }

  async function api(path) {
    const response = await fetch(path, { credentials: 'same-origin', cache: 'no-store' });
    if (!response.ok) {
      let message = response.status + ' ' + response.statusText;
      try { message = (await response.json()).error || message; } catch (e) { /* not JSON */ }
      throw new Error(message);
    }
    return response.json();
  }

  // --- The range -----------------------------------------------------------

  const range = { from: '', to: '', hours: 8 };

  function rangeQuery() {
    return 'from=' + encodeURIComponent(range.from) + '&to=' + encodeURIComponent(range.to);
  }

  function setRelativeRange(hours) {
    const now = Date.now();
    range.hours = hours;
    range.from = isoUtc(new Date(now - hours * 3600 * 1000));
    // Rows a station's clock puts slightly ahead still count.
    range.to = isoUtc(new Date(now + 3600 * 1000));
  }

  function inRange(timeUtc) {
    return timeUtc >= range.from && timeUtc < range.to;
  }

  function showRange() {
    $('range-text').textContent = localTime(range.from) + ' – ' + localTime(range.to);
    $('export').href = '/api/export.csv?' + rangeQuery();
  }

  // --- Stations' tiles -------------------------------------------------------

  const stations = new Map();  // host + NUL + station -> { host, station, tiles: Map(place -> unit) }

  function placeOf(unit) {
    return unit.slot !== '' ? 'slot\0' + unit.slot : 'port\0' + unit.port;
  }

  function putUnit(unit) {
    const key = unit.host + '\0' + unit.station;
    let station = stations.get(key);
    if (!station) {
      station = { host: unit.host, station: unit.station, tiles: new Map() };
      stations.set(key, station);
    }
    const place = placeOf(unit);
    const known = station.tiles.get(place);
    if (known && known.id > unit.id) return;  // an older run's late result
    station.tiles.set(place, unit);
  }

  function unitState(unit) {
    if (unit.state === 'started') return 'running';
    return unit.status === 0 ? 'pass' : 'fail';
  }

  const stateWords = { running: 'RUNNING', pass: 'PASS', fail: 'FAIL' };
  const byName = (a, b) => a.localeCompare(b, undefined, { numeric: true });

  function renderTile(unit) {
    const state = unitState(unit);
    const tile = el('div', 'tile ' + state);
    tile.dataset.state = state;
    const where = unit.slot !== '' ? 'Slot ' + unit.slot : (unit.port !== '' ? 'Port ' + unit.port : 'Port –');
    tile.append(el('div', 'where', where));
    tile.append(el('div', 'state', stateWords[state]));
    tile.append(el('div', 'serial', unit.serial === '' ? '(no serial)' : unit.serial));
    if (state === 'running') {
      tile.append(el('div', 'detail', 'since ' + localTime(unit.time_utc)));
    } else if (state === 'fail') {
      tile.append(el('div', 'detail', '#' + unit.failure + ' ' + unit.message));
    } else {
      tile.append(el('div', 'detail', localTime(unit.finished_utc || unit.time_utc)));
    }
    tile.title = unit.state + ' ' + localTime(unit.time_utc);
    return tile;
  }

  function renderStations() {
    const box = $('stations');
    box.replaceChildren();
    const keys = [...stations.keys()].sort(byName);
    if (keys.length === 0) box.append(el('p', 'muted', 'No station has recorded a unit in the last 7 days.'));
    for (const key of keys) {
      const station = stations.get(key);
      const card = el('div', 'station');
      card.dataset.station = station.station;
      const heading = el('h3', null, station.station);
      if (station.host !== station.station) heading.append(el('span', 'host', station.host));
      card.append(heading);
      const tiles = el('div', 'tiles');
      for (const place of [...station.tiles.keys()].sort(byName)) tiles.append(renderTile(station.tiles.get(place)));
      card.append(tiles);
      box.append(card);
    }
  }

  async function loadStations() {
    const data = await api('/api/stations');
    stations.clear();
    for (const station of data.stations) {
      for (const tile of station.tiles) putUnit(tile.unit);
    }
    renderStations();
  }

  // --- Counters, chart, Pareto ------------------------------------------------

  function counter(name, value, className) {
    const box = el('div', 'counter' + (className ? ' ' + className : ''));
    box.dataset.counter = name;
    box.append(el('div', 'value', value));
    box.append(el('div', 'name', name));
    return box;
  }

  function renderSummary(summary) {
    const line = summary.line;
    $('counters').replaceChildren(
      counter('passed', line.passed, 'pass'),
      counter('failed', line.failed, 'fail'),
      counter('yield', percent(line.yield)),
      counter('units per hour', line.units_per_hour.toFixed(1)),
      counter('running', line.running));
    const body = $('station-counters').tBodies[0];
    body.replaceChildren();
    for (const s of summary.stations) {
      const row = el('tr');
      const name = s.host === s.station ? s.station : s.station + ' (' + s.host + ')';
      row.append(el('td', null, name), el('td', 'num', s.passed), el('td', 'num', s.failed),
        el('td', 'num', percent(s.yield)), el('td', 'num', s.units_per_hour.toFixed(1)), el('td', 'num', s.running));
      body.append(row);
    }
    renderPareto(summary.pareto);
    drawHourly(summary.hourly);
  }

  function renderPareto(pareto) {
    const body = $('pareto').tBodies[0];
    body.replaceChildren();
    if (pareto.length === 0) {
      const row = el('tr');
      const cell = el('td', 'muted', 'No failures in this range.');
      cell.colSpan = 4;
      row.append(cell);
      body.append(row);
    }
    for (const p of pareto) {
      const row = el('tr');
      const share = el('td', 'num');
      const bar = el('span', 'bar');
      bar.style.width = Math.max(2, Math.round(p.share * 80)) + 'px';
      share.append(bar, document.createTextNode(percent(p.share)));
      row.append(el('td', 'num', p.failure), el('td', null, p.message), el('td', 'num', p.count), share);
      body.append(row);
    }
  }

  let lastHourly = [];

  function drawHourly(hourly) {
    lastHourly = hourly;
    const canvas = $('hourly');
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth || 640;
    const height = canvas.clientHeight || 220;
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    // Every hour of the range, empty ones too.
    const counts = new Map(hourly.map((h) => [h.hour, h]));
    const hours = [];
    const start = new Date(range.from.slice(0, 13) + ':00:00Z').getTime();
    const end = Math.min(new Date(range.to).getTime(), Date.now() + 3600 * 1000);
    for (let t = start; t < end && hours.length < 24 * 31; t += 3600 * 1000) {
      const key = isoUtc(new Date(t));
      hours.push(counts.get(key) || { hour: key, passed: 0, failed: 0 });
    }
    const left = 36, bottom = 22, top = 10;
    const plotW = width - left - 8, plotH = height - bottom - top;
    const most = Math.max(1, ...hours.map((h) => h.passed + h.failed));
    // Whole units on every line: the scale's top is four steps of 1, 2 or 5
    // times a power of ten.
    const magnitude = Math.pow(10, Math.floor(Math.log10(Math.max(1, most / 4))));
    const unit = [1, 2, 5, 10].map((m) => m * magnitude).find((s) => s * 4 >= most);
    const max = unit * 4;
    g.font = '11px system-ui, sans-serif';
    g.fillStyle = '#555';
    g.strokeStyle = '#ddd';
    for (let i = 0; i <= 4; ++i) {
      const y = top + plotH - (plotH * i) / 4;
      g.beginPath(); g.moveTo(left, y); g.lineTo(left + plotW, y); g.stroke();
      g.fillText(String(Math.round((max * i) / 4)), 4, y + 4);
    }
    const step = hours.length > 0 ? plotW / hours.length : plotW;
    const labelEvery = Math.max(1, Math.ceil(hours.length / Math.max(1, Math.floor(plotW / 48))));
    hours.forEach((h, i) => {
      const x = left + i * step + step * 0.1;
      const w = Math.max(1, step * 0.8);
      const passH = (plotH * h.passed) / max, failH = (plotH * h.failed) / max;
      g.fillStyle = '#1b7f3b';
      g.fillRect(x, top + plotH - passH, w, passH);
      g.fillStyle = '#b3261e';
      g.fillRect(x, top + plotH - passH - failH, w, failH);
      if (i % labelEvery === 0) {
        g.fillStyle = '#555';
        g.fillText(localHour(h.hour), x, height - 6);
      }
    });
  }

  async function loadSummary() {
    renderSummary(await api('/api/summary?' + rangeQuery()));
  }

  // --- Units: of the range, or of a serial ---------------------------------------

  const units = { serial: null, next: null };

  function resultCell(unit) {
    const state = unitState(unit);
    const text = state === 'running' ? 'running' : state === 'pass' ? 'PASS' : 'FAIL #' + unit.failure + ' ' + unit.message;
    return el('td', 'result-' + state, text);
  }

  function appendUnits(list) {
    const body = $('units').tBodies[0];
    for (const unit of list) {
      const row = el('tr');
      const station = unit.host === unit.station ? unit.station : unit.station + ' (' + unit.host + ')';
      const image = [unit.mcu_version, unit.usb_version].filter((v) => v !== '').join(' / ');
      row.append(el('td', null, localTime(unit.time_utc)), el('td', null, station),
        el('td', null, unit.slot !== '' ? unit.slot : unit.port), el('td', null, unit.serial),
        el('td', null, unit.operator), el('td', null, image), resultCell(unit),
        el('td', 'num', duration(unit.duration_ms)));
      body.append(row);
    }
  }

  function unitsPath(cursor) {
    let path = '/api/units?limit=50&';
    path += units.serial !== null ? 'serial=' + encodeURIComponent(units.serial) : rangeQuery();
    if (cursor) path += '&cursor=' + encodeURIComponent(cursor);
    return path;
  }

  async function loadUnits() {
    const data = await api(unitsPath(null));
    $('units').tBodies[0].replaceChildren();
    $('units-what').textContent = units.serial !== null
      ? 'Every run of serial "' + units.serial + '", newest first'
      : 'Runs of the range, newest first';
    appendUnits(data.units);
    units.next = data.next;
    $('more').hidden = !units.next;
  }

  async function moreUnits() {
    if (!units.next) return;
    const data = await api(unitsPath(units.next));
    appendUnits(data.units);
    units.next = data.next;
    $('more').hidden = !units.next;
  }

  // --- Loading and the live link ---------------------------------------------------

  function problem(error) {
    setLive(false, 'Error: ' + error.message);
  }

  async function loadAll() {
    showRange();
    await Promise.all([loadStations(), loadSummary(), loadUnits()]);
    document.body.dataset.loaded = String(Number(document.body.dataset.loaded || 0) + 1);
  }

  let refreshTimer = null;
  // New rows come in bursts (a station starting 16 units): the counters and
  // the list are read again once the burst has passed.
  function scheduleRefresh() {
    if (refreshTimer !== null) return;
    refreshTimer = setTimeout(() => {
      refreshTimer = null;
      loadSummary().catch(problem);
      if (units.serial === null || !$('more').hidden) loadUnits().catch(problem);
    }, 300);
  }

  function setLive(live, text) {
    const badge = $('live');
    badge.textContent = text;
    badge.classList.toggle('lost', !live);
    document.body.dataset.live = live ? '1' : '0';
  }

  let source = null;
  let lost = false;

  function connect() {
    source = new EventSource('/api/events');
    source.addEventListener('hello', (event) => {
      const hello = JSON.parse(event.data);
      setLive(hello.live, hello.live ? 'Live' : 'Live link up; the record is unreachable');
      // Rows may have come while the link was down: read everything again.
      if (lost) loadAll().catch(problem);
      lost = false;
    });
    source.addEventListener('unit', (event) => {
      const unit = JSON.parse(event.data);
      document.body.dataset.events = String(Number(document.body.dataset.events || 0) + 1);
      putUnit(unit);
      renderStations();
      if (inRange(unit.time_utc)) scheduleRefresh();
      else if (units.serial !== null && unit.serial === units.serial) scheduleRefresh();
    });
    source.addEventListener('record', (event) => {
      const state = JSON.parse(event.data);
      setLive(state.live, state.live ? 'Live' : 'The record is unreachable: ' + (state.error || ''));
      if (state.live) loadAll().catch(problem);
    });
    source.onerror = () => {
      lost = true;
      setLive(false, 'Live link lost: reconnecting…');
      if (source.readyState === EventSource.CLOSED) {
        // Refused (too many streams, a restart): try again a little later.
        setTimeout(connect, 5000);
      }
    };
  }

  function applyPreset() {
    const preset = $('range-preset').value;
    $('custom-range').hidden = preset !== 'custom';
    if (preset === 'custom') return;
    setRelativeRange(Number(preset));
    loadAll().catch(problem);
  }

  function applyCustom() {
    const from = new Date($('range-from').value), to = new Date($('range-to').value);
    if (isNaN(from) || isNaN(to) || to <= from) return;
    range.from = isoUtc(from);
    range.to = isoUtc(to);
    range.hours = null;
    loadAll().catch(problem);
  }

  async function start() {
    try {
      const info = await api('/api/info');
      $('title').textContent = info.title;
      document.title = info.title + ' · orvik-line';
      $('record').textContent = info.record + ' · ' + info.version;
    } catch (error) {
      problem(error);
    }
    $('range-preset').addEventListener('change', applyPreset);
    $('range-apply').addEventListener('click', applyCustom);
    $('more').addEventListener('click', () => moreUnits().catch(problem));
    $('search').addEventListener('submit', (event) => {
      event.preventDefault();
      const serial = $('serial').value;
      units.serial = serial === '' ? null : serial;
      loadUnits().catch(problem);
    });
    $('search-clear').addEventListener('click', () => {
      $('serial').value = '';
      units.serial = null;
      loadUnits().catch(problem);
    });
    window.addEventListener('resize', () => drawHourly(lastHourly));
    // A relative range moves with the clock.
    setInterval(() => {
      if (range.hours !== null) {
        setRelativeRange(range.hours);
        showRange();
        loadSummary().catch(problem);
      }
    }, 60000);
    setRelativeRange(8);
    connect();
    await loadAll().catch(problem);
  }

  document.addEventListener('DOMContentLoaded', start);
})();

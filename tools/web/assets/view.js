// The kestrav live view. Records arrive as Server-Sent Events and go into
// fixed-size rings; the charts and the latest values are redrawn at most
// once per animation frame, and only while not paused. Nothing here grows
// with the length of the run.
(function () {
  'use strict';

  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  const CAPACITY = 16384; // records kept: over 60 s at 250 records a second

  // What each command's records hold, in the order of its --format csv
  // columns after t and n, and how they are charted.
  const range = (prefix, count) =>
    Array.from({ length: count }, (_, k) => prefix + k);
  const SBUS_COLUMNS = range('ch', 16).concat(
    ['ch17', 'ch18', 'frame_lost', 'failsafe', 'end']);
  const sbusFlatten = (r) => r.channels.concat(
    [r.ch17, r.ch18, r.frame_lost ? 1 : 0, r.failsafe ? 1 : 0, r.end]);
  const KINDS = {
    link: {
      columns: range('b15_', 15).concat(range('b32_', 32)),
      flatten: (r) => r.block15.concat(r.block32),
      charts: [{ title: 'block15', from: 0, to: 15, fixed: [0, 65535] },
               { title: 'block32', from: 15, to: 47, fixed: [0, 65535] }],
    },
    'sbus-monitor': {
      columns: SBUS_COLUMNS,
      flatten: sbusFlatten,
      charts: [{ title: 'channels', from: 0, to: 16, fixed: [0, 2047] },
               { title: 'flags and end byte', from: 16, to: 21, fixed: [0, 64],
                 height: 140 }],
    },
    sbus: {
      columns: SBUS_COLUMNS,
      flatten: sbusFlatten,
      charts: [{ title: 'sent', from: 0, to: 16, fixed: [0, 2047] }],
    },
    hid: {
      columns: range('v', 11),
      flatten: (r) => r.values,
      charts: [{ title: 'values', from: 0, to: 11, fixed: [0, 65535] }],
    },
  };

  // A ring whose every value is written twice, at i and i + capacity, so
  // that the newest records are always one contiguous subarray.
  class Ring {
    constructor(columns, capacity) {
      this.capacity = capacity;
      this.t = new Float64Array(2 * capacity);
      this.n = new Float64Array(2 * capacity);
      this.columns = Array.from({ length: columns },
        () => new Float64Array(2 * capacity));
      this.head = 0;
      this.length = 0;
    }
    push(t, n, values) {
      const i = this.head, j = i + this.capacity;
      this.t[i] = this.t[j] = t;
      this.n[i] = this.n[j] = n;
      for (let k = 0; k < this.columns.length; k++) {
        this.columns[k][i] = this.columns[k][j] = values[k];
      }
      this.head = (i + 1) % this.capacity;
      if (this.length < this.capacity) this.length++;
    }
    // [first, end): the records of the last `seconds`, as array indices.
    window(seconds) {
      const end = (this.head - this.length + this.capacity) % this.capacity +
        this.length;
      let lo = end - this.length, hi = end;
      if (this.length === 0) return [lo, hi];
      const from = this.t[end - 1] - seconds;
      while (lo < hi) { // the first record at or after `from`
        const mid = (lo + hi) >> 1;
        if (this.t[mid] < from) lo = mid + 1; else hi = mid;
      }
      return [lo, end];
    }
  }

  const palette = (k, count) =>
    'hsl(' + Math.round(360 * k / count) + ', 70%, ' +
    (k % 2 ? '38%' : '50%') + ')';

  const view = {
    kind: null, ring: null, charts: [], latest: null, paused: false,
    dirty: false, count: 0, dropped: 0, skipped: 0, shown: 0, rate: 0,
    ended: null, zoomed: [],
  };
  window.kestravView = view; // for the tests and the curious

  function seconds() { return Number($('window').value); }
  function fixed() { return $('yrange').value === 'fixed'; }

  function makeCharts(kind) {
    const main = $('charts');
    const width = Math.max(400, main.clientWidth || 1200);
    kind.charts.forEach((c, index) => {
      const box = document.createElement('div');
      box.className = 'chart';
      box.innerHTML = '<h2></h2>';
      box.querySelector('h2').textContent = c.title;
      main.appendChild(box);
      const names = kind.columns.slice(c.from, c.to);
      const series = [{ label: 't' }].concat(names.map((name, k) => ({
        label: name, stroke: palette(k, names.length), width: 1,
        points: { show: false },
      })));
      const opts = {
        width, height: c.height || 260, series,
        scales: {
          x: { time: false },
          y: { range: (u, lo, hi) => fixed() ? c.fixed :
            uPlot.rangeNum(lo, hi, 0.1, true) },
        },
        axes: [{}, { size: 64 }],
        legend: { live: false },
        cursor: { drag: { x: true, y: false } },
        hooks: { setSelect: [(u) => { if (u.select.width > 0) view.zoomed[index] = true; }] },
      };
      const data = [new Float64Array(0)].concat(names.map(() => new Float64Array(0)));
      const u = new uPlot(opts, data, box);
      u.over.addEventListener('dblclick', () => { view.zoomed[index] = false; chartsDirty = true; });
      view.charts.push({ layout: c, plot: u });
      view.zoomed.push(false);
    });
  }

  function makeTable(kind) {
    const table = $('latest');
    const head = table.insertRow();
    const body = table.insertRow();
    ['n', 't'].concat(kind.columns).forEach((name) => {
      const th = document.createElement('th');
      th.textContent = name;
      head.appendChild(th);
      const td = body.insertCell();
      td.dataset.k = name;
      td.textContent = '';
    });
  }

  function makeSliders() {
    const box = $('sliders');
    box.hidden = false;
    const values = new Array(16).fill(992);
    let touched = false, inFlight = false, pending = false;
    const inputs = [];
    for (let k = 0; k < 16; k++) {
      const row = document.createElement('div');
      row.className = 'slider';
      row.innerHTML = '<label>ch' + k + '</label><input type="range" min="0" ' +
        'max="2047" step="1"><input type="number" min="0" max="2047">';
      const [slider, number] = row.querySelectorAll('input');
      slider.id = 'slider' + k;
      number.id = 'value' + k;
      slider.value = number.value = values[k];
      const set = (v) => {
        v = Math.max(0, Math.min(2047, Math.round(Number(v) || 0)));
        values[k] = v;
        slider.value = number.value = v;
        touched = true;
        send();
      };
      slider.addEventListener('input', () => set(slider.value));
      number.addEventListener('change', () => set(number.value));
      inputs.push([slider, number]);
      box.appendChild(row);
    }
    const flags = document.createElement('div');
    flags.className = 'flags';
    flags.innerHTML = '<button type="button" id="centre">Centre all</button>' +
      ['ch17', 'ch18', 'frame_lost', 'failsafe'].map((f) =>
        '<label><input type="checkbox" id="flag-' + f + '"> ' + f + '</label>')
        .join('') + '<span id="post-status"></span>';
    box.appendChild(flags);
    $('centre').addEventListener('click', () => {
      for (let k = 0; k < 16; k++) {
        values[k] = 992;
        inputs[k][0].value = inputs[k][1].value = 992;
      }
      touched = true;
      send();
    });
    flags.querySelectorAll('input').forEach((c) =>
      c.addEventListener('change', () => { touched = true; send(); }));
    // One request in flight at a time; the latest values go next.
    function send() {
      if (inFlight) { pending = true; return; }
      inFlight = true;
      const body = { channels: values.slice() };
      ['ch17', 'ch18', 'frame_lost', 'failsafe'].forEach((f) => {
        body[f] = $('flag-' + f).checked;
      });
      fetch('/sbus?token=' + encodeURIComponent(token), {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
      }).then((res) => res.ok ? '' : res.text())
        .then((why) => { $('post-status').textContent = why; })
        .catch((e) => { $('post-status').textContent = String(e); })
        .finally(() => {
          inFlight = false;
          if (pending) { pending = false; send(); }
        });
    }
    // Until the user moves something, the sliders follow what is sent.
    view.follow = (r) => {
      if (touched) return;
      for (let k = 0; k < 16; k++) {
        values[k] = r.channels[k];
        inputs[k][0].value = inputs[k][1].value = r.channels[k];
      }
      ['ch17', 'ch18', 'frame_lost', 'failsafe'].forEach((f) => {
        $('flag-' + f).checked = !!r[f];
      });
    };
  }

  function hello(h) {
    const kind = KINDS[h.command];
    if (!kind || view.kind) return;
    view.kind = kind;
    view.command = h.command;
    document.title = 'kestrav ' + h.command + ' ' + h.port;
    $('title').textContent = 'kestrav ' + h.command + ' ' + h.port +
      '  (' + h.version + ')';
    view.ring = new Ring(kind.columns.length, CAPACITY);
    if (h.command === 'sbus') makeSliders();
    if (h.command === 'sbus-monitor') $('skipped-box').hidden = false;
    makeCharts(kind);
    makeTable(kind);
  }

  function record(r) {
    if (!view.kind) return;
    view.ring.push(r.t, r.n, view.kind.flatten(r));
    view.latest = r;
    view.count++;
    view.dirty = true;
    if (view.follow) view.follow(r);
  }

  // Each chart is redrawn at most every CHART_MS, and never two in one
  // frame: a software-rastered canvas of thousands of points costs more than
  // the rest of a frame, so the charts take turns, and 20 redraws a second
  // read well. Counters and values follow every frame.
  const CHART_MS = 50;
  let chartsAt = -Infinity, chartsDirty = false, turn = 0, stale = [];

  function drawChart(index) {
    const c = view.charts[index], ring = view.ring;
    const [a, b] = ring.window(seconds());
    const data = [ring.t.subarray(a, b)];
    for (let k = c.layout.from; k < c.layout.to; k++) {
      data.push(ring.columns[k].subarray(a, b));
    }
    // Drawn now, inside this frame, rather than in a later microtask.
    c.plot.batch(() => c.plot.setData(data, !view.zoomed[index]));
  }

  function draw(now) {
    if (view.dirty && !view.paused && view.kind) {
      view.dirty = false;
      chartsDirty = true;
      const r = view.latest;
      if (r) {
        const values = view.kind.flatten(r);
        const cells = $('latest').rows[1].cells;
        cells[0].textContent = r.n;
        cells[1].textContent = r.t.toFixed(6);
        for (let k = 0; k < values.length; k++) {
          cells[k + 2].textContent = values[k];
        }
      }
      $('count').textContent = view.count;
      view.shown = view.count;
    }
    const count = view.charts.length;
    if (chartsDirty && !view.paused && count > 0) {
      chartsDirty = false;
      stale = view.charts.map(() => true);
    }
    if (stale.some((s) => s) && !view.paused &&
        now - chartsAt >= CHART_MS / count) {
      // The next chart in turn that has news.
      while (!stale[turn]) turn = (turn + 1) % count;
      stale[turn] = false;
      drawChart(turn);
      turn = (turn + 1) % count;
      chartsAt = now;
    }
    $('dropped').textContent = view.dropped;
    $('skipped').textContent = view.skipped;
    requestAnimationFrame(draw);
  }

  // Records per second, counted over the last second.
  let lastCount = 0;
  setInterval(() => {
    view.rate = view.count - lastCount;
    lastCount = view.count;
    if (!view.paused) $('rate').textContent = view.rate;
  }, 1000);

  $('pause').addEventListener('click', () => {
    view.paused = !view.paused;
    $('pause').textContent = view.paused ? 'Resume' : 'Pause';
    view.dirty = true;
  });
  $('window').addEventListener('change', () => { chartsDirty = true; });
  $('yrange').addEventListener('change', () => {
    view.charts.forEach((c) => c.plot.setData(c.plot.data, true));
    chartsDirty = true;
  });

  // The buffered window, in exactly the columns of --format csv.
  view.csv = function () {
    const kind = view.kind, ring = view.ring;
    const lines = [['t', 'n'].concat(kind.columns).join(',')];
    const [a, b] = ring.window(seconds());
    for (let i = a; i < b; i++) {
      const row = [ring.t[i].toFixed(6), ring.n[i]];
      for (let k = 0; k < ring.columns.length; k++) row.push(ring.columns[k][i]);
      lines.push(row.join(','));
    }
    return lines.join('\n') + '\n';
  };
  $('csv').addEventListener('click', () => {
    if (!view.kind) return;
    const blob = new Blob([view.csv()], { type: 'text/csv' });
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = 'kestrav-' + view.command + '.csv';
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  });

  const status = (text, cls) => {
    $('status').textContent = text;
    $('status').className = 'status ' + (cls || '');
  };
  // The tool prints the page's address with a token made for that run;
  // without it, or with another run's, the event stream is refused (403),
  // and the page says so rather than a bare "disconnected".
  const NO_TOKEN = 'no token in this address: open the address that kestrav ' +
    'printed ("view: http://.../?token=..."), which has it';
  const WRONG_TOKEN = 'the token in this address is not this run\'s (each ' +
    'run makes a new one): open the address that kestrav printed';
  function why() {
    return fetch('/events?token=' + encodeURIComponent(token), { method: 'HEAD' })
      .then((res) => res.status === 403 ? WRONG_TOKEN : 'disconnected')
      .catch(() => 'disconnected: kestrav is not running');
  }
  if (!token) {
    status(NO_TOKEN, 'ended');
  } else {
    const events = new EventSource('/events?token=' + encodeURIComponent(token));
    events.addEventListener('hello', (e) => { hello(JSON.parse(e.data)); status('live', 'live'); });
    events.addEventListener('record', (e) => record(JSON.parse(e.data)));
    events.addEventListener('dropped', (e) => { view.dropped += JSON.parse(e.data).dropped; });
    events.addEventListener('skipped', (e) => { view.skipped = JSON.parse(e.data).skipped; });
    events.addEventListener('ended', (e) => {
      view.ended = JSON.parse(e.data).reason;
      status('ended: ' + view.ended, 'ended');
      events.close();
    });
    events.onerror = () => {
      if (view.ended) return;
      if (view.kind) { status('disconnected', 'ended'); return; }
      events.close(); // refused from the start: no retrying
      why().then((text) => { if (!view.ended) status(text, 'ended'); });
    };
  }
  requestAnimationFrame(draw);
})();

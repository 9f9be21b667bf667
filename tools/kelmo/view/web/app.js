// kelmo view's page: a scope and a spectrum of the acquisition the server
// runs, drawn with uPlot from the frames it sends over the WebSocket (the
// layout of both ways is in protocol.h beside this folder).
'use strict';
(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);

  // ---- frames ------------------------------------------------------------
  const MAGIC = 0x3157564b, SCOPE = 1, SPECTRUM = 2, TRIGGERED = 1, HEADER = 48;

  // A binary frame as its header and, per channel, its two float32 rows
  // (views into the message's buffer); null for anything else.
  function parseFrame(buf) {
    if (buf.byteLength < HEADER) return null;
    const v = new DataView(buf);
    if (v.getUint32(0, true) !== MAGIC) return null;
    const f = {
      kind: v.getUint16(4, true),
      channels: v.getUint16(6, true),
      seq: v.getUint32(8, true),
      columns: v.getUint32(12, true),
      rate: v.getFloat64(16, true),
      first: Number(v.getBigUint64(24, true)),
      per: v.getUint32(32, true),
      flags: v.getUint32(36, true),
      trigger: v.getFloat64(40, true),
      a: [],
      b: [],
    };
    const row = f.columns * 4;
    if (buf.byteLength < HEADER + f.channels * 2 * row) return null;
    // Float32Array reads in the machine's order: little-endian on every
    // platform a browser runs on, as the frames are.
    for (let c = 0; c < f.channels; c++) {
      const at = HEADER + c * 2 * row;
      f.a.push(new Float32Array(buf, at, f.columns));
      f.b.push(new Float32Array(buf, at + row, f.columns));
    }
    return f;
  }

  // ---- numbers -----------------------------------------------------------
  function fmtNum(v, digits = 4) {
    if (v == null || !Number.isFinite(v)) return '—';
    if (v === 0) return '0';
    const a = Math.abs(v);
    if (a >= 10 ** digits) return v.toFixed(0);
    const s = v.toPrecision(digits);
    return s.includes('e') ? s : s.replace(/(\.\d*?)0+$/, '$1').replace(/\.$/, '');
  }
  function fmtSI(v, unit, digits = 4) {
    if (v == null || !Number.isFinite(v)) return '—';
    const a = Math.abs(v);
    const p = a === 0 ? [1, ''] : a >= 1e6 ? [1e-6, 'M'] : a >= 1e3 ? [1e-3, 'k'] : a >= 1 ? [1, '']
      : a >= 1e-3 ? [1e3, 'm'] : a >= 1e-6 ? [1e6, 'µ'] : [1e9, 'n'];
    return `${fmtNum(v * p[0], digits)} ${p[1]}${unit}`;
  }
  const fmtTime = (s) => fmtSI(s, 's');
  const fmtHz = (hz) => fmtSI(hz, 'Hz');
  // The card's unit where the server names it by its symbol; "units" (of
  // the card's full scale) where it gives none, or a description.
  const unitName = () => (S.unit && S.unit.length <= 8 ? S.unit : 'units');
  const fmtCount = (n) => (n == null ? '—' : Number(n).toLocaleString('en-US'));

  // The 1-2-5 steps from lo to hi.
  function steps125(lo, hi) {
    const out = [];
    for (let e = Math.floor(Math.log10(lo)) - 1; e <= Math.ceil(Math.log10(hi)) + 1; e++) {
      for (const m of [1, 2, 5]) {
        const v = Number((m * 10 ** e).toPrecision(3));
        if (v >= lo * (1 - 1e-9) && v <= hi * (1 + 1e-9)) out.push(v);
      }
    }
    return out;
  }

  // A colour per channel, the same in the scope, the spectrum and the lists.
  const PALETTE = ['#f2c14e', '#5ec8f2', '#f27a9b', '#7ee08a', '#c49bff', '#ff9f5a', '#5af2d0', '#e0e0e0'];
  function colour(ch, alpha = 1) {
    const base = PALETTE[ch % PALETTE.length];
    if (alpha >= 1) return base;
    const n = parseInt(base.slice(1), 16);
    return `rgba(${n >> 16},${(n >> 8) & 255},${n & 255},${alpha})`;
  }

  // ---- what the page knows ------------------------------------------------
  const S = {
    ws: null,
    connected: false,
    hello: null,
    state: null,
    config: null, // the running acquisition's, from "state"
    kept: 0, // seconds of every channel the server keeps
    unit: '',
    fullScale: 5000,
    view: {
      columns: 0,
      seconds: 0.1,
      mode: 'run',
      trigger: { slope: 'off', channel: 0, level: 0, pre: 0.1 },
      average: 1,
      bins: 1024,
    },
    layout: 'overlaid',
    ampPerDiv: 2000,
    floor: -120,
    floorAuto: true,
    floorSet: false,
    logHz: true,
    formDirty: false,
    pendingScope: null,
    pendingSpectrum: null,
    lastScope: null,
    lastSpectrum: null,
    scopeChannels: [], // the channels the scope plots were made for
    spectrumChannels: [],
    drawnFrames: 0,
    drawTimes: [],
    retry: 500,
  };

  // Read-only for whoever looks from outside (the browser tests).
  Object.defineProperty(window, 'kelmoView', {
    value: Object.freeze({
      get lastScope() { return S.lastScope; },
      get lastSpectrum() { return S.lastSpectrum; },
      get state() { return S.state; },
      get drawnFrames() { return S.drawnFrames; },
    }),
    writable: false,
    configurable: false,
  });

  function send(msg) {
    if (S.ws && S.ws.readyState === WebSocket.OPEN) S.ws.send(JSON.stringify(msg));
  }
  function sendView() {
    const cols = scopeColumns();
    if (cols > 0) S.view.columns = cols;
    send({ type: 'view', ...S.view, trigger: { ...S.view.trigger } });
  }

  // ---- scope --------------------------------------------------------------
  const DIVS_X = 10, DIVS_Y = 8, Y_AXIS = 72, LABEL = 18;
  // Room for the last time's label, so that every plot is as wide.
  const PADDING = [10, 28, 0, 0];
  let scopePlots = [];

  function xRange() {
    const sec = S.view.seconds;
    return S.view.trigger.slope === 'off' ? [0, sec] : [-S.view.trigger.pre * sec, (1 - S.view.trigger.pre) * sec];
  }
  const yRange = () => [-S.ampPerDiv * DIVS_Y / 2, S.ampPerDiv * DIVS_Y / 2];
  function divSplits(lo, hi, n) {
    const out = [];
    for (let i = 0; i <= n; i++) out.push(lo + (hi - lo) * i / n);
    return out;
  }

  function scopeHeight(n) {
    if (S.layout === 'overlaid' || n <= 1) return 380;
    return Math.max(110, Math.floor(400 / n));
  }

  function makeScopePlot(chans, height, withXAxis) {
    const series = [{}];
    const bands = [];
    for (const ch of chans) {
      series.push({ label: `ch${ch} max`, stroke: colour(ch), width: 1, points: { show: false } });
      series.push({ label: `ch${ch} min`, stroke: colour(ch), width: 1, points: { show: false } });
      // The span between them filled, where there are few traces: filling
      // costs more than the lines, and with many the lines alone show it.
      if (chans.length <= 2) bands.push({ series: [series.length - 2, series.length - 1], fill: colour(ch, 0.35) });
    }
    const grid = { stroke: 'rgba(255,255,255,0.12)', width: 1 };
    const opts = {
      width: scopeWidth(),
      height,
      padding: withXAxis ? PADDING : [PADDING[0], PADDING[1], 10, PADDING[3]],
      series,
      bands,
      legend: { show: false },
      cursor: { sync: { key: 'kelmo-scope' }, drag: { x: false, y: false }, points: { show: false } },
      scales: {
        x: { time: false, range: () => xRange() },
        y: { range: () => yRange() },
      },
      axes: [
        {
          // A plot above another shows its divisions, not their times.
          stroke: '#aab', grid, ticks: grid, size: withXAxis ? 36 : 2,
          splits: (u, i, lo, hi) => divSplits(lo, hi, DIVS_X),
          // Every division's time where there is room, else every other one.
          values: (u, vals) => {
            if (!withXAxis) return vals.map(() => '');
            const every = u.bbox.width / uPlot.pxRatio / DIVS_X >= 75 ? 1 : 2;
            return vals.map((v, i) => (i % every === 0 ? fmtTime(Math.abs(v) < 1e-12 ? 0 : v) : ''));
          },
        },
        {
          stroke: '#aab', grid, ticks: grid, size: Y_AXIS - LABEL, label: unitName(), labelSize: LABEL,
          splits: (u, i, lo, hi) => divSplits(lo, hi, DIVS_Y),
          values: (u, vals) => vals.map((v, i) => (i % 2 === 0 ? fmtNum(v, 3) : '')),
        },
      ],
      hooks: { setCursor: [showScopeCursor], draw: [drawTriggerMarks] },
    };
    const el = document.createElement('div');
    el.className = 'plot';
    $('scope-plots').appendChild(el);
    const u = new uPlot(opts, emptyData(1 + 2 * chans.length), el);
    u.kelmoChannels = chans;
    return u;
  }

  function emptyData(n) {
    return Array.from({ length: n }, () => new Float64Array(0));
  }

  function scopeWidth() {
    return Math.max(200, Math.floor($('scope-plots').clientWidth));
  }
  // The plot's own width in pixels (inside its axes): a column per pixel.
  function scopeColumns() {
    const u = scopePlots[0];
    if (u) return Math.max(1, Math.round(u.bbox.width / uPlot.pxRatio));
    return Math.max(1, scopeWidth() - Y_AXIS);
  }

  function buildScopePlots(chans) {
    for (const u of scopePlots) u.destroy();
    $('scope-plots').textContent = '';
    scopePlots = [];
    if (S.layout === 'stacked' && chans.length > 1) {
      chans.forEach((ch, i) => scopePlots.push(makeScopePlot([ch], scopeHeight(chans.length), i === chans.length - 1)));
    } else {
      scopePlots.push(makeScopePlot(chans, scopeHeight(1), true));
    }
    S.scopeChannels = chans.slice();
    if (S.lastScope) setScopeData(S.lastScope);
  }

  // The frame's columns on the time axis: seconds from the trigger when the
  // trigger is on (from where it would be, for a frame that found none),
  // else from the frame's first sample.
  function scopeTimes(f) {
    let ref = f.first;
    if (f.triggered && f.trigger >= 0) ref = f.trigger;
    else if (S.view.trigger.slope !== 'off') ref = f.first + S.view.trigger.pre * f.columns * f.per;
    const x = new Float64Array(f.columns);
    for (let i = 0; i < f.columns; i++) x[i] = (f.first + i * f.per - ref) / f.rate;
    return x;
  }

  function setScopeData(f) {
    const x = scopeTimes(f);
    // The frame's channels are the acquisition's, in its order.
    for (const u of scopePlots) {
      const data = [x];
      for (const ch of u.kelmoChannels) {
        const k = S.scopeChannels.indexOf(ch);
        const ok = k >= 0 && k < f.channels;
        data.push(ok ? f.max[k] : new Float32Array(f.columns).fill(NaN));
        data.push(ok ? f.min[k] : new Float32Array(f.columns).fill(NaN));
      }
      u.setData(data);
    }
  }

  // Where the trigger is: the time of its crossing and, on its channel's
  // plot, its level.
  function drawTriggerMarks(u) {
    const t = S.view.trigger;
    if (t.slope === 'off') return;
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    ctx.save();
    ctx.setLineDash([4, 4]);
    ctx.lineWidth = uPlot.pxRatio;
    ctx.strokeStyle = 'rgba(255,255,255,0.55)';
    const x = Math.round(u.valToPos(0, 'x', true));
    if (x >= left && x <= left + width) {
      ctx.beginPath();
      ctx.moveTo(x, top);
      ctx.lineTo(x, top + height);
      ctx.stroke();
    }
    if (u.kelmoChannels.includes(t.channel)) {
      const y = Math.round(u.valToPos(t.level, 'y', true));
      if (y >= top && y <= top + height) {
        ctx.strokeStyle = colour(t.channel, 0.8);
        ctx.beginPath();
        ctx.moveTo(left, y);
        ctx.lineTo(left + width, y);
        ctx.stroke();
      }
    }
    ctx.restore();
  }

  function showScopeCursor(u) {
    const i = u.cursor.idx;
    const f = S.lastScope;
    if (i == null || !f || u.cursor.left < 0) {
      $('scope-readout').innerHTML = '&nbsp;';
      return;
    }
    const t = u.data[0][i];
    const parts = [`<b>${fmtTime(t)}</b>`];
    const yv = u.posToVal(u.cursor.top, 'y');
    if (Number.isFinite(yv) && u.cursor.top >= 0) parts.push(`cursor ${fmtNum(yv)} ${unitName()}`);
    S.scopeChannels.forEach((ch, k) => {
      if (k >= f.channels) return;
      const lo = f.min[k][i], hi = f.max[k][i];
      const v = f.per === 1 || lo === hi ? fmtNum(hi) : `${fmtNum(lo)} … ${fmtNum(hi)}`;
      parts.push(`<span style="color:${colour(ch)}">ch${ch} ${v} ${unitName()}</span>`);
    });
    $('scope-readout').innerHTML = parts.join(' &nbsp; ');
  }

  // ---- spectrum -----------------------------------------------------------
  let spectrumPlot = null;
  function buildSpectrumPlot(chans) {
    if (spectrumPlot) spectrumPlot.destroy();
    $('spectrum-plot').textContent = '';
    const series = [{}];
    for (const ch of chans) {
      series.push({ label: `ch${ch} FFT`, stroke: colour(ch), width: 1, points: { show: false } });
      series.push({ label: `ch${ch} MEM`, stroke: colour(ch), width: 1.5, dash: [6, 4], points: { show: false } });
    }
    const grid = { stroke: 'rgba(255,255,255,0.12)', width: 1 };
    const el = document.createElement('div');
    el.className = 'plot';
    $('spectrum-plot').appendChild(el);
    spectrumPlot = new uPlot({
      width: scopeWidth(),
      height: 260,
      padding: PADDING,
      series,
      legend: { show: false },
      cursor: { drag: { x: true, y: false }, points: { show: false } },
      scales: {
        x: S.logHz ? { time: false, distr: 3, log: 10, range: (u, lo, hi) => [lo, hi] } : { time: false },
        y: { range: () => [S.floor, 10] },
      },
      axes: [
        {
          stroke: '#aab', grid, ticks: grid,
          ...(S.logHz ? { splits: (u, i, lo, hi) => logSplits(lo, hi) } : {}),
          values: (u, vals) => vals.map((v) => (v == null || (S.logHz && !/^[125]/.test(v.toExponential())) ? '' : fmtHz(v))),
        },
        { stroke: '#aab', grid, ticks: grid, size: Y_AXIS - LABEL, label: 'dB', labelSize: LABEL },
      ],
      hooks: { setCursor: [showSpectrumCursor] },
    }, emptyData(1 + 2 * chans.length), el);
    S.spectrumChannels = chans.slice();
    if (S.lastSpectrum) setSpectrumData(S.lastSpectrum);
  }

  // 1 to 9 times each power of ten from lo to hi.
  function logSplits(lo, hi) {
    const out = [];
    if (!(lo > 0) || !(hi > lo)) return out;
    for (let e = Math.floor(Math.log10(lo)); e <= Math.ceil(Math.log10(hi)); e++) {
      for (let m = 1; m <= 9; m++) {
        const v = Number((m * 10 ** e).toPrecision(2));
        if (v >= lo && v <= hi) out.push(v);
      }
    }
    return out;
  }

  let binAxis = { n: 0, hz: 0, x: new Float64Array(0) };
  function setSpectrumData(f) {
    const n = f.fft.length ? f.fft[0].length : 0;
    if (binAxis.n !== n || binAxis.hz !== f.binHz) {
      const x = new Float64Array(n);
      for (let i = 0; i < n; i++) x[i] = i * f.binHz;
      binAxis = { n, hz: f.binHz, x };
    }
    // On a logarithmic axis from the first bin above 0 Hz.
    const from = S.logHz ? Math.min(1, n) : 0;
    const data = [binAxis.x.subarray(from)];
    S.spectrumChannels.forEach((ch, k) => {
      const ok = k < f.fft.length;
      data.push(ok ? f.fft[k].subarray(from) : new Float32Array(n - from).fill(NaN));
      data.push(ok ? f.mem[k].subarray(from) : new Float32Array(n - from).fill(NaN));
    });
    if (S.floorAuto) autoFloor(data);
    // Keeps a zoom the user made (a drag on the plot, undone by a double click).
    const zoomed = spectrumPlot.kelmoZoomed;
    spectrumPlot.setData(data, !zoomed);
  }

  // The floor of the dB axis below nearly all of the spectra, in steps of
  // 20 dB; it follows a floor that sinks at once and one that rises by
  // more than 40 dB, so that it does not jump with every frame.
  function autoFloor(data) {
    const sample = [];
    for (let s = 1; s < data.length; s++) {
      const row = data[s];
      const step = Math.max(1, Math.floor(row.length / 256));
      for (let i = 0; i < row.length; i += step) if (Number.isFinite(row[i])) sample.push(row[i]);
    }
    if (!sample.length) return;
    sample.sort((a, b) => a - b);
    const low = sample[Math.floor(sample.length * 0.02)];
    const target = Math.min(-40, Math.max(-200, Math.floor((low - 10) / 20) * 20));
    if (!S.floorSet || target < S.floor || target > S.floor + 40) {
      S.floor = target;
      S.floorSet = true;
    }
  }

  function showSpectrumCursor(u) {
    const i = u.cursor.idx;
    const f = S.lastSpectrum;
    if (i == null || !f || u.cursor.left < 0) {
      $('spectrum-readout').innerHTML = '&nbsp;';
      return;
    }
    const parts = [`<b>${fmtHz(u.data[0][i])}</b>`];
    S.spectrumChannels.forEach((ch, k) => {
      if (k >= f.fft.length) return;
      const fft = u.data[1 + 2 * k][i], mem = u.data[2 + 2 * k][i];
      parts.push(`<span style="color:${colour(ch)}">ch${ch} FFT ${fmtNum(fft, 3)} dB, MEM ${fmtNum(mem, 3)} dB</span>`);
    });
    $('spectrum-readout').innerHTML = parts.join(' &nbsp; ');
  }

  // ---- drawing: the newest frame of each kind, once per animation frame ----
  let drawQueued = false;
  function queueDraw() {
    if (drawQueued) return;
    drawQueued = true;
    requestAnimationFrame(draw);
  }

  function draw() {
    drawQueued = false;
    const drawn = [];
    const sf = S.pendingScope;
    if (sf) {
      S.pendingScope = null;
      const chans = frameChannels(sf);
      const f = Object.freeze({
        seq: sf.seq, channels: sf.channels, columns: sf.columns, per: sf.per, first: sf.first, rate: sf.rate,
        min: sf.a, max: sf.b, triggered: (sf.flags & TRIGGERED) !== 0, trigger: sf.trigger,
      });
      if (!sameList(S.scopeChannels, chans)) buildScopePlots(chans);
      S.lastScope = f;
      setScopeData(f);
      drawn.push(f.seq);
      $('f-per').textContent = `${f.per} sample${f.per === 1 ? '' : 's'}`;
      if (S.view.mode === 'single' && (f.triggered || S.view.trigger.slope === 'off')) {
        // One capture is held on the screen until Run.
        S.view.mode = 'stop';
        showMode();
        sendView();
      }
    }
    const pf = S.pendingSpectrum;
    if (pf) {
      S.pendingSpectrum = null;
      const chans = frameChannels(pf);
      if (!sameList(S.spectrumChannels, chans)) buildSpectrumPlot(chans);
      S.lastSpectrum = Object.freeze({ seq: pf.seq, binHz: pf.trigger, channels: pf.channels, fft: pf.a, mem: pf.b });
      setSpectrumData(S.lastSpectrum);
      drawn.push(pf.seq);
    }
    if (!drawn.length) return;
    // uPlot paints in a microtask of its own; the reports go after it.
    queueMicrotask(() => {
      S.drawTimes.push(performance.now());
      for (const seq of drawn) {
        S.drawnFrames++;
        send({ type: 'drawn', seq });
      }
    });
  }

  // The acquisition's channels, in its order; numbered from 0 for a frame
  // that does not match them (one that came before the "state" of its run).
  function frameChannels(f) {
    const chans = S.config ? S.config.channels : [];
    return chans.length === f.channels ? chans : Array.from({ length: f.channels }, (_, i) => i);
  }

  const sameList = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);

  function onFrame(buf) {
    const f = parseFrame(buf);
    if (!f) return;
    if (f.kind === SCOPE) {
      // Stopped, the screen keeps what it shows (the spectra too).
      if (S.view.mode === 'stop') return;
      if (S.view.mode === 'single' && S.view.trigger.slope !== 'off' && !(f.flags & TRIGGERED)) return;
      S.pendingScope = f;
    } else if (f.kind === SPECTRUM) {
      if (S.view.mode === 'stop') return;
      S.pendingSpectrum = f;
    } else {
      return;
    }
    queueDraw();
  }

  // ---- messages -------------------------------------------------------------
  function onHello(m) {
    S.hello = m;
    $('read-only').hidden = !m.readOnly;
    fillCards();
    setFormEnabled();
  }

  function onState(m) {
    S.state = m;
    const prev = S.config;
    if (m.config) S.config = { ...m.config, channels: (m.config.channels || []).slice() };
    const unitChanged = m.unit != null && m.unit !== S.unit;
    if (unitChanged) S.unit = m.unit;
    if ((m.fullScale && m.fullScale !== S.fullScale) || unitChanged) {
      if (m.fullScale) S.fullScale = m.fullScale;
      fillAmpSteps();
    }
    const keptChanged = m.kept !== S.kept;
    S.kept = m.kept;
    const changed = !prev || !S.config || prev.rate !== S.config.rate || prev.card !== S.config.card
      || !sameList(prev.channels, S.config.channels) || keptChanged;
    if (changed && S.config) {
      fillTimeSteps();
      fillTriggerChannels();
    }
    if (S.config && (unitChanged || !sameList(S.scopeChannels, S.config.channels))) buildScopePlots(S.config.channels);
    if (S.config && !sameList(S.spectrumChannels, S.config.channels)) buildSpectrumPlot(S.config.channels);
    if (S.config && !S.formDirty) showConfig(S.config);
    showState(m);
  }

  function showState(m) {
    const st = m.state || 'unknown';
    const badge = $('state');
    badge.textContent = st;
    badge.dataset.state = st;
    document.body.dataset.state = st;
    const card = S.hello && S.config ? S.hello.cards.find((c) => c.type === S.config.card) : null;
    $('card-name').textContent = card ? `card ${card.type}: ${card.name || ''}` : '';
    const alert = $('alert');
    if (st === 'failed') {
      alert.textContent = `Acquisition failed: ${m.reason || 'no reason given'}`;
      alert.hidden = false;
    } else if (S.connected) {
      alert.hidden = true;
    }
    // What the server says is amiss for this page: a configuration it
    // refused, a scope that gets no frames.
    const notice = $('notice');
    const said = m.notice || (st !== 'failed' ? m.reason : '');
    notice.hidden = !said;
    if (!notice.hidden) notice.textContent = said;

    $('f-state').textContent = st;
    $('f-rate').textContent = m.rate ? fmtHz(m.rate) : '—';
    $('f-blocks').textContent = fmtCount(m.blocks);
    $('f-gaps').textContent = fmtCount(m.gaps);
    $('f-gaps').classList.toggle('bad', m.gaps > 0);
    $('f-samples').textContent = fmtCount(m.samples);
    $('f-server-fps').textContent = m.serverFps != null ? fmtNum(m.serverFps, 3) : '—';
    $('f-dropped').textContent = fmtCount(m.dropped);
    // Below 0: no frame drawn yet to measure it by.
    $('f-latency').textContent = m.latencyMs >= 0 ? `${fmtNum(m.latencyMs, 3)} ms` : '—';
    showPageFps();
    $('f-trigger').textContent = m.trigger || '—';
    $('trig-unit').textContent = unitName();
    $('trig-unit').title = S.unit;

    const body = $('dominant').tBodies[0];
    body.textContent = '';
    const chans = S.config ? S.config.channels : [];
    (m.dominant || []).forEach((d, k) => {
      const tr = body.insertRow();
      const ch = chans[k] ?? k;
      tr.dataset.channel = ch;
      tr.insertCell().innerHTML = `<span style="color:${colour(ch)}">ch${ch}</span>`;
      tr.insertCell().textContent = d && Number.isFinite(d.hz) ? fmtHz(d.hz) : '—';
      tr.insertCell().textContent = d && Number.isFinite(d.db) ? `${fmtNum(d.db, 3)} dB` : '—';
    });
  }

  // ---- controls -----------------------------------------------------------
  function fillSelect(sel, values, label, selected) {
    sel.textContent = '';
    for (const v of values) {
      const o = document.createElement('option');
      o.value = String(v);
      o.textContent = label(v);
      sel.appendChild(o);
    }
    if (selected != null) sel.value = String(selected);
  }

  function fillTimeSteps() {
    const rate = (S.state && S.state.rate) || (S.config && S.config.rate) || 10000;
    // From ten samples on the screen to ten seconds, or to what the server
    // keeps of every channel.
    const most = S.kept > 0 ? Math.min(1, S.kept / DIVS_X) : 1;
    const list = steps125(Math.min(1 / rate, most), most);
    const want = S.view.seconds / DIVS_X;
    const pick = list.find((v) => v >= want * (1 - 1e-9)) ?? list[list.length - 1];
    fillSelect($('time-div'), list, (v) => `${fmtTime(v)}/div`, pick);
    const changed = Math.abs(S.view.seconds - pick * DIVS_X) > 1e-12;
    S.view.seconds = pick * DIVS_X;
    if (changed) sendView();
  }

  function fillAmpSteps() {
    const fs = S.fullScale;
    const list = steps125(fs / 10000, fs);
    // Full scale on the screen, at first.
    const want = S.ampPerDivSet ? S.ampPerDiv : fs / (DIVS_Y / 2);
    const pick = list.find((v) => v >= want * (1 - 1e-9)) ?? list[list.length - 1];
    fillSelect($('amp-div'), list, (v) => `${fmtNum(v)} ${unitName()}/div`, pick);
    S.ampPerDiv = pick;
    redrawScales();
  }

  function fillTriggerChannels() {
    const chans = S.config ? S.config.channels : [];
    const sel = $('trig-channel');
    const keep = chans.includes(S.view.trigger.channel) ? S.view.trigger.channel : chans[0] ?? 0;
    fillSelect(sel, chans, (c) => `${c}`, keep);
    S.view.trigger.channel = keep;
  }

  function fillCards() {
    const cards = (S.hello && S.hello.cards) || [];
    fillSelect($('cfg-card'), cards.map((c) => c.type), (t) => {
      const c = cards.find((x) => x.type === t);
      return c.name ? `${t} — ${c.name}` : `${t}`;
    }, S.config ? S.config.card : null);
    fillCardChoices();
    if (S.config) showConfig(S.config);
  }

  const currentCard = () => {
    const t = Number($('cfg-card').value);
    return ((S.hello && S.hello.cards) || []).find((c) => c.type === t);
  };

  // The rates, gains and channels of the card chosen in the form, keeping
  // what was chosen where the card has it.
  function fillCardChoices() {
    const card = currentCard();
    if (!card) return;
    const rate = Number($('cfg-rate').value) || (S.config && S.config.rate);
    const gain = Number($('cfg-gain').value) || (S.config && S.config.gain);
    const rates = (card.rates || []).slice().sort((a, b) => a - b);
    fillSelect($('cfg-rate'), rates, fmtHz, rates.includes(rate) ? rate : rates[0]);
    fillSelect($('cfg-gain'), card.gains || [1], (g) => `×${g}`, (card.gains || [1]).includes(gain) ? gain : (card.gains || [1])[0]);
    const box = $('cfg-channels');
    const ticked = new Set(checkedChannels());
    box.textContent = '';
    for (let c = 0; c < card.channels; c++) {
      const l = document.createElement('label');
      const i = document.createElement('input');
      i.type = 'checkbox';
      i.value = String(c);
      i.checked = ticked.has(c);
      l.appendChild(i);
      l.appendChild(document.createTextNode(String(c)));
      box.appendChild(l);
    }
    setFormEnabled();
  }

  const checkedChannels = () =>
    Array.from($('cfg-channels').querySelectorAll('input:checked')).map((i) => Number(i.value));

  function showConfig(cfg) {
    if ($('cfg-card').value !== String(cfg.card)) {
      $('cfg-card').value = String(cfg.card);
      fillCardChoices();
    }
    $('cfg-rate').value = String(cfg.rate);
    $('cfg-gain').value = String(cfg.gain);
    for (const i of $('cfg-channels').querySelectorAll('input')) i.checked = cfg.channels.includes(Number(i.value));
    S.formDirty = false;
    $('cfg-hint').textContent = '';
  }

  function setFormEnabled() {
    const ro = !S.hello || S.hello.readOnly || !S.connected;
    for (const el of $('config').querySelectorAll('select, input, button')) el.disabled = ro;
    $('cfg-hint').textContent = S.hello && S.hello.readOnly ? 'this view is read-only' : $('cfg-hint').textContent;
  }

  function markDirty() {
    S.formDirty = true;
    $('cfg-hint').textContent = checkedChannels().length ? 'not applied yet' : 'choose a channel';
  }

  function applyConfig(ev) {
    ev.preventDefault();
    if (!S.hello || S.hello.readOnly) return;
    const channels = checkedChannels();
    if (!channels.length) {
      $('cfg-hint').textContent = 'choose a channel';
      return;
    }
    send({
      type: 'config',
      card: Number($('cfg-card').value),
      rate: Number($('cfg-rate').value),
      channels,
      gain: Number($('cfg-gain').value),
    });
    S.formDirty = false;
    $('cfg-hint').textContent = 'applying…';
  }

  function showMode() {
    for (const b of document.querySelectorAll('button.mode')) b.classList.toggle('on', b.dataset.mode === S.view.mode);
  }

  function redrawScales() {
    for (const u of scopePlots) u.redraw(true, true);
    if (spectrumPlot) spectrumPlot.redraw(true, true);
  }

  function readTrigger() {
    const t = S.view.trigger;
    t.slope = $('trig-slope').value;
    t.channel = Number($('trig-channel').value);
    const level = Number($('trig-level').value);
    if (Number.isFinite(level)) t.level = level;
    const pre = Number($('trig-pre').value);
    if (Number.isFinite(pre)) t.pre = Math.min(1, Math.max(0, pre));
    $('trig-status').textContent = '';
  }

  function wireControls() {
    for (const b of document.querySelectorAll('button.mode')) {
      b.addEventListener('click', () => {
        S.view.mode = b.dataset.mode;
        showMode();
        sendView();
      });
    }
    $('time-div').addEventListener('change', () => {
      S.view.seconds = Number($('time-div').value) * DIVS_X;
      redrawScales();
      sendView();
    });
    $('amp-div').addEventListener('change', () => {
      S.ampPerDiv = Number($('amp-div').value);
      S.ampPerDivSet = true;
      redrawScales();
    });
    $('layout').addEventListener('change', () => {
      S.layout = $('layout').value;
      buildScopePlots(S.config ? S.config.channels : []);
    });
    for (const id of ['trig-slope', 'trig-channel', 'trig-level', 'trig-pre']) {
      $(id).addEventListener('change', () => {
        readTrigger();
        redrawScales();
        sendView();
      });
    }
    $('average').addEventListener('change', () => {
      S.view.average = Number($('average').value);
      sendView();
    });
    $('bins').addEventListener('change', () => {
      S.view.bins = Number($('bins').value);
      sendView();
    });
    $('floor').addEventListener('change', () => {
      S.floorAuto = $('floor').value === 'auto';
      S.floorSet = false;
      if (!S.floorAuto) S.floor = Number($('floor').value);
      else if (S.lastSpectrum) setSpectrumData(S.lastSpectrum);
      redrawScales();
    });
    $('freq-axis').addEventListener('change', () => {
      S.logHz = $('freq-axis').value === 'log';
      buildSpectrumPlot(S.config ? S.config.channels : []);
    });
    $('cfg-card').addEventListener('change', () => {
      fillCardChoices();
      markDirty();
    });
    for (const id of ['cfg-rate', 'cfg-gain', 'cfg-channels']) $(id).addEventListener('change', markDirty);
    $('cfg-none').addEventListener('click', () => {
      for (const i of $('cfg-channels').querySelectorAll('input')) i.checked = false;
      markDirty();
    });
    $('cfg-first8').addEventListener('click', () => {
      for (const i of $('cfg-channels').querySelectorAll('input')) i.checked = Number(i.value) < 8;
      markDirty();
    });
    $('config').addEventListener('submit', applyConfig);

    // A drag zooms the spectrum's frequencies, a double click undoes it.
    $('spectrum-plot').addEventListener('mouseup', () => {
      if (spectrumPlot && spectrumPlot.select.width > 0) spectrumPlot.kelmoZoomed = true;
    });
    $('spectrum-plot').addEventListener('dblclick', () => {
      if (spectrumPlot) spectrumPlot.kelmoZoomed = false;
    });

    let resizeTimer = 0;
    new ResizeObserver(() => {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(() => {
        const w = scopeWidth();
        const before = scopeColumns();
        for (const u of scopePlots) u.setSize({ width: w, height: u.height });
        if (spectrumPlot) spectrumPlot.setSize({ width: w, height: spectrumPlot.height });
        if (scopeColumns() !== before) sendView();
      }, 100);
    }).observe($('scope-plots'));
  }

  // ---- the connection -----------------------------------------------------
  function connect() {
    const proto = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const ws = new WebSocket(`${proto}//${location.host}/ws?token=${encodeURIComponent(token)}`);
    ws.binaryType = 'arraybuffer';
    S.ws = ws;
    ws.onopen = () => {
      S.connected = true;
      S.retry = 500;
      $('alert').hidden = true;
      sendView();
    };
    ws.onmessage = (ev) => {
      if (typeof ev.data !== 'string') {
        onFrame(ev.data);
        return;
      }
      let m;
      try {
        m = JSON.parse(ev.data);
      } catch {
        return;
      }
      if (m.type === 'hello') {
        onHello(m);
        sendView();
      } else if (m.type === 'state') {
        onState(m);
      }
    };
    ws.onclose = () => {
      if (S.ws !== ws) return;
      S.connected = false;
      S.ws = null;
      setFormEnabled();
      const badge = $('state');
      badge.textContent = 'disconnected';
      badge.dataset.state = 'failed';
      document.body.dataset.state = 'failed';
      const alert = $('alert');
      alert.textContent = 'The connection to kelmo view was lost; trying again…';
      alert.hidden = false;
      setTimeout(connect, S.retry);
      S.retry = Math.min(5000, S.retry * 2);
    };
  }

  // The page's own frame rate: frames drawn in the last second.
  function showPageFps() {
    const now = performance.now();
    while (S.drawTimes.length && S.drawTimes[0] < now - 1000) S.drawTimes.shift();
    $('f-page-fps').textContent = String(S.drawTimes.length);
  }
  setInterval(showPageFps, 250);

  if (!token) {
    const alert = $('alert');
    alert.textContent = 'This address has no token: open the address kelmo view printed.';
    alert.hidden = false;
  }
  $('average').value = String(S.view.average);
  $('bins').value = String(S.view.bins);
  $('floor').value = S.floorAuto ? 'auto' : String(S.floor);
  $('freq-axis').value = S.logHz ? 'log' : 'linear';
  $('trig-pre').value = String(S.view.trigger.pre);
  fillTimeSteps();
  fillAmpSteps();
  showMode();
  wireControls();
  buildScopePlots([]);
  buildSpectrumPlot([]);
  setFormEnabled();
  connect();
})();

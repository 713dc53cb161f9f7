// The live page: applies the session's events (from /events) to the view.
// Every event carries "seq"; a gap means this page fell behind and lost
// updates, so it fetches the whole state again and carries on from there.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);

  // ---- talking to tether-host: every request goes through here ----

  // The session's token arrives in the URL's fragment, which no browser
  // sends to any server; it stays with this tab for this origin (port
  // included) and goes out only as a header on our own requests. No cookie
  // is involved: cookies would reach every server on this address.
  const TOKEN = (() => {
    const m = /(?:^#|&)token=([0-9a-f]{32})(?:&|$)/.exec(location.hash);
    try {
      if (m) sessionStorage.setItem('token', m[1]);
      if (!m) return sessionStorage.getItem('token') || '';
    } catch (e) {
      // No storage here: the token lives in this page only (a reload asks for the link).
    }
    if (m) history.replaceState(null, '', location.pathname);  // out of the address bar
    return m ? m[1] : '';
  })();

  function api(path, options = {}) {
    const headers = { ...options.headers, Authorization: `Bearer ${TOKEN}` };
    return fetch(path, { cache: 'no-store', credentials: 'omit', ...options, headers });
  }

  // A saved file's URL carries a grant for that one file (an <img> or a
  // download link cannot send a header).
  function fileUrl(f, download = false) {
    return download ? `${f.url}&download=1` : f.url;
  }

  // The event stream, read as Server-Sent Events from a fetch() so that it
  // carries the token; resolves when the stream ends.
  async function readEvents(path, onEvent) {
    const response = await api(path, { headers: { Accept: 'text/event-stream' } });
    if (!response.ok) throw Object.assign(new Error(`HTTP ${response.status}`), { status: response.status });
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let text = '';
    onEvent(null);  // connected
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      text += decoder.decode(value, { stream: true });
      let end;
      while ((end = text.indexOf('\n\n')) >= 0) {
        const data = text.slice(0, end).split('\n')
          .filter((line) => line.startsWith('data:'))
          .map((line) => line.slice(line.startsWith('data: ') ? 6 : 5))
          .join('\n');
        text = text.slice(end + 2);
        if (data) onEvent(JSON.parse(data));
      }
    }
  }

  // ---- the session's pictures ----

  const KIND_LABELS = { jpeg: 'JPEG', dng: 'DNG', thumbnail: 'Thumbnail' };
  const KIND_ORDER = ['jpeg', 'dng', 'thumbnail'];
  // How far to turn a picture clockwise to show it upright, by the
  // orientation the task reported for it.
  const TURNS = { AB: 0, BC: 90, CD: 180, DA: 270 };
  const PAN_STEP = 120;  // pixels an arrow key pans at 100 %

  // The raw file ("dng" in URLs) keeps its camera's format: NEF, CR3, DNG, ...
  function kindLabel(kind, name) {
    const ext = kind === 'dng' && /\.([A-Za-z0-9]{1,5})$/.exec(name || '');
    return ext ? ext[1].toUpperCase() : KIND_LABELS[kind];
  }

  let seq = 0;
  let captures = new Map();  // capture id -> {id, number, name, time, orientation, rating, files, failed}
  let minRating = null;      // the filmstrip's filter: null all, -0.5 all but rejects, 1..5 picks
  let shown = null;          // capture id shown large
  let follow = true;         // show each new capture as it arrives
  let zoomed = false;        // 100 % (focus check) instead of fitted
  let pan = { x: 0, y: 0 };  // picture centre's offset from the view's centre, screen pixels
  let zoomStarted = null;
  let other = null;          // capture id compared beside the shown one
  let before = null;         // the capture shown before this one    // performance.now() when 100 % was asked for
  let hadCamera = false;
  let resyncing = null;      // events held while the state is fetched again

  function entry(id) {
    let c = captures.get(id);
    if (!c) {
      c = { id, number: 0, name: '', time: 0, orientation: 'AB', rating: 0, files: {}, failed: false };
      captures.set(id, c);
    }
    return c;
  }

  function turnOf(c) {
    return TURNS[c.orientation] || 0;
  }

  // A picture of an earlier session comes without the task's orientation:
  // the browser then follows the file's own tag.
  function orientImage(img, c) {
    img.style.imageOrientation = c.orientation ? 'none' : 'from-image';
  }

  function passes(c) {
    return minRating === null || c.rating >= minRating || c.id === shown;
  }

  // Newest first, as the filmstrip shows them, those the filter hides left out.
  function ordered() {
    return [...captures.values()].filter(passes).sort((a, b) => b.id - a.id);
  }

  function ratingText(r) {
    return r < 0 ? '✕' : '★'.repeat(r);
  }

  function newestId() {
    const all = ordered();
    return all.length ? all[0].id : null;
  }

  function formatSize(bytes) {
    if (bytes < 1024) return `${bytes} B`;
    if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(1)} KB`;
    return `${(bytes / (1024 * 1024)).toFixed(1)} MB`;
  }

  function notice(text) {
    $('notice-text').textContent = text;
    $('notice').hidden = false;
  }

  // The camera going takes live view along: both are told, in one notice.
  function joinNotice(text, kind) {
    const shown = $('notice');
    const other = kind === 'live' ? 'camera' : 'live';
    notice(!shown.hidden && shown.dataset.kind === other ? `${$('notice-text').textContent} ${text}` : text);
    shown.dataset.kind = kind;
  }

  // ---- the view ----

  function stripItem(c) {
    let button = document.querySelector(`#filmstrip [data-id="${c.id}"]`);
    if (!button) {
      button = document.createElement('button');
      button.type = 'button';
      button.dataset.id = String(c.id);
      button.append(document.createElement('img'), document.createElement('span'));
      button.addEventListener('click', () => select(c.id));
      const older = [...$('filmstrip').children].find((b) => Number(b.dataset.id) < c.id);
      $('filmstrip').insertBefore(button, older || null);
    }
    const img = button.querySelector('img');
    const thumb = c.files.thumbnail || c.files.jpeg;
    if (thumb && img.getAttribute('src') !== fileUrl(thumb)) img.src = fileUrl(thumb);
    img.alt = c.name || `Picture ${c.number}`;
    img.dataset.turn = String(turnOf(c));
    orientImage(img, c);
    button.querySelector('span').textContent = `${c.number || ''} ${ratingText(c.rating)}`.trim();
    button.classList.toggle('rejected', c.rating < 0);
    button.hidden = !passes(c);
    button.title = c.name || '';
    button.classList.toggle('failed', c.failed);
    button.setAttribute('aria-current', String(c.id === shown));
  }

  function fileRows(c) {
    const body = $('files').tBodies[0];
    body.replaceChildren();
    for (const kind of KIND_ORDER) {
      const f = c.files[kind];
      if (!f) continue;
      const row = body.insertRow();
      row.insertCell().textContent = kindLabel(kind, f.name);
      const size = row.insertCell();
      size.className = 'size';
      size.textContent = formatSize(f.size);
      const link = document.createElement('a');
      link.href = fileUrl(f, true);
      link.download = f.name;
      link.textContent = f.name;
      link.title = f.name;
      row.insertCell().append(link);
    }
  }

  // The exposure as it stood when the picture was taken.
  function takenWith(s) {
    const parts = [['ISO', s.iso], ['Aperture', s.aperture], ['Shutter', s.shutter],
      ['White balance', s.whiteBalance]];
    return parts.filter(([, v]) => v).map(([k, v]) => `${k} ${v}`).join(' · ');
  }

  // Under live view the line tells the camera's settings now, which is what
  // the frame shows; under a picture, the settings it was taken with.
  function renderTakenWith(c) {
    const s = live.shown ? confirmed : c && c.settings;
    $('taken-with').textContent = s ? takenWith(s) : '';
  }

  // Both views (the second only while comparing) share zoom and pan: the
  // pan is bounded by the larger of the two pictures.
  function layout() {
    if (live.shown) {
      layoutLive();
      return;
    }
    const views = [geometry($('view'), $('latest'), shown === null ? null : captures.get(shown))];
    if (other !== null) views.push(geometry($('view2'), $('latest2'), captures.get(other)));
    const shownViews = views.filter(Boolean);
    const limitX = Math.max(0, ...shownViews.map((g) => g.limitX));
    const limitY = Math.max(0, ...shownViews.map((g) => g.limitY));
    pan.x = Math.max(-limitX, Math.min(limitX, pan.x));
    pan.y = Math.max(-limitY, Math.min(limitY, pan.y));
    shownViews.forEach(place);
  }

  // The picture is laid out at its natural size in the middle of the view;
  // one transform turns it upright, scales it (fitted or 100 %) and pans it.
  function geometry(view, img, c) {
    if (!c || img.hidden || !img.naturalWidth) return null;
    orientImage(img, c);
    const w = img.naturalWidth;
    const h = img.naturalHeight;
    const turn = turnOf(c);
    const [dw, dh] = turn % 180 ? [h, w] : [w, h];
    const cw = view.clientWidth;
    const ch = view.clientHeight;
    const scale = zoomed ? 1 : Math.min(cw / dw, ch / dh);
    return {
      view, img, w, h, turn, cw, ch, scale,
      limitX: Math.max(0, (dw * scale - cw) / 2),
      limitY: Math.max(0, (dh * scale - ch) / 2),
    };
  }

  function place(g) {
    const style = {
      width: `${g.w}px`, height: `${g.h}px`, left: `${(g.cw - g.w) / 2}px`, top: `${(g.ch - g.h) / 2}px`,
      transform: `translate(${pan.x}px, ${pan.y}px) rotate(${g.turn}deg) scale(${g.scale})`,
    };
    Object.assign(g.img.style, style);
    if (g.img === $('latest')) Object.assign($('clipping').style, style);
    g.view.dataset.scale = String(g.scale);
  }

  // ---- exposure: histogram and clipping, from the picture's own pixels ----

  const SAMPLE_EDGE = 640;  // the long side the pixels are read at
  const HIGH = 250;         // a channel at or above this is blown
  const LOW = 5;            // every channel at or below this is blocked
  let showHistogram = true;
  let showClipping = false;
  let measured = '';        // the src the figures are of

  function measureExposure() {
    const img = $('latest');
    if (img.hidden || !img.complete || !img.naturalWidth || measured === img.src) return;
    measured = img.src;
    const k = Math.min(1, SAMPLE_EDGE / Math.max(img.naturalWidth, img.naturalHeight));
    const w = Math.max(1, Math.round(img.naturalWidth * k));
    const h = Math.max(1, Math.round(img.naturalHeight * k));
    const work = document.createElement('canvas');
    work.width = w;
    work.height = h;
    const ctx = work.getContext('2d', { willReadFrequently: true });
    ctx.drawImage(img, 0, 0, w, h);
    const px = ctx.getImageData(0, 0, w, h);
    const bins = { r: new Uint32Array(256), g: new Uint32Array(256), b: new Uint32Array(256), l: new Uint32Array(256) };
    const mask = new ImageData(w, h);
    let blown = 0;
    let blocked = 0;
    for (let i = 0; i < px.data.length; i += 4) {
      const r = px.data[i];
      const g = px.data[i + 1];
      const b = px.data[i + 2];
      bins.r[r]++;
      bins.g[g]++;
      bins.b[b]++;
      bins.l[Math.round(0.2126 * r + 0.7152 * g + 0.0722 * b)]++;
      if (r >= HIGH || g >= HIGH || b >= HIGH) {
        blown++;
        mask.data.set([255, 0, 0, 255], i);
      } else if (r <= LOW && g <= LOW && b <= LOW) {
        blocked++;
        mask.data.set([0, 90, 255, 255], i);
      }
    }
    const clip = $('clipping');
    clip.width = w;
    clip.height = h;
    clip.getContext('2d').putImageData(mask, 0, 0);
    drawHistogram(bins);
    const n = w * h;
    $('clip-figures').textContent =
      `Blown ${(100 * blown / n).toFixed(1)} % · blocked ${(100 * blocked / n).toFixed(1)} %`;
  }

  function drawHistogram(bins) {
    const canvas = $('histogram');
    const ctx = canvas.getContext('2d');
    const { width, height } = canvas;
    ctx.clearRect(0, 0, width, height);
    // A square-root scale, so that a spike does not flatten the rest.
    const top = Math.sqrt(Math.max(1, ...bins.l, ...bins.r, ...bins.g, ...bins.b));
    const curve = (values, colour, fill) => {
      ctx.beginPath();
      ctx.moveTo(0, height);
      for (let v = 0; v < 256; v++) ctx.lineTo((v / 255) * width, height - (Math.sqrt(values[v]) / top) * height);
      ctx.lineTo(width, height);
      if (fill) {
        ctx.fillStyle = colour;
        ctx.fill();
      } else {
        ctx.strokeStyle = colour;
        ctx.stroke();
      }
    };
    curve(bins.l, 'rgba(200, 200, 200, 0.45)', true);
    curve(bins.r, 'rgba(255, 80, 80, 0.9)', false);
    curve(bins.g, 'rgba(80, 220, 80, 0.9)', false);
    curve(bins.b, 'rgba(90, 140, 255, 0.9)', false);
  }

  function renderExposure() {
    $('exposure').hidden = !showHistogram;
    $('clipping').hidden = !showClipping || $('latest').hidden;
    $('clip-toggle').setAttribute('aria-pressed', String(showClipping));
    measureExposure();
  }

  function fullJpegReady(c) {
    const img = $('latest');
    return Boolean(c && c.files.jpeg) && img.getAttribute('src') === fileUrl(c.files.jpeg) &&
      img.complete && img.naturalWidth > 0;
  }

  // A capture with no JPEG (DNG only), or whose JPEG would not load, has
  // nothing to show at 100 %: while it is asked for, the loading state says
  // so over the fitted picture instead of loading for ever.
  function noteZoomUnavailable(c, loading) {
    const img = $('latest');
    const broken = Boolean(c && c.files.jpeg) && img.getAttribute('src') === fileUrl(c.files.jpeg) &&
      img.complete && img.naturalWidth === 0;
    const why = !loading || !c ? ''
      : !c.files.jpeg ? 'No JPEG to view at 100 % (DNG only): the thumbnail is shown fitted'
        : broken ? 'The full JPEG could not be loaded' : '';
    $('loading').textContent = why || 'Loading the full picture…';
    $('loading').dataset.state = why ? 'unavailable' : 'loading';
  }

  // The second picture of a comparison, zoomed and panned with the first.
  function renderOther() {
    const o = other === null ? null : captures.get(other);
    const best = o && (o.files.jpeg || o.files.thumbnail);
    const img = $('latest2');
    if (best && img.getAttribute('src') !== fileUrl(best)) img.src = fileUrl(best);
    img.hidden = !best;
    $('view2').hidden = !o;
    $('compare').setAttribute('aria-pressed', String(Boolean(o)));
    document.body.classList.toggle('comparing', Boolean(o));
    document.querySelectorAll('#filmstrip button').forEach((b) => {
      b.classList.toggle('compared', Number(b.dataset.id) === other);
    });
  }

  // Compares the picture shown with the one shown before it (else the next
  // older one), or ends the comparison.
  function toggleCompare() {
    if (other !== null || shown === null) {
      other = null;
    } else {
      const all = ordered();
      const at = all.findIndex((c) => c.id === shown);
      const fallback = all[at + 1] || all[at - 1];
      other = before !== null && before !== shown && captures.has(before) ? before
        : (fallback ? fallback.id : null);
    }
    renderShown();
  }

  function renderShown() {
    renderOther();
    $('clipping').hidden = true;  // until the picture's own marks are made
    const c = shown === null ? null : captures.get(shown);
    const best = c && (c.files.jpeg || c.files.thumbnail);
    const latest = $('latest');
    if (best && latest.getAttribute('src') !== fileUrl(best)) latest.src = fileUrl(best);
    latest.hidden = !best || live.shown;
    $('empty').hidden = Boolean(c) || live.shown;
    $('caption').textContent = live.shown ? 'Live view' : c
      ? `${c.number > 0 ? `#${c.number}  ` : ''}${c.name}  ${c.time ? new Date(c.time).toLocaleString() : ''}`
      : '';
    document.querySelectorAll('#rating button').forEach((b) => {
      b.setAttribute('aria-pressed', String(Boolean(c) && Number(b.dataset.value) === c.rating));
      b.disabled = !c;
    });
    renderTakenWith(c);
    if (c) fileRows(c); else $('files').tBodies[0].replaceChildren();
    document.querySelectorAll('#filmstrip button').forEach((b) => {
      const current = Number(b.dataset.id) === shown;
      b.setAttribute('aria-current', String(current));
      b.hidden = !passes(captures.get(Number(b.dataset.id)));
      if (current) {
        b.classList.remove('new');
        b.scrollIntoView({ block: 'nearest', inline: 'nearest' });
      }
    });
    renderZoom();
    renderExposure();
    renderLive();
  }

  // At 100 % only the full JPEG will do: the loading state shows until it
  // is decoded, and the view is never scaled up from the thumbnail.
  function renderZoom() {
    const c = shown === null ? null : captures.get(shown);
    const loading = zoomed && !live.shown && !fullJpegReady(c);
    $('view').classList.toggle('zoomed', zoomed && !loading);
    $('loading').hidden = !loading;
    $('zoom').setAttribute('aria-pressed', String(zoomed));
    noteZoomUnavailable(c, loading);
    if (!loading) layout();
    if (zoomed && !loading && zoomStarted !== null) {
      const started = zoomStarted;
      zoomStarted = null;
      $('latest').decode().catch(() => null).then(() => {
        requestAnimationFrame(() => requestAnimationFrame(() => {
          $('view').dataset.zoomPaintMs = (performance.now() - started).toFixed(1);
        }));
      });
    }
  }

  function show(id) {
    if (live.shown) {
      live.shown = false;
      zoomed = false;
      pan = { x: 0, y: 0 };
    }
    if (id !== shown) {
      if (other === null) {
        zoomed = false;
        pan = { x: 0, y: 0 };
      }
      if (shown !== null) before = shown;
    }
    shown = id;
    if (other === shown) other = null;
    renderShown();
  }

  // The photographer's choice: looking at anything but the newest picture
  // stops the view from following new captures.
  function select(id) {
    if (id === null) return;
    if (id !== newestId()) setFollow(false);
    show(id);
  }

  function setFollow(on) {
    follow = on;
    $('follow').setAttribute('aria-pressed', String(on));
    $('follow').textContent = on ? 'Following newest' : 'Follow newest';
    if (on) show(newestId());
  }

  // Toggles 100 %, keeping the picture's point under (x, y) (view pixels
  // from its top left; the centre when not given) where it was.
  function toggleZoom(x, y) {
    const view = $('view');
    const ux = (x === undefined ? view.clientWidth / 2 : x) - view.clientWidth / 2;
    const uy = (y === undefined ? view.clientHeight / 2 : y) - view.clientHeight / 2;
    if (zoomed) {
      zoomed = false;
      pan = { x: 0, y: 0 };
    } else {
      const fit = Number(view.dataset.scale) || 1;
      zoomed = true;
      zoomStarted = performance.now();
      pan = { x: ux - (ux - pan.x) / fit, y: uy - (uy - pan.y) / fit };
    }
    renderZoom();
  }

  function panBy(dx, dy) {
    pan = { x: pan.x + dx, y: pan.y + dy };
    layout();
  }

  // Ratings go to tether-host, which keeps them beside the picture and tells
  // every page; the view changes when that event comes back.
  function rate(value) {
    if (shown === null) return;
    api(`/rating/${shown}/${value}`, { method: 'POST' })
      .then((r) => {
        if (!r.ok) r.text().then((t) => notice(`The rating was not saved: ${t}`));
      })
      .catch(() => notice('tether-host cannot be reached.'));
  }

  function setFilter(value) {
    minRating = value === '' ? null : Number(value);
    captures.forEach(stripItem);
  }

  function ratingButtons() {
    for (const [value, label, title] of [[-1, '✕', 'Reject (x)'], [1, '★1', '1 star (1)'],
      [2, '★2', '2 stars (2)'], [3, '★3', '3 stars (3)'], [4, '★4', '4 stars (4)'],
      [5, '★5', '5 stars (5)'], [0, '–', 'No rating (0)']]) {
      const b = document.createElement('button');
      b.type = 'button';
      b.dataset.value = String(value);
      b.textContent = label;
      b.title = title;
      b.setAttribute('aria-pressed', 'false');
      b.addEventListener('click', () => rate(value));
      $('rating').append(b);
    }
  }

  function step(by) {
    const all = ordered();
    const at = all.findIndex((c) => c.id === shown);
    const next = all[Math.max(0, Math.min(all.length - 1, at + by))];
    if (next) select(next.id);
  }

  function toggleHelp(open = $('help').hidden) {
    $('help').hidden = !open;
  }

  // Click toggles 100 % at that point; a drag at 100 % pans instead.
  function pointerControls(view) {
    let drag = null;
    view.addEventListener('pointerdown', (e) => {
      drag = { x: e.clientX, y: e.clientY, moved: false };
      view.setPointerCapture(e.pointerId);
    });
    view.addEventListener('pointermove', (e) => {
      if (!drag || !zoomed) return;
      const dx = e.clientX - drag.x;
      const dy = e.clientY - drag.y;
      if (!drag.moved && Math.hypot(dx, dy) < 4) return;
      drag.moved = true;
      drag.x = e.clientX;
      drag.y = e.clientY;
      panBy(dx, dy);
    });
    view.addEventListener('pointerup', (e) => {
      if (drag && !drag.moved && (shown !== null || live.shown)) {
        const box = view.getBoundingClientRect();
        toggleZoom(e.clientX - box.left, e.clientY - box.top);
      }
      drag = null;
    });
    view.addEventListener('pointercancel', () => { drag = null; });
  }

  // One table of the page's keys: the help overlay is made from it.
  const KEYS = [
    { keys: ['Space'], what: 'Take a picture', run: () => capture() },
    { keys: ['z'], what: 'Focus check: 100 % or fitted', run: () => toggleZoom() },
    { keys: ['ArrowLeft'], label: '←', what: 'Newer picture (at 100 %: pan)', run: () => (zoomed ? panBy(PAN_STEP, 0) : step(-1)) },
    { keys: ['ArrowRight'], label: '→', what: 'Older picture (at 100 %: pan)', run: () => (zoomed ? panBy(-PAN_STEP, 0) : step(1)) },
    { keys: ['ArrowUp'], label: '↑', what: 'Pan up at 100 %', run: () => zoomed && panBy(0, PAN_STEP) },
    { keys: ['ArrowDown'], label: '↓', what: 'Pan down at 100 %', run: () => zoomed && panBy(0, -PAN_STEP) },
    { keys: ['Home'], what: 'Oldest picture', run: () => select(ordered().slice(-1)[0]?.id ?? null) },
    { keys: ['End'], what: 'Newest picture', run: () => select(newestId()) },
    { keys: ['1', '2', '3', '4', '5'], label: '1 … 5', what: 'Rate 1 to 5 stars', run: (key) => rate(Number(key)) },
    { keys: ['0'], what: 'Clear the rating', run: () => rate(0) },
    { keys: ['x'], what: 'Reject', run: () => rate(-1) },
    { keys: ['h'], what: 'Histogram on or off', run: () => { showHistogram = !showHistogram; renderExposure(); } },
    { keys: ['j'], what: 'Clipping marks on or off (red blown, blue blocked)', run: () => { showClipping = !showClipping; renderExposure(); } },
    { keys: ['l'], what: 'Live view: start it, back to it from a picture, or stop it', run: () => toggleLive() },
    { keys: ['c'], what: 'Compare with the picture shown before, or stop', run: () => toggleCompare() },
    { keys: ['f'], what: 'Follow newest on or off', run: () => setFollow(!follow) },
    { keys: ['?'], what: 'This help', run: () => toggleHelp() },
    { keys: ['Escape'], label: 'Esc', what: 'Close the help, leave 100 %', run: () => (!$('help').hidden ? toggleHelp(false) : zoomed && toggleZoom()) },
  ];

  function helpList() {
    const list = $('help-keys');
    for (const k of KEYS) {
      const dt = document.createElement('dt');
      const kbd = document.createElement('kbd');
      kbd.textContent = k.label || k.keys[0];
      dt.append(kbd);
      const dd = document.createElement('dd');
      dd.textContent = k.what;
      list.append(dt, dd);
    }
  }

  function onKey(e) {
    const t = e.target;
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    // A focused setting keeps its own keys (arrows step through its choices).
    if (t instanceof HTMLInputElement || t instanceof HTMLSelectElement || t.isContentEditable) return;
    const name = e.code === 'Space' ? 'Space' : e.key;
    // Space and Enter on a focused button press that button.
    if (name === 'Space' && (t instanceof HTMLButtonElement || e.repeat)) return;
    const k = KEYS.find((entry) => entry.keys.includes(name));
    if (!k) return;
    e.preventDefault();
    k.run(name);
  }

  // ---- the camera's settings, set from the page ----

  // key: as the "settings" event has it; choices: the task's key in the
  // choices and the reply to a set; word: what /camera/settings takes.
  const SETTINGS = [
    { key: 'iso', choices: 'isoSpeed', word: 'iso' },
    { key: 'aperture', choices: 'aperture', word: 'aperture' },
    { key: 'shutter', choices: 'shutter', word: 'shutter' },
    { key: 'whiteBalance', choices: 'whiteBalance', word: 'wb' },
  ];
  const KELVIN_STEP = 100;
  let cameraModel = '';
  let confirmed = {};   // the camera's values as it last reported them
  let choiceLists = {}; // key -> { values, readOnly }
  let choicesAsked = 0; // only the newest answer counts

  // A list from the task comes as JSON pairs [[1, v1], [2, v2], ...].
  function listOf(pairs) {
    return Array.isArray(pairs) ? pairs.slice().sort((a, b) => a[0] - b[0]).map((p) => String(p[1])) : [];
  }

  function readChoices(t) {
    const values = listOf(t.choices);
    if (t.kelvin_min > 0 && t.kelvin_max >= t.kelvin_min) {
      const first = Math.ceil(t.kelvin_min / KELVIN_STEP) * KELVIN_STEP;
      for (let k = first; k <= t.kelvin_max; k += KELVIN_STEP) values.push(`${k}K`);
    }
    return { values, readOnly: Boolean(t.read_only) };
  }

  function loadChoices() {
    const asked = ++choicesAsked;
    choiceLists = {};
    SETTINGS.forEach(renderSetting);
    if (!cameraModel) return;
    api('/camera/choices')
      .then((r) => r.json())
      .then((reply) => {
        if (asked !== choicesAsked || reply.error) return;
        for (const s of SETTINGS) {
          if (reply[s.choices]) choiceLists[s.key] = readChoices(reply[s.choices]);
        }
        SETTINGS.forEach(renderSetting);
      })
      .catch(() => null);  // the settings stay shown, not settable
  }

  // The control shows the camera's confirmed value, among the choices it
  // takes now; without choices (or read-only) it only shows.
  function renderSetting(s) {
    const select = $(`set-${s.key}`);
    const c = choiceLists[s.key];
    const current = confirmed[s.key] || '';
    const values = c ? [...c.values] : [];
    if (current && !values.includes(current)) values.unshift(current);
    if (!values.length) values.push('');
    const want = values.join('\n');
    if (select.dataset.values !== want) {
      select.replaceChildren(...values.map((v) => new Option(v || '–', v)));
      select.dataset.values = want;
    }
    select.value = current;
    select.disabled = !cameraModel || !c || c.readOnly;
    select.title = c && c.readOnly ? 'Read-only in this mode' : '';
  }

  function why(s, text) {
    $(`why-${s.key}`).textContent = text;
  }

  // The value shown afterwards is the one the camera reports, whatever was
  // chosen; a refusal is told beside the control in the task's words.
  function setSetting(s, value) {
    const select = $(`set-${s.key}`);
    why(s, '');
    select.setAttribute('aria-busy', 'true');
    api('/camera/settings', { method: 'POST', body: new URLSearchParams({ [s.word]: value }) })
      .then(async (r) => {
        const reply = await r.json().catch(() => null);
        if (!reply) {
          why(s, `Not set: ${(await r.text().catch(() => '')) || `HTTP ${r.status}`}`);
          return;
        }
        if (reply.settings) {
          for (const t of SETTINGS) {
            const v = reply.settings[t.choices];
            if (v !== undefined) confirmed[t.key] = String(v);
          }
        }
        const refused = reply.error || (reply.refused && reply.refused[s.choices]);
        if (refused) why(s, `Not set: ${refused}`);
        if (refused === 'read-only in this mode') loadChoices();
      })
      .catch(() => why(s, 'Not set: tether-host cannot be reached'))
      .finally(() => {
        select.removeAttribute('aria-busy');
        renderSetting(s);
        if (live.shown) renderTakenWith(null);
      });
  }

  // ---- live view ----

  // running: the camera's live view is on (the "liveView" event); shown:
  // this page shows it in the big view instead of a picture. A capture
  // during live view shows the picture; the frame comes back with l or
  // the "Back to live" button.
  const live = { running: false, shown: false, wanted: false, after: 0, pulling: false };

  function isLiveShown() {
    return live.shown;
  }

  function switchLive(on) {
    api(on ? '/live/start' : '/live/stop', { method: 'POST' })
      .then(async (r) => {
        if (r.ok) return;
        const reply = await r.json().catch(() => null);
        live.wanted = false;
        notice(`Live view did not ${on ? 'start' : 'stop'}: ${reply && reply.error ? reply.error : `HTTP ${r.status}`}.`);
      })
      .catch(() => notice('tether-host cannot be reached.'));
  }

  function toggleLive() {
    if (!live.running) {
      live.wanted = true;
      switchLive(true);
    } else if (!live.shown) {
      live.shown = true;
      zoomed = false;
      pan = { x: 0, y: 0 };
      renderShown();
    } else {
      switchLive(false);
    }
  }

  function renderLive() {
    const canvas = $('live-frame');
    const painted = Number(canvas.dataset.sequence || 0) > 0;
    canvas.hidden = !live.shown || !painted;
    $('live-badge').hidden = !live.shown;
    $('live-badge').textContent = painted ? `Live · ${canvas.dataset.sequence}` : 'Live · waiting for the camera…';
    const button = $('live');
    button.setAttribute('aria-pressed', String(live.running));
    button.textContent = !live.running ? 'Live view' : (live.shown ? 'Stop live view' : 'Back to live');
    if (live.shown) {
      $('caption').textContent = 'Live view';
      renderTakenWith(null);
      layoutLive();
      pullFrames();
    }
  }

  function layoutLive() {
    const view = $('view');
    const canvas = $('live-frame');
    if (!canvas.width) return;
    const cw = view.clientWidth;
    const ch = view.clientHeight;
    const scale = zoomed ? 1 : Math.min(cw / canvas.width, ch / canvas.height);
    const limitX = Math.max(0, (canvas.width * scale - cw) / 2);
    const limitY = Math.max(0, (canvas.height * scale - ch) / 2);
    pan.x = Math.max(-limitX, Math.min(limitX, pan.x));
    pan.y = Math.max(-limitY, Math.min(limitY, pan.y));
    Object.assign(canvas.style, {
      width: `${canvas.width}px`, height: `${canvas.height}px`,
      left: `${(cw - canvas.width) / 2}px`, top: `${(ch - canvas.height) / 2}px`,
      transform: `translate(${pan.x}px, ${pan.y}px) scale(${scale})`,
    });
    view.dataset.scale = String(scale);
    view.classList.toggle('zoomed', zoomed);
  }

  const nextPaint = () => new Promise((done) => requestAnimationFrame(() => done()));
  const pause = (ms) => new Promise((done) => setTimeout(done, ms));

  // One frame in flight: the next is asked for only once this one is
  // painted, and the server answers with the newest it has, so a slow page
  // gets fewer frames, never older ones. 204: none came within the wait.
  async function pullFrames() {
    if (live.pulling) return;
    live.pulling = true;
    try {
      while (live.running && live.shown) {
        let r;
        try {
          r = await api(`/live/frame?after=${live.after}`);
        } catch (e) {
          await pause(1000);  // the event stream tells of a lost link
          continue;
        }
        if (r.status === 204 && r.headers.get('X-Live-View') === 'off') break;  // its event follows
        if (r.status === 204) continue;
        if (!r.ok) break;
        const sequence = Number(r.headers.get('X-Frame-Sequence')) || 0;
        const bitmap = await createImageBitmap(await r.blob()).catch(() => null);
        if (!bitmap || sequence <= live.after) continue;
        live.after = sequence;
        const canvas = $('live-frame');
        if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
          canvas.width = bitmap.width;
          canvas.height = bitmap.height;
        }
        canvas.getContext('2d').drawImage(bitmap, 0, 0);
        bitmap.close();
        canvas.dataset.sequence = String(sequence);
        if (live.shown) renderLive();
        await nextPaint();
      }
    } finally {
      live.pulling = false;
    }
  }

  // ---- events ----

  const handlers = {
    camera(e, live) {
      $('camera').textContent = e.model || 'no camera';
      document.body.classList.toggle('no-camera', !e.model);
      cameraModel = e.model || '';
      loadChoices();
      if (e.model) {
        hadCamera = true;
        if ($('notice').dataset.kind === 'camera') $('notice').hidden = true;
      } else if (live && hadCamera) {
        joinNotice('The camera was disconnected. Pictures resume when it is back.', 'camera');
      }
    },
    settings(e) {
      for (const s of SETTINGS) confirmed[s.key] = e[s.key] || '';
      SETTINGS.forEach(renderSetting);
      if (live.shown) renderTakenWith(null);
    },
    liveView(e, isLive) {
      const was = live.running;
      live.running = e.running;
      if (e.running && !was) live.after = 0;
      if (e.running && live.wanted) live.shown = true;
      live.wanted = false;
      if (!e.running) {
        live.shown = false;
        zoomed = false;
        pan = { x: 0, y: 0 };
        if (isLive && was && e.reason) {
          joinNotice(`Live view stopped: ${e.reason}.`, 'live');
        }
      }
      renderShown();
    },
    capture(e, live) {
      const c = Object.assign(entry(e.id), {
        number: e.number, name: e.name, time: e.time, orientation: e.orientation || '',
        settings: e.settings || null,
      });
      stripItem(c);
      if (!live) return;
      if (follow || isLiveShown()) {
        show(e.id);
      } else {
        document.querySelector(`#filmstrip [data-id="${e.id}"]`).classList.add('new');
      }
    },
    file(e) {
      const c = entry(e.id);
      c.number = c.number || e.number;
      c.files[e.kind] = { size: e.size, url: e.url, name: e.name };
      stripItem(c);
      if (shown === e.id) renderShown();
    },
    saveFailed(e, live) {
      entry(e.id).failed = true;
      stripItem(entry(e.id));
      if (live) {
        notice(`Picture ${e.number}: the ${KIND_LABELS[e.kind] || e.kind} file was not saved. ${e.message}`);
        $('notice').dataset.kind = 'save';
      }
    },
    rating(e) {
      entry(e.id).rating = e.rating;
      stripItem(entry(e.id));
      if (shown === e.id) renderShown();
    },
    incomplete(e, live) {
      entry(e.id).failed = true;
      stripItem(entry(e.id));
      if (live) {
        notice(`Picture ${e.number} is incomplete: ${e.missing}`);
        $('notice').dataset.kind = 'save';
      }
    },
  };

  function apply(e, live) {
    const handler = handlers[e.type];
    if (handler) handler(e, live);
  }

  function applySnapshot(s) {
    const previous = shown;
    captures = new Map();
    shown = null;
    $('filmstrip').replaceChildren();
    for (const e of s.events) apply(e, false);
    seq = s.seq;
    const keep = !follow && captures.has(previous) ? previous : newestId();
    show(keep);
  }

  function resync() {
    resyncing = [];
    api('/state')
      .then((r) => (r.ok ? r.json() : Promise.reject(new Error(`HTTP ${r.status}`))))
      .then((s) => {
        const held = resyncing;
        resyncing = null;
        applySnapshot(s);
        held.forEach(receive);
      })
      .catch(() => {
        resyncing = null;
        setTimeout(resync, 1000);
      });
  }

  function receive(e) {
    if (resyncing) {
      resyncing.push(e);
    } else if (e.type === 'snapshot') {
      applySnapshot(e);
    } else if (e.seq === seq + 1) {
      seq = e.seq;
      apply(e, true);
    } else if (e.seq > seq) {
      resync();  // updates were lost while this page was behind
    }
  }

  // ---- the camera's shutter ----

  function capture() {
    api('/capture', { method: 'POST' })
      .then((r) => {
        if (!r.ok) notice(`The capture was refused (HTTP ${r.status}).`);
      })
      .catch(() => notice('tether-host cannot be reached.'));
  }

  const LIVE = 'Live: connected to tether-host; new pictures appear as they are taken.';

  function linkState(text, offline) {
    $('link-state').textContent = text;
    document.body.classList.toggle('offline', offline);
  }

  function start() {
    $('capture').addEventListener('click', capture);
    $('live').addEventListener('click', () => toggleLive());
    for (const s of SETTINGS) {
      $(`set-${s.key}`).addEventListener('change', (e) => setSetting(s, e.target.value));
    }
    $('notice-close').addEventListener('click', () => { $('notice').hidden = true; });
    $('follow').addEventListener('click', () => setFollow(!follow));
    $('zoom').addEventListener('click', () => toggleZoom());
    $('filter').addEventListener('change', (e) => setFilter(e.target.value));
    ratingButtons();
    $('help-open').addEventListener('click', () => toggleHelp(true));
    $('help-close').addEventListener('click', () => toggleHelp(false));
    $('latest').addEventListener('load', () => {
      renderZoom();
      renderExposure();
    });
    $('latest').addEventListener('error', renderZoom);
    $('clip-toggle').addEventListener('click', () => { showClipping = !showClipping; renderExposure(); });
    window.addEventListener('resize', layout);
    document.addEventListener('keydown', onKey);
    pointerControls($('view'));
    pointerControls($('view2'));
    $('latest2').addEventListener('load', layout);
    $('compare').addEventListener('click', () => toggleCompare());
    helpList();
    if (!TOKEN) {
      refused();
      return;
    }
    listen();
  }

  // A dropped or refused stream (too many pages open) is tried again after
  // a while; the new stream starts with the whole state. A wrong token is
  // not tried again.
  function listen() {
    readEvents('/events', (e) => (e ? receive(e) : linkState(LIVE, false)))
      .then(() => null, (error) => error)
      .then((error) => {
        if (error && error.status === 403) {
          refused();
          return;
        }
        linkState('Not live: the connection to tether-host is lost (is serve still running?); trying again every second…', true);
        setTimeout(listen, 1000);
      });
  }

  function refused() {
    linkState('Not connected: this page has no access to tether-host.', true);
    notice('Open the link that tether-host serve printed (it carries the access token).');
  }

  start();
})();

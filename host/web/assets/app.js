// The live page: applies the session's events (from /events) to the view.
// Every event carries "seq"; a gap means this page fell behind and lost
// updates, so it fetches the whole state again and carries on from there.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const KIND_LABELS = { jpeg: 'JPEG', dng: 'DNG', thumbnail: 'Thumbnail' };
  const KIND_ORDER = ['jpeg', 'dng', 'thumbnail'];

  let seq = 0;
  let captures = new Map();  // capture id -> {id, number, name, time, files, failed}
  let shown = null;          // capture id shown large
  let hadCamera = false;
  let resyncing = null;      // events held while the state is fetched again

  function entry(id) {
    let c = captures.get(id);
    if (!c) {
      c = { id, number: 0, name: '', time: 0, files: {}, failed: false };
      captures.set(id, c);
    }
    return c;
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

  // ---- the view ----

  function stripItem(c) {
    let button = document.querySelector(`#filmstrip [data-id="${c.id}"]`);
    if (!button) {
      button = document.createElement('button');
      button.type = 'button';
      button.dataset.id = String(c.id);
      button.append(document.createElement('img'), document.createElement('span'));
      button.addEventListener('click', () => show(c.id));
      $('filmstrip').prepend(button);
    }
    const img = button.querySelector('img');
    const thumb = c.files.thumbnail || c.files.jpeg;
    if (thumb && img.getAttribute('src') !== thumb.url) img.src = thumb.url;
    img.alt = c.name || `Picture ${c.number}`;
    button.querySelector('span').textContent = String(c.number || '');
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
      row.insertCell().textContent = KIND_LABELS[kind];
      const size = row.insertCell();
      size.className = 'size';
      size.textContent = formatSize(f.size);
      const link = document.createElement('a');
      link.href = `${f.url}?download=1`;
      link.download = f.name;
      link.textContent = f.name;
      row.insertCell().append(link);
    }
  }

  function renderShown() {
    const c = shown === null ? null : captures.get(shown);
    const best = c && (c.files.jpeg || c.files.thumbnail);
    const latest = $('latest');
    if (best && latest.getAttribute('src') !== best.url) latest.src = best.url;
    latest.hidden = !best;
    $('empty').hidden = Boolean(c);
    $('caption').textContent = c
      ? `#${c.number}  ${c.name}  ${c.time ? new Date(c.time).toLocaleTimeString() : ''}`
      : '';
    if (c) fileRows(c); else $('files').tBodies[0].replaceChildren();
    document.querySelectorAll('#filmstrip button').forEach((b) => {
      b.setAttribute('aria-current', String(Number(b.dataset.id) === shown));
    });
  }

  function show(id) {
    shown = id;
    renderShown();
  }

  // ---- events ----

  const handlers = {
    camera(e, live) {
      $('camera').textContent = e.model || 'no camera';
      document.body.classList.toggle('no-camera', !e.model);
      if (e.model) {
        hadCamera = true;
        if ($('notice').dataset.kind === 'camera') $('notice').hidden = true;
      } else if (live && hadCamera) {
        notice('The camera was disconnected. Pictures resume when it is back.');
        $('notice').dataset.kind = 'camera';
      }
    },
    settings(e) {
      for (const dd of document.querySelectorAll('#settings dd')) {
        dd.textContent = e[dd.dataset.key] || '–';
      }
    },
    capture(e, live) {
      Object.assign(entry(e.id), { number: e.number, name: e.name, time: e.time });
      stripItem(entry(e.id));
      if (live) show(e.id);
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
    captures = new Map();
    shown = null;
    $('filmstrip').replaceChildren();
    for (const e of s.events) apply(e, false);
    seq = s.seq;
    let newest = null;
    for (const c of captures.values()) if (newest === null || c.number > newest.number) newest = c;
    show(newest ? newest.id : null);
  }

  function resync() {
    resyncing = [];
    fetch('/state', { cache: 'no-store' })
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
    fetch('/capture', { method: 'POST' })
      .then((r) => {
        if (!r.ok) notice(`The capture was refused (HTTP ${r.status}).`);
      })
      .catch(() => notice('tether-host cannot be reached.'));
  }

  function linkState(text, offline) {
    $('link-state').textContent = text;
    document.body.classList.toggle('offline', offline);
  }

  function start() {
    $('capture').addEventListener('click', capture);
    $('notice-close').addEventListener('click', () => { $('notice').hidden = true; });
    document.addEventListener('keydown', (e) => {
      const t = e.target;
      const typing = t instanceof HTMLButtonElement || t instanceof HTMLInputElement || t.isContentEditable;
      if (e.code === 'Space' && !e.repeat && !typing) {
        e.preventDefault();
        capture();
      }
    });
    listen();
  }

  // EventSource retries a dropped stream by itself, but gives up on a
  // refusal (too many pages open): then a new one is made after a while.
  function listen() {
    const events = new EventSource('/events');
    events.onopen = () => linkState('Live', false);
    events.onerror = () => {
      linkState('Connection to tether-host lost; retrying…', true);
      if (events.readyState === EventSource.CLOSED) setTimeout(listen, 3000);
    };
    events.onmessage = (m) => receive(JSON.parse(m.data));
  }

  start();
})();

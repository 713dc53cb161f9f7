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
  // The raw file ("dng" in URLs) keeps its camera's format: NEF, CR3, DNG, ...
  function kindLabel(kind, name) {
    const ext = kind === 'dng' && /\.([A-Za-z0-9]{1,5})$/.exec(name || '');
    return ext ? ext[1].toUpperCase() : KIND_LABELS[kind];
  }

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
    if (thumb && img.getAttribute('src') !== fileUrl(thumb)) img.src = fileUrl(thumb);
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
      row.insertCell().textContent = kindLabel(kind, f.name);
      const size = row.insertCell();
      size.className = 'size';
      size.textContent = formatSize(f.size);
      const link = document.createElement('a');
      link.href = fileUrl(f, true);
      link.download = f.name;
      link.textContent = f.name;
      row.insertCell().append(link);
    }
  }

  function renderShown() {
    const c = shown === null ? null : captures.get(shown);
    const best = c && (c.files.jpeg || c.files.thumbnail);
    const latest = $('latest');
    if (best && latest.getAttribute('src') !== fileUrl(best)) latest.src = fileUrl(best);
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
    readEvents('/events', (e) => (e ? receive(e) : linkState('Live', false)))
      .then(() => null, (error) => error)
      .then((error) => {
        if (error && error.status === 403) {
          refused();
          return;
        }
        linkState('Connection to tether-host lost; retrying…', true);
        setTimeout(listen, 1000);
      });
  }

  function refused() {
    linkState('Not connected', true);
    notice('Open the link that tether-host serve printed (it carries the access token).');
  }

  start();
})();

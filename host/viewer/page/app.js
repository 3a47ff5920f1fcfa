// quorvex's viewer: the shelf of discs, a disc's streams, a stream's page, and rips. It takes the
// access token from the page's own address and sends it with every request. Pages are built from
// elements, never from markup: names come from discs and are shown as text.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const view = document.getElementById('view');

// ---- Small helpers ---------------------------------------------------------------------------

function el(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on')) e.addEventListener(key.slice(2), value);
    else if (key === 'class') e.className = value;
    else e.setAttribute(key, value === true ? '' : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    e.append(child instanceof Node ? child : String(child));
  }
  return e;
}

const say = text => { document.getElementById('announce').textContent = text; };

// A request to the server; a refusal becomes an error whose message is the server's sentence.
async function api(path, options = {}) {
  let answer;
  try {
    answer = await fetch(path, { ...options, headers: { 'X-Quorvex-Token': token, ...(options.headers || {}) } });
  } catch {
    throw new Error('The server cannot be reached: it may have stopped.');
  }
  if (!answer.ok) {
    const reason = (await answer.text()).trim();
    throw new Error(reason || `The server answered ${answer.status}.`);
  }
  return answer.json();
}
const post = (path, body) => api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                                        body: JSON.stringify(body || {}) });

const length = ms => {
  const s = Math.max(0, ms) / 1000;
  return `${Math.floor(s / 60)}:${(s % 60).toFixed(2).padStart(5, '0')}`;
};
const seconds = s => length(s * 1000);
const size = bytes => bytes >= 1048576 ? `${(bytes / 1048576).toFixed(1)} MiB` : `${Math.max(1, Math.round(bytes / 1024))} KiB`;
const sound = s => s.has_audio ? `${(s.sample_rate / 1000).toFixed(1)} kHz ${s.channels === 2 ? 'stereo' : 'mono'}` : 'none';
const rate = s => s.video ? `${Number(s.playing_frames_per_second).toFixed(1)} fps` : '–';
const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;
// How long a stream plays: as measured, once a preview has played it, else as its plug-in says.
const playing = s => s.measured_duration_seconds ? s.measured_duration_seconds * 1000 : s.duration_ms;

// The breadcrumb names every page, the one shown last.
function crumbs(...steps) {
  const list = document.getElementById('crumbs');
  list.replaceChildren(...steps.map((step, i) => el('li', {},
    i === steps.length - 1 ? el('span', { 'aria-current': 'page' }, step.text) : el('a', { href: step.href }, step.text))));
  document.title = `${steps[steps.length - 1].text} – quorvex`;
}

// What a page is given to show: nothing in place of the parts it leaves out (null, false).
const shown = children => children.flat(Infinity).filter(c => c !== undefined && c !== null && c !== false);

function show(...children) {
  view.replaceChildren(...shown(children));
  view.focus({ preventScroll: true });
}

// ---- Jobs: scans and rips in the background --------------------------------------------------

async function follow(job, onChange) {
  for (;;) {
    const j = await api(`/api/jobs/${job.id}`);
    onChange(j);
    if (j.state !== 'queued' && j.state !== 'running') return j;
    await new Promise(r => setTimeout(r, 300));
  }
}

// The stream a rip has in hand, as the command line shows it: frames, or the sound's time.
const inHand = j => {
  const h = j.in_hand;
  if (!h || !h.total) return '';
  const amount = h.unit === 'frames' ? `${h.done} of ${h.total} frames` : `${length(h.done)} of ${length(h.total)}`;
  return `; ${h.file}: ${amount}${h.seconds_left !== null ? `, about ${seconds(h.seconds_left)} left` : ''}`;
};
const ripWords = {
  queued: () => 'Waiting for an earlier rip of this disc to finish…',
  running: j => `Ripping: ${j.done} of ${plural(j.total, 'stream')} through${inHand(j)}…`,
  done: j => `Ripped: ${plural(j.total, 'stream')}, each written whole.`,
  cut: j => {
    const cut = j.streams.filter(s => s.state === 'cut').length;
    return `Ripped, but ${plural(cut, 'stream')} ${cut === 1 ? 'is' : 'are'} cut: the disc holds only part of ${cut === 1 ? 'it' : 'them'}.`;
  },
  failed: j => {
    const failed = j.streams.filter(s => s.state === 'failed').length || j.total;
    return `The rip failed for ${failed} of ${plural(j.total, 'stream')}.`;
  },
};
const streamWords = {
  done: s => `written (${size(s.bytes)})`,
  skipped: s => `ripped before (${size(s.bytes)})`,
  cut: s => `written but cut (${size(s.bytes)}): ${s.error}`,
  failed: s => `failed: ${s.error}`,
};

// A panel that shows a rip as it goes and, once through, what became of each stream.
function ripPanel() {
  const bar = el('progress', { value: 0, max: 1, 'aria-label': 'How far the rip has got', hidden: true });
  const state = el('p', { 'aria-live': 'polite', tabindex: -1, 'data-role': 'rip-result' });
  const files = el('ul', { class: 'files' });
  const where = el('p');
  const panel = el('section', { 'aria-label': 'The rip' }, bar, state, files, where);
  panel.update = j => {
    bar.hidden = j.state !== 'running';
    bar.max = Math.max(1, j.total);
    bar.value = j.done + (j.in_hand && j.in_hand.total && j.state === 'running' ? Math.min(1, j.in_hand.done / j.in_hand.total) : 0);
    state.textContent = ripWords[j.state](j);
    state.className = `state-${j.state === 'done' ? 'done' : j.state}`;
    panel.dataset.state = j.state;
    files.replaceChildren(...(j.streams || []).map(s => el('li', { class: `state-${s.state}`, 'data-state': s.state },
      s.file_url ? el('a', { href: s.file_url, download: '' }, s.name) : s.name, ': ', streamWords[s.state](s))));
    where.textContent = j.state === 'queued' || j.state === 'running' ? ''
      : `The files are in ${j.folder} on the server${j.format ? `, movies in ${j.format.toUpperCase()}` : ''}.`;
  };
  panel.fail = message => {
    state.textContent = message;
    state.className = 'error';
    panel.dataset.state = 'failed';
  };
  return panel;
}

// The container a rip writes movies in, as rip --format takes it: one choice for the whole viewer.
function formatPicker() {
  const picker = el('select', { id: 'rip-format' },
                    el('option', { value: 'mkv' }, 'MKV (H.264, FLAC)'), el('option', { value: 'mp4' }, 'MP4 (H.264, AAC)'));
  picker.value = sessionStorage.getItem('rip-format') || 'mkv';
  picker.addEventListener('change', () => sessionStorage.setItem('rip-format', picker.value));
  return el('span', {}, el('label', { for: 'rip-format' }, 'Movies in'), ' ', picker);
}

async function rip(disc, numbers, panel, onDone) {
  try {
    const format = sessionStorage.getItem('rip-format') || 'mkv';
    const j = await follow(await post('/api/jobs', { disc, streams: numbers, format }), panel.update);
    say(ripWords[j.state](j));
    if (onDone) onDone(j);
  } catch (e) {
    panel.fail(e.message);
    say(e.message);
  }
  panel.querySelector('[data-role="rip-result"]').focus();  // the result, never the page's body
}

// ---- The shelf -------------------------------------------------------------------------------

async function shelf() {
  crumbs({ text: 'Discs' });
  const discs = await api('/api/discs');
  const rows = discs.map(d => {
    const unscanned = x => x && x.scan_failed ? `the scan failed: ${x.scan_failed}` : 'not scanned yet';
    const count = el('td', { class: 'count' }, d.present ? (d.scanned ? String(d.streams) : unscanned(d)) : 'gone');
    const bar = el('progress', { value: 0, max: 1, hidden: true, 'aria-label': `How far the scan of ${d.name} has got` });
    const note = el('span', { 'aria-live': 'polite', tabindex: -1, 'data-role': 'scan-result' });
    const scan = el('button', { type: 'button', class: 'scan', 'aria-label': `Scan ${d.name}`, disabled: !d.present }, 'Scan');
    scan.addEventListener('click', async () => {
      scan.disabled = true;
      bar.hidden = false;
      try {
        const j = await follow(await post(`/api/discs/${d.id}/scan`), j => {
          bar.max = Math.max(1, j.total);
          bar.value = j.done;
          note.textContent = j.state === 'running' ? ` ${Math.floor(100 * j.done / Math.max(1, j.total))}%` : '';
        });
        if (j.state !== 'done') throw new Error(j.message);
        const discsNow = await api('/api/discs');
        const now = discsNow.find(x => x.id === d.id);
        count.textContent = now && now.scanned ? String(now.streams) : unscanned(now);
        note.textContent = ' Scanned.';
        say(`${d.name} is scanned: ${plural(now ? now.streams : 0, 'stream')}.`);
      } catch (e) {
        note.textContent = ` ${e.message}`;
        note.className = 'error';
        count.textContent = 'the scan failed';
      }
      bar.hidden = true;
      scan.disabled = false;
      note.focus();  // the result, where a keyboard user goes on from
    });
    return el('tr', { 'data-id': d.id },
      el('td', { class: 'name' }, el('a', { href: `#disc/${d.id}` }, d.name)),
      el('td', { class: 'name hide-narrow' }, d.file),
      el('td', {}, size(d.size)),
      el('td', { class: 'hide-narrow' }, d.format),
      count,
      el('td', {}, scan, ' ', bar, note));
  });
  show(el('h1', {}, 'Discs'),
       discs.length ? null : el('p', {}, 'No disc images were found in the folders this server was given.'),
       el('div', { class: 'table-box' },
         el('table', { id: 'discs' },
           el('caption', { class: 'visually-hidden' }, 'The discs on the shelf'),
           el('thead', {}, el('tr', {}, ['Disc', 'Image', 'Size', 'Format', 'Streams', 'Scan'].map((h, i) =>
             el('th', { scope: 'col', class: i === 1 || i === 3 ? 'hide-narrow' : null }, h)))),
           el('tbody', {}, rows))));
}

// ---- A disc's streams ------------------------------------------------------------------------

// Thumbnails are made on the server, one stream's at a time per core: the rows in view ask first,
// two at a time, and a placeholder with the stream's length stands in meanwhile.
const pictures = {
  queue: [],
  loading: 0,
  observer: null,
  watch(placeholder) {
    if (!this.observer) {
      this.observer = new IntersectionObserver(entries => {
        for (const entry of entries) {
          if (!entry.isIntersecting) continue;
          this.observer.unobserve(entry.target);
          this.queue.push(entry.target);
        }
        this.pump();
      }, { rootMargin: '100px' });
    }
    this.observer.observe(placeholder);
  },
  reset() {
    if (this.observer) this.observer.disconnect();
    this.observer = null;
    this.queue = [];
  },
  pump() {
    while (this.loading < 2 && this.queue.length) {
      const placeholder = this.queue.shift();
      if (!placeholder.isConnected) continue;
      this.loading++;
      const img = el('img', { class: 'thumb', alt: placeholder.dataset.alt, width: 80, height: 60 });
      const done = ok => {
        this.loading--;
        if (ok && placeholder.isConnected) placeholder.replaceWith(img);
        else if (!ok) placeholder.textContent = 'no picture';
        this.pump();
      };
      img.onload = () => done(true);
      img.onerror = () => done(false);
      img.src = placeholder.dataset.src;
    }
  },
};

const columns = [
  { key: 'number', text: '#', sort: true },
  { key: 'name', text: 'Name', sort: true },
  { key: 'kind_text', text: 'Kind', sort: true },
  { key: 'duration_ms', text: 'Length', sort: true },
  { key: 'frame_count', text: 'Frames', narrow: true },
  { key: 'playing_frames_per_second', text: 'Plays at', narrow: true },
  { key: 'sample_rate', text: 'Sound', narrow: true },
  { key: 'plugin', text: 'Found by', sort: true, narrow: true },
  { key: 'file', text: 'Disc file', narrow: true },
  { key: 'ripped', text: 'Ripped' },
];

function ripped(s) {
  if (!s.ripped) return '–';
  const what = s.ripped.state === 'cut' ? 'cut' : 'yes';
  return el('a', { href: s.ripped.file_url, download: '', 'aria-label': `Download ${s.ripped.file}` },
            `${what}, ${size(s.ripped.bytes)}`);
}

async function disc(id) {
  crumbs({ text: 'Discs', href: '#' }, { text: 'Scanning…' });
  show(el('p', {}, 'Scanning the disc…'));
  const d = await api(`/api/discs/${id}/streams`);
  crumbs({ text: 'Discs', href: '#' }, { text: d.disc.name });
  const picked = new Set();
  let sortKey = 'number', up = true;

  const all = el('input', { type: 'checkbox', id: 'pick-all' });
  const summary = el('span', { id: 'picked', 'aria-live': 'polite' });
  const ripButton = el('button', { type: 'button', id: 'rip-selected', disabled: true }, 'Rip the picked streams');
  const panel = ripPanel();
  const body = el('tbody');
  const heads = columns.map(c => el('th', {
    scope: 'col', class: c.narrow ? 'hide-narrow' : null, 'aria-sort': c.sort ? (c.key === sortKey ? 'ascending' : 'none') : null,
  }, c.sort ? el('button', { type: 'button', class: 'sort', 'data-key': c.key }, c.text) : c.text));

  const refresh = () => {
    const chosen = d.streams.filter(s => picked.has(s.number));
    const total = chosen.reduce((sum, s) => sum + playing(s), 0);
    summary.textContent = chosen.length ? `${plural(chosen.length, 'stream')} picked, ${length(total)} in all` : 'None picked';
    all.checked = chosen.length === d.streams.length && chosen.length > 0;
    all.indeterminate = chosen.length > 0 && chosen.length < d.streams.length;
    ripButton.disabled = chosen.length === 0;
  };
  const row = s => {
    const pick = el('input', { type: 'checkbox', class: 'pick', id: `pick-${s.number}`, 'aria-label': `Pick ${s.name}` });
    pick.checked = picked.has(s.number);
    pick.addEventListener('change', () => {
      if (pick.checked) picked.add(s.number); else picked.delete(s.number);
      refresh();
    });
    let picture = '';
    if (s.thumbnail_url) {
      picture = el('span', { class: 'placeholder', role: 'img', 'aria-label': `${s.name}: its picture is on its way`,
                             'data-src': s.thumbnail_url, 'data-alt': `${s.name}, a third of the way in` }, length(s.duration_ms));
      pictures.watch(picture);
    }
    return el('tr', { 'data-number': s.number },
      el('td', {}, pick),
      el('td', { class: 'picture' }, picture),
      el('td', {}, String(s.number)),
      el('td', { class: 'name' }, el('a', { href: `#disc/${id}/${s.number}` }, s.name)),
      el('td', {}, s.kind_text),
      el('td', {}, length(playing(s))),
      el('td', { class: 'hide-narrow' }, s.video ? String(s.frame_count) : '–'),
      el('td', { class: 'hide-narrow' }, rate(s)),
      el('td', { class: 'hide-narrow' }, sound(s)),
      el('td', { class: 'hide-narrow' }, s.also_found_by.length ? `${s.plugin} (also ${s.also_found_by.join(', ')})` : s.plugin),
      el('td', { class: 'name hide-narrow' }, s.file ? `${s.file}${s.channel !== null ? `, channel ${s.channel}` : ''}` : '–'),
      el('td', {}, ripped(s)));
  };
  // Sorting works on what the page holds: nothing is fetched again.
  const render = () => {
    const value = s => sortKey === 'duration_ms' ? playing(s) : s[sortKey];
    const rows = d.streams.slice().sort((a, b) => {
      const x = value(a), y = value(b);
      return (x < y ? -1 : x > y ? 1 : a.number - b.number) * (up ? 1 : -1);
    });
    pictures.reset();
    body.replaceChildren(...rows.map(row));
    for (const th of heads) {
      const key = th.querySelector('button')?.dataset.key;
      if (key) th.setAttribute('aria-sort', key === sortKey ? (up ? 'ascending' : 'descending') : 'none');
    }
    refresh();
  };
  for (const th of heads) {
    const button = th.querySelector('button');
    if (!button) continue;
    button.addEventListener('click', () => {
      up = sortKey === button.dataset.key ? !up : true;
      sortKey = button.dataset.key;
      render();
      say(`Sorted by ${button.textContent.toLowerCase()}, ${up ? 'ascending' : 'descending'}.`);
    });
  }
  all.addEventListener('change', () => {
    for (const s of d.streams) {
      if (all.checked) picked.add(s.number); else picked.delete(s.number);
    }
    render();
  });
  ripButton.addEventListener('click', () => {
    ripButton.disabled = true;
    rip(id, [...picked].sort((a, b) => a - b), panel, async () => {
      const now = await api(`/api/discs/${id}/streams`).catch(() => null);
      if (now) d.streams = now.streams;
      render();
    });
  });

  show(el('h1', {}, d.disc.name),
       el('p', {}, `${plural(d.streams.length, 'stream')}, as quorvex scan lists them. A disc image in ${d.disc.format} form.`),
       el('div', { class: 'toolbar' }, el('span', {}, all, ' ', el('label', { for: 'pick-all' }, 'Pick every stream')),
          summary, formatPicker(), ripButton),
       panel,
       el('div', { class: 'table-box' },
         el('table', { id: 'streams' }, el('caption', { class: 'visually-hidden' }, `The streams of ${d.disc.name}`),
            el('thead', {}, el('tr', {}, el('th', { scope: 'col' }, el('span', { class: 'visually-hidden' }, 'Pick')),
                                 el('th', { scope: 'col', class: 'picture' }, 'Picture'), heads)), body)));
  render();
}

// ---- A stream's page -------------------------------------------------------------------------

async function stream(id, number) {
  crumbs({ text: 'Discs', href: '#' }, { text: '…', href: `#disc/${id}` }, { text: `Stream ${number}` });
  const d = await api(`/api/discs/${id}/streams`);
  const s = d.streams.find(x => x.number === number);
  if (!s) throw new Error(`This disc has no stream ${number}.`);
  crumbs({ text: 'Discs', href: '#' }, { text: d.disc.name, href: `#disc/${id}` }, { text: s.name });

  const player = s.video
    ? el('video', { id: 'player', controls: true, preload: 'metadata', src: s.media_url, width: s.width, height: s.height,
                    'aria-label': `${s.name}, ${s.width} by ${s.height}` })
    : el('audio', { id: 'player', controls: true, preload: 'metadata', src: s.media_url, 'aria-label': s.name });
  // The preview is made on first asking: say so until the player has something to play.
  const making = el('p', { class: 'note', id: 'preview-note', role: 'status' },
                    `Making the ${s.video ? 'preview' : 'sound'} to play: the first time, this takes a few seconds.`);
  const made = () => making.remove();
  player.addEventListener('loadedmetadata', made, { once: true });
  player.addEventListener('error', () => { making.textContent = 'The preview could not be made.'; }, { once: true });
  let larger = null;
  if (s.video) {
    larger = el('button', { type: 'button', class: 'quiet', 'aria-pressed': 'false' }, 'Twice as large');
    larger.addEventListener('click', () => {
      const on = larger.getAttribute('aria-pressed') !== 'true';
      larger.setAttribute('aria-pressed', String(on));
      player.style.width = on ? `${2 * s.width}px` : '';
    });
  }
  // The filmstrip: each picture seeks the player to its time.
  const length_s = playing(s) / 1000;
  const film = (s.filmstrip_urls || []).map((url, k) => {
    const at = s.filmstrip_seconds ? s.filmstrip_seconds[k] : length_s * (k + 0.5) / 6;
    return el('li', {}, el('button', {
      type: 'button', 'aria-label': `Play from ${seconds(at)}`,
      onclick: () => { player.currentTime = at; player.play().catch(() => {}); player.focus(); },
    }, el('img', { src: url, alt: `The picture at ${seconds(at)}`, loading: 'lazy', width: 120 })));
  });
  const facts = [
    ['Kind', s.kind_text],
    ['Length', s.measured_duration_seconds ? `${length(playing(s))} as it plays (the disc says ${length(s.duration_ms)})`
                                           : length(s.duration_ms)],
    s.video ? ['Frames', String(s.frame_count)] : null,
    s.video ? ['Plays at', `${rate(s)}${s.playing_frames_per_second !== s.frames_per_second ? ` (the disc says ${s.frames_per_second.toFixed(1)} fps)` : ''}`] : null,
    s.video ? ['Picture', `${s.width} × ${s.height}`] : null,
    ['Sound', sound(s)],
    ['Disc file', s.file ? `${s.file}${s.channel !== null ? `, channel ${s.channel}` : ''}` : 'none (named by its sectors)'],
    ['Sectors', `${s.start_sector} to ${s.start_sector + s.sector_count - 1} (${s.sector_count})`],
    ['Found by', s.also_found_by.length ? `${s.plugin}, also by ${s.also_found_by.join(', ')}` : s.plugin],
    ['Ripped', s.ripped ? ripped(s) : 'not yet'],
    s.state !== 'whole' ? ['On this disc', `${s.state}: ${s.note}`] : null,
  ].filter(Boolean);
  const panel = ripPanel();
  const ripButton = el('button', { type: 'button', id: 'rip-one' }, 'Rip this stream');
  ripButton.addEventListener('click', () => {
    ripButton.disabled = true;
    rip(id, [number], panel, async () => {
      ripButton.disabled = false;
      // The page's facts follow: the stream is ripped now.
      const now = await api(`/api/discs/${id}/streams`).catch(() => null);
      const t = now && now.streams.find(x => x.number === number);
      if (t) document.getElementById('ripped-fact')?.replaceChildren(t.ripped ? ripped(t) : 'not yet');
    });
  });

  show(el('h1', {}, s.name),
       el('div', { class: 'player' }, player),
       making,
       larger ? el('p', {}, larger) : null,
       film.length ? el('h2', {}, 'Filmstrip') : null,
       film.length ? el('ul', { class: 'film', 'aria-label': 'Pictures along the movie' }, film) : null,
       el('h2', {}, 'About this stream'),
       el('dl', { class: 'facts' }, facts.map(([k, v]) => [el('dt', {}, k), el('dd', { id: k === 'Ripped' ? 'ripped-fact' : undefined }, v)])),
       el('details', {}, el('summary', {}, 'The description as JSON'), el('pre', {}, JSON.stringify(s, null, 2))),
       el('p', {}, formatPicker(), ' ', ripButton),
       panel);
}

// ---- Pages -----------------------------------------------------------------------------------

async function route() {
  pictures.reset();
  const parts = location.hash.replace(/^#/, '').split('/');
  try {
    if (parts[0] === 'disc' && parts.length === 2) await disc(parts[1]);
    else if (parts[0] === 'disc' && parts.length === 3) await stream(parts[1], Number(parts[2]));
    else await shelf();
  } catch (e) {
    crumbs({ text: 'Discs', href: '#' }, { text: 'Not shown' });
    show(el('h1', {}, 'This page cannot be shown'), el('p', { class: 'error', role: 'alert', id: 'error' }, e.message),
         el('p', {}, el('a', { href: '#' }, 'Back to the discs')));
  }
}
window.addEventListener('hashchange', route);
route();

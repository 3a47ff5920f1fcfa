// The viewer's pages: one HTML page, its style and its script, served from the binary. The script
// takes the access token from the page's own address and adds it to every request.
#include "pages.h"

namespace quorvex::viewer {

const char kIndexHtml[] = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>quorvex</title>
<link rel="stylesheet" href="/style.css">
</head>
<body>
<header><a href="#" id="home">quorvex</a> <span id="where"></span></header>
<main id="view">Loading…</main>
<script src="/app.js"></script>
</body>
</html>
)html";

const char kStyleCss[] = R"css(body { font: 14px/1.4 system-ui, sans-serif; margin: 0; background: #f6f6f4; color: #222; }
header { background: #23303b; color: #fff; padding: 8px 16px; }
header a { color: #fff; font-weight: bold; text-decoration: none; }
main { padding: 16px; }
table { border-collapse: collapse; background: #fff; }
th, td { padding: 4px 8px; border-bottom: 1px solid #ddd; text-align: left; vertical-align: middle; }
th.sort { cursor: pointer; text-decoration: underline dotted; }
img.thumb { width: 80px; height: 60px; object-fit: cover; background: #ccc; }
.film img { width: 120px; margin-right: 4px; }
progress { width: 200px; }
.error { color: #a00; }
pre { background: #fff; padding: 8px; max-height: 320px; overflow: auto; }
video { background: #000; }
)css";

const char kAppJs[] = R"js('use strict';
const token = new URLSearchParams(location.search).get('token') || '';
const view = document.getElementById('view');
const where = document.getElementById('where');
const withToken = u => u + (u.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token);
async function api(path, options) {
  const r = await fetch(withToken(path), options);
  if (!r.ok) throw new Error(r.status + ': ' + (await r.text()));
  return r.json();
}
const post = (path, body) => api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                                          body: JSON.stringify(body || {}) });
const esc = s => String(s ?? '').replace(/[&<>"']/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
const seconds = ms => (ms / 1000).toFixed(3) + ' s';
const sizeText = b => b > 1048576 ? (b / 1048576).toFixed(1) + ' MiB' : (b / 1024).toFixed(0) + ' KiB';
const audioText = s => s.has_audio ? s.sample_rate + ' Hz ' + (s.channels === 2 ? 'stereo' : 'mono') : '-';

// Follows a job until it ends, showing its progress in `bar` and `label`.
async function follow(job, bar, label) {
  for (;;) {
    const j = await api('/api/jobs/' + job.id);
    bar.max = Math.max(1, j.total); bar.value = j.done;
    label.textContent = j.state === 'running' ? j.done + ' / ' + j.total : j.message;
    label.className = j.state === 'failed' ? 'error' : '';
    label.dataset.state = j.state;
    if (j.state !== 'running') return j;
    await new Promise(r => setTimeout(r, 250));
  }
}

async function shelf() {
  where.textContent = '';
  const discs = await (await fetch('/api/discs')).json();
  view.innerHTML = '<h1>Discs</h1><table id="discs"><tr><th>Disc</th><th>Image</th><th>Size</th><th>Format</th>' +
    '<th>Streams</th><th></th></tr>' + discs.map(d => '<tr data-id="' + d.id + '"><td><a href="#disc/' + d.id + '">' +
    esc(d.name) + '</a></td><td>' + esc(d.file) + '</td><td>' + sizeText(d.size) + '</td><td>' + esc(d.format) +
    '</td><td class="count">' + (d.scanned ? d.streams : 'not scanned') + '</td><td><button class="scan">Scan</button> ' +
    '<progress value="0" max="1"></progress> <span class="label"></span></td></tr>').join('') + '</table>';
  for (const row of view.querySelectorAll('tr[data-id]')) {
    row.querySelector('.scan').onclick = async () => {
      const label = row.querySelector('.label');
      try {
        const j = await follow(await post('/api/discs/' + row.dataset.id + '/scan'), row.querySelector('progress'), label);
        if (j.state === 'done') shelf();
      } catch (e) { label.textContent = e.message; label.className = 'error'; }
    };
  }
}

let sortKey = 'start_sector', sortUp = true;
async function disc(id) {
  view.textContent = 'Scanning…';
  const d = await api('/api/discs/' + id + '/streams');
  where.textContent = '/ ' + d.disc.name;
  const rows = d.streams.slice().sort((a, b) => {
    const x = a[sortKey], y = b[sortKey];
    return (x < y ? -1 : x > y ? 1 : a.number - b.number) * (sortUp ? 1 : -1);
  });
  const head = (key, text) => '<th class="sort" data-key="' + key + '">' + text + '</th>';
  view.innerHTML = '<h1>' + esc(d.disc.name) + '</h1><p>' + d.streams.length + ' streams. ' +
    '<button id="rip-selected">Rip selected</button> <progress id="rip-progress" value="0" max="1"></progress> ' +
    '<span id="job-state"></span></p><table id="streams"><tr><th></th><th></th><th>#</th><th>Name</th>' +
    head('plugin', 'Plug-in') + head('start_sector', 'Start') + head('duration_ms', 'Length') + head('kind', 'Kind') +
    '<th>Frames</th><th>FPS</th><th>Sound</th><th>Disc file</th></tr>' + rows.map(s =>
      '<tr data-number="' + s.number + '"><td><input type="checkbox" class="pick"></td><td>' +
      (s.thumbnail_url ? '<img class="thumb" loading="lazy" src="' + esc(s.thumbnail_url) + '">' : '') + '</td><td>' +
      s.number + '</td><td><a href="#disc/' + id + '/' + s.number + '">' + esc(s.name) + '</a></td><td>' + esc(s.plugin) +
      '</td><td>' + s.start_sector + '</td><td>' + seconds(s.duration_ms) + '</td><td>' + esc(s.kind_text) + '</td><td>' +
      (s.video ? s.frame_count : '-') + '</td><td>' + (s.video ? s.frames_per_second : '-') + '</td><td>' + audioText(s) +
      '</td><td>' + esc(s.file ?? '-') + (s.channel !== null ? ' ch ' + s.channel : '') + '</td></tr>').join('') + '</table>';
  for (const th of view.querySelectorAll('th.sort')) {
    th.onclick = () => { sortUp = sortKey === th.dataset.key ? !sortUp : true; sortKey = th.dataset.key; disc(id); };
  }
  document.getElementById('rip-selected').onclick = () => {
    const picked = [...view.querySelectorAll('tr[data-number]')].filter(r => r.querySelector('.pick').checked)
      .map(r => Number(r.dataset.number));
    rip(id, picked);
  };
}

async function rip(id, streams) {
  const label = document.getElementById('job-state');
  try {
    await follow(await post('/api/jobs', { disc: id, streams }), document.getElementById('rip-progress'), label);
  } catch (e) { label.textContent = e.message; label.className = 'error'; label.dataset.state = 'failed'; }
}

async function stream(id, number) {
  const d = await api('/api/discs/' + id + '/streams');
  const s = d.streams.find(x => x.number === number);
  if (!s) throw new Error('no stream ' + number);
  where.textContent = '/ ' + d.disc.name + ' / ' + s.name;
  const player = s.video
    ? '<video id="player" controls preload="auto" src="' + esc(s.media_url) + '"></video>'
    : '<audio id="player" controls preload="auto" src="' + esc(s.media_url) + '"></audio>';
  view.innerHTML = '<h1>' + esc(s.name) + '</h1>' + player + '<p>' + esc(s.kind_text) + ', ' + seconds(s.duration_ms) +
    (s.video ? ', ' + s.frame_count + ' frames at ' + s.frames_per_second + ' fps, ' + s.width + 'x' + s.height : '') +
    ', sound: ' + audioText(s) + '. Found by ' + esc(s.plugin) +
    (s.also_found_by.length ? ' (also by ' + esc(s.also_found_by.join(', ')) + ')' : '') + '.</p>' +
    (s.filmstrip_urls ? '<div class="film">' + s.filmstrip_urls.map(u => '<img loading="lazy" src="' + esc(u) + '">').join('') +
      '</div>' : '') +
    '<p><button id="rip-one">Rip this stream</button> <progress id="rip-progress" value="0" max="1"></progress> ' +
    '<span id="job-state"></span></p><pre id="description">' + esc(JSON.stringify(s, null, 2)) + '</pre>';
  document.getElementById('rip-one').onclick = () => rip(id, [number]);
}

async function route() {
  const parts = location.hash.replace(/^#/, '').split('/');
  try {
    if (parts[0] === 'disc' && parts.length === 2) await disc(parts[1]);
    else if (parts[0] === 'disc' && parts.length === 3) await stream(parts[1], Number(parts[2]));
    else await shelf();
  } catch (e) {
    view.innerHTML = '<p class="error" id="error"></p>';
    document.getElementById('error').textContent = e.message;
  }
}
window.addEventListener('hashchange', route);
route();
)js";

}  // namespace quorvex::viewer

// quorvex serve in a real browser: headless Chromium, driven over the DevTools protocol, opens the
// shelf, scans a disc, sees its thumbnails, plays a movie and a song, rips two picked streams, and
// the files are what quorvex rip writes. Takes a screenshot of the stream page.
//   node --experimental-websocket browser_test.mjs QUORVEX SAMPLES WORK_DIR SCREENSHOT.png
import { spawn, execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';

const [quorvex, samples, work, screenshot] = process.argv.slice(2);
const sleep = ms => new Promise(r => setTimeout(r, ms));
const children = [];
function finish(code, message) {
  if (message) console.error(message);
  for (const c of children) c.kill('SIGTERM');
  process.exit(code);
}
setTimeout(() => finish(1, 'the browser test ran out of time'), 300000).unref();

// The first match of `pattern` in what `child` prints.
function printed(child, pattern) {
  return new Promise((resolve, reject) => {
    let text = '';
    const look = chunk => {
      text += chunk;
      const m = text.match(pattern);
      if (m) resolve(m);
    };
    child.stdout.on('data', look);
    child.stderr.on('data', look);
    child.on('exit', code => reject(new Error(`${child.spawnfile} ended (${code}) before printing ${pattern}:\n${text}`)));
  });
}

rmSync(work, { recursive: true, force: true });
const shelf = `${work}/shelf`;
mkdirSync(shelf, { recursive: true });
for (const disc of ['walcite', 'ostrand', 'selvane']) {
  copyFileSync(`${samples}/${disc}.bin`, `${shelf}/${disc}.bin`);
  writeFileSync(`${shelf}/${disc}.cue`, `FILE "${disc}.bin" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n`);
}

const serve = spawn(quorvex, ['serve', shelf, '--port', '0', '--token', 'T', '--out', `${work}/out`]);
children.push(serve);
const [, port] = await printed(serve, /http:\/\/127\.0\.0\.1:(\d+)\/\?token=T/);
const origin = `http://127.0.0.1:${port}`;

const chrome = spawn('chromium', ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
  '--no-first-run', '--no-default-browser-check', '--remote-debugging-port=0',
  `--user-data-dir=${work}/profile`, '--autoplay-policy=no-user-gesture-required', '--mute-audio',
  '--window-size=1280,900', 'about:blank']);
children.push(chrome);
const [, browserSocket] = await printed(chrome, /DevTools listening on (ws:\/\/\S+)/);
const devtools = `http://127.0.0.1:${new URL(browserSocket).port}`;
const target = await (await fetch(`${devtools}/json/new?about:blank`, { method: 'PUT' })).json();

const socket = new WebSocket(target.webSocketDebuggerUrl);
await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
let next = 0;
const waiting = new Map();
socket.onmessage = event => {
  const m = JSON.parse(event.data);
  if (m.id && waiting.has(m.id)) {
    waiting.get(m.id)(m);
    waiting.delete(m.id);
  }
};
const send = (method, params = {}) => new Promise((resolve, reject) => {
  const id = ++next;
  waiting.set(id, m => (m.error ? reject(new Error(`${method}: ${m.error.message}`)) : resolve(m.result)));
  socket.send(JSON.stringify({ id, method, params }));
});
async function evaluate(expression) {
  const r = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
  if (r.exceptionDetails) throw new Error(r.exceptionDetails.exception?.description ?? r.exceptionDetails.text);
  return r.result.value;
}
// Waits in real time (a media element's clock runs in real time only) until `expression` holds.
async function until(expression, what, ms = 60000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await evaluate(expression).catch(() => null);
    if (value) return value;
    if (Date.now() > end) {
      const page = await evaluate('document.body.innerText').catch(() => '?');
      throw new Error(`waited in vain for ${what}; the page says:\n${page}`);
    }
    await sleep(200);
  }
}
function check(condition, what) {
  if (!condition) throw new Error(`not so: ${what}`);
  console.log(`ok: ${what}`);
}

try {
  await send('Page.enable');
  await send('Page.navigate', { url: `${origin}/?token=T` });
  await until(`document.querySelectorAll('#discs tr[data-id]').length === 3`, 'the shelf of three discs');
  const discs = await (await fetch(`${origin}/api/discs`)).json();
  const id = name => discs.find(d => d.name === name).id;
  check(discs.every(d => !d.scanned), 'no disc is scanned yet');

  // Scan walcite with its button: the progress ends and the shelf shows its five streams.
  await evaluate(`document.querySelector('#discs tr[data-id="${id('walcite')}"] .scan').click(), true`);
  await until(`document.querySelector('#discs tr[data-id="${id('walcite')}"] .count')?.textContent === '5'`, 'the scan');
  check(true, 'a scan from the shelf finds walcite\'s five streams');

  // The disc's streams, each movie with its thumbnail.
  await evaluate(`location.hash = '#disc/${id('walcite')}', true`);
  await until(`document.querySelectorAll('#streams tr[data-number]').length === 5`, 'the stream table');
  await until(`[...document.querySelectorAll('img.thumb')].every(i => i.complete && i.naturalWidth === 320)`,
              'every thumbnail', 120000);
  check(true, 'five thumbnails of 320x240 load');
  await evaluate(`document.querySelector('th[data-key="duration_ms"]').click(), true`);
  await until(`document.querySelector('#streams tr[data-number]')?.dataset.number === '5'`, 'sorting by length');
  check(true, 'sorting by length puts the shortest movie first');

  // Rip two picked streams.
  await evaluate(`for (const n of ['1', '4']) document.querySelector('#streams tr[data-number="' + n + '"] .pick').checked = true;
                  document.getElementById('rip-selected').click(), true`);
  await until(`document.getElementById('job-state').dataset.state === 'done'`, 'the rip of two streams', 180000);
  const jobs = await (await fetch(`${origin}/api/jobs?token=T`)).json();
  const ripped = jobs.find(j => j.kind === 'rip').files;
  check(ripped.length === 2, 'the rip wrote two files');

  // A movie plays: its clock advances, at the movie's size.
  await evaluate(`location.hash = '#disc/${id('walcite')}/1', true`);
  await until(`document.getElementById('player')?.readyState >= 2`, 'the movie to load', 120000);
  await evaluate(`document.getElementById('player').play().then(() => true)`);
  await until(`document.getElementById('player').currentTime > 1`, 'the movie to play for a second', 30000);
  const size = await evaluate(`[document.getElementById('player').videoWidth, document.getElementById('player').videoHeight]`);
  check(size[0] === 320 && size[1] === 240, `the movie plays at 320x240 (${size})`);
  await until(`[...document.querySelectorAll('.film img')].every(i => i.complete && i.naturalWidth === 320)`,
              'the filmstrip', 120000);
  check(true, 'the filmstrip loads');
  const shot = await send('Page.captureScreenshot', { format: 'png' });
  writeFileSync(screenshot, Buffer.from(shot.data, 'base64'));

  // A song plays.
  await evaluate(`location.hash = '#disc/${id('ostrand')}/1', true`);
  await until(`document.getElementById('player')?.tagName === 'AUDIO' && document.getElementById('player').readyState >= 2`,
              'the song to load', 120000);
  await evaluate(`document.getElementById('player').play().then(() => true)`);
  await until(`document.getElementById('player').currentTime > 0.5`, 'the song to play', 30000);
  check(true, 'a song plays');

  // The files of the rip are what quorvex rip writes.
  execFileSync(quorvex, ['rip', shelf, '-o', `${work}/cli`], { stdio: 'ignore' });
  const digest = file => createHash('sha256').update(readFileSync(file)).digest('hex');
  for (const f of ripped) check(digest(`${work}/out/${f}`) === digest(`${work}/cli/${f}`), `${f} is what quorvex rip writes`);
  finish(0);
} catch (e) {
  finish(1, e.stack ?? String(e));
}

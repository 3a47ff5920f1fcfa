// quorvex serve in a real browser: headless Chromium, driven over the DevTools protocol. A second
// server on the first one's port is refused; the shelf scans a disc; a disc's table is sorted and
// a stream ripped with the keyboard alone; a rip that includes a cut stream says so, lists its
// files, and a download equals what quorvex rip writes; a movie plays, its filmstrip seeks it, a
// song plays; axe-core finds nothing serious on the shelf, a disc or a stream page; and each of
// the three pages fits a 400-pixel-wide window. Screenshots of the three pages at 1280 and 400
// pixels go into SHOTS.
//   node browser_test.mjs QUORVEX SAMPLES WORK_DIR SHOTS_DIR
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import WebSocket from 'ws';

const require = createRequire(import.meta.url);
const [quorvex, samples, work, shots] = process.argv.slice(2);
const sleep = ms => new Promise(r => setTimeout(r, ms));
const children = [];
function finish(code, message) {
  if (message) console.error(message);
  for (const c of children) c.kill('SIGTERM');
  process.exit(code);
}
setTimeout(() => finish(1, 'the browser test ran out of time'), 420000).unref();

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
mkdirSync(shots, { recursive: true });
const shelf = `${work}/shelf`;
mkdirSync(shelf, { recursive: true });
const cue = name => `FILE "${name}.bin" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n`;
for (const disc of ['walcite', 'ostrand', 'selvane']) {
  copyFileSync(`${samples}/${disc}.bin`, `${shelf}/${disc}.bin`);
  writeFileSync(`${shelf}/${disc}.cue`, cue(disc));
}
// A dump cut short inside selvane's second movie: the first is whole, the second cut.
writeFileSync(`${shelf}/cutdisc.bin`, readFileSync(`${samples}/selvane.bin`).subarray(0, 427 * 2352));
writeFileSync(`${shelf}/cutdisc.cue`, cue('cutdisc'));

const serve = spawn(quorvex, ['serve', shelf, '--port', '0', '--token', 'T', '-o', `${work}/out`]);
children.push(serve);
const [, port] = await printed(serve, /http:\/\/127\.0\.0\.1:(\d+)\/\?token=T/);
const origin = `http://127.0.0.1:${port}`;

const chrome = spawn('chromium', ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
  '--no-first-run', '--no-default-browser-check', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--hide-scrollbars', '--remote-debugging-port=0', `--user-data-dir=${work}/profile`,
  '--autoplay-policy=no-user-gesture-required', '--mute-audio', '--window-size=1280,900', 'about:blank']);
children.push(chrome);
const [, browserSocket] = await printed(chrome, /DevTools listening on (ws:\/\/\S+)/);
const devtools = `http://127.0.0.1:${new URL(browserSocket).port}`;
const target = await (await fetch(`${devtools}/json/new?about:blank`, { method: 'PUT' })).json();

const socket = new WebSocket(target.webSocketDebuggerUrl);
await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
let next = 0;
const waiting = new Map();
socket.on('message', data => {
  const m = JSON.parse(data.toString());
  if (m.id && waiting.has(m.id)) {
    waiting.get(m.id)(m);
    waiting.delete(m.id);
  }
});
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
// Waits until the page has laid out and painted what it was last given: two frames drawn.
async function settled() {
  await evaluate('new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => r(true))))');
}
function check(condition, what) {
  if (!condition) throw new Error(`not so: ${what}`);
  console.log(`ok: ${what}`);
}
async function go(hash, ready, what) {
  await send('Page.navigate', { url: `${origin}/?token=T${hash}` });
  await until(ready, what);
}
async function width(pixels) {
  await send('Emulation.setDeviceMetricsOverride', { width: pixels, height: 900, deviceScaleFactor: 1, mobile: false });
}
async function shoot(name) {
  const shot = await send('Page.captureScreenshot', { format: 'png' });
  writeFileSync(`${shots}/${name}.png`, Buffer.from(shot.data, 'base64'));
}
// A key as a person presses it.
const keys = {
  Tab: { code: 'Tab', windowsVirtualKeyCode: 9 },
  Enter: { code: 'Enter', windowsVirtualKeyCode: 13, text: '\r' },
  ' ': { code: 'Space', windowsVirtualKeyCode: 32, text: ' ' },
};
async function press(key, shift = false) {
  const k = { key, modifiers: shift ? 8 : 0, ...keys[key] };
  await send('Input.dispatchKeyEvent', { type: 'keyDown', ...k });
  await send('Input.dispatchKeyEvent', { type: 'keyUp', ...k, text: undefined });
}
// Tabs (forwards, or backwards with Shift) until the focus is on what `is` (a test in the page) finds.
async function tabTo(is, what, backwards = false) {
  for (let i = 0; i < 80; ++i) {
    if (await evaluate(`(e => !!e && (${is}))(document.activeElement)`)) return;
    await press('Tab', backwards);
  }
  throw new Error(`Tab never reached ${what}`);
}
// axe-core's WCAG 2 A and AA rules on the page shown: nothing serious or critical.
const axeSource = readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
async function accessible(page) {
  await evaluate(`${axeSource}; true`);
  const found = await evaluate(`axe.run(document, { runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa'] } })
    .then(r => r.violations.filter(v => v.impact === 'serious' || v.impact === 'critical')
                           .map(v => v.id + ' (' + v.impact + '): ' + v.nodes.map(n => n.target.join(' ')).join(', ')))`);
  check(found.length === 0, `axe-core finds nothing serious on the ${page} page${found.length ? ':\n' + found.join('\n') : ''}`);
}
const digest = bytes => createHash('sha256').update(bytes).digest('hex');
// No value the page failed to put in words: a stray null, undefined, NaN or [object Object].
async function wordsOnly(page) {
  const stray = await evaluate(`(document.body.innerText.match(/\\b(null|undefined|NaN)\\b|\\[object Object\\]/g) || []).join(', ')`);
  check(stray === '', `the ${page} page shows no stray values${stray ? ' (it shows ' + stray + ')' : ''}`);
}

try {
  // A second server on the same port is refused at once; the first goes on.
  const second = spawnSync(quorvex, ['serve', shelf, '--port', port, '--token', 'U'], { timeout: 10000, encoding: 'utf8' });
  check(second.status === 1 && second.stderr.includes(`port ${port} is in use`),
        `a second server on port ${port} is refused (${second.status}: ${second.stderr.trim()})`);
  check((await fetch(`${origin}/api/discs`)).ok, 'the first server still answers');

  await send('Page.enable');
  await width(1280);
  await go('', `document.querySelectorAll('#discs tbody tr').length === 4`, 'the shelf of four discs');
  const discs = await (await fetch(`${origin}/api/discs`)).json();
  const id = name => discs.find(d => d.name === name).id;
  await accessible('shelf');
  await shoot('shelf-1280');

  // Scan walcite with its button: the shelf shows its five streams.
  await evaluate(`document.querySelector('#discs tr[data-id="${id('walcite')}"] .scan').click(), true`);
  await until(`document.querySelector('#discs tr[data-id="${id('walcite')}"] .count')?.textContent === '5'`, 'the scan');
  check(true, 'a scan from the shelf finds walcite\'s five streams');
  await until(`document.activeElement?.dataset.role === 'scan-result'`, 'the focus on the scan\'s result');
  check(true, 'the focus moves to the scan\'s result');

  // The disc's streams, each movie with its thumbnail.
  await go(`#disc/${id('walcite')}`, `document.querySelectorAll('#streams tbody tr').length === 5`, 'the stream table');
  await until(`document.querySelectorAll('img.thumb').length === 5 &&
               [...document.querySelectorAll('img.thumb')].every(i => i.complete && i.naturalWidth === 320)`,
              'every thumbnail', 120000);
  check(true, 'five thumbnails of 320x240 load');

  // With the keyboard alone: sort by length, pick the shortest, rip it.
  await tabTo(`e.matches('button.sort[data-key="duration_ms"]')`, 'the Length heading');
  await press('Enter');
  await until(`document.querySelector('#streams tbody tr')?.dataset.number === '5'`, 'sorting by length');
  check(true, 'Enter on the Length heading puts the shortest movie first');
  await tabTo(`e.id === 'pick-5'`, 'the shortest movie\'s box');
  await press(' ');
  check(await evaluate(`document.getElementById('pick-5').checked`), 'Space picks it');
  check((await evaluate(`document.getElementById('picked').textContent`)).startsWith('1 stream picked'),
        'the page counts what is picked');
  await tabTo(`e.id === 'rip-selected'`, 'the rip button', true);
  await press('Enter');
  await until(`document.querySelector('section[data-state]')?.dataset.state === 'done'`, 'the rip by keyboard', 180000);
  const byKeyboard = await evaluate(`[...document.querySelectorAll('ul.files a')].map(a => a.href)`);
  check(byKeyboard.length === 1, 'the rip lists its file with a link');
  await until(`document.activeElement?.dataset.role === 'rip-result'`, 'the focus on the rip\'s result');
  check(true, 'the focus moves to the rip\'s result, not the page\'s body');
  await until(`[...document.querySelectorAll('#streams tbody tr')].some(r => r.lastChild.textContent.startsWith('yes'))`,
              'the table to show what is ripped');
  check(true, 'the disc page shows the stream as ripped');
  await accessible('disc');
  await shoot('disc-1280');

  // A rip of everything on a cut disc: the cut stream is reported as cut, not as a failure.
  await go(`#disc/${id('cutdisc')}`, `document.querySelectorAll('#streams tbody tr').length === 2`, 'the cut disc');
  await evaluate(`document.getElementById('pick-all').click(), document.getElementById('rip-selected').click(), true`);
  await until(`['done', 'cut', 'failed'].includes(document.querySelector('section[data-state]')?.dataset.state)`,
              'the rip of the cut disc', 180000);
  const cutState = await evaluate(`document.querySelector('section[data-state]').dataset.state`);
  const lines = await evaluate(`[...document.querySelectorAll('ul.files li')].map(li => li.dataset.state + ': ' + li.textContent)`);
  check(cutState === 'cut' && lines.some(l => l.startsWith('cut:')) && lines.some(l => l.startsWith('done:')) &&
        !lines.some(l => l.startsWith('failed')),
        `a rip with a cut stream is shown as cut (${cutState}; ${lines.join(' | ')})`);
  const cutFile = await evaluate(`document.querySelector('ul.files li[data-state="cut"] a').getAttribute('href')`);
  const downloaded = Buffer.from(await (await fetch(`${origin}${cutFile}`)).arrayBuffer());
  spawnSync(quorvex, ['rip', `${shelf}/cutdisc.cue`, '-o', `${work}/cli`]);  // ends with status 3: cut
  const cliFile = (await (await fetch(`${origin}/api/jobs?token=T`)).json()).find(j => j.disc === id('cutdisc'))
    .streams.find(s => s.state === 'cut').name;
  check(digest(downloaded) === digest(readFileSync(`${work}/cli/cutdisc/${cliFile}.mkv`)),
        'the cut stream downloaded from the page is what quorvex rip writes');

  // A movie plays; a filmstrip picture seeks it; it can be shown twice as large.
  await go(`#disc/${id('walcite')}/1`, `document.getElementById('player')?.readyState >= 1`, 'the movie to load');
  await evaluate(`document.getElementById('player').play().then(() => true)`);
  await until(`document.getElementById('player').currentTime > 1`, 'the movie to play for a second', 30000);
  check(await evaluate(`document.getElementById('preview-note') === null`), 'the word that the preview is being made is gone once it plays');
  const size = await evaluate(`[document.getElementById('player').videoWidth, document.getElementById('player').videoHeight]`);
  check(size[0] === 320 && size[1] === 240, `the movie plays at 320x240 (${size})`);
  await until(`[...document.querySelectorAll('.film img')].every(i => i.complete && i.naturalWidth === 320)`,
              'the filmstrip', 120000);
  await evaluate(`(p => {
    p.pause();
    window.playedFrom = undefined;
    p.addEventListener('playing', () => { window.playedFrom = p.currentTime; }, { once: true });
    document.querySelectorAll('.film button')[4].click();
    return true;
  })(document.getElementById('player'))`);
  const stream = (await (await fetch(`${origin}/api/discs/${id('walcite')}/streams?token=T`)).json()).streams[0];
  const expected = stream.filmstrip_seconds[4];
  await until(`window.playedFrom !== undefined && Math.abs(window.playedFrom - ${expected}) < 0.1`, 'the filmstrip to seek and play');
  check(true, `the fifth filmstrip picture plays the movie from ${expected.toFixed(2)} s`);
  await evaluate(`[...document.querySelectorAll('button')].find(b => b.textContent === 'Twice as large').click(), true`);
  check(await until(`document.getElementById('player').clientWidth === 640`, 'the larger player'), 'the player grows to twice the picture');
  check(await evaluate(`!!document.querySelector('dl.facts') && document.querySelector('details pre') !== null`),
        'the stream page shows its facts, and its JSON behind a toggle');
  await accessible('stream');
  await shoot('stream-1280');

  // A song plays.
  await go(`#disc/${id('ostrand')}/1`, `document.getElementById('player')?.tagName === 'AUDIO' &&
                                        document.getElementById('player').readyState >= 1`, 'the song to load');
  await evaluate(`document.getElementById('player').play().then(() => true)`);
  await until(`document.getElementById('player').currentTime > 0.5`, 'the song to play', 30000);
  check(true, 'a song plays');
  await wordsOnly('song');
  check((await evaluate(`document.getElementById('ripped-fact').textContent`)) === 'not yet', 'the song is not ripped yet');
  await evaluate(`document.getElementById('rip-one').click(), true`);
  await until(`document.getElementById('ripped-fact').textContent.startsWith('yes')`, 'the song page to show the rip', 120000);
  check(true, 'the stream page says the stream is ripped once the rip is through');

  // A narrow window: each page fits, nothing scrolls the page sideways.
  await width(400);
  for (const [name, hash, ready] of [
    ['shelf', '', `document.querySelectorAll('#discs tbody tr').length === 4`],
    ['disc', `#disc/${id('walcite')}`, `document.querySelectorAll('#streams tbody tr').length === 5`],
    ['stream', `#disc/${id('walcite')}/1`, `document.getElementById('player')?.readyState >= 1`],
  ]) {
    await go(hash, ready, `the ${name} page at 400 pixels`);
    await settled();
    await wordsOnly(name);
    const scroll = await evaluate(`document.documentElement.scrollWidth`);
    check(scroll === 400, `the ${name} page is ${scroll} pixels wide in a 400-pixel window`);
    await shoot(`${name}-400`);
  }
  finish(0);
} catch (e) {
  finish(1, e.stack ?? String(e));
}

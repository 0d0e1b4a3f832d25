// The client library against the real program ($HIDPIPE): each call's events in the event log (the
// none backend) are those of the lines it stands for; bad arguments send nothing; hidpipe's failures
// reject with its reason; and on Xvfb ($X11_READER) an X application gets exactly the text typed.
//   HIDPIPE=build/debug/hidpipe node --test clients/node/test/
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { BUTTONS, Hidpipe, HidpipeError, KEYS, VERSION } from '../index.js';

const PROGRAM = process.env.HIDPIPE ?? '';
const SOURCE = join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..');
const skip = PROGRAM ? false : 'HIDPIPE names no program';

// The events hidpipe logs for run(h) on the none backend, or, with lines, for those lines written
// to it directly.
async function logged(run, lines = null) {
  const folder = mkdtempSync(join(tmpdir(), 'hidpipe-'));
  try {
    const env = { ...process.env, HIDPIPE_SIM_LOG: join(folder, 'log') };
    if (lines === null) {
      await Hidpipe.session({ program: PROGRAM, backend: 'none', env }, run);
    } else {
      const input = lines.map((line) => `${line}\n`).join('');
      execFileSync(PROGRAM, [], { input, env: { ...env, HIDPIPE_BACKEND: 'none' }, stdio: ['pipe', 'ignore', 'inherit'] });
    }
    const text = readFileSync(join(folder, 'log'), 'utf8');
    return text.split('\n').filter(Boolean).map((line) => JSON.parse(line));
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
}

// Each call, and the lines it stands for.
const calls = [
  ['move', (h) => h.move(10, -20), ['M 10 -20']],
  ['moveBy', async (h) => { await h.move(5, 5); await h.moveBy(-3, 4); }, ['M 5 5', 'D -3 4']],
  ['press and release', async (h) => { await h.move(7, 8); await h.press(); await h.release('left'); },
    ['M 7 8', 'B 7 8 0 1', 'B 7 8 0 0']],
  ['press at a place', (h) => h.press('back', 3, 4), ['B 3 4 3 1']],
  ['click', (h) => h.click(10, 20), ['B 10 20 0 1', 'B 10 20 0 0']],
  ['double right click', (h) => h.click(10, 20, 'right', 2), ['B 10 20 2 1', 'B 10 20 2 0', 'B 10 20 2 1', 'B 10 20 2 0']],
  ['drag', (h) => h.drag([[0, 0], [5, 0], [5, 5]], 'middle'), ['B 0 0 1 1', 'M 5 0', 'M 5 5', 'B 5 5 1 0']],
  ['scroll', (h) => h.scroll(9, 9, -1000, 120), ['W 9 9 -1000 120']],
  ['tap', (h) => h.tap('ControlLeft', 'AltLeft', 'KeyC'),
    ['K ControlLeft 1', 'K AltLeft 1', 'K KeyC 1', 'K KeyC 0', 'K AltLeft 0', 'K ControlLeft 0']],
  ['keyDown and keyUp', async (h) => { await h.keyDown('ShiftLeft'); await h.keyUp('ShiftLeft'); },
    ['K ShiftLeft 1', 'K ShiftLeft 0']],
  ['type lines', (h) => h.type('x\ny\r\nz\r'),
    ['T x', 'K Enter 1', 'K Enter 0', 'T y', 'K Enter 1', 'K Enter 0', 'T z', 'K Enter 1', 'K Enter 0']],
  ['type long', (h) => h.type('é'.repeat(50)), [`T ${'é'.repeat(46)}`, `T ${'é'.repeat(4)}`]],
  ['releaseAll', async (h) => { await h.keyDown('KeyA'); await h.press('left', 1, 1); await h.releaseAll(); },
    ['K KeyA 1', 'B 1 1 0 1', 'R']],
  ['pause and sync', async (h) => { await h.pause(0); await h.sync(); }, []],
];

// Calls that must throw before they send anything, and what the error names.
const badCalls = [
  ['an unknown key', (h) => h.keyDown('KeyAA'), 'KeyAA'],
  ['tap of nothing', (h) => h.tap(), 'at least one'],
  ['an unknown button', (h) => h.click(1, 1, 'thumb'), 'thumb'],
  ['a button past 4', (h) => h.press(5, 1, 1), 'button'],
  ['a press with no position', (h) => h.press(), 'no position'],
  ['x alone', (h) => h.press('left', 1), 'both x and y'],
  ['a fraction', (h) => h.move(1.5, 2), 'x'],
  ['past 32 bits', (h) => h.move(2 ** 31, 0), 'x'],
  ['a scroll past 1000', (h) => h.scroll(0, 0, 0, 1001), 'dy'],
  ['a count of 4', (h) => h.click(1, 1, 'left', 4), 'count'],
  ['a drag of one point', (h) => h.drag([[1, 1]]), 'two points'],
  ['a pause past a minute', (h) => h.pause(60001), 'ms'],
  ['text with NUL', (h) => h.type('a\0b'), 'NUL'],
  ['a lone surrogate', (h) => h.type('a\ud800'), 'surrogate'],
  ['a timeout of 0', (h) => h.sync(0), 'timeout'],
];

test('each call logs the events of its lines', { skip }, async (t) => {
  for (const [what, run, lines] of calls) {
    await t.test(what, async () => assert.deepEqual(await logged(run), await logged(null, lines)));
  }
});

test('clicks are counted and text is whole', { skip }, async () => {
  const clicks = (await logged((h) => h.click(4, 4, 'left', 3))).filter((e) => e.type === 1).map((e) => e.click);
  assert.deepEqual(clicks, [1, 2, 3]);
  const text = 'Grüße aus 東京, 🙂 '.repeat(10);
  const events = await logged((h) => h.type(text));
  assert.equal(events.filter((e) => e.type === 10).map((e) => e.text).join(''), text);
});

test('bad arguments send nothing', { skip }, async (t) => {
  for (const [what, run, named] of badCalls) {
    await t.test(what, async () => {
      const events = await logged(async (h) => {
        await assert.rejects(async () => run(h), (error) => error.message.includes(named));
        await h.sync();
      });
      assert.deepEqual(events, []);
    });
  }
});

test('the key names and version are the program\'s', { skip }, () => {
  const table = [...readFileSync(join(SOURCE, 'src', 'keyboard', 'keys.h'), 'utf8').matchAll(/^ {4}\{"(\w+)",/gm)].map((m) => m[1]);
  assert.deepEqual([...KEYS], table);
  assert.equal(execFileSync(PROGRAM, ['--version'], { encoding: 'utf8' }).trim(), `hidpipe ${VERSION}`);
  assert.equal(BUTTONS.back, 3);
});

test('failures reject with hidpipe\'s reason', { skip }, async (t) => {
  await t.test('a bad backend', async () => {
    const h = new Hidpipe({ program: PROGRAM, backend: 'nosuch' });
    await assert.rejects(h.sync(), (error) => error instanceof HidpipeError && error.status === 1 && error.reason.includes('nosuch'));
    await assert.rejects(h.close(), HidpipeError);
  });
  await t.test('an early exit', async () => {
    const h = new Hidpipe({ program: PROGRAM, backend: 'none', env: { ...process.env, HIDPIPE_SIM_FAIL: 'source' } });
    await assert.rejects(async () => { for (;;) { await h.move(1, 1); await h.sync(); } },
      (error) => error instanceof HidpipeError && error.status === 1);
  });
  await t.test('a program that is not there', async () => {
    const h = new Hidpipe({ program: '/nonexistent/hidpipe' });
    await assert.rejects(h.sync(), (error) => error instanceof HidpipeError && error.message.includes('/nonexistent/hidpipe'));
  });
  await t.test('a killed hidpipe', async () => {
    const h = new Hidpipe({ program: PROGRAM, backend: 'none', env: { ...process.env, HIDPIPE_SIM_LOG: '/dev/null' } });
    await h.sync();
    h.process.kill('SIGKILL');
    await assert.rejects(h.close(), (error) => error instanceof HidpipeError && error.status === -9);
  });
});

// Xvfb on a display of its own, and the X application that prints what it is typed.
async function x11Reader(reader) {
  const server = spawn('Xvfb', ['-displayfd', '3', '-noreset', '-nolisten', 'tcp', '-screen', '0', '1024x768x24'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    let got = '';
    const timer = setTimeout(() => reject(new Error('Xvfb gave no display')), 10000);
    server.stdio[3].on('data', (chunk) => {
      got += chunk;
      if (got.includes('\n')) { clearTimeout(timer); resolve(`:${got.trim()}`); }
    });
  });
  const env = { ...process.env, DISPLAY: display };
  const child = spawn(reader, [], { stdio: ['pipe', 'pipe', 'inherit'], env });
  let pending = '';
  const waiters = [];
  child.stdout.on('data', (chunk) => { pending += chunk; waiters.splice(0).forEach((wake) => wake()); });
  // The reader's lines before word.
  const waitFor = async (word) => {
    const lines = [];
    const until = Date.now() + 10000;
    for (;;) {
      let cut;
      while ((cut = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, cut);
        pending = pending.slice(cut + 1);
        if (line === word) return lines;
        lines.push(line);
      }
      if (Date.now() > until) throw new Error(`no ${word} from the reader; it said ${lines}`);
      await new Promise((wake) => { waiters.push(wake); setTimeout(wake, 200); });
    }
  };
  await waitFor('ready');
  return {
    env,
    // Every character typed so far, once the reader has drained its events.
    async typed() {
      child.stdin.write('?\n');
      return (await waitFor('drained')).filter((line) => line.startsWith('c '))
        .map((line) => String.fromCodePoint(...line.split(' ').slice(1).map((code) => parseInt(code, 16)))).join('');
    },
    stop() { child.kill('SIGKILL'); server.kill('SIGKILL'); },
  };
}

const x11Missing = !PROGRAM || !process.env.X11_READER || spawnSync('sh', ['-c', 'command -v Xvfb']).status !== 0;
test('type and sync give an X application every character', async (t) => {
  if (x11Missing) {
    if (process.env.HIDPIPE_REQUIRE_X11) assert.fail('needs HIDPIPE, X11_READER and Xvfb (apt-get install xvfb)');
    t.skip('needs HIDPIPE, X11_READER and Xvfb');
    return;
  }
  const x = await x11Reader(process.env.X11_READER);
  try {
    const text = `Grüße aus 東京!\nab\tc 🙂${'ä'.repeat(60)}`;
    await Hidpipe.session({ program: PROGRAM, backend: 'x11', env: x.env }, async (h) => {
      await h.type(text);
      await h.sync();
      assert.equal(await x.typed(), text.replace(/\n/g, '\r'));
      await h.tap('ShiftLeft', 'KeyA');
      await h.sync();
      assert.equal(await x.typed(), 'A');
    });
  } finally {
    x.stop();
  }
});

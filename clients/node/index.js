// Drives the keyboard and mouse through hidpipe: one long-lived hidpipe process, fed one command
// per line. Every argument is checked before anything is sent, so hidpipe never gets a line it
// would ignore. Each call returns a Promise that settles once its lines are written.
//
//   import { Hidpipe } from 'hidpipe';
//   await Hidpipe.session({}, async (h) => {
//     await h.click(100, 200);
//     await h.type('Grüße aus 東京\n');
//     await h.sync(); // the events have been delivered
//   });
import { spawn } from 'node:child_process';
import { constants } from 'node:os';
import { createInterface } from 'node:readline';
import { KEYS } from './keys.js';

export { KEYS };
export const VERSION = '0.2.0';
// Buttons by name, as MouseEvent.button numbers them.
export const BUTTONS = Object.freeze({ left: 0, middle: 1, right: 2, back: 3, forward: 4 });

const keySet = new Set(KEYS);
const INT_MIN = -(2 ** 31);
const INT_MAX = 2 ** 31 - 1;
const TEXT_BYTES = 93; // of text after "T " in one line
const REMARKS = 50; // lines of hidpipe's diagnostics kept for an error's reason

// hidpipe could not start, ended early, or ended with a failure status: status is its exit status
// (negative: the signal's number), or null while it runs; reason is what it said.
export class HidpipeError extends Error {
  constructor(message, status = null, reason = '') {
    super(reason ? `${message}: ${reason}` : message);
    this.name = 'HidpipeError';
    this.status = status;
    this.reason = reason;
  }
}

function number(name, value, low = INT_MIN, high = INT_MAX) {
  if (!Number.isInteger(value)) throw new TypeError(`${name} must be an integer, not ${String(value)}`);
  if (value < low || value > high) throw new RangeError(`${name} must be ${low} to ${high}, not ${value}`);
  return value;
}

function button(value) {
  if (typeof value === 'string') {
    if (!Object.hasOwn(BUTTONS, value)) {
      throw new RangeError(`button must be one of ${Object.keys(BUTTONS).join(', ')}, not "${value}"`);
    }
    return BUTTONS[value];
  }
  return number('button', value, 0, 4);
}

function key(code) {
  if (typeof code !== 'string' || !keySet.has(code)) {
    throw new RangeError(`unknown key ${JSON.stringify(code)}: a KeyboardEvent code hidpipe knows, such as KeyA or ShiftLeft`);
  }
  return code;
}

// The lines that type text: T lines of whole characters, and Enter for each line break (a newline,
// a carriage return and newline, or a carriage return alone).
function textLines(text) {
  if (typeof text !== 'string') throw new TypeError(`text must be a string, not ${typeof text}`);
  if (text.includes('\0')) throw new RangeError('text cannot hold a NUL character');
  // In a u pattern a surrogate pair is one code point: only a lone surrogate matches.
  if (/[\uD800-\uDFFF]/u.test(text)) throw new RangeError('text is not Unicode text: it holds a lone surrogate');
  const lines = [];
  text.replace(/\r\n?/g, '\n').split('\n').forEach((part, index) => {
    if (index > 0) lines.push('K Enter 1', 'K Enter 0');
    let chunk = '';
    let size = 0;
    for (const ch of part) {
      const n = Buffer.byteLength(ch);
      if (size + n > TEXT_BYTES) {
        lines.push(`T ${chunk}`);
        chunk = '';
        size = 0;
      }
      chunk += ch;
      size += n;
    }
    if (chunk) lines.push(`T ${chunk}`);
  });
  return lines;
}

export class Hidpipe {
  // Starts hidpipe. program is its path: by default $HIDPIPE, else hidpipe on PATH. backend sets
  // HIDPIPE_BACKEND for it (undefined: its automatic choice); verbose passes its diagnostics on to
  // this process's standard error; env, where given, is its whole environment.
  constructor({ program, backend, verbose = false, env } = {}) {
    const path = program || process.env.HIDPIPE || 'hidpipe';
    const environment = { ...(env ?? process.env) };
    if (backend !== undefined && backend !== null) {
      if (typeof backend !== 'string' || !/^[a-z0-9]+$/i.test(backend)) {
        throw new RangeError(`backend must be a backend's name, such as x11, not ${JSON.stringify(backend)}`);
      }
      environment.HIDPIPE_BACKEND = backend;
    }
    this.token = 0;
    this.position = null; // where the pointer was put last
    this.remarks = [];
    this.waiting = new Map(); // reply line -> the function that settles its sync()
    this.failure = null; // why it could not run
    // Always -v: its words are the reason when it fails.
    this.process = spawn(path, ['-v'], { stdio: ['pipe', 'pipe', 'pipe'], env: environment });
    this.process.stdin.on('error', () => {}); // a write after its end: the call rejects instead
    this.exited = new Promise((resolve) => {
      this.process.on('error', (error) => {
        this.failure = new HidpipeError(`cannot run ${path}`, null, error.message);
        resolve(null);
      });
      this.process.on('close', (code, signal) => resolve(signal ? -(constants.signals[signal] ?? 0) : code));
    });
    createInterface({ input: this.process.stderr }).on('line', (line) => {
      this.remarks.push(line);
      if (this.remarks.length > REMARKS) this.remarks.shift();
      if (verbose) process.stderr.write(`${line}\n`);
    });
    const replies = createInterface({ input: this.process.stdout });
    replies.on('line', (line) => this.waiting.get(line)?.(null));
    replies.on('close', () => {
      for (const settle of [...this.waiting.values()]) settle('ended');
    });
  }

  // Runs fn(h) on a new hidpipe and closes it after, also when fn throws (that error wins).
  static async session(options, fn) {
    const h = new Hidpipe(options);
    let result;
    try {
      result = await fn(h);
    } catch (error) {
      await h.close().catch(() => {});
      throw error;
    }
    await h.close();
    return result;
  }

  reason() {
    // Where it started is no reason; what it said after is.
    return this.remarks.filter((line) => !line.startsWith('hidpipe: events go to')).slice(-5).join('\n');
  }

  async ended(what) {
    const status = await this.exited;
    if (this.failure) return this.failure;
    return new HidpipeError(what, status, this.reason());
  }

  // Writes lines as they are; rejects with HidpipeError when hidpipe has ended.
  send(...lines) {
    const data = lines.map((line) => `${line}\n`).join('');
    return new Promise((resolve, reject) => {
      if (this.failure || this.process.exitCode !== null || this.process.signalCode !== null || !this.process.stdin.writable) {
        this.ended('hidpipe ended before it took the commands').then(reject);
        return;
      }
      this.process.stdin.write(data, (error) => {
        if (error) this.ended('hidpipe ended before it took the commands').then(reject);
        else resolve();
      });
    });
  }

  // The pointer.
  async move(x, y) {
    await this.send(`M ${number('x', x)} ${number('y', y)}`);
    this.position = [x, y];
  }

  async moveBy(dx, dy) {
    await this.send(`D ${number('dx', dx)} ${number('dy', dy)}`);
    this.position = null;
  }

  at(x, y, what) {
    if (x === undefined && y === undefined) {
      if (!this.position) throw new RangeError(`${what}: no position known: move(x, y) first, or give x and y`);
      return this.position;
    }
    if (x === undefined || y === undefined) throw new RangeError(`${what}: give both x and y, or neither`);
    return [number('x', x), number('y', y)];
  }

  // Presses button ("left", "middle", "right", "back", "forward", or 0 to 4) at (x, y), or where
  // the pointer was put last.
  async press(which = 'left', x = undefined, y = undefined) {
    const b = button(which);
    const [px, py] = this.at(x, y, 'press');
    await this.send(`B ${px} ${py} ${b} 1`);
    this.position = [px, py];
  }

  async release(which = 'left', x = undefined, y = undefined) {
    const b = button(which);
    const [px, py] = this.at(x, y, 'release');
    await this.send(`B ${px} ${py} ${b} 0`);
    this.position = [px, py];
  }

  // Clicks count times (1 to 3: a double or triple click) at (x, y), in one write.
  async click(x, y, which = 'left', count = 1) {
    const b = button(which);
    const n = number('count', count, 1, 3);
    const pair = [`B ${number('x', x)} ${number('y', y)} ${b} 1`, `B ${x} ${y} ${b} 0`];
    await this.send(...Array.from({ length: n }, () => pair).flat());
    this.position = [x, y];
  }

  // Presses at the path's first point, moves through the rest, releases at the last.
  async drag(path, which = 'left') {
    const b = button(which);
    if (!Array.isArray(path)) throw new TypeError('drag: the path must be an array of [x, y] points');
    const points = path.map(([x, y]) => [number('x', x), number('y', y)]);
    if (points.length < 2) throw new RangeError('drag: the path needs at least two points');
    const [first, last] = [points[0], points[points.length - 1]];
    await this.send(`B ${first[0]} ${first[1]} ${b} 1`, ...points.slice(1).map(([x, y]) => `M ${x} ${y}`),
      `B ${last[0]} ${last[1]} ${b} 0`);
    this.position = last;
  }

  // Scrolls by (dx, dy) pixels at (x, y), each -1000 to 1000: positive is right and down; 120 a notch.
  async scroll(x, y, dx, dy) {
    await this.send(`W ${number('x', x)} ${number('y', y)} ${number('dx', dx, -1000, 1000)} ${number('dy', dy, -1000, 1000)}`);
    this.position = [x, y];
  }

  // The keyboard, by KeyboardEvent code ("KeyA", "ShiftLeft", ...).
  async keyDown(code) {
    return this.send(`K ${key(code)} 1`);
  }

  async keyUp(code) {
    return this.send(`K ${key(code)} 0`);
  }

  // Presses the keys in order and releases them in reverse: tap('ControlLeft', 'KeyC').
  async tap(...codes) {
    if (codes.length === 0) throw new RangeError('tap: name at least one key');
    const names = codes.map(key);
    return this.send(...names.map((n) => `K ${n} 1`), ...[...names].reverse().map((n) => `K ${n} 0`));
  }

  // Types text as it is, whatever the keyboard layout; each line break is the Enter key.
  async type(text) {
    const lines = textLines(text);
    if (lines.length) await this.send(...lines);
  }

  // The session.
  async releaseAll() {
    return this.send('R');
  }

  async pause(ms) {
    return this.send(`P ${number('ms', ms, 0, 60000)}`);
  }

  // Resolves once every event sent so far has been delivered; rejects with an Error named
  // TimeoutError when no answer comes within timeout seconds, with HidpipeError when hidpipe ended.
  async sync(timeout = 5.0) {
    if (typeof timeout !== 'number' || !(timeout > 0)) {
      throw new RangeError(`timeout must be a number of seconds above 0, not ${String(timeout)}`);
    }
    const want = `S ${++this.token}`;
    const answer = new Promise((resolve, reject) => {
      const timer = setTimeout(() => settle('late'), timeout * 1000);
      const settle = (why) => {
        clearTimeout(timer);
        this.waiting.delete(want);
        if (why === null) resolve();
        else if (why === 'ended') this.ended('hidpipe ended before it answered').then(reject);
        else {
          const error = new Error(`hidpipe did not answer within ${timeout} s`);
          error.name = 'TimeoutError';
          reject(error);
        }
      };
      this.waiting.set(want, settle);
    });
    this.send(want).catch(() => this.waiting.get(want)?.('ended'));
    return answer;
  }

  // Ends the input, so that hidpipe releases what is held, and waits for it to exit: resolves to
  // its status, 0; rejects with HidpipeError and hidpipe's reason on any other.
  async close(timeout = 10.0) {
    this.process.stdin.end();
    const timer = setTimeout(() => this.process.kill('SIGKILL'), timeout * 1000);
    const status = await this.exited;
    clearTimeout(timer);
    if (this.failure) throw this.failure;
    if (status !== 0) throw new HidpipeError(`hidpipe ended with status ${status}`, status, this.reason());
    return status;
  }
}

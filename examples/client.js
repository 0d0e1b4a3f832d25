#!/usr/bin/env node
// Drives hidpipe from Node.js (no dependencies): types text in any language, draws a square with a
// left drag, double-clicks, scrolls and clicks the back button.
//
// hidpipe stays running for the whole session, its standard input kept open; closing it ends the
// session, and hidpipe then releases anything still held. sync() asks hidpipe to say when
// everything sent so far has been delivered, where a controller would otherwise sleep a guessed time.
//
//     HIDPIPE=/path/to/hidpipe node examples/client.js [text]
'use strict';

const { spawn } = require('node:child_process');
const readline = require('node:readline');

// A T line holds at most 93 bytes of text after "T ".
const TEXT_BYTES = 93;

class Hidpipe {
  constructor(program) {
    this.process = spawn(program, [], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.exited = new Promise((resolve) => this.process.on('exit', (code) => resolve(code)));
    this.token = 0;
    this.waiting = new Map(); // reply line -> the function that settles its sync()
    const lines = readline.createInterface({ input: this.process.stdout });
    // Other lines are the event log's ("{...}") when it shares standard output.
    lines.on('line', (line) => this.waiting.get(line)?.(null));
    lines.on('close', () => {
      for (const settle of this.waiting.values()) settle(new Error('hidpipe ended before it replied'));
    });
  }

  // Resolves once hidpipe has delivered every event sent so far (an S line and its reply); rejects
  // when no reply comes within timeoutMs.
  sync(timeoutMs = 5000) {
    const want = `S ${++this.token}`;
    const reply = new Promise((resolve, reject) => {
      const timer = setTimeout(() => settle(new Error(`no reply to "${want}" within ${timeoutMs} ms`)), timeoutMs);
      const settle = (error) => {
        clearTimeout(timer);
        this.waiting.delete(want);
        if (error) reject(error);
        else resolve();
      };
      this.waiting.set(want, settle);
    });
    this.send(want);
    return reply;
  }

  send(...lines) {
    this.process.stdin.write(lines.map((line) => line + '\n').join(''), 'utf8');
  }

  key(name) {
    this.send(`K ${name} 1`, `K ${name} 0`);
  }

  // Types text as it is, whatever the keyboard layout: T lines of whole characters, and the Enter
  // key for each line break (a T line ends at its newline).
  typeText(text) {
    text.split('\n').forEach((line, number) => {
      if (number > 0) this.key('Enter');
      let chunk = '';
      for (const ch of line) {
        if (Buffer.byteLength(chunk + ch, 'utf8') > TEXT_BYTES) {
          this.send('T ' + chunk);
          chunk = '';
        }
        chunk += ch;
      }
      if (chunk) this.send('T ' + chunk);
    });
  }

  dragSquare(x, y, side) {
    const corners = [[x + side, y], [x + side, y + side], [x, y + side], [x, y]];
    this.send(`M ${x} ${y}`, `B ${x} ${y} 0 1`);
    this.send(...corners.map(([cx, cy]) => `M ${cx} ${cy}`));
    this.send(`B ${x} ${y} 0 0`);
  }

  // Button 0 left, 1 middle, 2 right, 3 back, 4 forward.
  click(x, y, button = 0) {
    this.send(`B ${x} ${y} ${button} 1`, `B ${x} ${y} ${button} 0`);
  }

  doubleClick(x, y) {
    // Written together, the second press comes well within the double-click time.
    this.click(x, y);
    this.click(x, y);
  }

  scroll(x, y, dx, dy) {
    this.send(`W ${x} ${y} ${dx} ${dy}`);
  }

  // Everything sent has landed before the pipe closes and hidpipe releases what it holds.
  async close() {
    await this.sync();
    this.process.stdin.end();
    return this.exited;
  }
}

async function main() {
  const text = process.argv[2] || 'Hello, Grüße aus 東京!';
  const hidpipe = new Hidpipe(process.env.HIDPIPE || 'hidpipe');
  try {
    await hidpipe.sync(); // ready: a new uinput device, say, has settled
    hidpipe.typeText(text);
    await hidpipe.sync(); // the text has reached the application: a screenshot would show it now
    hidpipe.dragSquare(100, 100, 200);
    hidpipe.doubleClick(200, 200);
    hidpipe.scroll(200, 200, 0, 240);
    hidpipe.click(200, 200, 3); // back
    const status = await hidpipe.close();
    if (status !== 0) console.error(`hidpipe exited with status ${status}`);
    process.exitCode = status;
  } catch (error) {
    hidpipe.process.kill(); // SIGTERM: hidpipe releases what it holds
    throw error;
  }
}

main().catch((error) => {
  console.error(`client.js: ${error.message}`);
  process.exitCode = 1;
});

#!/usr/bin/env node
// Drives hidpipe from Node.js (no dependencies): types text in any language, draws a square with a
// left drag, double-clicks, scrolls and clicks the back button.
//
// hidpipe stays running for the whole session, its standard input kept open; closing it ends the
// session, and hidpipe then releases anything still held.
//
//     HIDPIPE=/path/to/hidpipe node examples/client.js [text]
'use strict';

const { spawn } = require('node:child_process');

// A T line holds at most 93 bytes of text after "T ".
const TEXT_BYTES = 93;

class Hidpipe {
  constructor(program) {
    this.process = spawn(program, [], { stdio: ['pipe', 'inherit', 'inherit'] });
    this.exited = new Promise((resolve) => this.process.on('exit', (code) => resolve(code)));
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

  close() {
    this.process.stdin.end();
    return this.exited;
  }
}

async function main() {
  const text = process.argv[2] || 'Hello, Grüße aus 東京!';
  const hidpipe = new Hidpipe(process.env.HIDPIPE || 'hidpipe');
  hidpipe.typeText(text);
  hidpipe.dragSquare(100, 100, 200);
  hidpipe.doubleClick(200, 200);
  hidpipe.scroll(200, 200, 0, 240);
  hidpipe.click(200, 200, 3); // back
  const status = await hidpipe.close();
  if (status !== 0) console.error(`hidpipe exited with status ${status}`);
  process.exitCode = status;
}

main();

#!/usr/bin/env node
// Drives hidpipe from Node.js (no dependencies): types a word with Shift for its capital, draws a
// square with a left drag, double-clicks and scrolls.
//
// hidpipe stays running for the whole session, its standard input kept open; closing it ends the
// session, and hidpipe then releases anything still held.
//
//     HIDPIPE=/path/to/hidpipe node examples/client.js [word]
'use strict';

const { spawn } = require('node:child_process');

class Hidpipe {
  constructor(program) {
    this.process = spawn(program, [], { stdio: ['pipe', 'inherit', 'inherit'] });
    this.exited = new Promise((resolve) => this.process.on('exit', (code) => resolve(code)));
  }

  send(...lines) {
    this.process.stdin.write(lines.map((line) => line + '\n').join(''));
  }

  key(name) {
    this.send(`K ${name} 1`, `K ${name} 0`);
  }

  typeWord(word) {
    for (const ch of word) {
      const code = 'Key' + ch.toUpperCase();
      if (ch !== ch.toLowerCase()) {
        this.send('K ShiftLeft 1');
        this.key(code);
        this.send('K ShiftLeft 0');
      } else {
        this.key(code);
      }
    }
  }

  dragSquare(x, y, side) {
    const corners = [[x + side, y], [x + side, y + side], [x, y + side], [x, y]];
    this.send(`M ${x} ${y}`, `B ${x} ${y} 0 1`);
    this.send(...corners.map(([cx, cy]) => `M ${cx} ${cy}`));
    this.send(`B ${x} ${y} 0 0`);
  }

  doubleClick(x, y) {
    // Written together, the second press comes well within the double-click time.
    this.send(...[1, 0, 1, 0].map((down) => `B ${x} ${y} 0 ${down}`));
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
  const word = process.argv[2] || 'Hello';
  const hidpipe = new Hidpipe(process.env.HIDPIPE || 'hidpipe');
  hidpipe.typeWord(word);
  hidpipe.dragSquare(100, 100, 200);
  hidpipe.doubleClick(200, 200);
  hidpipe.scroll(200, 200, 0, 240);
  const status = await hidpipe.close();
  if (status !== 0) console.error(`hidpipe exited with status ${status}`);
  process.exitCode = status;
}

main();

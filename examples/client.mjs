#!/usr/bin/env node
// Drives hidpipe from Node.js through its client library (clients/node; npm install it): types text
// in any language, draws a square with a left drag, double-clicks, scrolls and clicks the back
// button.
//
// hidpipe stays running for the whole session; Hidpipe.session ends it when the function returns,
// and hidpipe then releases anything still held. sync() resolves once everything sent so far has
// been delivered, where a controller would otherwise sleep a guessed time.
//
//     HIDPIPE=/path/to/hidpipe node client.mjs [text]
import { Hidpipe } from 'hidpipe';

const text = process.argv[2] || 'Hello, Grüße aus 東京!';
try {
  await Hidpipe.session({}, async (h) => {
    await h.sync(); // ready: a new uinput device, say, has settled
    await h.type(text);
    await h.sync(); // the text has reached the application: a screenshot would show it now
    await h.move(100, 100);
    await h.drag([[100, 100], [300, 100], [300, 300], [100, 300], [100, 100]]);
    await h.click(200, 200, 'left', 2);
    await h.scroll(200, 200, 0, 240);
    await h.click(200, 200, 'back');
    await h.sync();
  });
} catch (error) {
  console.error(`client.mjs: ${error.message}`);
  process.exitCode = 1;
}

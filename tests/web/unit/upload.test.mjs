// The upload queue reports a file as sent only once the socket has handed it on.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { UploadQueue } from '../../../web/js/upload.js';

// A session whose socket drains `rate` bytes every 10 ms, or stops draining and closes.
function fakeSession(rate) {
  const ws = { bufferedAmount: 0, readyState: 1 };
  const timer = setInterval(() => {
    ws.bufferedAmount = Math.max(0, ws.bufferedAmount - rate);
  }, 10);
  timer.unref();
  return {
    ws,
    ready: true,
    get buffered() { return ws.bufferedAmount; },
    async send(bytes) {
      ws.bufferedAmount += bytes.length;
      return true;
    },
    stop() { clearInterval(timer); },
  };
}

function blob(size) {
  return { name: 'f.bin', size, slice: (a, b) => ({ arrayBuffer: async () => new ArrayBuffer(b - a) }) };
}

function outcome(queue) {
  return new Promise((resolve) => {
    queue.addEventListener('done', () => resolve('done'));
    queue.addEventListener('failed', (e) => resolve(e.detail.reason));
  });
}

test('a file is done only when the socket buffer has emptied', async () => {
  const session = fakeSession(256 * 1024);
  const queue = new UploadQueue(session);
  const result = outcome(queue);
  queue.add([blob(3 * 1024 * 1024)]);
  assert.equal(await result, 'done');
  assert.equal(session.ws.bufferedAmount, 0);
  session.stop();
});

test('a socket that closes with bytes still buffered fails the file', async () => {
  const session = fakeSession(0);
  const queue = new UploadQueue(session);
  const result = outcome(queue);
  queue.add([blob(1024 * 1024)]);
  setTimeout(() => { session.ws.readyState = 3; }, 50);
  assert.equal(await result, 'the connection closed before the file was sent');
  session.stop();
});

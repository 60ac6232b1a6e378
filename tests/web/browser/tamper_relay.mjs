// A relay in the middle for tests: passes HTTP and the viewer socket through to the real
// relay, and on request corrupts one sealed message from the agent or slips in an
// unsealed one, as a hostile relay could; or drops the viewers' sockets.
import http from 'node:http';
import { WebSocketServer, WebSocket } from 'ws';

export async function startTamperRelay(upstream) {
  const target = new URL(upstream);
  const state = { viewers: new Set(), corruptNext: 0, injected: 0, corrupted: 0, binaryToViewer: 0 };

  const server = http.createServer((req, res) => {
    const up = http.request({ host: target.hostname, port: target.port, path: req.url, method: req.method,
      headers: req.headers }, (r) => {
      res.writeHead(r.statusCode, r.headers);
      r.pipe(res);
    });
    up.on('error', () => { res.writeHead(502); res.end(); });
    req.pipe(up);
  });
  const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 * 1024 });
  server.on('upgrade', (req, socket, head) => {
    wss.handleUpgrade(req, socket, head, (client) => {
      const relay = new WebSocket(`ws://${target.host}${req.url}`, { maxPayload: 64 * 1024 * 1024 });
      const pending = [];
      relay.on('open', () => pending.splice(0).forEach(([d, b]) => relay.send(d, { binary: b })));
      client.on('message', (data, binary) => {
        if (relay.readyState === WebSocket.OPEN) relay.send(data, { binary });
        else pending.push([data, binary]);
      });
      relay.on('message', (data, binary) => {
        if (binary) {
          state.binaryToViewer += 1;
          // Only sealed messages (not the 33-byte key answer) are touched.
          if (state.corruptNext > 0 && data.length > 40 && data[0] === 0) {
            state.corruptNext -= 1;
            state.corrupted += 1;
            const copy = Buffer.from(data);
            copy[20] ^= 0x40;
            client.send(copy, { binary: true });
            return;
          }
        }
        client.send(data, { binary });
      });
      const viewer = { client, relay };
      state.viewers.add(viewer);
      const end = () => {
        state.viewers.delete(viewer);
        client.close();
        relay.close();
      };
      client.on('close', end);
      relay.on('close', end);
      client.on('error', end);
      relay.on('error', end);
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return {
    url: `http://127.0.0.1:${server.address().port}`,
    state,
    corrupt(count) {
      state.corruptNext += count;
    },
    // Every viewer's socket dies at once, as on a network outage.
    dropViewers() {
      for (const v of state.viewers) {
        v.client.terminate();
        v.relay.terminate();
      }
    },
    // A message in the clear, as if the agent had sent it unsealed.
    inject(bytes) {
      for (const v of state.viewers) v.client.send(Buffer.from(bytes), { binary: true });
      state.injected += 1;
    },
    close() {
      for (const v of state.viewers) {
        v.client.terminate();
        v.relay.terminate();
      }
      server.close();
    },
  };
}

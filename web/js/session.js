// One viewer session with one machine through the relay's /ws/viewer: the relay's session
// id, the key exchange, sealed messages both ways, keyframe requests when the agent's
// envelope counter jumps, and reconnection that resumes the same relay session.
//
// Events (CustomEvent detail in brackets): 'state' {state, reason}, 'message' {message:
// Uint8Array plaintext}, 'dropped' {count}, 'lost' {count}.

import { MessageType, buildKeyExchange, buildKeyframeRequest } from './protocol.js';
import { SessionKeys, agentCounter } from './e2e.js';

const KEY_RETRY_MS = 2000;
const KEYFRAME_REQUEST_GAP_MS = 250;
const RECONNECT_DELAYS_MS = [250, 500, 1000, 2000, 3000, 5000, 5000, 5000];

export function viewerUrl(location, machineId, token, sessionId) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const q = new URLSearchParams({ machine_id: machineId, token });
  if (sessionId) q.set('session_id', sessionId);
  return `${scheme}//${location.host}/ws/viewer?${q}`;
}

export class ViewerSession extends EventTarget {
  // options: { machineId, token, location, WebSocketImpl }
  constructor(options) {
    super();
    this.options = options;
    this.keys = new SessionKeys();
    this.ws = null;
    this.sessionId = '';
    this.state = 'idle';  // idle, connecting, exchanging, ready, reconnecting, closed
    this.closedByUs = false;
    this.reconnectAttempt = 0;
    this.keyTimer = null;
    this.reconnectTimer = null;
    this.nextCounter = 0n;
    this.lastKeyframeRequest = -Infinity;
    this.inbound = Promise.resolve();   // opens run one after another, in arrival order
    this.outbound = Promise.resolve();  // sends too
    this.generation = 0;                // bumps with every new key and every lost socket
    this.stats = { dropped: 0, lost: 0, keyframeRequests: 0, keyExchanges: 0, bytesIn: 0, reconnects: 0 };
  }

  connect() {
    this.closedByUs = false;
    this.open();
  }

  close() {
    this.closedByUs = true;
    clearTimeout(this.keyTimer);
    clearTimeout(this.reconnectTimer);
    if (this.ws) this.ws.close(1000, 'Normal closure');
    this.setState('closed', 'closed by the viewer');
  }

  get ready() {
    return this.state === 'ready';
  }

  setState(state, reason = '') {
    this.state = state;
    this.dispatchEvent(new CustomEvent('state', { detail: { state, reason } }));
  }

  open() {
    const { location, machineId, token } = this.options;
    const WS = this.options.WebSocketImpl || WebSocket;
    const ws = new WS(viewerUrl(location, machineId, token, this.sessionId));
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    this.setState(this.sessionId ? 'reconnecting' : 'connecting');
    ws.onmessage = (ev) => {
      if (ws !== this.ws) return;
      if (typeof ev.data === 'string') this.onText(ev.data);
      else this.onBinary(new Uint8Array(ev.data));
    };
    ws.onclose = (ev) => {
      if (ws !== this.ws) return;
      this.onClose(ev.code, ev.reason);
    };
  }

  onText(text) {
    let msg;
    try {
      msg = JSON.parse(text);
    } catch {
      return;
    }
    if (!msg || msg.type !== 'session' || typeof msg.session_id !== 'string') return;
    this.sessionId = msg.session_id;
    this.reconnectAttempt = 0;
    // The agent may have ended the session's keys when the old socket went: a fresh key
    // pair and exchange every time makes a resumed session safe too.
    this.startKeyExchange();
  }

  async startKeyExchange() {
    const generation = ++this.generation;
    this.setState('exchanging');
    const publicKey = await this.keys.regenerate();
    if (generation !== this.generation) return;
    const send = () => {
      if (generation !== this.generation || this.state !== 'exchanging') return;
      this.sendRaw(buildKeyExchange(publicKey));
      this.keyTimer = setTimeout(send, KEY_RETRY_MS);  // the agent may be offline
    };
    clearTimeout(this.keyTimer);
    send();
  }

  onBinary(payload) {
    if (payload.length === 0) return;
    this.stats.bytesIn += payload.length;
    // The agent's envelopes start with four zero bytes, so 0x06 is always its key.
    if (payload[0] === MessageType.KeyExchange) {
      if (this.state !== 'exchanging') return;  // a late answer to a repeated request
      const generation = this.generation;
      const peer = payload.subarray(1);
      this.inbound = this.inbound.then(async () => {
        if (generation !== this.generation || this.state !== 'exchanging') return;
        if (peer.length !== 32) return this.drop();
        try {
          await this.keys.derive(peer);
        } catch {
          return this.drop();
        }
        clearTimeout(this.keyTimer);
        this.nextCounter = 0n;
        this.stats.keyExchanges += 1;
        this.setState('ready');
      });
      return;
    }
    const generation = this.generation;
    this.inbound = this.inbound.then(async () => {
      if (generation !== this.generation || !this.keys.ready) return;
      const plain = await this.keys.open(payload);
      if (generation !== this.generation) return;
      if (!plain) return this.drop();  // tampered, unsealed, or from an old key
      const counter = agentCounter(payload);
      if (counter !== null) {
        if (counter > this.nextCounter) {
          const lost = Number(counter - this.nextCounter);
          this.stats.lost += lost;
          this.dispatchEvent(new CustomEvent('lost', { detail: { count: lost } }));
          this.requestKeyframe();
        }
        if (counter >= this.nextCounter) this.nextCounter = counter + 1n;
      }
      if (plain.length > 0) this.dispatchEvent(new CustomEvent('message', { detail: { message: plain } }));
    });
  }

  drop() {
    this.stats.dropped += 1;
    this.dispatchEvent(new CustomEvent('dropped', { detail: { count: this.stats.dropped } }));
  }

  onClose(code, reason) {
    clearTimeout(this.keyTimer);
    this.generation += 1;
    if (this.closedByUs) return;
    if (code === 4000) {
      this.setState('closed', 'The session was taken over by another connection.');
      return;
    }
    // A refused upgrade never opened: the page checks the machine and the token first.
    if (!this.sessionId) {
      this.setState('closed', 'The relay refused the connection.');
      return;
    }
    if (this.reconnectAttempt >= RECONNECT_DELAYS_MS.length) {
      this.setState('closed', `The connection to the relay was lost (${code}${reason ? ' ' + reason : ''}).`);
      return;
    }
    const delay = RECONNECT_DELAYS_MS[this.reconnectAttempt++];
    this.stats.reconnects += 1;
    this.setState('reconnecting', `Connection lost; reconnecting in ${Math.round(delay / 100) / 10} s`);
    this.reconnectTimer = setTimeout(() => this.open(), delay);
  }

  sendRaw(bytes) {
    if (this.ws && this.ws.readyState === 1) this.ws.send(bytes);
  }

  // Seals and sends one message; resolves to false when the session is not ready.
  send(message) {
    if (!this.ready) return Promise.resolve(false);
    const generation = this.generation;
    const sealed = this.keys.seal(message);
    const done = this.outbound.then(async () => {
      const envelope = await sealed;
      if (!envelope || generation !== this.generation || !this.ws || this.ws.readyState !== 1) return false;
      this.ws.send(envelope);
      return true;
    });
    this.outbound = done.catch(() => false);
    return done;
  }

  // At most one request per 250 ms leaves; false when this one did not.
  requestKeyframe() {
    const now = performance.now();
    if (!this.ready || now - this.lastKeyframeRequest < KEYFRAME_REQUEST_GAP_MS) return false;
    this.lastKeyframeRequest = now;
    this.stats.keyframeRequests += 1;
    this.send(buildKeyframeRequest());
    return true;
  }

  // Bytes the socket has not yet handed to the network.
  get buffered() {
    return this.ws ? this.ws.bufferedAmount : 0;
  }
}

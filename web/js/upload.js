// Files sent to the host as FileChunk messages, one file after another. The socket's
// own buffer paces the reading, so a large file never sits in memory whole.
//
// Events: 'progress' {file, sent, total, queued}, 'done' {file}, 'failed' {file, reason}.

import { buildFileChunk } from './protocol.js';

export const CHUNK_SIZE = 256 * 1024;
const MAX_BUFFERED = 4 * 1024 * 1024;

export class UploadQueue extends EventTarget {
  constructor(session) {
    super();
    this.session = session;
    this.queue = [];
    this.current = null;
    this.running = false;
  }

  add(files) {
    for (const f of files) this.queue.push(f);
    this.emit('progress', { file: this.current, sent: 0, total: 0, queued: this.queue.length });
    if (!this.running) this.run();
  }

  emit(type, detail) {
    this.dispatchEvent(new CustomEvent(type, { detail }));
  }

  async run() {
    this.running = true;
    try {
      while (this.queue.length) {
        const file = this.queue.shift();
        this.current = file;
        try {
          await this.sendFile(file);
          this.emit('done', { file, queued: this.queue.length });
        } catch (err) {
          this.emit('failed', { file, reason: err.message || String(err), queued: this.queue.length });
        }
      }
    } finally {
      this.current = null;
      this.running = false;
    }
  }

  async sendFile(file) {
    const total = file.size;
    let offset = 0;
    do {
      await this.drain();
      const end = Math.min(total, offset + CHUNK_SIZE);
      const data = new Uint8Array(await file.slice(offset, end).arrayBuffer());
      const ok = await this.session.send(buildFileChunk(file.name, offset, total, data));
      if (!ok) throw new Error('the session is not connected');
      offset = end;
      this.emit('progress', { file, sent: offset, total, queued: this.queue.length });
    } while (offset < total);
    await this.flushed();
  }

  // A file counts as sent once its bytes have left this browser: the socket may still hold
  // megabytes when the last chunk is written, and a page closed then would lose them. A
  // socket that closes (or is replaced) before its buffer empties lost what it held.
  async flushed() {
    const ws = this.session.ws;
    while (ws && ws.bufferedAmount > 0) {
      if (ws.readyState !== 1 || this.session.ws !== ws) throw new Error('the connection closed before the file was sent');
      await new Promise((r) => setTimeout(r, 20));
    }
  }

  // Waits for room in the socket's buffer, and through a reconnection (up to 20 s).
  async drain() {
    const start = Date.now();
    while (this.session.buffered > MAX_BUFFERED || !this.session.ready) {
      if (!this.session.ready && Date.now() - start > 20000) throw new Error('the session is not connected');
      await new Promise((r) => setTimeout(r, 20));
    }
  }
}

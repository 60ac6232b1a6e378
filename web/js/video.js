// The remote picture: H.264 from VideoFrame messages through WebCodecs onto a canvas,
// and the pointer from CursorUpdate drawn on a second canvas laid exactly over it.
// Both canvases keep the capture's size in pixels; CSS scales them to the window with
// the aspect ratio kept.

import { parseCursorUpdate, parseVideoFrame } from './protocol.js';

// "avc1.PPCCLL" from the first sequence parameter set of an Annex B access unit.
export function codecFromAnnexB(data) {
  for (let i = 0; i + 4 < data.length; i++) {
    if (data[i] === 0 && data[i + 1] === 0 && data[i + 2] === 1) {
      const nal = data[i + 3];
      if ((nal & 0x1f) === 7 && i + 6 < data.length) {
        const hex = (b) => b.toString(16).padStart(2, '0');
        return `avc1.${hex(data[i + 4])}${hex(data[i + 5])}${hex(data[i + 6])}`;
      }
      i += 2;
    }
  }
  return null;
}

export class VideoView {
  // session: ViewerSession (for keyframe requests); canvas, cursorCanvas: elements.
  constructor(session, canvas, cursorCanvas) {
    this.session = session;
    this.canvas = canvas;
    this.cursorCanvas = cursorCanvas;
    this.ctx = canvas.getContext('2d', { alpha: false });
    this.cursorCtx = cursorCanvas.getContext('2d');
    this.decoder = null;
    this.codec = '';
    this.awaitingKeyframe = true;
    this.width = 0;
    this.height = 0;
    this.cursor = { visible: false, x: 0, y: 0, image: null, hotspotX: 0, hotspotY: 0, shapeKey: '' };
    this.frames = 0;           // pictures drawn
    this.firstFrameAt = 0;     // performance.now() of the first picture
    this.decodeErrors = 0;
    this.window = [];          // [arrival ms, bytes, delay ms] of recent frames
    this.minOffset = Infinity; // smallest arrival - capture time seen (clock offset plus best delay)
    this.lastArrival = 0;
    this.maxGapMs = 0;
    this.onFirstFrame = null;
  }

  handle(message) {
    if (message[0] === 0x01) this.onVideo(parseVideoFrame(message));
    else if (message[0] === 0x03) this.onCursor(parseCursorUpdate(message));
  }

  onVideo(v) {
    if (!v) return;
    const now = performance.now();
    this.account(now, v);
    if (v.width !== this.width || v.height !== this.height) {
      this.resize(v.width, v.height);
      this.awaitingKeyframe = true;
    }
    if (this.awaitingKeyframe) {
      if (!v.keyframe) {
        this.session.requestKeyframe();
        return;
      }
      const codec = codecFromAnnexB(v.data) || 'avc1.42e01f';
      if (!this.decoder || this.decoder.state === 'closed' || codec !== this.codec) this.makeDecoder(codec);
      this.awaitingKeyframe = false;
    }
    try {
      this.decoder.decode(new EncodedVideoChunk({
        type: v.keyframe ? 'key' : 'delta',
        timestamp: Number(v.timestampUs),
        data: v.data,
      }));
    } catch {
      this.fail();
    }
  }

  makeDecoder(codec) {
    if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
    this.codec = codec;
    this.decoder = new VideoDecoder({
      output: (frame) => this.draw(frame),
      error: () => this.fail(),
    });
    this.decoder.configure({ codec, optimizeForLatency: true, hardwareAcceleration: 'no-preference' });
  }

  // The decoder gave up: start again at the next keyframe, and ask for one now.
  fail() {
    this.decodeErrors += 1;
    this.awaitingKeyframe = true;
    if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
    this.decoder = null;
    this.session.requestKeyframe();
  }

  draw(frame) {
    try {
      this.ctx.drawImage(frame, 0, 0, this.canvas.width, this.canvas.height);
    } finally {
      frame.close();
    }
    this.frames += 1;
    if (this.frames === 1) {
      this.firstFrameAt = performance.now();
      this.canvas.dataset.frames = '1';
      if (this.onFirstFrame) this.onFirstFrame();
    }
  }

  resize(width, height) {
    this.width = width;
    this.height = height;
    for (const c of [this.canvas, this.cursorCanvas]) {
      c.width = width;
      c.height = height;
    }
    this.drawCursor();
  }

  onCursor(c) {
    if (!c) return;
    this.cursor.visible = c.visible;
    this.cursor.x = c.x;
    this.cursor.y = c.y;
    if (c.hasShape && c.width > 0 && c.height > 0 && c.width <= 256 && c.height <= 256) {
      // The shape repeats with every update; rebuild the image only when it changed.
      const key = `${c.width}x${c.height}:${c.hotspotX},${c.hotspotY}:${checksum(c.rgba)}`;
      if (key !== this.cursor.shapeKey) {
        const image = new ImageData(c.width, c.height);
        image.data.set(c.rgba);
        this.cursor.image = image;
        this.cursor.shapeKey = key;
        this.cursor.hotspotX = c.hotspotX;
        this.cursor.hotspotY = c.hotspotY;
        this.cursorBitmap = null;
        createImageBitmap(image).then((b) => {
          if (this.cursor.image === image) {
            this.cursorBitmap = b;
            this.drawCursor();
          }
        });
      }
    }
    this.drawCursor();
  }

  drawCursor() {
    const ctx = this.cursorCtx;
    ctx.clearRect(0, 0, this.cursorCanvas.width, this.cursorCanvas.height);
    const c = this.cursor;
    if (!c.visible || !this.cursorBitmap) return;
    ctx.drawImage(this.cursorBitmap, c.x - c.hotspotX, c.y - c.hotspotY);
  }

  account(now, v) {
    const captureMs = Number(v.timestampUs) / 1000;
    const offset = now - captureMs;
    if (offset < this.minOffset) this.minOffset = offset;
    if (this.lastArrival) this.maxGapMs = Math.max(this.maxGapMs, now - this.lastArrival);
    this.lastArrival = now;
    this.window.push([now, v.data.length + 14, offset - this.minOffset]);
    while (this.window.length && now - this.window[0][0] > 2000) this.window.shift();
  }

  // fps and kbit/s over the last 2 s; delay: how much later than the quickest frame the
  // latest arrived (the agent's clock is not ours, so this is the queueing delay);
  // gap: the longest pause between two frames in that window.
  figures() {
    const w = this.window;
    const now = performance.now();
    const recent = w.filter(([t]) => now - t <= 2000);
    const span = 2;
    const bytes = recent.reduce((sum, [, b]) => sum + b, 0);
    let gap = 0;
    for (let i = 1; i < recent.length; i++) gap = Math.max(gap, recent[i][0] - recent[i - 1][0]);
    return {
      fps: recent.length / span,
      kbps: (bytes * 8) / 1000 / span,
      delayMs: recent.length ? recent[recent.length - 1][2] : null,
      gapMs: gap,
      frames: this.frames,
    };
  }

  close() {
    if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
    this.decoder = null;
  }
}

function checksum(bytes) {
  let h = 2166136261;
  for (let i = 0; i < bytes.length; i += 7) h = Math.imul(h ^ bytes[i], 16777619);
  return (h >>> 0).toString(16) + ':' + bytes.length;
}

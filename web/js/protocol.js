// The binary messages between a viewer and the agent: one type byte, then little-endian
// fields. Builders return Uint8Array; parsers take a Uint8Array and return null for
// anything short or of another type (the message is then ignored).

export const MessageType = Object.freeze({
  VideoFrame: 0x01,
  AudioChunk: 0x02,
  CursorUpdate: 0x03,
  MouseInput: 0x04,
  KeyInput: 0x05,
  KeyExchange: 0x06,
  ClipboardText: 0x0a,
  FileChunk: 0x0b,
  SetBitrate: 0x0e,
  SystemStatsReport: 0x0f,
  KeyframeRequest: 0x10,
});

export const MouseAction = Object.freeze({ Move: 0, Down: 1, Up: 2, Wheel: 3 });
export const MouseButton = Object.freeze({ Left: 0, Right: 1, Middle: 2 });

const utf8 = new TextEncoder();
const utf8Decoder = new TextDecoder('utf-8', { fatal: false });

function view(bytes) {
  return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

export function buildMouseInput(x, y, button, action, wheelDelta = 0) {
  const m = new Uint8Array(9);
  const v = view(m);
  m[0] = MessageType.MouseInput;
  v.setUint16(1, x, true);
  v.setUint16(3, y, true);
  m[5] = button;
  m[6] = action;
  v.setInt16(7, wheelDelta, true);
  return m;
}

export function buildKeyInput(virtualKey, scanCode, released, extended) {
  const m = new Uint8Array(6);
  const v = view(m);
  m[0] = MessageType.KeyInput;
  v.setUint16(1, virtualKey, true);
  v.setUint16(3, scanCode, true);
  m[5] = (released ? 1 : 0) | (extended ? 2 : 0);
  return m;
}

export function buildClipboardText(text) {
  const body = utf8.encode(text);
  const m = new Uint8Array(5 + body.length);
  m[0] = MessageType.ClipboardText;
  view(m).setUint32(1, body.length, true);
  m.set(body, 5);
  return m;
}

// name is sent as UTF-8 of at most 65535 bytes; data is one chunk of the file.
export function buildFileChunk(name, offset, totalSize, data) {
  const n = utf8.encode(name);
  if (n.length > 0xffff) throw new RangeError('file name too long');
  const m = new Uint8Array(23 + n.length + data.length);
  const v = view(m);
  m[0] = MessageType.FileChunk;
  v.setUint16(1, n.length, true);
  m.set(n, 3);
  let p = 3 + n.length;
  v.setBigUint64(p, BigInt(offset), true);
  v.setBigUint64(p + 8, BigInt(totalSize), true);
  v.setUint32(p + 16, data.length, true);
  m.set(data, p + 20);
  return m;
}

export function buildSetBitrate(kbps) {
  const m = new Uint8Array(5);
  m[0] = MessageType.SetBitrate;
  view(m).setUint32(1, kbps >>> 0, true);
  return m;
}

export function buildKeyframeRequest() {
  return Uint8Array.of(MessageType.KeyframeRequest);
}

export function buildKeyExchange(publicKey) {
  const m = new Uint8Array(1 + publicKey.length);
  m[0] = MessageType.KeyExchange;
  m.set(publicKey, 1);
  return m;
}

export function parseVideoFrame(m) {
  if (m.length < 14 || m[0] !== MessageType.VideoFrame) return null;
  const v = view(m);
  return {
    timestampUs: v.getBigUint64(1, true),
    keyframe: m[9] !== 0,
    width: v.getUint16(10, true),
    height: v.getUint16(12, true),
    data: m.subarray(14),
  };
}

export function parseAudioChunk(m) {
  if (m.length < 7 || m[0] !== MessageType.AudioChunk) return null;
  const v = view(m);
  return { sampleRate: v.getUint32(1, true), channels: v.getUint16(5, true), samples: m.subarray(7) };
}

export function parseCursorUpdate(m) {
  if (m.length < 11 || m[0] !== MessageType.CursorUpdate) return null;
  const v = view(m);
  const c = { visible: m[1] !== 0, hasShape: m[2] !== 0, x: v.getInt32(3, true), y: v.getInt32(7, true) };
  if (!c.hasShape) return c;
  if (m.length < 31) return null;
  c.width = v.getUint32(11, true);
  c.height = v.getUint32(15, true);
  c.hotspotX = v.getUint32(19, true);
  c.hotspotY = v.getUint32(23, true);
  const len = v.getUint32(27, true);
  if (m.length - 31 < len || len < c.width * c.height * 4) return null;
  c.rgba = m.subarray(31, 31 + c.width * c.height * 4);
  return c;
}

export function parseClipboardText(m) {
  if (m.length < 5 || m[0] !== MessageType.ClipboardText) return null;
  const len = view(m).getUint32(1, true);
  if (m.length - 5 < len) return null;
  return utf8Decoder.decode(m.subarray(5, 5 + len));
}

export function parseStatsReport(m) {
  if (m.length < 25 || m[0] !== MessageType.SystemStatsReport) return null;
  const v = view(m);
  return {
    cpuPercent: v.getUint32(1, true) / 100,
    memUsedMb: Number(v.getBigUint64(5, true)),
    memTotalMb: Number(v.getBigUint64(13, true)),
    processCount: v.getUint32(21, true),
  };
}

// A pointer position inside an element of the given size as the agent's 0..65535 range,
// clamped to the edges. The right and bottom edges map to 65535.
export function scaleToRemote(offset, size) {
  if (!(size > 1)) return 0;
  const t = Math.min(Math.max(offset / (size - 1), 0), 1);
  return Math.round(t * 65535);
}

// Where a picture of the given size lands inside a box when scaled to fit with its aspect
// ratio kept (letter-boxed): { x, y, width, height } in box coordinates.
export function fitRect(boxWidth, boxHeight, pictureWidth, pictureHeight) {
  if (!(boxWidth > 0 && boxHeight > 0 && pictureWidth > 0 && pictureHeight > 0))
    return { x: 0, y: 0, width: 0, height: 0 };
  const scale = Math.min(boxWidth / pictureWidth, boxHeight / pictureHeight);
  const width = pictureWidth * scale;
  const height = pictureHeight * scale;
  return { x: (boxWidth - width) / 2, y: (boxHeight - height) / 2, width, height };
}

// Samples of an AudioChunk as Float32 planes, one per channel. encoding: 's16' (hosts on
// Linux) or 'f32' (the mix format of hosts on Windows). A partial last frame is dropped.
export function decodeSamples(bytes, channels, encoding) {
  const width = encoding === 'f32' ? 4 : 2;
  const frames = channels > 0 ? Math.floor(bytes.length / (width * channels)) : 0;
  const v = view(bytes);
  const planes = [];
  for (let c = 0; c < channels; c++) planes.push(new Float32Array(frames));
  for (let i = 0; i < frames; i++) {
    for (let c = 0; c < channels; c++) {
      const at = (i * channels + c) * width;
      planes[c][i] = width === 4 ? v.getFloat32(at, true) : v.getInt16(at, true) / 32768;
    }
  }
  return planes;
}

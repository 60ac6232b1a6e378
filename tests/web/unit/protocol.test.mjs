// The dashboard's messages against the bytes the C++ side builds, and the geometry that
// turns a pointer on the letter-boxed picture into the agent's 0..65535 range.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import * as P from '../../../web/js/protocol.js';
import { remotePosition, wheelUnits } from '../../../web/js/input.js';
import { codecFromAnnexB } from '../../../web/js/video.js';

const V = JSON.parse(readFileSync(new URL('../fixtures/e2e_vectors.json', import.meta.url)));
const bytes = (h) => Uint8Array.from(h.match(/../g) || [], (b) => parseInt(b, 16));
const hex = (u) => Buffer.from(u).toString('hex');

test('what the dashboard sends is what the C++ viewer sends', () => {
  const m = V.viewer_messages;
  const { Move, Down, Wheel } = P.MouseAction;
  assert.equal(hex(P.buildMouseInput(32767, 65535, 0, Move)), m.mouse_move);
  assert.equal(hex(P.buildMouseInput(100, 200, 1, Down)), m.mouse_down_right);
  assert.equal(hex(P.buildMouseInput(1, 2, 0, Wheel, -120)), m.wheel_down);
  assert.equal(hex(P.buildKeyInput(0x41, 0x1e, false, false)), m.key_a_down);
  assert.equal(hex(P.buildKeyInput(0xa3, 0x1d, true, true)), m.key_right_ctrl_up);
  assert.equal(hex(P.buildClipboardText('abc')), m.clipboard_abc);
  assert.equal(hex(P.buildFileChunk('ré.txt', 262144, 1048576, Uint8Array.of(1, 2, 3, 4, 5))), m.file_chunk);
  assert.equal(hex(P.buildSetBitrate(2500)), m.set_bitrate);
  assert.equal(hex(P.buildKeyframeRequest()), m.keyframe_request);
});

test("the agent's messages parse to their fields", () => {
  const a = V.agent_messages;
  assert.equal(P.parseClipboardText(bytes(a.clipboard.bytes)), a.clipboard.text);
  assert.deepEqual(P.parseStatsReport(bytes(a.stats.bytes)),
    { cpuPercent: 12.34, memUsedMb: 3072, memTotalMb: 16384, processCount: 287 });
  const c = P.parseCursorUpdate(bytes(a.cursor_shape.bytes));
  assert.deepEqual([c.visible, c.x, c.y, c.width, c.height, c.hotspotX, c.hotspotY], [true, -3, 700, 2, 2, 1, 0]);
  assert.deepEqual([...c.rgba.subarray(0, 4)], [255, 0, 0, 255]);
  assert.deepEqual(P.parseCursorUpdate(bytes(a.cursor_plain.bytes)), { visible: false, hasShape: false, x: 5, y: 6 });
  const v = P.parseVideoFrame(bytes(a.video.bytes));
  assert.deepEqual([v.keyframe, v.width, v.height, v.data.length], [true, 1920, 1080, 9]);
  assert.equal(codecFromAnnexB(v.data), 'avc1.42c01f');
  const au = P.parseAudioChunk(bytes(a.audio.bytes));
  assert.deepEqual([au.sampleRate, au.channels], [48000, 2]);
  const [left, right] = P.decodeSamples(au.samples, 2, 's16');
  assert.deepEqual([...left], [0.5, 32767 / 32768]);
  assert.deepEqual([...right], [-0.5, -1]);
});

test('short, mistyped and overlong-length messages are ignored', () => {
  const clip = bytes(V.agent_messages.clipboard.bytes);
  assert.equal(P.parseClipboardText(clip.subarray(0, clip.length - 1)), null);
  assert.equal(P.parseClipboardText(Uint8Array.of(0x0a, 0, 0, 0, 0)), '');
  assert.equal(P.parseStatsReport(bytes(V.agent_messages.stats.bytes).subarray(0, 24)), null);
  assert.equal(P.parseVideoFrame(Uint8Array.of(0x02, ...new Uint8Array(20))), null);
  const shape = bytes(V.agent_messages.cursor_shape.bytes);
  assert.equal(P.parseCursorUpdate(shape.subarray(0, shape.length - 1)), null, 'pixels cut short');
  assert.equal(P.parseAudioChunk(Uint8Array.of(0x02, 0x80, 0xbb)), null);
});

test('pointer positions scale to 0..65535 over the picture inside its letter-box', () => {
  // A 1280x720 picture in a 1000x1000 element: 1000x562.5, bars of 218.75 above and below.
  const rect = { left: 10, top: 20, width: 1000, height: 1000 };
  assert.deepEqual(remotePosition(10, 20 + 218.75, rect, 1280, 720), { x: 0, y: 0 });
  assert.deepEqual(remotePosition(1009, 20 + 218.75 + 561.5, rect, 1280, 720), { x: 65535, y: 65535 });
  assert.deepEqual(remotePosition(10 + 499.5, 20 + 218.75 + 280.75, rect, 1280, 720), { x: 32768, y: 32768 });
  assert.deepEqual(remotePosition(-50, 5, rect, 1280, 720), { x: 0, y: 0 }, 'clamped outside the picture');
  // Pillar-boxed the other way round.
  const wide = { left: 0, top: 0, width: 2000, height: 720 };
  assert.equal(remotePosition(360, 0, wide, 1280, 720).x, 0);
  assert.equal(P.scaleToRemote(5, 0), 0, 'no picture yet');
  assert.deepEqual(P.fitRect(100, 100, 0, 0), { x: 0, y: 0, width: 0, height: 0 });
});

test('the wheel turns in notches of 120, away from the user positive', () => {
  assert.equal(wheelUnits(100, 0), -120);
  assert.equal(wheelUnits(-3, 1), 120);
  assert.equal(wheelUnits(1, 2), -120);
  assert.equal(wheelUnits(1e9, 0), -32768);
});

test('32-bit float samples of Windows hosts decode as they are', () => {
  const f = new Float32Array([0.25, -0.75, 1, 0]);
  const [l, r] = P.decodeSamples(new Uint8Array(f.buffer), 2, 'f32');
  assert.deepEqual([...l, ...r], [0.25, 1, -0.75, 0]);
  assert.equal(P.decodeSamples(new Uint8Array(7), 2, 's16')[0].length, 1, 'a partial frame is dropped');
});

// The US-layout table from KeyboardEvent.code to Windows virtual keys.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { knownCodes, lookupKey } from '../../../web/js/keymap.js';

test('every key of a US keyboard maps, letters and digits by their virtual-key letter', () => {
  for (let c = 65; c <= 90; c++) assert.equal(lookupKey(`Key${String.fromCharCode(c)}`).vk, c);
  for (let d = 0; d <= 9; d++) assert.equal(lookupKey(`Digit${d}`).vk, 0x30 + d);
  for (let f = 1; f <= 24; f++) assert.equal(lookupKey(`F${f}`).vk, 0x6f + f);
  for (let n = 0; n <= 9; n++) assert.equal(lookupKey(`Numpad${n}`).vk, 0x60 + n);
  const us = ['Backquote', 'Minus', 'Equal', 'Backspace', 'Tab', 'BracketLeft', 'BracketRight', 'Backslash',
    'CapsLock', 'Semicolon', 'Quote', 'Enter', 'ShiftLeft', 'Comma', 'Period', 'Slash', 'ShiftRight',
    'ControlLeft', 'MetaLeft', 'AltLeft', 'Space', 'AltRight', 'MetaRight', 'ContextMenu', 'ControlRight',
    'Escape', 'PrintScreen', 'ScrollLock', 'Pause', 'Insert', 'Home', 'PageUp', 'Delete', 'End', 'PageDown',
    'ArrowUp', 'ArrowLeft', 'ArrowDown', 'ArrowRight', 'NumLock', 'NumpadDivide', 'NumpadMultiply',
    'NumpadSubtract', 'NumpadAdd', 'NumpadEnter', 'NumpadDecimal'];
  for (const code of us) assert.ok(lookupKey(code), code);
  assert.equal(lookupKey('Fn'), null);
  assert.equal(lookupKey('Unidentified'), null);
});

test('left and right modifiers stay apart, and the E0 keys carry the extended flag', () => {
  const pairs = [['ShiftLeft', 0xa0, false], ['ShiftRight', 0xa1, false], ['ControlLeft', 0xa2, false],
    ['ControlRight', 0xa3, true], ['AltLeft', 0xa4, false], ['AltRight', 0xa5, true], ['MetaLeft', 0x5b, true],
    ['OSLeft', 0x5b, true]];
  for (const [code, vk, ext] of pairs) assert.deepEqual([lookupKey(code).vk, lookupKey(code).ext], [vk, ext], code);
  // Twins that share a scan code: the extended flag is what tells them apart.
  for (const [plain, extended] of [['Enter', 'NumpadEnter'], ['Numpad7', 'Home'], ['Numpad8', 'ArrowUp'],
    ['Numpad0', 'Insert'], ['NumpadDecimal', 'Delete'], ['Slash', 'NumpadDivide'], ['NumpadMultiply', 'PrintScreen']]) {
    assert.equal(lookupKey(plain).scan, lookupKey(extended).scan, `${plain}/${extended}`);
    assert.deepEqual([lookupKey(plain).ext, lookupKey(extended).ext], [false, true], `${plain}/${extended}`);
  }
});

test('no two keys send the same scan code with the same flag', () => {
  const seen = new Map();
  for (const code of knownCodes()) {
    const k = lookupKey(code);
    const id = `${k.scan}:${k.ext}`;
    assert.ok(!seen.has(id), `${code} and ${seen.get(id)} share ${id}`);
    seen.set(id, code);
  }
});

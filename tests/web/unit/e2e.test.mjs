// The dashboard's key exchange and envelopes against vectors made by the C++ side.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import {
  SessionKeys, agentCounter, counterIv, deriveKeyBytes, importKeyPair, importSessionKey, openEnvelope, sealWithIv,
  VIEWER_IV_PREFIX,
} from '../../../web/js/e2e.js';

const V = JSON.parse(readFileSync(new URL('../fixtures/e2e_vectors.json', import.meta.url)));
const bytes = (h) => Uint8Array.from(h.match(/../g) || [], (b) => parseInt(b, 16));
const hex = (u) => Buffer.from(u).toString('hex');

async function viewerKeys() {
  const keys = new SessionKeys();
  await keys.regenerate(await importKeyPair(bytes(V.viewer_private), bytes(V.viewer_public)));
  await keys.derive(bytes(V.agent_public));
  return keys;
}

test('the key exchange derives the session key the agent derives', async () => {
  const pair = await importKeyPair(bytes(V.viewer_private), bytes(V.viewer_public));
  assert.equal(hex(await deriveKeyBytes(pair.privateKey, bytes(V.agent_public))), V.session_key);
  const agent = await importKeyPair(bytes(V.agent_private), bytes(V.agent_public));
  assert.equal(hex(await deriveKeyBytes(agent.privateKey, bytes(V.viewer_public))), V.session_key);
  await assert.rejects(deriveKeyBytes(pair.privateKey, bytes(V.agent_public).subarray(0, 31)));
  await assert.rejects(deriveKeyBytes(pair.privateKey, new Uint8Array(33)));
});

test("the agent's envelopes open, and their counters are read from the IV", async () => {
  const keys = await viewerKeys();
  for (const e of V.envelopes.filter((x) => x.from === 'agent')) {
    const env = bytes(e.envelope);
    assert.equal(hex(await keys.open(env)), e.plaintext);
    assert.equal(agentCounter(env), BigInt(e.counter));
  }
  const ours = bytes(V.envelopes.find((x) => x.from === 'viewer').envelope);
  assert.equal(agentCounter(ours), null, 'our IVs are never taken for the agent counter');
});

test('our envelopes are byte for byte what the C++ side seals with our IV rule', async () => {
  const keys = await viewerKeys();
  const ours = V.envelopes.filter((x) => x.from === 'viewer');
  // Counters are taken in call order, even when the seals are not awaited one by one.
  const sealed = await Promise.all(ours.map((e) => keys.seal(bytes(e.plaintext))));
  ours.forEach((e, i) => assert.equal(hex(sealed[i]), e.envelope));
  assert.deepEqual([...counterIv(VIEWER_IV_PREFIX, 258)], [1, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0]);
});

test('a tampered, short or unsealed envelope does not open', async () => {
  const key = await importSessionKey(bytes(V.session_key));
  const env = bytes(V.envelopes.find((x) => x.from === 'agent' && x.counter === 7).envelope);
  for (const at of [0, 5, 11, 12, env.length - 17, env.length - 16, env.length - 1]) {
    const t = Uint8Array.from(env);
    t[at] ^= 0x01;
    assert.equal(await openEnvelope(key, t), null, `flipped byte ${at}`);
  }
  assert.equal(await openEnvelope(key, env.subarray(0, 27)), null);
  assert.equal(await openEnvelope(key, bytes(V.agent_messages.clipboard.bytes)), null, 'plaintext is dropped');
  const empty = bytes(V.envelopes.find((x) => x.counter === 0 && x.from === 'agent').envelope);
  assert.equal(empty.length, 28);
  assert.deepEqual(await openEnvelope(key, empty), new Uint8Array(0));
});

test('a fresh key pair forgets the session key and restarts our counter on the next exchange', async () => {
  const keys = await viewerKeys();
  await keys.seal(Uint8Array.of(1));
  assert.equal(keys.sendCounter, 1n);
  await keys.regenerate();
  assert.equal(keys.ready, false);
  assert.equal(await keys.seal(Uint8Array.of(1)), null);
  assert.equal(await keys.open(bytes(V.envelopes[1].envelope)), null);
  await keys.derive(bytes(V.agent_public));
  assert.equal(keys.sendCounter, 0n);
  // A new pair of ours: the old envelopes no longer open.
  assert.equal(await keys.open(bytes(V.envelopes[1].envelope)), null);
});

test('the salt and info are the ones the agent uses', async () => {
  const src = readFileSync(new URL('../../../web/js/e2e.js', import.meta.url), 'utf8');
  assert.ok(src.includes(`'${V.salt}'`) && src.includes(`'${V.info}'`));
});

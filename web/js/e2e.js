// End-to-end keys of one viewer session, in WebCrypto: an X25519 key pair, HKDF-SHA256
// (the agent's salt and info) to an AES-256 key, and AES-256-GCM envelopes laid out as
// IV (12) | ciphertext | tag (16), without additional data.
//
// IVs: the agent's are four zero bytes and its per-key message counter (little-endian).
// Both directions share one key, so ours carry a non-zero first word and our own counter:
// the two sides can never pick the same IV.

const SALT = new TextEncoder().encode('lumavexpodium-e2e');
const INFO = new TextEncoder().encode('aes-256-gcm');
export const KEY_LENGTH = 32;
export const IV_LENGTH = 12;
export const TAG_LENGTH = 16;
export const OVERHEAD = IV_LENGTH + TAG_LENGTH;
export const VIEWER_IV_PREFIX = Uint8Array.of(1, 0, 0, 0);

function subtle() {
  const s = globalThis.crypto && globalThis.crypto.subtle;
  if (!s) throw new Error('WebCrypto is not available (the page needs HTTPS or localhost)');
  return s;
}

// Resolves to true when this runtime has X25519 in WebCrypto.
export async function hasX25519() {
  try {
    await subtle().generateKey({ name: 'X25519' }, false, ['deriveBits']);
    return true;
  } catch {
    return false;
  }
}

export async function generateKeyPair() {
  const pair = await subtle().generateKey({ name: 'X25519' }, false, ['deriveBits']);
  const publicKey = new Uint8Array(await subtle().exportKey('raw', pair.publicKey));
  return { privateKey: pair.privateKey, publicKey };
}

// A key pair from a known raw private key (tests and vectors only).
export async function importKeyPair(privateRaw, publicRaw) {
  const b64 = (bytes) =>
    btoa(String.fromCharCode(...bytes)).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
  const jwk = { kty: 'OKP', crv: 'X25519', d: b64(privateRaw), x: b64(publicRaw), ext: false };
  const privateKey = await subtle().importKey('jwk', jwk, { name: 'X25519' }, false, ['deriveBits']);
  return { privateKey, publicKey: Uint8Array.from(publicRaw) };
}

// The 32 session-key bytes from our private key and the peer's raw 32-byte public key.
export async function deriveKeyBytes(privateKey, peerPublicRaw) {
  if (!(peerPublicRaw instanceof Uint8Array) || peerPublicRaw.length !== KEY_LENGTH)
    throw new Error(`peer public key must be ${KEY_LENGTH} bytes`);
  const s = subtle();
  const peer = await s.importKey('raw', peerPublicRaw, { name: 'X25519' }, false, []);
  const shared = new Uint8Array(await s.deriveBits({ name: 'X25519', public: peer }, privateKey, 256));
  try {
    const base = await s.importKey('raw', shared, 'HKDF', false, ['deriveBits']);
    return new Uint8Array(
      await s.deriveBits({ name: 'HKDF', hash: 'SHA-256', salt: SALT, info: INFO }, base, KEY_LENGTH * 8));
  } finally {
    shared.fill(0);
  }
}

export async function importSessionKey(keyBytes) {
  return subtle().importKey('raw', keyBytes, { name: 'AES-GCM', length: 256 }, false, ['encrypt', 'decrypt']);
}

export function counterIv(prefix, counter) {
  const iv = new Uint8Array(IV_LENGTH);
  iv.set(prefix, 0);
  new DataView(iv.buffer).setBigUint64(4, BigInt(counter), true);
  return iv;
}

export async function sealWithIv(key, iv, plaintext) {
  const sealed = new Uint8Array(await subtle().encrypt({ name: 'AES-GCM', iv, tagLength: 128 }, key, plaintext));
  const out = new Uint8Array(IV_LENGTH + sealed.length);
  out.set(iv, 0);
  out.set(sealed, IV_LENGTH);
  return out;
}

// The plaintext, or null for anything shorter than an envelope or not authentic.
export async function openEnvelope(key, envelope) {
  if (envelope.length < OVERHEAD) return null;
  try {
    const plain = await subtle().decrypt(
      { name: 'AES-GCM', iv: envelope.subarray(0, IV_LENGTH), tagLength: 128 }, key, envelope.subarray(IV_LENGTH));
    return new Uint8Array(plain);
  } catch {
    return null;
  }
}

// The agent's message counter in an envelope's IV, or null when the IV is not of the
// agent's form (first four bytes zero).
export function agentCounter(envelope) {
  if (envelope.length < IV_LENGTH || envelope[0] | envelope[1] | envelope[2] | envelope[3]) return null;
  return new DataView(envelope.buffer, envelope.byteOffset + 4, 8).getBigUint64(0, true);
}

// One session's keys. seal() and open() may be called without waiting: seal() takes its
// counter at once, so IVs follow call order.
export class SessionKeys {
  constructor() {
    this.keyPair = null;
    this.key = null;
    this.sendCounter = 0n;
  }

  get ready() {
    return this.key !== null;
  }

  // A fresh key pair (any session key is forgotten); resolves to our public key.
  async regenerate(keyPair = null) {
    this.key = null;
    this.keyPair = keyPair || (await generateKeyPair());
    return this.keyPair.publicKey;
  }

  async derive(peerPublicRaw) {
    const bytes = await deriveKeyBytes(this.keyPair.privateKey, peerPublicRaw);
    try {
      this.key = await importSessionKey(bytes);
    } finally {
      bytes.fill(0);
    }
    this.sendCounter = 0n;
  }

  seal(plaintext) {
    if (!this.key) return Promise.resolve(null);
    const iv = counterIv(VIEWER_IV_PREFIX, this.sendCounter);
    this.sendCounter += 1n;
    return sealWithIv(this.key, iv, plaintext);
  }

  open(envelope) {
    if (!this.key) return Promise.resolve(null);
    return openEnvelope(this.key, envelope);
  }
}

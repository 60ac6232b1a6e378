// The host's sound from AudioChunk messages, played through Web Audio at each chunk's own
// rate and channel count. Silent until unmute() runs from a user gesture (browsers allow
// sound only then). At most MAX_AHEAD_S of sound waits to be played: beyond it chunks are
// dropped, so playback never drifts behind the host.

import { decodeSamples, parseAudioChunk } from './protocol.js';

const MAX_AHEAD_S = 0.25;
const LEAD_S = 0.04;  // scheduling margin for the first chunk after a pause

export class AudioPlayer {
  // encoding: 's16' or 'f32' (the AudioChunk does not say; the host's OS does).
  constructor(encoding = 's16') {
    this.encoding = encoding;
    this.context = null;
    this.gain = null;
    this.analyser = null;
    this.nextTime = 0;
    this.muted = true;
    this.chunks = 0;
    this.dropped = 0;
    this.format = null;
  }

  // From a click or key handler.
  async unmute() {
    if (!this.context) {
      this.context = new AudioContext({ latencyHint: 'interactive' });
      this.gain = this.context.createGain();
      this.analyser = this.context.createAnalyser();
      this.analyser.fftSize = 8192;
      this.analyser.smoothingTimeConstant = 0;
      this.gain.connect(this.analyser);
      this.analyser.connect(this.context.destination);
    }
    await this.context.resume();
    this.muted = false;
    this.nextTime = 0;
  }

  mute() {
    this.muted = true;
    if (this.context) this.context.suspend();
  }

  handle(message) {
    const a = parseAudioChunk(message);
    if (!a || a.channels === 0 || a.channels > 32 || a.sampleRate < 3000 || a.sampleRate > 384000) return;
    this.chunks += 1;
    this.format = { sampleRate: a.sampleRate, channels: a.channels };
    if (this.muted || !this.context || this.context.state !== 'running') return;
    const planes = decodeSamples(a.samples, a.channels, this.encoding);
    const frames = planes[0].length;
    if (frames === 0) return;
    const ctx = this.context;
    const now = ctx.currentTime;
    if (this.nextTime < now) this.nextTime = now + LEAD_S;
    if (this.nextTime - now > MAX_AHEAD_S) {
      this.dropped += 1;
      return;
    }
    const buffer = ctx.createBuffer(a.channels, frames, a.sampleRate);
    planes.forEach((p, c) => buffer.copyToChannel(p, c));
    const source = ctx.createBufferSource();
    source.buffer = buffer;
    source.connect(this.gain);
    source.start(this.nextTime);
    this.nextTime += buffer.duration;
  }

  // The strongest frequency now in the output, in Hz (null while silent or muted).
  dominantFrequency() {
    if (!this.analyser || this.muted) return null;
    const bins = new Float32Array(this.analyser.frequencyBinCount);
    this.analyser.getFloatFrequencyData(bins);
    let best = 0;
    for (let i = 1; i < bins.length; i++) if (bins[i] > bins[best]) best = i;
    if (!(bins[best] > -90)) return null;
    // Parabolic interpolation between the neighbouring bins.
    const a = bins[best - 1] ?? bins[best], b = bins[best], c = bins[best + 1] ?? bins[best];
    const d = a - 2 * b + c;
    const shift = d !== 0 ? (0.5 * (a - c)) / d : 0;
    return ((best + shift) * this.context.sampleRate) / this.analyser.fftSize;
  }

  close() {
    if (this.context) this.context.close();
    this.context = null;
  }
}

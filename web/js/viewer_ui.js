// The viewer panel for one machine: wires the session to the picture, the input, the
// sound, the clipboard, the uploads, the figures and the toolbar.

import { ViewerSession } from './session.js';
import { VideoView } from './video.js';
import { InputCapture } from './input.js';
import { AudioPlayer } from './audio.js';
import { UploadQueue } from './upload.js';
import { MessageType, buildClipboardText, buildSetBitrate, parseClipboardText, parseStatsReport } from './protocol.js';
import { hasX25519 } from './e2e.js';

const $ = (id) => document.getElementById(id);

// What this browser lacks for the viewer, as sentences; empty when it has everything.
export async function missingFeatures() {
  const missing = [];
  if (!globalThis.isSecureContext || !globalThis.crypto?.subtle) {
    missing.push('WebCrypto is only available on a secure page: open the dashboard over HTTPS (or on localhost).');
    return missing;
  }
  if (typeof VideoDecoder === 'undefined' || typeof EncodedVideoChunk === 'undefined')
    missing.push('This browser cannot decode video here: WebCodecs (VideoDecoder) is missing.');
  else {
    const support = await VideoDecoder.isConfigSupported({ codec: 'avc1.42e01f' }).catch(() => null);
    if (!support || !support.supported) missing.push('This browser cannot decode H.264 video through WebCodecs.');
  }
  if (!(await hasX25519())) missing.push('This browser has no X25519 key agreement in WebCrypto.');
  return missing;
}

export class ViewerPanel {
  // machine: { machine_id, name, os_info }; onLeave(message) returns to the machine list.
  constructor(machine, token, { onLeave, isOnline }) {
    this.machine = machine;
    this.onLeave = onLeave;
    this.isOnline = isOnline;
    this.session = new ViewerSession({ machineId: machine.machine_id, token, location: window.location });
    this.video = new VideoView(this.session, $('screen'), $('cursor'));
    this.input = new InputCapture(this.session, $('screen'));
    this.audio = new AudioPlayer(/windows/i.test(machine.os_info || '') ? 'f32' : 's16');
    this.uploads = new UploadQueue(this.session);
    this.listeners = [];
    this.timer = null;
    this.connectedAt = 0;
    this.lastClipboard = null;
    this.reset();
    this.wire();
  }

  on(target, type, fn, opts) {
    target.addEventListener(type, fn, opts);
    this.listeners.push([target, type, fn, opts]);
  }

  reset() {
    $('viewer-name').textContent = this.machine.name;
    $('viewer-error').hidden = true;
    $('stage-message').hidden = false;
    $('stage-message').textContent = 'Connecting…';
    $('screen').width = 0;
    $('screen').height = 0;
    delete $('screen').dataset.frames;
    $('upload-progress').value = 0;
    $('upload-list').replaceChildren();
    $('upload-status').textContent = 'Drop files on the picture, or use "Send files".';
    $('clipboard-text').value = '';
    $('audio-toggle').textContent = 'Unmute';
    $('audio-toggle').setAttribute('aria-pressed', 'false');
    for (const id of ['stat-cpu', 'stat-mem', 'stat-procs', 'stat-fps', 'stat-kbps', 'stat-delay', 'stat-gap'])
      $(id).textContent = '–';
    $('stat-dropped').textContent = '0';
  }

  status(text) {
    $('viewer-status').textContent = text;
  }

  error(text) {
    $('viewer-error').textContent = text;
    $('viewer-error').hidden = !text;
  }

  async start() {
    this.session.connect();
    this.connectedAt = performance.now();
    this.timer = setInterval(() => this.tick(), 1000);
  }

  wire() {
    const s = this.session;
    this.on(s, 'state', (e) => this.onState(e.detail));
    this.on(s, 'message', (e) => {
      this.lastMessageAt = performance.now();
      this.onMessage(e.detail.message);
    });
    this.on(s, 'dropped', (e) => ($('stat-dropped').textContent = String(e.detail.count)));
    this.video.onFirstFrame = () => ($('stage-message').hidden = true);

    this.on($('disconnect'), 'click', () => this.leave(''));
    this.on($('bitrate'), 'change', () => s.send(buildSetBitrate(Number($('bitrate').value))));
    this.on($('audio-toggle'), 'click', () => this.toggleAudio());
    this.on($('fullscreen'), 'click', () => this.fullscreen());
    this.on($('clipboard-send'), 'click', () => this.sendClipboard($('clipboard-text').value));
    this.on($('clipboard-paste'), 'click', () => this.pasteClipboard());
    this.on($('file-input'), 'change', () => {
      const files = [...$('file-input').files];
      $('file-input').value = '';
      if (files.length) this.uploads.add(files);
    });
    const stage = $('stage');
    this.on(stage, 'dragover', (e) => {
      if (![...e.dataTransfer.types].includes('Files')) return;
      e.preventDefault();
      e.dataTransfer.dropEffect = 'copy';
      $('drop-hint').hidden = false;
    });
    this.on(stage, 'dragleave', () => ($('drop-hint').hidden = true));
    this.on(stage, 'drop', (e) => {
      e.preventDefault();
      $('drop-hint').hidden = true;
      const files = [...(e.dataTransfer.files || [])];
      if (files.length) this.uploads.add(files);
    });
    this.on(this.uploads, 'progress', (e) => this.onUploadProgress(e.detail));
    this.on(this.uploads, 'done', (e) => this.onUploadEnd(e.detail, 'done', 'sent'));
    this.on(this.uploads, 'failed', (e) => this.onUploadEnd(e.detail, 'failed', `failed: ${e.detail.reason}`));
    this.on(document, 'fullscreenchange', () => {
      if (!document.fullscreenElement) navigator.keyboard?.unlock?.();
    });
  }

  onState({ state, reason }) {
    const labels = {
      connecting: 'Connecting…', exchanging: 'Securing the session…', ready: 'Connected, end-to-end encrypted',
      reconnecting: reason || 'Reconnecting…',
    };
    if (state === 'ready') {
      this.error('');
      this.lastMessageAt = performance.now();
      this.session.send(buildSetBitrate(Number($('bitrate').value)));
      this.session.requestKeyframe();  // a still screen sends nothing new on its own
      if (!this.video.frames) $('stage-message').textContent = 'Waiting for the first picture…';
    }
    if (state === 'exchanging') this.exchangeStarted = performance.now();
    if (state === 'closed') {
      if (reason && reason !== 'closed by the viewer') this.leave(`The session ended: ${reason}`);
      return;
    }
    this.status(labels[state] || state);
  }

  onMessage(m) {
    switch (m[0]) {
      case MessageType.VideoFrame:
      case MessageType.CursorUpdate:
        this.video.handle(m);
        break;
      case MessageType.AudioChunk:
        this.audio.handle(m);
        break;
      case MessageType.ClipboardText: {
        const text = parseClipboardText(m);
        if (text === null || text === this.lastClipboard) break;
        this.lastClipboard = text;
        $('clipboard-text').value = text;
        // The page may write the local clipboard only while it has the focus.
        if (document.hasFocus() && navigator.clipboard?.writeText) navigator.clipboard.writeText(text).catch(() => {});
        break;
      }
      case MessageType.SystemStatsReport: {
        const st = parseStatsReport(m);
        if (!st) break;
        $('stat-cpu').textContent = `${st.cpuPercent.toFixed(1)} %`;
        $('stat-mem').textContent = `${(st.memUsedMb / 1024).toFixed(1)} / ${(st.memTotalMb / 1024).toFixed(1)} GiB`;
        $('stat-procs').textContent = String(st.processCount);
        break;
      }
      default:
        break;
    }
  }

  async tick() {
    const f = this.video.figures();
    $('stat-fps').textContent = f.fps.toFixed(1);
    $('stat-kbps').textContent = Math.round(f.kbps).toString();
    $('stat-delay').textContent = f.delayMs === null ? '–' : `${Math.round(f.delayMs)} ms`;
    $('stat-gap').textContent = f.gapMs ? `${Math.round(f.gapMs)} ms` : '–';
    // Statistics come every 2 s: silence on a ready session means the agent went away or
    // came back without our keys. Say which, and offer a fresh key when it is back.
    const now = performance.now();
    if (this.session.state === 'ready' && now - this.lastMessageAt > 6000) {
      const online = await this.isOnline(this.machine.machine_id).catch(() => null);
      if (this.session.state !== 'ready' || performance.now() - this.lastMessageAt <= 6000) return;
      if (online === false) {
        this.error('The machine went offline. The picture comes back when its agent does.');
      } else if (online && now - (this.lastRekeyAt || 0) > 6000) {
        this.lastRekeyAt = now;
        this.session.startKeyExchange();
      }
      return;
    }
    // No answer to our key: say why, without giving up (the agent may come back).
    if (this.session.state === 'exchanging' && performance.now() - this.exchangeStarted > 5000) {
      const online = await this.isOnline(this.machine.machine_id).catch(() => null);
      if (this.session.state === 'exchanging')
        this.error(online === false ? 'The machine is offline. The picture appears as soon as its agent is back.'
          : 'The machine does not answer yet…');
    }
  }

  sendClipboard(text) {
    this.lastClipboard = text;
    this.session.send(buildClipboardText(text));
  }

  async pasteClipboard() {
    try {
      const text = await navigator.clipboard.readText();
      $('clipboard-text').value = text;
      this.sendClipboard(text);
    } catch {
      this.error('This page may not read your clipboard: paste into the box and press "Send to machine".');
      $('clipboard-text').focus();
    }
  }

  async toggleAudio() {
    const b = $('audio-toggle');
    if (this.audio.muted) {
      try {
        await this.audio.unmute();
        b.textContent = 'Mute';
        b.setAttribute('aria-pressed', 'true');
      } catch {
        this.error('This browser refused to play sound.');
      }
    } else {
      this.audio.mute();
      b.textContent = 'Unmute';
      b.setAttribute('aria-pressed', 'false');
    }
  }

  async fullscreen() {
    const stage = $('stage');
    if (document.fullscreenElement) return document.exitFullscreen();
    try {
      await stage.requestFullscreen({ navigationUI: 'hide' });
      // In full screen the browser lets a page take shortcuts such as Ctrl+W too.
      await navigator.keyboard?.lock?.().catch(() => {});
      $('screen').focus();
    } catch {
      this.error('Full screen is not allowed here.');
    }
  }

  onUploadProgress({ file, sent, total, queued }) {
    if (!file) return;
    const pct = total ? Math.floor((sent * 100) / total) : 100;
    $('upload-progress').value = pct;
    $('upload-status').textContent = `${file.name}: ${pct} %` + (queued ? ` (${queued} waiting)` : '');
  }

  onUploadEnd({ file, queued }, cls, text) {
    const li = document.createElement('li');
    li.className = cls;
    li.textContent = `${file.name} (${formatSize(file.size)}) ${text}`;
    $('upload-list').append(li);
    if (cls === 'done') $('upload-progress').value = 100;
    $('upload-status').textContent = queued ? `${queued} waiting` : `${file.name}: ${cls === 'done' ? '100 %' : text}`;
  }

  leave(message) {
    this.close();
    this.onLeave(message);
  }

  close() {
    clearInterval(this.timer);
    this.input.detach();
    for (const [t, type, fn, opts] of this.listeners) t.removeEventListener(type, fn, opts);
    this.listeners = [];
    this.session.close();
    this.video.close();
    this.audio.close();
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  }
}

function formatSize(n) {
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  return `${(n / 1024 / 1024).toFixed(1)} MiB`;
}

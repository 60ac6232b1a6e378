// Mouse and keyboard on the remote picture, sent as MouseInput and KeyInput. Positions
// are scaled to the agent's 0..65535 range over the picture (not the letter-box around
// it); keys go by physical position (KeyboardEvent.code). While the picture has the
// focus every key the page is given goes to the remote machine; keys and buttons still
// down when it loses the focus are released there.

import { MouseAction, buildKeyInput, buildMouseInput, fitRect, scaleToRemote } from './protocol.js';
import { lookupKey } from './keymap.js';

// DOM button (0 left, 1 middle, 2 right) to the agent's (0 left, 1 right, 2 middle).
const BUTTONS = [0, 2, 1];

// The wheel in the agent's units (120 a notch, positive away from the user).
export function wheelUnits(deltaY, deltaMode) {
  const perUnit = deltaMode === 1 ? 40 : deltaMode === 2 ? 120 : 1.2;
  return Math.max(-32768, Math.min(32767, Math.round(-deltaY * perUnit)));
}

// Client coordinates of an event to the agent's range, for a canvas drawn letter-boxed.
export function remotePosition(clientX, clientY, rect, pictureWidth, pictureHeight) {
  const fit = fitRect(rect.width, rect.height, pictureWidth, pictureHeight);
  return {
    x: scaleToRemote(clientX - rect.left - fit.x, fit.width),
    y: scaleToRemote(clientY - rect.top - fit.y, fit.height),
  };
}

export class InputCapture {
  constructor(session, canvas) {
    this.session = session;
    this.canvas = canvas;
    this.keysDown = new Map();   // code -> key entry
    this.buttonsDown = new Set();
    this.last = { x: 32767, y: 32767 };
    this.handlers = [];
    this.attach();
  }

  on(target, type, fn, opts) {
    target.addEventListener(type, fn, opts);
    this.handlers.push([target, type, fn, opts]);
  }

  position(e) {
    const p = remotePosition(e.clientX, e.clientY, this.canvas.getBoundingClientRect(), this.canvas.width,
      this.canvas.height);
    this.last = p;
    return p;
  }

  mouse(action, button, wheel = 0) {
    this.session.send(buildMouseInput(this.last.x, this.last.y, button, action, wheel));
  }

  attach() {
    const c = this.canvas;
    this.on(c, 'pointermove', (e) => {
      this.position(e);
      this.mouse(MouseAction.Move, 0);
    });
    this.on(c, 'pointerdown', (e) => {
      c.focus({ preventScroll: true });
      e.preventDefault();
      const button = BUTTONS[e.button];
      if (button === undefined) return;
      this.position(e);
      this.mouse(MouseAction.Move, 0);
      this.buttonsDown.add(button);
      this.mouse(MouseAction.Down, button);
      c.setPointerCapture?.(e.pointerId);
    });
    this.on(c, 'pointerup', (e) => {
      const button = BUTTONS[e.button];
      if (button === undefined || !this.buttonsDown.has(button)) return;
      this.position(e);
      this.buttonsDown.delete(button);
      this.mouse(MouseAction.Up, button);
    });
    this.on(c, 'wheel', (e) => {
      e.preventDefault();
      this.position(e);
      const units = wheelUnits(e.deltaY, e.deltaMode);
      if (units !== 0) this.mouse(MouseAction.Wheel, 0, units);
    }, { passive: false });
    this.on(c, 'contextmenu', (e) => e.preventDefault());
    this.on(c, 'keydown', (e) => this.key(e, false));
    this.on(c, 'keyup', (e) => this.key(e, true));
    this.on(c, 'blur', () => this.releaseAll());
    this.on(window, 'blur', () => this.releaseAll());
    this.on(document, 'visibilitychange', () => {
      if (document.visibilityState !== 'visible') this.releaseAll();
    });
  }

  key(e, released) {
    const entry = lookupKey(e.code);
    // Everything the page can take stays away from the browser while the picture has
    // the focus (some shortcuts, Ctrl+W among them, never reach a page).
    e.preventDefault();
    e.stopPropagation();
    if (!entry) return;
    if (released) {
      if (!this.keysDown.has(e.code)) return;
      this.keysDown.delete(e.code);
    } else {
      this.keysDown.set(e.code, entry);
    }
    this.session.send(buildKeyInput(entry.vk, entry.scan, released, entry.ext));
  }

  releaseAll() {
    for (const [, entry] of this.keysDown) this.session.send(buildKeyInput(entry.vk, entry.scan, true, entry.ext));
    this.keysDown.clear();
    for (const button of this.buttonsDown) this.mouse(MouseAction.Up, button);
    this.buttonsDown.clear();
  }

  detach() {
    this.releaseAll();
    for (const [t, type, fn, opts] of this.handlers) t.removeEventListener(type, fn, opts);
    this.handlers = [];
  }
}

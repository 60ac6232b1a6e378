// The dashboard: sign-in and registration, the account's machines, and the viewer.
// The sign-in token lives in sessionStorage only (this tab, until it closes or signs out).

import { ApiError, listMachines, register, signIn } from './api.js';
import { ViewerPanel, missingFeatures } from './viewer_ui.js';

const $ = (id) => document.getElementById(id);
const TOKEN_KEY = 'zarvex.token';
const USER_KEY = 'zarvex.user';
const REFRESH_MS = 5000;

const state = { mode: 'signin', machines: [], refreshTimer: null, viewer: null };

function token() {
  return sessionStorage.getItem(TOKEN_KEY);
}

function show(section) {
  for (const id of ['signin', 'machines', 'viewer']) $(id).hidden = id !== section;
  const signedIn = section !== 'signin';
  $('account').hidden = !signedIn;
  $('account-name').textContent = signedIn ? sessionStorage.getItem(USER_KEY) || '' : '';
  document.body.dataset.view = section;
}

function setMode(mode) {
  state.mode = mode;
  const reg = mode === 'register';
  $('tab-signin').setAttribute('aria-selected', String(!reg));
  $('tab-register').setAttribute('aria-selected', String(reg));
  $('email-row').hidden = !reg;
  $('email').required = reg;
  $('password').autocomplete = reg ? 'new-password' : 'current-password';
  $('password').minLength = reg ? 8 : 0;
  $('signin-submit').textContent = reg ? 'Create account' : 'Sign in';
  $('signin-error').hidden = true;
}

function formError(text) {
  $('signin-error').textContent = text;
  $('signin-error').hidden = !text;
}

async function onSubmit(e) {
  e.preventDefault();
  formError('');
  $('signin-note').hidden = true;
  const username = $('username').value.trim();
  const password = $('password').value;
  $('signin-submit').disabled = true;
  try {
    if (state.mode === 'register') await register(username, $('email').value.trim(), password);
    const t = await signIn(username, password);
    sessionStorage.setItem(TOKEN_KEY, t);
    sessionStorage.setItem(USER_KEY, username);
    $('password').value = '';
    await openMachines();
  } catch (err) {
    formError(err instanceof ApiError ? err.message : 'Something went wrong. Please try again.');
  } finally {
    $('signin-submit').disabled = false;
  }
}

function signOut(message = '') {
  closeViewer();
  clearInterval(state.refreshTimer);
  sessionStorage.removeItem(TOKEN_KEY);
  sessionStorage.removeItem(USER_KEY);
  setMode('signin');
  show('signin');
  formError(message);
}

async function refreshMachines() {
  const t = token();
  if (!t) return;
  try {
    state.machines = await listMachines(t);
    $('machines-error').hidden = true;
    renderMachines();
  } catch (err) {
    if (err.status === 401) return signOut(err.message);
    $('machines-error').textContent = err.message;
    $('machines-error').hidden = false;
  }
}

function renderMachines() {
  const list = $('machine-list');
  list.replaceChildren(...state.machines.map((m) => {
    const li = document.createElement('li');
    li.className = 'machine' + (m.online ? ' online' : '');
    li.dataset.machineId = m.machine_id;
    li.dataset.online = String(Boolean(m.online));
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = m.name;
    const os = document.createElement('span');
    os.className = 'os';
    os.textContent = m.os_info;
    const st = document.createElement('span');
    st.className = 'state';
    st.textContent = m.online ? 'Online' : 'Offline';
    const connect = document.createElement('button');
    connect.type = 'button';
    connect.className = 'connect';
    connect.textContent = 'Connect';
    connect.addEventListener('click', () => openViewer(m.machine_id));
    li.append(name, os, st, connect);
    return li;
  }));
  $('machines-empty').hidden = state.machines.length > 0;
}

async function openMachines(message = '') {
  show('machines');
  $('machines-error').textContent = message;
  $('machines-error').hidden = !message;
  clearInterval(state.refreshTimer);
  state.refreshTimer = setInterval(refreshMachines, REFRESH_MS);
  await refreshMachines();
  if (message) {
    $('machines-error').textContent = message;
    $('machines-error').hidden = false;
  }
}

async function isOnline(machineId) {
  const machines = await listMachines(token());
  const m = machines.find((x) => x.machine_id === machineId);
  return m ? Boolean(m.online) : false;
}

async function openViewer(machineId) {
  await refreshMachines();
  const machine = state.machines.find((m) => m.machine_id === machineId);
  if (!machine) return;
  const showError = (text) => {
    $('machines-error').textContent = text;
    $('machines-error').hidden = false;
  };
  const missing = await missingFeatures();
  if (missing.length) return showError(missing.join(' '));
  if (!machine.online) return showError(`${machine.name} is offline. Start the Zarvex agent on it, then connect again.`);
  clearInterval(state.refreshTimer);
  show('viewer');
  state.viewer = new ViewerPanel(machine, token(), {
    onLeave: (text) => {
      state.viewer = null;
      openMachines(text);
    },
    isOnline,
  });
  window.zarvexDashboard.viewer = state.viewer;
  state.viewer.start();
}

function closeViewer() {
  if (state.viewer) state.viewer.close();
  state.viewer = null;
}

function init() {
  window.zarvexDashboard = { viewer: null };
  $('signin-form').addEventListener('submit', onSubmit);
  $('tab-signin').addEventListener('click', () => setMode('signin'));
  $('tab-register').addEventListener('click', () => setMode('register'));
  $('signout').addEventListener('click', () => signOut());
  window.addEventListener('pagehide', closeViewer);
  setMode('signin');
  if (token()) openMachines();
  else show('signin');
}

init();

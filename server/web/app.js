// The fleet console: one page, hash routes, the server's JSON API under
// /api/v1/ and its live events. No framework and no build step: the server
// serves this file as it is. The page's policy forbids inline scripts and
// styles, so every element is made here with the DOM and styled by app.css;
// text from the API goes in as text, never as markup.
'use strict';

const state = {
  user: null,
  csrf: '',
  events: null,       // the EventSource while signed in
  view: null,         // the view on screen: {title, node, event(type, data), dispose()}
  generation: 0,      // raised on every route change: late answers of an old page are dropped
};

// ---- small helpers --------------------------------------------------------

function h(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
    else if (value === true) node.setAttribute(key, '');
    else node.setAttribute(key, String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

const $ = (id) => document.getElementById(id);

function pad(n) { return String(n).padStart(2, '0'); }

// Seconds since 1970 as the local "2024-05-01 14:03:09"; a dash for none.
function fmtTime(seconds) {
  if (!seconds) return '—';
  const d = new Date(seconds * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
         `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function fmtAgo(seconds) {
  if (!seconds) return 'never';
  const s = Math.max(0, Math.round(Date.now() / 1000 - seconds));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

function fmtDuration(seconds) {
  seconds = Number(seconds) || 0;
  if (seconds && seconds % 86400 === 0) return `${seconds / 86400} d`;
  if (seconds && seconds % 3600 === 0) return `${seconds / 3600} h`;
  if (seconds && seconds % 60 === 0) return `${seconds / 60} min`;
  return `${seconds} s`;
}

// "24h", "90m", "30s", "2d" or plain seconds; NaN when it is none of these.
function parseDuration(text) {
  const m = /^\s*(\d+)\s*([smhd]?)\s*$/i.exec(text || '');
  if (!m) return NaN;
  return Number(m[1]) * ({ '': 1, s: 1, m: 60, h: 3600, d: 86400 })[m[2].toLowerCase()];
}

function fmtBytes(n) {
  n = Number(n) || 0;
  const units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
  return i === 0 ? `${n} bytes` : `${n.toFixed(n < 10 ? 1 : 0)} ${units[i]}`;
}

function fmtNumber(n) { return (Number(n) || 0).toLocaleString('en-US'); }

// added + removed + changed of one kind of a comparison ({added, removed, changed}).
function sumCounts(c) { return c ? (c.added || 0) + (c.removed || 0) + (c.changed || 0) : 0; }

function countsText(c) {
  if (!c) return '—';
  return `+${fmtNumber(c.added)} −${fmtNumber(c.removed)} ~${fmtNumber(c.changed)}`;
}

function machineLink(uid, name) {
  return h('a', { href: `#/machines/${encodeURIComponent(uid)}` }, name || `machine ${uid}`);
}

function compareHref(oldId, newId) {
  return `#/compare?old=${encodeURIComponent(oldId)}&new=${encodeURIComponent(newId)}`;
}

// `link` (the API's): online on a node that stopped answering is "reconnecting".
function onlineBadge(online, link) {
  if (online && link === 'reconnecting') return h('span', { class: 'badge reconnecting' }, 'reconnecting');
  return h('span', { class: online ? 'badge online' : 'badge offline' }, online ? 'online' : 'offline');
}

function stateBadge(word) {
  return h('span', { class: `badge state-${String(word || '').replace(/[^a-z-]/gi, '')}` }, word || '—');
}

// A table: `columns` are [heading, cell(row) -> node or text, class?].
function table(columns, rows, options = {}) {
  const head = h('tr', null, columns.map(([title, , cls]) => h('th', { scope: 'col', class: cls }, title)));
  const body = rows.map((row) => h('tr', { class: options.rowClass ? options.rowClass(row) : null },
    columns.map(([, cell, cls]) => h('td', { class: cls }, cell(row)))));
  if (!rows.length && options.empty) {
    body.push(h('tr', null, h('td', { colspan: columns.length, class: 'muted' }, options.empty)));
  }
  return h('div', { class: 'table-wrap' },
    h('table', { class: options.class || null, id: options.id || null },
      options.caption ? h('caption', null, options.caption) : null,
      h('thead', null, head), h('tbody', null, body)));
}

function section(title, ...content) {
  const id = 's-' + title.toLowerCase().replace(/[^a-z0-9]+/g, '-');
  return h('section', { class: 'panel', 'aria-labelledby': id }, h('h2', { id }, title), content);
}

function errorBox(error) {
  return h('p', { class: 'error', role: 'alert' }, error && error.message ? error.message : String(error));
}

let toastTimer = 0;
function toast(text, bad) {
  const box = $('toast');
  box.textContent = text;
  box.className = bad ? 'toast bad' : 'toast';
  box.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { box.hidden = true; }, 5000);
}

// Replaces `old` by `fresh`, keeping the focus on the element of the same
// data-key, so that a live update does not throw the keyboard user out.
function swap(old, fresh) {
  const focused = document.activeElement;
  const key = focused && old.contains(focused) ? focused.getAttribute('data-key') : null;
  old.replaceWith(fresh);
  if (key) {
    const again = fresh.querySelector(`[data-key="${CSS.escape(key)}"]`);
    if (again) again.focus();
  }
  return fresh;
}

// Runs `fn` once, `ms` after the last of a burst of calls.
function debounce(fn, ms) {
  let timer = 0;
  const call = () => { clearTimeout(timer); timer = setTimeout(fn, ms); };
  call.cancel = () => clearTimeout(timer);
  return call;
}

// ---- the API ------------------------------------------------------------------

class ApiError extends Error {
  constructor(status, code, message) {
    super(message || code || `HTTP ${status}`);
    this.status = status;
    this.code = code;
  }
}

async function api(method, path, body, options = {}) {
  const headers = { Accept: 'application/json' };
  let payload;
  if (body instanceof ArrayBuffer || body instanceof Blob) {
    headers['Content-Type'] = 'application/octet-stream';
    payload = body;
  } else if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    payload = JSON.stringify(body);
  }
  if (method !== 'GET' && state.csrf) headers['X-CSRF-Token'] = state.csrf;
  const response = await fetch(path, { method, headers, body: payload, credentials: 'same-origin' });
  const text = await response.text();
  let data = null;
  try { data = text ? JSON.parse(text) : null; } catch (e) { data = null; }
  if (!response.ok) {
    const err = (data && data.error) || { code: `http-${response.status}`, message: text || response.statusText };
    // A session ended elsewhere: ask again, once, for the token; then sign in.
    if (response.status === 403 && err.code === 'csrf' && !options.retried) {
      await readSession();
      return api(method, path, body, { ...options, retried: true });
    }
    if (response.status === 401 && !options.signingIn) signedOut('Your session ended: sign in again.');
    throw new ApiError(response.status, err.code, err.message);
  }
  return data;
}

const get = (path) => api('GET', path);

// ---- session and live events --------------------------------------------------

async function readSession() {
  try {
    const session = await api('GET', '/api/v1/session', undefined, { signingIn: true });
    state.user = session.user;
    state.csrf = session.csrf || '';
    return true;
  } catch (e) {
    state.user = null;
    state.csrf = '';
    return false;
  }
}

const eventTypes = ['agent-online', 'agent-offline', 'scan-started', 'scan-progress', 'scan-done',
                    'snapshot-stored', 'comparison-done', 'rollout'];

function startEvents() {
  stopEvents();
  const source = new EventSource('/api/v1/events');
  state.events = source;
  const live = $('live');
  source.onopen = () => { live.className = 'live on'; live.title = 'Live updates: connected'; };
  source.onerror = () => {
    live.className = 'live off';
    live.title = 'Live updates: reconnecting';
    // Closed for good (a 401, say): the session may be gone.
    if (source.readyState === EventSource.CLOSED) {
      readSession().then((ok) => { if (ok) setTimeout(startEvents, 3000); else signedOut('Your session ended: sign in again.'); });
    }
  };
  for (const type of eventTypes) {
    source.addEventListener(type, (message) => {
      let data = {};
      try { data = JSON.parse(message.data); } catch (e) { return; }
      if (state.view && state.view.event) state.view.event(type, data);
    });
  }
}

function stopEvents() {
  if (state.events) state.events.close();
  state.events = null;
}

function signedOut(message) {
  state.user = null;
  state.csrf = '';
  stopEvents();
  disposeView();
  showSignIn(message);
}

function showSignIn(message) {
  $('nav').hidden = true;
  $('who').hidden = true;
  $('view').hidden = true;
  $('sign-in').hidden = false;
  document.title = 'Sign in — Orvalinth fleet';
  const error = $('sign-in-error');
  error.hidden = !message;
  error.textContent = message || '';
  $('sign-in-name').focus();
}

async function signIn(event) {
  event.preventDefault();
  const form = event.target;
  const button = form.querySelector('button[type=submit]');
  const error = $('sign-in-error');
  button.disabled = true;
  error.hidden = true;
  try {
    await api('POST', '/api/v1/session', { name: $('sign-in-name').value, password: $('sign-in-password').value },
              { signingIn: true });
    // The token the actions carry, as the session tells it.
    await readSession();
    $('sign-in-password').value = '';
    signedIn();
  } catch (e) {
    error.textContent = e.code === 'sign-in-failed' ? 'The name or the password is wrong.' : e.message;
    error.hidden = false;
    $('sign-in-password').select();
  } finally {
    button.disabled = false;
  }
}

function signedIn() {
  $('sign-in').hidden = true;
  $('nav').hidden = false;
  $('who').hidden = false;
  $('view').hidden = false;
  $('user-name').textContent = state.user ? state.user.name : '';
  startEvents();
  route();
}

async function signOut() {
  try { await api('DELETE', '/api/v1/session'); } catch (e) { /* gone already */ }
  signedOut('');
}

// ---- routing ----------------------------------------------------------------

function parseHash() {
  const raw = location.hash.replace(/^#/, '') || '/';
  const at = raw.indexOf('?');
  const path = at < 0 ? raw : raw.slice(0, at);
  return {
    parts: path.split('/').filter(Boolean).map(decodeURIComponent),
    params: new URLSearchParams(at < 0 ? '' : raw.slice(at + 1)),
  };
}

function setHash(path, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {})) {
    if (value !== '' && value !== null && value !== undefined) query.set(key, value);
  }
  const text = query.toString();
  location.hash = text ? `${path}?${text}` : path;
}

function disposeView() {
  if (state.view && state.view.dispose) state.view.dispose();
  state.view = null;
}

const views = {
  '': overviewView,
  machines: (r) => (r.parts[1] ? machineView(r.parts[1]) : machinesView(r)),
  compare: compareView,
  search: searchView,
  schedules: schedulesView,
  rollouts: rolloutsView,
  health: healthView,
};

let firstRoute = true;
async function route() {
  if (!state.user) return;
  const r = parseHash();
  const name = r.parts[0] || '';
  const make = views[name];
  disposeView();
  const generation = ++state.generation;
  for (const link of document.querySelectorAll('#nav a')) {
    const current = link.dataset.route === (name || 'overview');
    if (current) link.setAttribute('aria-current', 'page'); else link.removeAttribute('aria-current');
  }
  const main = $('view');
  main.replaceChildren(h('p', { class: 'muted' }, 'Loading…'));
  if (!make) {
    main.replaceChildren(h('h1', null, 'Not found'), h('p', null, 'No page here. ', h('a', { href: '#/' }, 'The overview.')));
    return;
  }
  const view = make(r);
  state.view = view;
  try {
    const node = await view.render();
    if (generation !== state.generation) return;
    main.replaceChildren(node);
    document.title = `${view.title} — Orvalinth fleet`;
    main.setAttribute('aria-busy', 'false');
    if (!firstRoute) main.focus({ preventScroll: true });
    firstRoute = false;
    window.scrollTo(0, 0);
  } catch (e) {
    if (generation !== state.generation) return;
    if (e.status === 401) return;
    main.replaceChildren(h('h1', null, view.title || 'Error'), errorBox(e));
  }
}

// A view whose parts reload on their own: `parts` maps a name to an async
// function giving its node; reload(name) fetches again and swaps it in.
function partsView(title, parts) {
  const nodes = {};
  const view = {
    title,
    async render() {
      const names = Object.keys(parts);
      const made = await Promise.all(names.map((n) => parts[n]()));
      names.forEach((n, i) => { nodes[n] = made[i]; });
      return h('div', null, made);
    },
    async reload(name) {
      const generation = state.generation;
      try {
        const fresh = await parts[name]();
        if (generation !== state.generation || !nodes[name]) return;
        nodes[name] = swap(nodes[name], fresh);
      } catch (e) { /* the next update tries again */ }
    },
  };
  return view;
}

// ---- overview ---------------------------------------------------------------

function overviewView() {
  const view = partsView('Overview', {
    async summary() {
      const o = await get('/api/v1/overview');
      const stat = (label, value, href) => h('li', { class: 'stat' },
        h('span', { class: 'stat-value' }, href ? h('a', { href }, value) : value), h('span', { class: 'stat-label' }, label));
      return h('div', null,
        h('h1', null, 'Overview'),
        h('ul', { class: 'stats', 'aria-label': 'Counts' },
          stat('machines', fmtNumber(o.machines), '#/machines'),
          stat('online', fmtNumber(o.online), '#/machines?online=1'),
          o.reconnecting ? stat('reconnecting', fmtNumber(o.reconnecting), '#/machines?online=1') : null,
          stat('silent', fmtNumber(o.silent), '#/machines?online=0'),
          stat('snapshots', fmtNumber(o.snapshots)),
          stat('stored', fmtBytes(o.snapshot_bytes)),
          stat('comparisons', fmtNumber(o.comparisons)),
          stat('not yet compared', fmtNumber(o.uncompared))),
        h('div', { class: 'columns' },
          section('Latest changes', table([
            ['Machine', (c) => machineLink(c.uid, c.machine_name)],
            ['Snapshots', (c) => h('a', { href: compareHref(c.old_snapshot, c.new_snapshot) }, `#${c.old_number} → #${c.new_number}`)],
            ['Compared', (c) => fmtTime(c.compared_time || c.time)],
            ['Files', (c) => countsText(c.files), 'n'],
            ['Registry', (c) => countsText(c.registry), 'n'],
            ['Apps', (c) => countsText(c.apps), 'n'],
          ], o.latest || [], { empty: 'No comparisons yet.', id: 'latest-changes' })),
          h('div', null,
            section('Versions', table([
              ['Version', (v) => h('a', { href: `#/machines?version=${encodeURIComponent(v.version)}` }, String(v.version))],
              ['Machines', (v) => fmtNumber(v.machines), 'n'],
            ], o.versions || [], { empty: 'None yet.' })),
            section('Groups', table([
              ['Group', (g) => h('a', { href: `#/machines?group=${encodeURIComponent(g.group || '-')}` }, g.group || '(none)')],
              ['Machines', (g) => fmtNumber(g.machines), 'n'],
            ], o.groups || [], { empty: 'None yet.' })))),
        section('Silent machines', table([
          ['Machine', (m) => machineLink(m.uid, m.name)],
          ['Last seen', (m) => h('span', { title: fmtTime(m.last_seen) }, fmtAgo(m.last_seen))],
          ['Version', (m) => String(m.version ?? '')],
          ['Group', (m) => m.group || ''],
        ], o.silent_machines || [], { empty: 'Every machine is online.', id: 'silent-machines' })));
    },
    async online() {
      const list = await get('/api/v1/machines?online=1&sort=name&order=asc&limit=25');
      return section(`Online machines (${fmtNumber(list.total)})`, table([
        ['Machine', (m) => machineLink(m.uid, m.name)],
        ['Address', (m) => m.address || ''],
        ['Version', (m) => String(m.version ?? '')],
        ['Group', (m) => m.group || ''],
        ['Last scan', (m) => fmtTime(m.last_scan)],
      ], list.machines || [], { empty: 'No machine is online.', id: 'online-machines' }),
      list.total > (list.machines || []).length ? h('p', null, h('a', { href: '#/machines?online=1' }, 'All online machines')) : null);
    },
  });
  const later = debounce(() => { view.reload('summary'); view.reload('online'); }, 400);
  view.event = (type) => { if (type !== 'scan-progress') later(); };
  view.dispose = later.cancel;
  return view;
}

// ---- machines -------------------------------------------------------------------

const machineColumns = [
  ['name', 'Name'], ['uid', 'Id'], ['online', 'State'], ['address', 'Address'], ['version', 'Version'],
  ['group', 'Group'], ['last_seen', 'Last seen'], ['first_seen', 'First seen'],
];

function machinesView(r) {
  const p = r.params;
  const query = {
    name: p.get('name') || '', online: p.get('online') || '', group: p.get('group') || '',
    version: p.get('version') || '', sort: p.get('sort') || 'name', order: p.get('order') || 'asc',
    offset: Number(p.get('offset')) || 0,
  };
  const limit = 50;
  const go = (changes) => setHash('/machines', { ...query, offset: '', ...changes });
  const view = partsView('Machines', {
    async filters() {
      const field = (id, label, input) => h('div', { class: 'field' }, h('label', { for: id }, label), input);
      const form = h('form', { class: 'filters', role: 'search', 'aria-label': 'Filter machines' },
        field('f-name', 'Name', h('input', { id: 'f-name', name: 'name', value: query.name, placeholder: 'PC-* or part of it' })),
        field('f-online', 'State', h('select', { id: 'f-online', name: 'online' },
          [['', 'any'], ['1', 'online'], ['0', 'offline']].map(([v, t]) => h('option', { value: v, selected: query.online === v }, t)))),
        field('f-group', 'Group', h('input', { id: 'f-group', name: 'group', value: query.group })),
        field('f-version', 'Version', h('input', { id: 'f-version', name: 'version', value: query.version, inputmode: 'numeric' })),
        h('div', { class: 'field buttons' }, h('button', { type: 'submit', class: 'primary' }, 'Filter'),
          h('button', { type: 'button', onclick: () => setHash('/machines', {}) }, 'Clear')));
      form.addEventListener('submit', (e) => {
        e.preventDefault();
        const data = new FormData(form);
        go({ name: data.get('name'), online: data.get('online'), group: data.get('group'), version: data.get('version') });
      });
      return h('div', null, h('h1', null, 'Machines'), form);
    },
    async list() {
      const q = new URLSearchParams({ sort: query.sort, order: query.order, offset: query.offset, limit });
      for (const key of ['name', 'online', 'group', 'version']) if (query[key] !== '') q.set(key, query[key]);
      const list = await get(`/api/v1/machines?${q}`);
      const heading = ([key, title]) => {
        const current = query.sort === key;
        const next = current && query.order === 'asc' ? 'desc' : 'asc';
        return h('th', { scope: 'col', 'aria-sort': current ? (query.order === 'asc' ? 'ascending' : 'descending') : null },
          h('button', { type: 'button', class: 'sort', 'data-key': `sort-${key}`, onclick: () => go({ sort: key, order: next, offset: query.offset || '' }) },
            title, current ? (query.order === 'asc' ? ' ▲' : ' ▼') : ''));
      };
      const rows = (list.machines || []).map((m) => h('tr', null,
        h('td', null, machineLink(m.uid, m.name)), h('td', { class: 'n' }, String(m.uid)), h('td', null, onlineBadge(m.online, m.link)),
        h('td', null, m.address || ''), h('td', null, String(m.version ?? '')), h('td', null, m.group || ''),
        h('td', { title: fmtTime(m.last_seen) }, fmtAgo(m.last_seen)), h('td', null, fmtTime(m.first_seen))));
      if (!rows.length) rows.push(h('tr', null, h('td', { colspan: machineColumns.length, class: 'muted' }, 'No machine matches.')));
      const from = list.total ? list.offset + 1 : 0;
      const to = list.offset + (list.machines || []).length;
      return h('div', null,
        h('p', { class: 'muted', 'aria-live': 'polite' }, `${fmtNumber(from)}–${fmtNumber(to)} of ${fmtNumber(list.total)} machines`),
        h('div', { class: 'table-wrap' }, h('table', { id: 'machines' },
          h('thead', null, h('tr', null, machineColumns.map(heading))), h('tbody', null, rows))),
        h('div', { class: 'pager' },
          h('button', { type: 'button', disabled: list.offset <= 0, onclick: () => go({ offset: Math.max(0, list.offset - limit) || '', sort: query.sort, order: query.order }) }, 'Previous'),
          h('button', { type: 'button', disabled: to >= list.total, onclick: () => go({ offset: list.offset + limit, sort: query.sort, order: query.order }) }, 'Next')));
    },
  });
  const later = debounce(() => view.reload('list'), 400);
  view.event = (type) => { if (type === 'agent-online' || type === 'agent-offline') later(); };
  view.dispose = later.cancel;
  return view;
}

// ---- one machine --------------------------------------------------------------

function machineView(uidText) {
  const uid = Number(uidText);
  let machine = null;
  let scanText = '';
  const progress = h('p', { class: 'progress', id: 'scan-progress', role: 'status', 'aria-live': 'polite', hidden: true });
  const setProgress = (text) => { scanText = text; progress.textContent = text; progress.hidden = !text; };

  const action = async (button, method, path, body, done) => {
    button.disabled = true;
    try {
      const answer = await api(method, path, body);
      if (done) done(answer);
    } catch (e) {
      toast(e.message, true);
    } finally {
      button.disabled = false;
    }
  };

  const view = partsView('Machine', {
    async head() {
      const answer = await get(`/api/v1/machines/${uid}`);
      machine = answer.machine;
      view.title = machine.name || `Machine ${uid}`;
      document.title = `${view.title} — Orvalinth fleet`;
      const m = machine;
      const scanButton = h('button', { type: 'button', class: 'primary', id: 'scan-now', 'data-key': 'scan-now', disabled: !m.online,
        onclick: (e) => action(e.currentTarget, 'POST', `/api/v1/machines/${uid}/scan`, { profile: '' },
          (a) => { setProgress(`Scan ${a.scan} requested…`); view.reload('scans'); }) }, 'Scan now');
      const stopButton = h('button', { type: 'button', id: 'stop-scan', 'data-key': 'stop-scan', disabled: !m.online,
        onclick: (e) => action(e.currentTarget, 'POST', `/api/v1/machines/${uid}/stop-scan`, undefined,
          () => { toast('Asked the agent to stop its scan.'); view.reload('scans'); }) }, 'Stop scan');
      return h('div', { class: 'title-row' },
          h('h1', null, m.name || `Machine ${uid}`, ' ', onlineBadge(m.online, m.link)),
          h('div', { class: 'buttons', role: 'group', 'aria-label': 'Actions' },
            scanButton, stopButton,
            h('button', { type: 'button', id: 'browse', 'data-key': 'browse', disabled: !m.online, onclick: () => openBrowse(uid, m.name) }, 'Browse'),
            h('button', { type: 'button', id: 'uninstall', class: 'danger', 'data-key': 'uninstall', onclick: () => openUninstall(uid, m.name) }, 'Uninstall…')));
    },
    async reports() {
      const answer = await get(`/api/v1/machines/${uid}`);
      const m = answer.machine;
      const groupInput = h('input', { id: 'group-input', value: m.group || '', 'data-key': 'group-input', size: 16 });
      const groupForm = h('form', { class: 'inline', 'aria-label': 'Group' },
        h('label', { for: 'group-input' }, 'Group '), groupInput, ' ',
        h('button', { type: 'submit', 'data-key': 'group-save' }, 'Save'));
      groupForm.addEventListener('submit', (e) => {
        e.preventDefault();
        action(groupForm.querySelector('button'), 'PUT', `/api/v1/machines/${uid}/group`, { group: groupInput.value.trim() },
          () => { toast('Group saved.'); view.reload('reports'); });
      });
      const schedule = answer.schedule;
      const info = [
        ['Id', String(m.uid)], ['Name', m.name || ''], ['Address', m.address || ''],
        ['Version', String(m.version ?? '')], ['Bits', `program ${m.app_bits || '?'}, system ${m.os_bits || '?'}`],
        ['Group', m.group || '(none)'], ['First seen', fmtTime(m.first_seen)],
        ['Last seen', `${fmtTime(m.last_seen)} (${fmtAgo(m.last_seen)})`], ['Last scan', fmtTime(m.last_scan)],
        ['Schedule', schedule ? `${schedule.profile} every ${fmtDuration(schedule.interval)}${schedule.enabled ? '' : ' (off)'}` : 'none'],
      ];
      const crashes = answer.crash_reports || [];
      const upgrades = answer.upgrade_results || [];
      return h('div', null,
        section('Machine', h('table', { class: 'info' }, h('tbody', null,
          info.map(([k, v]) => h('tr', null, h('th', { scope: 'row' }, k), h('td', null, v))))), groupForm),
        section(`Crash reports (${crashes.length})`, crashes.length ? crashes.map((c) => h('details', { class: 'crash' },
          h('summary', null, fmtTime(c.time)), h('pre', null, c.text || ''))) : h('p', { class: 'muted' }, 'None.')),
        section(`Upgrade results (${upgrades.length})`, table([
          ['Time', (u) => fmtTime(u.time)], ['Result', (u) => stateBadge(u.ok ? 'done' : 'failed')],
          ['Version', (u) => String(u.version ?? '')], ['Text', (u) => u.text || ''],
        ], upgrades, { empty: 'None.' })));
    },
    async snapshots() {
      const answer = await get(`/api/v1/machines/${uid}/snapshots`);
      const list = (answer.snapshots || []).slice().reverse();  // newest first
      const items = list.map((s) => {
        const c = s.comparison;
        const changeLink = c ? h('a', { href: compareHref(c.old_snapshot, c.new_snapshot), class: 'compare-link', 'data-key': `cmp-${s.id}` },
          `Changes since #${c.old_number}`) : null;
        const total = c ? sumCounts(c.files) + sumCounts(c.registry) + sumCounts(c.apps) : 0;
        return h('li', { class: 'snapshot', id: `snapshot-${s.id}`, 'data-number': s.number },
          h('div', { class: 'when' }, h('time', null, fmtTime(s.received))),
          h('div', { class: 'what' },
            h('div', { class: 'snap-title' }, h('strong', null, `#${s.number}`), ' ', s.title || '', ' ',
              h('span', { class: 'muted' }, fmtBytes(s.size))),
            h('div', { class: 'muted small' },
              `${fmtNumber(s.counts && s.counts.files)} files, ${fmtNumber(s.counts && s.counts.folders)} folders, ` +
              `${fmtNumber(s.counts && s.counts.keys)} keys, ${fmtNumber(s.counts && s.counts.values)} values, ` +
              `${fmtNumber(s.counts && s.counts.items)} application items` +
              (s.counts && s.counts.errors ? `, ${fmtNumber(s.counts.errors)} errors` : '')),
            c ? h('div', { class: 'counts' },
              h('span', { class: total ? 'changed' : 'muted' }, total ? `${fmtNumber(total)} changes: ` : 'no changes: '),
              `files ${countsText(c.files)}, registry ${countsText(c.registry)}, apps ${countsText(c.apps)}`,
              h('div', null, changeLink))
              : h('div', { class: 'muted small' }, s.compared ? 'the first snapshot' : (list.length > 1 ? 'not compared yet' : 'the first snapshot')),
            h('div', { class: 'small' }, h('a', { href: `/api/v1/snapshots/${s.id}/file`, download: '' }, 'Download .snp'), ' · ',
              h('a', { href: `/api/v1/snapshots/${s.id}/report?format=html`, target: '_blank', rel: 'noopener' }, 'Report'))));
      });
      let picker = null;
      if (list.length > 1) {
        const options = (selected) => list.map((s) => h('option', { value: s.id, selected: s.id === selected }, `#${s.number} ${fmtTime(s.received)}`));
        const oldSelect = h('select', { id: 'cmp-old', 'data-key': 'cmp-old' }, options(list[1].id));
        const newSelect = h('select', { id: 'cmp-new', 'data-key': 'cmp-new' }, options(list[0].id));
        picker = h('form', { class: 'inline', 'aria-label': 'Compare two snapshots' },
          h('label', { for: 'cmp-old' }, 'Compare '), oldSelect, h('label', { for: 'cmp-new' }, ' with '), newSelect, ' ',
          h('button', { type: 'submit', 'data-key': 'cmp-go' }, 'Compare'));
        picker.addEventListener('submit', (e) => { e.preventDefault(); location.hash = compareHref(oldSelect.value, newSelect.value); });
      }
      return section(`Snapshots (${list.length})`, picker,
        items.length ? h('ol', { class: 'timeline', id: 'snapshots', reversed: true }, items) : h('p', { class: 'muted', id: 'snapshots' }, 'No snapshot yet.'));
    },
    async scans() {
      const answer = await get(`/api/v1/machines/${uid}`);
      const scans = answer.scans || [];
      return section('Scans', table([
        ['Scan', (s) => String(s.id), 'n'], ['State', (s) => stateBadge(s.state)],
        ['By', (s) => (s.origin === 'schedule' ? 'schedule' : s.by || s.origin || '')], ['Profile', (s) => s.profile || ''],
        ['Requested', (s) => fmtTime(s.requested)], ['Started', (s) => fmtTime(s.started)], ['Done', (s) => fmtTime(s.done)],
        ['Snapshot', (s) => (s.number ? `#${s.number}` : '')], ['Result', (s) => String(s.result ?? '')],
      ], scans, { empty: 'No scan yet.', id: 'scans' }));
    },
  });

  const later = {
    head: debounce(() => view.reload('head'), 300),
    reports: debounce(() => view.reload('reports'), 300),
    snapshots: debounce(() => view.reload('snapshots'), 300),
    scans: debounce(() => view.reload('scans'), 300),
  };
  view.event = (type, data) => {
    if (Number(data.uid) !== uid) return;
    switch (type) {
      case 'agent-online':
      case 'agent-offline': later.head(); later.reports(); break;
      case 'scan-started': setProgress(`Scan ${data.scan} started (${data.profile || 'default'})…`); later.scans(); break;
      case 'scan-progress': setProgress(`Scan ${data.scan}: ${data.text}`); break;
      case 'scan-done':
        setProgress(`Scan ${data.scan} ${data.state}${data.number ? `: snapshot #${data.number}` : ''}${data.result ? ` (${data.result})` : ''}`);
        later.scans(); later.head(); later.reports(); break;
      case 'snapshot-stored':
        setProgress(`Snapshot #${data.number} received (${fmtBytes(data.size)}); comparing…`);
        later.snapshots(); break;
      case 'comparison-done':
        setProgress(`Snapshot compared: ${fmtNumber(data.files)} file, ${fmtNumber(data.registry)} registry and ${fmtNumber(data.apps)} application changes.`);
        later.snapshots(); break;
      default: break;
    }
  };
  view.dispose = () => Object.values(later).forEach((f) => f.cancel());
  // The snapshots and scans beside what the machine is.
  const render = view.render;
  view.render = async () => {
    const all = await render();
    const [head, reports, snapshots, scans] = Array.from(all.children);
    if (scanText) setProgress(scanText);
    return h('div', null, head, progress,
      h('div', { class: 'columns' }, h('div', null, snapshots, scans), reports));
  };
  return view;
}

// ---- the browse dialog --------------------------------------------------------

const browse = { uid: 0, kind: 'drives', path: '' };
const registryRoots = ['HKEY_LOCAL_MACHINE', 'HKEY_USERS', 'HKEY_CURRENT_USER', 'HKEY_CLASSES_ROOT', 'HKEY_CURRENT_CONFIG'];

function openBrowse(uid, name) {
  browse.uid = uid;
  $('browse-title').textContent = `Browse ${name || `machine ${uid}`}`;
  $('browse-dialog').showModal();
  browseTo('drives', '');
}

function parentPath(path) {
  const trimmed = path.replace(/\\+$/, '');
  const at = trimmed.lastIndexOf('\\');
  if (at < 0) return '';
  const parent = trimmed.slice(0, at);
  return /^[A-Za-z]:$/.test(parent) ? `${parent}\\` : parent;
}

function joinPath(path, name) {
  if (!path) return name;
  return path.endsWith('\\') ? path + name : `${path}\\${name}`;
}

async function browseTo(kind, path) {
  browse.kind = kind;
  browse.path = path;
  const body = $('browse-body');
  $('browse-path').textContent = kind === 'drives' ? 'Drives' : path || 'Registry';
  $('browse-up').disabled = kind === 'drives' || !path;
  body.replaceChildren(h('p', { class: 'muted' }, 'Asking the agent…'));
  const entry = (label, detail, onclick) => h('li', null,
    onclick ? h('button', { type: 'button', class: 'link', onclick }, label) : h('span', null, label),
    detail ? h('span', { class: 'muted' }, ` ${detail}`) : null);
  if (kind === 'registry' && !path) {
    body.replaceChildren(h('ul', { class: 'listing' }, registryRoots.map((root) => entry(`▸ ${root}`, '', () => browseTo('registry', root)))));
    body.querySelector('button').focus();
    return;
  }
  try {
    const q = new URLSearchParams({ kind, path });
    const data = await get(`/api/v1/machines/${browse.uid}/browse?${q}`);
    if (browse.kind !== kind || browse.path !== path) return;
    let items;
    if (kind === 'drives') {
      items = (data.drives || data.entries || []).map((d) => {
        const name = d.name || d.path || String(d);
        return entry(`▸ ${name}`, d.type || '', () => browseTo('folder', /[\\]$/.test(name) ? name : `${name}\\`));
      });
    } else if (kind === 'folder') {
      items = (data.entries || []).map((e) => (e.folder
        ? entry(`▸ ${e.name}`, '', () => browseTo('folder', joinPath(path, e.name)))
        : entry(e.name, `${fmtBytes(e.size)}${e.time ? `, ${fmtTime(e.time)}` : ''}`)));
    } else {
      items = (data.entries || []).map((e) => (e.key
        ? entry(`▸ ${e.name}`, '', () => browseTo('registry', joinPath(path, e.name)))
        : entry(e.name || '(default)', `${e.type || ''} ${e.data ?? ''}`)));
    }
    body.replaceChildren(items.length ? h('ul', { class: 'listing' }, items) : h('p', { class: 'muted' }, 'Empty.'));
    const first = body.querySelector('button');
    if (first) first.focus();
  } catch (e) {
    body.replaceChildren(errorBox(e.code === 'offline' ? new Error('The machine is offline.') : e));
  }
}

// ---- the uninstall dialog -------------------------------------------------------

let uninstallTarget = { uid: 0, name: '' };

function openUninstall(uid, name) {
  uninstallTarget = { uid, name: name || '' };
  $('uninstall-machine').textContent = name || `machine ${uid}`;
  $('uninstall-confirm').value = '';
  $('uninstall-go').disabled = true;
  $('uninstall-error').hidden = true;
  $('uninstall-dialog').showModal();
  $('uninstall-confirm').focus();
}

async function uninstall(event) {
  event.preventDefault();
  const button = $('uninstall-go');
  button.disabled = true;
  try {
    await api('POST', `/api/v1/machines/${uninstallTarget.uid}/uninstall`, { confirm: $('uninstall-confirm').value });
    $('uninstall-dialog').close();
    toast(`Asked ${uninstallTarget.name} to uninstall its agent.`);
  } catch (e) {
    $('uninstall-error').textContent = e.code === 'confirmation' ? 'That is not the machine\'s name.' : e.message;
    $('uninstall-error').hidden = false;
    button.disabled = false;
  }
}

// ---- a comparison -------------------------------------------------------------

const kindTitles = { files: 'Files', registry: 'Registry', apps: 'Applications' };

function compareView(r) {
  const oldId = r.params.get('old') || '';
  const newId = r.params.get('new') || '';
  const view = { title: 'Comparison' };
  view.render = async () => {
    if (!oldId || !newId) throw new Error('Choose two snapshots on a machine\'s page.');
    const [older, newer] = await Promise.all([get(`/api/v1/snapshots/${encodeURIComponent(oldId)}`), get(`/api/v1/snapshots/${encodeURIComponent(newId)}`)]);
    let name = `machine ${newer.uid}`;
    try { name = (await get(`/api/v1/machines/${newer.uid}`)).machine.name || name; } catch (e) { /* the numbers say enough */ }
    view.title = `Changes on ${name}: #${older.number} → #${newer.number}`;
    const rowsStored = newer.comparison && String(newer.comparison.old_snapshot) === String(older.id);
    const reportUrl = `/api/v1/compare?old=${encodeURIComponent(oldId)}&new=${encodeURIComponent(newId)}&format=html`;
    const frameBox = h('div', { class: 'report-box', id: 'report-box' });
    const showReport = () => {
      if (!frameBox.firstChild) {
        // Sandboxed wholly: the report is shown, nothing of it runs (its own policy says the same).
        frameBox.append(h('iframe', { src: reportUrl, sandbox: '', title: 'Full report', class: 'report', id: 'report-frame' }));
      }
      frameBox.hidden = false;
      reportButton.setAttribute('aria-expanded', 'true');
      if (frameBox.isConnected) frameBox.scrollIntoView({ block: 'start' });
    };
    const reportButton = h('button', { type: 'button', id: 'full-report', 'aria-expanded': 'false', 'aria-controls': 'report-box',
      onclick: () => { if (frameBox.hidden || !frameBox.firstChild) showReport(); else { frameBox.hidden = true; reportButton.setAttribute('aria-expanded', 'false'); } } },
      'Full report');
    const sides = h('table', { class: 'info' }, h('tbody', null,
      h('tr', null, h('th', { scope: 'row' }, 'Old'), h('td', null, `#${older.number} ${older.title || ''}, received ${fmtTime(older.received)}`)),
      h('tr', null, h('th', { scope: 'row' }, 'New'), h('td', null, `#${newer.number} ${newer.title || ''}, received ${fmtTime(newer.received)}`))));
    const buttons = h('div', { class: 'buttons' }, reportButton,
      h('a', { class: 'button', href: reportUrl, target: '_blank', rel: 'noopener' }, 'Open the report alone'));
    const head = (summary) => h('div', null,
      h('p', { class: 'crumbs' }, machineLink(newer.uid, name), ' › comparison'),
      h('h1', null, `Changes on ${name}`),
      h('div', { class: 'compare-head' }, h('div', null, sides, buttons), summary));
    if (!rowsStored) {
      showReport();
      return h('div', null, head(null),
        h('p', { class: 'muted' }, 'The change rows are kept for each snapshot against the one before it; the report below compares these two.'),
        frameBox);
    }
    const limit = 200;
    const first = await get(`/api/v1/snapshots/${encodeURIComponent(newId)}/changes?offset=0&limit=${limit}`);
    const c = first.comparison;
    frameBox.hidden = true;
    const summary = table([
      ['', (k) => kindTitles[k] || k],
      ['Added', (k) => fmtNumber(c[k] && c[k].added), 'n added'],
      ['Removed', (k) => fmtNumber(c[k] && c[k].removed), 'n removed'],
      ['Changed', (k) => fmtNumber(c[k] && c[k].changed), 'n changed'],
    ], ['files', 'registry', 'apps'], { class: 'summary', id: 'change-summary' });
    const body = h('tbody', null);
    const addRows = (changes) => {
      for (const ch of changes) {
        body.append(h('tr', { class: `change ${ch.category}` },
          h('td', null, kindTitles[ch.kind] || ch.kind), h('td', null, h('span', { class: `cat ${ch.category}` }, ch.category)),
          h('td', { class: 'path' }, ch.path || ''), h('td', null, ch.entry || ''),
          h('td', { class: 'value' }, ch.old ?? ''), h('td', { class: 'value' }, ch.new ?? '')));
      }
    };
    addRows(first.changes || []);
    let shown = (first.changes || []).length;
    const count = h('p', { class: 'muted', 'aria-live': 'polite' });
    const more = h('button', { type: 'button', id: 'more-changes' }, 'More');
    const update = () => { count.textContent = `${fmtNumber(shown)} of ${fmtNumber(first.total)} change rows`; more.hidden = shown >= first.total; };
    more.addEventListener('click', async () => {
      more.disabled = true;
      try {
        const next = await get(`/api/v1/snapshots/${encodeURIComponent(newId)}/changes?offset=${shown}&limit=${limit}`);
        addRows(next.changes || []);
        shown += (next.changes || []).length;
        update();
      } catch (e) { toast(e.message, true); } finally { more.disabled = false; }
    });
    update();
    const rows = shown ? h('div', { class: 'table-wrap' }, h('table', { id: 'changes', class: 'changes' },
      h('thead', null, h('tr', null, ['Kind', 'Change', 'Path', 'Entry', 'Old', 'New'].map((t) => h('th', { scope: 'col' }, t)))), body))
      : h('p', { id: 'changes' }, 'No changes.');
    return h('div', null, head(summary), section('Change rows', count, rows, more), frameBox);
  };
  return view;
}

// ---- search -------------------------------------------------------------------------

function toLocalInput(seconds) {
  if (!seconds) return '';
  const d = new Date(seconds * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`;
}
function fromLocalInput(text) { return text ? Math.floor(new Date(text).getTime() / 1000) : ''; }

function searchView(r) {
  const p = r.params;
  const what = p.get('what') || 'inventory';
  const view = { title: 'Search' };
  const field = (id, label, input) => h('div', { class: 'field' }, h('label', { for: id }, label), input);
  const select = (id, name, options, value) => h('select', { id, name },
    options.map(([v, t]) => h('option', { value: v, selected: value === v }, t)));
  view.render = async () => {
    const inventory = h('form', { class: 'filters', role: 'search', 'aria-label': 'Search the inventory' },
      field('inv-q', 'Name or path', h('input', { id: 'inv-q', name: 'q', value: what === 'inventory' ? p.get('q') || '' : '', placeholder: '*defender*' })),
      field('inv-category', 'Category', select('inv-category', 'category',
        [['', 'every category'], ['Programs', 'Programs'], ['Services', 'Services'], ['Drivers', 'Drivers'], ['Startup', 'Startup entries']],
        p.get('category') || '')),
      h('div', { class: 'field buttons' }, h('button', { type: 'submit', class: 'primary' }, 'Search the inventory')));
    inventory.addEventListener('submit', (e) => {
      e.preventDefault();
      const d = new FormData(inventory);
      setHash('/search', { what: 'inventory', q: d.get('q'), category: d.get('category') });
    });
    const changes = h('form', { class: 'filters', role: 'search', 'aria-label': 'Search the changes' },
      field('chg-q', 'Path', h('input', { id: 'chg-q', name: 'q', value: what === 'changes' ? p.get('q') || '' : '', placeholder: '*\\Run\\*' })),
      field('chg-kind', 'Kind', select('chg-kind', 'kind', [['', 'any'], ['files', 'files'], ['registry', 'registry'], ['apps', 'applications']], p.get('kind') || '')),
      field('chg-category', 'Change', select('chg-category', 'category', [['', 'any'], ['added', 'added'], ['removed', 'removed'], ['changed', 'changed']],
        what === 'changes' ? p.get('category') || '' : '')),
      field('chg-since', 'Since', h('input', { id: 'chg-since', name: 'since', type: 'datetime-local', value: toLocalInput(Number(p.get('since'))) })),
      field('chg-until', 'Until', h('input', { id: 'chg-until', name: 'until', type: 'datetime-local', value: toLocalInput(Number(p.get('until'))) })),
      h('div', { class: 'field buttons' }, h('button', { type: 'submit', class: 'primary' }, 'Search the changes')));
    changes.addEventListener('submit', (e) => {
      e.preventDefault();
      const d = new FormData(changes);
      setHash('/search', { what: 'changes', q: d.get('q'), kind: d.get('kind'), category: d.get('category'),
                           since: fromLocalInput(d.get('since')), until: fromLocalInput(d.get('until')) });
    });

    let results = null;
    if (what === 'inventory' && p.has('q')) {
      const q = new URLSearchParams({ q: p.get('q') || '*', limit: 500 });
      if (p.get('category')) q.set('category', p.get('category'));
      const answer = await get(`/api/v1/search/inventory?${q}`);
      results = section(`Inventory: ${fmtNumber((answer.results || []).length)}${answer.truncated ? '+' : ''} found`, table([
        ['Machine', (x) => machineLink(x.uid, x.machine_name)], ['Category', (x) => x.category],
        ['Name', (x) => x.name], ['Path', (x) => h('span', { class: 'path' }, x.path || '')], ['Detail', (x) => x.detail || ''],
      ], answer.results || [], { empty: 'Nothing matches.', id: 'inventory-results' }),
      answer.truncated ? h('p', { class: 'muted' }, 'More match: narrow the pattern.') : null);
    } else if (what === 'changes') {
      const q = new URLSearchParams({ limit: 500 });
      for (const key of ['q', 'kind', 'category', 'since', 'until']) if (p.get(key)) q.set(key, p.get(key));
      const answer = await get(`/api/v1/search/changes?${q}`);
      results = section(`Changes: ${fmtNumber((answer.changes || []).length)}${answer.truncated ? '+' : ''} found`, table([
        ['Time', (x) => fmtTime(x.time)], ['Machine', (x) => machineLink(x.uid, x.machine_name)],
        ['Kind', (x) => kindTitles[x.kind] || x.kind], ['Change', (x) => h('span', { class: `cat ${x.category}` }, x.category)],
        ['Path', (x) => h('span', { class: 'path' }, x.path || '')], ['Entry', (x) => x.entry || ''],
        ['Old', (x) => h('span', { class: 'value' }, x.old ?? '')], ['New', (x) => h('span', { class: 'value' }, x.new ?? '')],
      ], answer.changes || [], { empty: 'No change matches.', id: 'change-results' }),
      answer.truncated ? h('p', { class: 'muted' }, 'More match: narrow the window or the pattern.') : null);
    }
    return h('div', null, h('h1', null, 'Search'),
      h('p', { class: 'muted' }, 'Patterns: * matches any run of characters, ? any one; letters match either case. A pattern without a * matches the whole name or path.'),
      h('div', { class: 'columns' }, section('Inventory of the latest snapshots', inventory), section('Changes in a time window', changes)),
      results);
  };
  return view;
}

// ---- profiles and schedules -----------------------------------------------------------

function schedulesView() {
  const lines = (list) => (list || []).join('\n');
  const split = (text) => text.split('\n').map((s) => s.trim()).filter(Boolean);
  const view = partsView('Schedules', {
    async profiles() {
      const profiles = (await get('/api/v1/profiles')).profiles || [];
      const editor = h('div', { id: 'profile-editor' });
      const edit = (profile) => {
        const p = profile || { name: '', files: [], registry: [], apps: [], versions: false, full: false, removable: false, snapshot_name: '' };
        const check = (id, name, label) => h('label', { class: 'check', for: id }, h('input', { type: 'checkbox', id, name, checked: !!p[name] }), ` ${label}`);
        const form = h('form', { class: 'card editor', 'aria-label': profile ? `Edit the profile ${p.name}` : 'A new profile' },
          h('h3', null, profile ? `Profile ${p.name}` : 'New profile'),
          h('label', { for: 'pf-name' }, 'Name'), h('input', { id: 'pf-name', name: 'name', value: p.name, required: true, readonly: !!profile }),
          h('div', { class: 'three' },
            h('div', null, h('label', { for: 'pf-files' }, 'Folders and files (one a line; a leading - excludes)'),
              h('textarea', { id: 'pf-files', name: 'files', rows: 5, spellcheck: 'false' }, lines(p.files))),
            h('div', null, h('label', { for: 'pf-registry' }, 'Registry keys'),
              h('textarea', { id: 'pf-registry', name: 'registry', rows: 5, spellcheck: 'false' }, lines(p.registry))),
            h('div', null, h('label', { for: 'pf-apps' }, 'Applications (* every kind)'),
              h('textarea', { id: 'pf-apps', name: 'apps', rows: 5, spellcheck: 'false' }, lines(p.apps)))),
          h('div', { class: 'checks' }, check('pf-versions', 'versions', 'version information of executables'),
            check('pf-full', 'full', 'every file, not only the changed'), check('pf-removable', 'removable', 'removable drives too')),
          h('label', { for: 'pf-snapshot' }, 'Snapshot name (empty: the agent\'s own)'),
          h('input', { id: 'pf-snapshot', name: 'snapshot_name', value: p.snapshot_name || '' }),
          h('div', { class: 'buttons' }, h('button', { type: 'submit', class: 'primary' }, 'Save the profile'),
            h('button', { type: 'button', onclick: () => editor.replaceChildren() }, 'Cancel')));
        form.addEventListener('submit', async (e) => {
          e.preventDefault();
          const d = new FormData(form);
          const name = String(d.get('name')).trim();
          const body = { name, files: split(d.get('files')), registry: split(d.get('registry')), apps: split(d.get('apps')),
                         versions: d.has('versions'), full: d.has('full'), removable: d.has('removable'),
                         snapshot_name: String(d.get('snapshot_name')).trim() };
          try {
            await api('PUT', `/api/v1/profiles/${encodeURIComponent(name)}`, body);
            toast(`Profile ${name} saved.`);
            view.reload('profiles');
            view.reload('schedules');
          } catch (err) { toast(err.message, true); }
        });
        editor.replaceChildren(form);
        form.querySelector(profile ? '#pf-files' : '#pf-name').focus();
      };
      const remove = async (p) => {
        if (!confirm(`Delete the profile ${p.name}?`)) return;
        try { await api('DELETE', `/api/v1/profiles/${encodeURIComponent(p.name)}`); toast(`Profile ${p.name} deleted.`); view.reload('profiles'); } catch (e) { toast(e.message, true); }
      };
      const flags = (p) => [p.versions && 'versions', p.full && 'full', p.removable && 'removable'].filter(Boolean).join(', ') || '—';
      return h('div', null, h('h1', null, 'Profiles and schedules'), section('Profiles', table([
        ['Name', (p) => h('strong', null, p.name)],
        ['Files', (p) => h('span', { class: 'path' }, lines(p.files))],
        ['Registry', (p) => h('span', { class: 'path' }, lines(p.registry))],
        ['Apps', (p) => lines(p.apps)], ['Flags', flags], ['Snapshot name', (p) => p.snapshot_name || ''],
        ['', (p) => h('span', { class: 'buttons' },
          h('button', { type: 'button', 'data-key': `edit-${p.name}`, 'aria-label': `Edit ${p.name}`, onclick: () => edit(p) }, 'Edit'),
          h('button', { type: 'button', 'data-key': `del-${p.name}`, 'aria-label': `Delete ${p.name}`, onclick: () => remove(p) }, 'Delete'))],
      ], profiles, { empty: 'No profile.', id: 'profiles' }),
      h('p', null, h('button', { type: 'button', onclick: () => edit(null) }, 'New profile')), editor));
    },
    async schedules() {
      const list = (await get('/api/v1/schedules')).schedules || [];
      // Its own look at the profiles: one saved a moment ago is in the list.
      const names = ((await get('/api/v1/profiles')).profiles || []).map((p) => p.name);
      const remove = async (s) => {
        if (!confirm(`Delete schedule ${s.id}?`)) return;
        try { await api('DELETE', `/api/v1/schedules/${s.id}`); toast(`Schedule ${s.id} deleted.`); view.reload('schedules'); } catch (e) { toast(e.message, true); }
      };
      const form = h('form', { class: 'filters', 'aria-label': 'A new schedule' },
        h('div', { class: 'field' }, h('label', { for: 'sc-target' }, 'Machine id or group'),
          h('input', { id: 'sc-target', name: 'target', placeholder: '12, accounting or * (every machine)', required: true })),
        h('div', { class: 'field' }, h('label', { for: 'sc-profile' }, 'Profile'),
          h('select', { id: 'sc-profile', name: 'profile', required: true }, names.map((n) => h('option', { value: n }, n)))),
        h('div', { class: 'field' }, h('label', { for: 'sc-interval' }, 'Every'), h('input', { id: 'sc-interval', name: 'interval', value: '24h', size: 6, required: true })),
        h('div', { class: 'field' }, h('label', { for: 'sc-jitter' }, 'Spread within'), h('input', { id: 'sc-jitter', name: 'jitter', value: '1h', size: 6 })),
        h('div', { class: 'field' }, h('label', { class: 'check', for: 'sc-enabled' }, h('input', { type: 'checkbox', id: 'sc-enabled', name: 'enabled', checked: true }), ' on')),
        h('div', { class: 'field buttons' }, h('button', { type: 'submit', class: 'primary' }, 'Add the schedule')));
      form.addEventListener('submit', async (e) => {
        e.preventDefault();
        const d = new FormData(form);
        const target = String(d.get('target')).trim();
        const interval = parseDuration(d.get('interval'));
        const jitter = d.get('jitter') ? parseDuration(d.get('jitter')) : 0;
        if (!(interval > 0) || Number.isNaN(jitter)) { toast('Durations are a number and s, m, h or d: 30m, 24h.', true); return; }
        const byMachine = /^\d+$/.test(target);
        const body = { uid: byMachine ? Number(target) : 0, group: byMachine ? '' : target, interval, jitter,
                       profile: d.get('profile'), enabled: d.has('enabled') };
        try { const a = await api('POST', '/api/v1/schedules', body); toast(`Schedule ${a.id} added.`); view.reload('schedules'); } catch (err) { toast(err.message, true); }
      });
      return section('Schedules', table([
        ['Id', (s) => String(s.id), 'n'],
        ['Machines', (s) => (s.uid ? machineLink(s.uid, `machine ${s.uid}`) : s.group === '*' ? 'every other machine' : `group ${s.group}`)],
        ['Every', (s) => fmtDuration(s.interval)], ['Spread', (s) => fmtDuration(s.jitter)], ['Profile', (s) => s.profile],
        ['State', (s) => (s.enabled ? 'on' : 'off')], ['Created', (s) => fmtTime(s.created)],
        ['', (s) => h('button', { type: 'button', 'data-key': `sdel-${s.id}`, 'aria-label': `Delete schedule ${s.id}`, onclick: () => remove(s) }, 'Delete')],
      ], list, { empty: 'No schedule: machines scan only when asked.', id: 'schedules' }), h('h3', null, 'New schedule'), form);
    },
  });
  return view;
}

// ---- rollouts --------------------------------------------------------------------

function rolloutsView() {
  let timer = 0;
  const view = partsView('Rollouts', {
    async form() {
      let groups = [];
      try { groups = ((await get('/api/v1/overview')).groups || []).map((g) => g.group).filter(Boolean); } catch (e) { /* typed by hand */ }
      const form = h('form', { class: 'card', id: 'rollout-form', 'aria-label': 'A new rollout' },
        h('h2', null, 'New rollout'),
        h('div', { class: 'filters' },
          h('div', { class: 'field wide' }, h('label', { for: 'ro-file' }, 'The agent\'s new executable'),
            h('input', { id: 'ro-file', name: 'file', type: 'file', accept: '.exe', required: true })),
          h('div', { class: 'field' }, h('label', { for: 'ro-group' }, 'Group (empty: every machine)'),
            h('input', { id: 'ro-group', name: 'group', list: 'ro-groups' }), h('datalist', { id: 'ro-groups' }, groups.map((g) => h('option', { value: g })))),
          h('div', { class: 'field' }, h('label', { for: 'ro-canary' }, 'Canary %'), h('input', { id: 'ro-canary', name: 'canary', type: 'number', min: 1, max: 100, value: 10 })),
          h('div', { class: 'field' }, h('label', { for: 'ro-wave' }, 'Wave size'), h('input', { id: 'ro-wave', name: 'wave', type: 'number', min: 1, value: 50 })),
          h('div', { class: 'field' }, h('label', { for: 'ro-timeout' }, 'Wave time limit (s)'), h('input', { id: 'ro-timeout', name: 'timeout', type: 'number', min: 60, value: 1800 })),
          h('div', { class: 'field buttons' }, h('button', { type: 'submit', class: 'primary', id: 'ro-start' }, 'Start the rollout'))));
      form.addEventListener('submit', async (e) => {
        e.preventDefault();
        const d = new FormData(form);
        const file = d.get('file');
        if (!file || !file.size) { toast('Choose the executable first.', true); return; }
        const button = $('ro-start');
        button.disabled = true;
        try {
          const q = new URLSearchParams({ group: d.get('group'), canary: d.get('canary'), wave: d.get('wave'), timeout: d.get('timeout') });
          const answer = await api('POST', `/api/v1/rollouts?${q}`, await file.arrayBuffer());
          toast(`Rollout ${answer.rollout} started.`);
          form.reset();
          view.reload('list');
        } catch (err) { toast(err.message, true); } finally { button.disabled = false; }
      });
      return h('div', null, h('h1', null, 'Rollouts'), form);
    },
    async list() {
      const list = (await get('/api/v1/rollouts')).rollouts || [];
      list.sort((a, b) => b.id - a.id);
      const details = await Promise.all(list.slice(0, 10).map((r) => get(`/api/v1/rollouts/${r.id}`).catch(() => r)));
      const running = list.some((r) => r.state === 'running');
      clearTimeout(timer);
      // Machines' states change without an event of their own: a look now and then while one runs.
      if (running) timer = setTimeout(() => view.reload('list'), 3000);
      const card = (r) => h('article', { class: 'card rollout', id: `rollout-${r.id}`, 'data-state': r.state },
        h('div', { class: 'title-row' },
          h('h3', null, `Rollout ${r.id}: version ${r.version} to ${r.group ? `group ${r.group}` : 'every machine'} `, stateBadge(r.state)),
          r.state === 'running' ? h('button', { type: 'button', class: 'danger', 'data-key': `stop-${r.id}`,
            onclick: async () => { try { await api('POST', `/api/v1/rollouts/${r.id}/stop`); view.reload('list'); } catch (e) { toast(e.message, true); } } }, 'Stop') : null),
        h('p', { class: 'muted small' },
          `wave ${r.wave || 0}, canary ${r.canary_percent}%, waves of ${r.wave_size}; ${fmtBytes(r.size)}, sha256 ${String(r.sha256 || '').slice(0, 16)}…; ` +
          `by ${r.by || '?'} ${fmtTime(r.created)}, updated ${fmtTime(r.updated)}`),
        r.reason ? h('p', { class: r.state === 'failed' ? 'error' : 'muted' }, r.reason) : null,
        r.machines ? table([
          ['Machine', (m) => machineLink(m.uid, m.machine_name)], ['Wave', (m) => String(m.wave), 'n'], ['State', (m) => stateBadge(m.state)],
          ['Sent', (m) => fmtTime(m.sent)], ['Done', (m) => fmtTime(m.done)], ['Text', (m) => m.text || ''],
        ], r.machines, { empty: 'No machine in this rollout.' }) : null);
      return section('Rollouts', details.length ? details.map(card) : h('p', { class: 'muted', id: 'no-rollouts' }, 'No rollout yet.'),
        list.length > details.length ? h('p', { class: 'muted' }, `${list.length - details.length} older rollouts not shown.`) : null);
    },
  });
  const later = debounce(() => view.reload('list'), 300);
  view.event = (type) => { if (type === 'rollout' || type === 'agent-online' || type === 'agent-offline') later(); };
  view.dispose = () => { later.cancel(); clearTimeout(timer); };
  return view;
}

// ---- the server's health -----------------------------------------------------------

function healthValue(key, value) {
  if (value === null || value === undefined) return '—';
  if (typeof value === 'boolean') return value ? 'yes' : 'no';
  if (typeof value === 'number') {
    if (/bytes/.test(key)) return fmtBytes(value);
    if (/(^|_)(time|started|since)$/.test(key) && value > 1e9) return fmtTime(value);
    if (/uptime|seconds$/.test(key)) return `${fmtNumber(value)} s`;
    return fmtNumber(value);
  }
  if (Array.isArray(value)) {
    if (value.length && typeof value[0] === 'object') {
      const keys = Object.keys(value[0]);
      return table(keys.map((k) => [k.replace(/_/g, ' '), (row) => healthValue(k, row[k])]), value);
    }
    return value.join(', ');
  }
  if (typeof value === 'object') return healthTable(value);
  return String(value);
}

function healthTable(object) {
  return h('table', { class: 'info' }, h('tbody', null, Object.entries(object).map(([k, v]) =>
    h('tr', null, h('th', { scope: 'row' }, k.replace(/_/g, ' ')), h('td', null, healthValue(k, v))))));
}

function healthView() {
  let timer = 0;
  const view = partsView('Health', {
    async body() {
      const health = await get('/api/v1/health');
      clearTimeout(timer);
      timer = setTimeout(() => view.reload('body'), 5000);
      const plain = {};
      const groups = [];
      for (const [k, v] of Object.entries(health)) {
        if (v && typeof v === 'object' && !Array.isArray(v)) groups.push([k, v]); else plain[k] = v;
      }
      return h('div', { id: 'health' }, h('h1', null, 'Server health'),
        h('p', { class: 'muted' }, `As of ${fmtTime(Date.now() / 1000)}; refreshed every 5 s. The same counters for Prometheus: `,
          h('a', { href: '/metrics' }, '/metrics'), '.'),
        h('div', { class: 'grid' },
          Object.keys(plain).length ? section('Server', healthTable(plain)) : null,
          groups.map(([k, v]) => section(k.replace(/_/g, ' ').replace(/^./, (c) => c.toUpperCase()), healthTable(v)))));
    },
  });
  view.dispose = () => clearTimeout(timer);
  return view;
}

// ---- start ----------------------------------------------------------------------

function closeDialog(event) {
  const dialog = event.target.closest('dialog');
  if (dialog) dialog.close();
}

document.addEventListener('DOMContentLoaded', async () => {
  $('sign-in-form').addEventListener('submit', signIn);
  $('sign-out').addEventListener('click', signOut);
  $('uninstall-form').addEventListener('submit', uninstall);
  $('uninstall-confirm').addEventListener('input', (e) => {
    $('uninstall-go').disabled = e.target.value !== uninstallTarget.name;
  });
  $('browse-drives').addEventListener('click', () => browseTo('drives', ''));
  $('browse-registry').addEventListener('click', () => browseTo('registry', ''));
  $('browse-up').addEventListener('click', () => {
    const parent = parentPath(browse.path);
    if (browse.kind === 'folder' && !parent) browseTo('drives', ''); else browseTo(browse.kind, parent);
  });
  for (const button of document.querySelectorAll('[data-close]')) button.addEventListener('click', closeDialog);
  window.addEventListener('hashchange', route);
  if (await readSession()) signedIn(); else showSignIn('');
});

// The station page: cards kept up to date by the station's event stream
// (Server-Sent Events), the operator's answers, the history view. Every
// text from the station goes into the page as text, never as markup.
'use strict';

const slots = new Map(); // id -> {data, at: local ms when received, el}
const gangs = new Map(); // prompt id -> {data, at, el, dark: Set of slot ids toggled}
let tokenRequired = false;
let pendingAction = null; // an action refused for want of the token, retried once one is given

const $ = (id) => document.getElementById(id);

function token() {
  return sessionStorage.getItem('gwtestToken') || '';
}

// A token in the address's fragment (#token=...) never reaches a server log.
(function tokenFromFragment() {
  const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (match) {
    sessionStorage.setItem('gwtestToken', decodeURIComponent(match[1]));
    history.replaceState(null, '', location.pathname + location.search);
  }
})();

function showBanner(text) {
  const banner = $('banner');
  banner.textContent = text;
  banner.hidden = !text;
}

async function post(path, body) {
  const headers = {'Content-Type': 'application/json'};
  const sentWith = token();
  if (sentWith) {
    headers['X-Gwtest-Token'] = sentWith;
  }
  let response;
  try {
    response = await fetch(path, {method: 'POST', headers, body: JSON.stringify(body || {})});
  } catch (e) {
    showBanner('The station does not answer: ' + e.message);
    return null;
  }
  let reply = {};
  try {
    reply = await response.json();
  } catch (e) {
    reply = {};
  }
  if (response.status === 401 || response.status === 403) {
    if (token() && token() !== sentWith) {
      // The token was given while this action was on its way (the form
      // shows as soon as the page learns that one is needed): send it again
      // with the token rather than ask for it a second time.
      return post(path, body);
    }
    pendingAction = () => post(path, body);
    $('token-form').hidden = false;
    $('token').focus();
    showBanner(reply.error || 'refused');
    return null;
  }
  if (!response.ok) {
    showBanner(reply.error || ('the station refused: ' + response.status));
    return null;
  }
  showBanner('');
  return reply;
}

// --- the cards ---------------------------------------------------------------

function cardFor(id) {
  let entry = slots.get(id);
  if (entry && entry.el) {
    return entry.el;
  }
  const el = $('card-template').content.firstElementChild.cloneNode(true);
  el.id = 'slot-' + id;
  el.dataset.slot = id;
  el.querySelector('.start').addEventListener('click', () => post('/api/slots/' + id + '/start'));
  el.querySelector('.yes').addEventListener('click', (e) => answer(e.target, true));
  el.querySelector('.no').addEventListener('click', (e) => answer(e.target, false));
  $('cards').appendChild(el);
  return el;
}

function answer(button, yes) {
  const prompt = button.closest('.prompt');
  const id = prompt.dataset.prompt;
  prompt.querySelectorAll('button').forEach((b) => { b.disabled = true; });
  post('/api/answer', {prompt: id, yes}).then((reply) => {
    if (!reply) {
      prompt.querySelectorAll('button').forEach((b) => { b.disabled = false; });
    }
  });
}

// --- the gang card -------------------------------------------------------------
//
// The gateways of one start that reach the same operator test are asked
// about together: one card above the slots, a large toggle per gateway, "All
// lit" and Confirm. A barcode scanner is a keyboard that types a label and
// presses Enter: the card's field has the focus, a label (or the gateway's
// number in the question) toggles that gateway, Enter alone confirms. A gang
// of one is asked on its slot's card, as a gateway alone.

const gangWords = {
  'led-lit': {hint: 'Tap the ones that stayed dark', all: 'All lit', no: 'dark', yes: 'lit'},
  'all-blinking': {hint: 'Tap the ones not blinking', all: 'All blinking', no: 'not blinking', yes: 'blinking'},
  'all-restored': {hint: 'Tap the ones not back to normal', all: 'All back to normal', no: 'not back to normal',
                   yes: 'back to normal'},
};

// The question without the terminal's key hint ("[y = all lit, ...]").
function shortQuestion(question) {
  const text = question.replace(/\s*\[[^\]]*\]\s*$/, '');
  return text.charAt(0).toUpperCase() + text.slice(1);
}

// How the person names a member: its label, or its number in the question
// with its address when any member has no label (as the question does).
function memberNames(g) {
  const labelled = g.members.every((m) => m.label);
  return g.members.map((m, i) => (labelled ? m.label : String(i + 1)));
}

function gangAnswer(entry, no) {
  if (entry.answering) {
    return; // once: a second Enter from the scanner is not a second answer
  }
  entry.answering = true;
  const el = entry.el;
  el.querySelectorAll('button').forEach((b) => { b.disabled = true; });
  const body = no === null ? {prompt: entry.data.id, yes: true} : {prompt: entry.data.id, no};
  post('/api/answer', body).then((reply) => {
    if (!reply && el.isConnected) {
      entry.answering = false;
      el.querySelectorAll('button').forEach((b) => { b.disabled = false; });
      renderGang(entry);
    }
  });
}

// What the scanner (or a person) typed: labels or numbers, blank-separated,
// each toggles its gateway; Enter alone confirms.
function scanned(entry) {
  const input = entry.el.querySelector('.scan');
  const error = entry.el.querySelector('.scan-error');
  const text = input.value.trim();
  input.value = '';
  error.textContent = '';
  if (entry.data.kind === 'press-button') {
    return;
  }
  if (!text) {
    gangAnswer(entry, [...entry.dark]);
    return;
  }
  const names = memberNames(entry.data);
  const slotsNamed = [];
  for (const word of text.split(/\s+/)) {
    let at = names.findIndex((n) => n.toLowerCase() === word.toLowerCase());
    if (at < 0 && /^[0-9]+$/.test(word) && Number(word) >= 1 && Number(word) <= names.length) {
      at = Number(word) - 1; // its number in the question
    }
    if (at < 0) {
      error.textContent = '"' + word + '" is not in this question';
      return;
    }
    slotsNamed.push(entry.data.members[at].slot);
  }
  for (const slot of slotsNamed) {
    toggle(entry, slot);
  }
}

function toggle(entry, slot) {
  if (entry.dark.has(slot)) {
    entry.dark.delete(slot);
  } else {
    entry.dark.add(slot);
  }
  renderGang(entry);
  entry.el.querySelector('.scan').focus(); // the scanner can go on
}

function gangCard(entry) {
  const el = $('gang-template').content.firstElementChild.cloneNode(true);
  el.dataset.prompt = entry.data.id;
  el.querySelector('.all').addEventListener('click', () => gangAnswer(entry, null));
  el.querySelector('.confirm').addEventListener('click', () => gangAnswer(entry, [...entry.dark]));
  el.querySelector('.scan').addEventListener('keydown', (e) => {
    if (e.key === 'Enter') {
      e.preventDefault();
      scanned(entry);
    }
  });
  return el;
}

function renderGang(entry) {
  const g = entry.data;
  const el = entry.el;
  const button = g.kind === 'press-button';
  const words = gangWords[g.kind] || gangWords['led-lit'];
  el.dataset.kind = g.kind;
  el.dataset.gang = g.gang;
  el.querySelector('.gang-question').textContent = shortQuestion(g.question);
  el.querySelector('.gang-hint').textContent = button ? 'Each press shows as its gateway tells it' : words.hint;
  el.querySelector('.gang-scan').hidden = button;
  el.querySelector('.gang-answers').hidden = button;
  el.querySelector('.all').textContent = words.all;
  const names = memberNames(g);
  const labelled = g.members.every((m) => m.label);
  // The tiles are made once per question and then only updated: a tile
  // being tapped, or read, is never swapped for a new one by the next event.
  const members = el.querySelector('.members');
  const slotsShown = g.members.map((m) => String(m.slot)).join(',');
  if (members.dataset.slots !== slotsShown) {
    members.replaceChildren();
    for (const m of g.members) {
      const tile = document.createElement('button');
      tile.type = 'button';
      tile.className = 'member';
      tile.dataset.slot = m.slot;
      const name = document.createElement('span');
      name.className = 'member-name';
      const address = document.createElement('span');
      address.className = 'member-address';
      const mark = document.createElement('span');
      mark.className = 'member-mark';
      tile.append(name, address, mark);
      if (!button) {
        tile.addEventListener('click', () => toggle(entry, m.slot));
      }
      members.appendChild(tile);
    }
    members.dataset.slots = slotsShown;
  }
  g.members.forEach((m, i) => {
    const tile = members.children[i];
    tile.querySelector('.member-name').textContent = names[i];
    tile.querySelector('.member-address').textContent = labelled ? '' : m.address;
    const mark = tile.querySelector('.member-mark');
    if (button) {
      tile.disabled = true;
      tile.dataset.state = m.replied ? (m.pressed ? 'pressed' : 'missed') : 'waiting';
      mark.textContent = m.replied ? (m.pressed ? 'pressed' : 'not pressed') : 'waiting…';
    } else {
      const dark = entry.dark.has(m.slot);
      tile.disabled = Boolean(entry.answering);
      tile.dataset.state = dark ? 'no' : 'yes';
      tile.setAttribute('aria-pressed', dark ? 'true' : 'false');
      mark.textContent = dark ? words.no : words.yes;
    }
  });
  el.querySelectorAll('.gang-answers button').forEach((b) => { b.disabled = Boolean(entry.answering); });
  const confirm = el.querySelector('.confirm');
  confirm.textContent = entry.dark.size ? 'Confirm: ' + entry.dark.size + ' ' + words.no : 'Confirm';
}

function updateGangs(list) {
  const now = Date.now();
  const shown = new Set();
  for (const g of list) {
    if (g.members.length < 2) {
      continue; // a gang of one is asked on its slot's card
    }
    shown.add(g.id);
    let entry = gangs.get(g.id);
    const fresh = !entry;
    if (fresh) {
      entry = {dark: new Set()};
      entry.data = g;
      entry.el = gangCard(entry);
      gangs.set(g.id, entry);
      $('gangs').appendChild(entry.el);
    }
    entry.data = g;
    entry.at = now;
    renderGang(entry);
    if (fresh && g.kind !== 'press-button') {
      // The scanner types into the newest question, unless the person is
      // typing elsewhere (a slot being added).
      const active = document.activeElement;
      if (!active || active === document.body || active.classList.contains('scan') ||
          active.tagName === 'BUTTON') {
        entry.el.querySelector('.scan').focus();
      }
    }
  }
  for (const [id, entry] of gangs) {
    if (!shown.has(id)) {
      entry.el.remove();
      gangs.delete(id);
    }
  }
  keepTicking();
}

function seconds(ms) {
  return (ms / 1000).toFixed(ms < 10000 ? 1 : 0) + ' s';
}

function render(id) {
  const entry = slots.get(id);
  const s = entry.data;
  const el = cardFor(id);
  entry.el = el;
  el.dataset.state = s.state;
  el.querySelector('.label').textContent = s.label || ('slot ' + s.id);
  el.querySelector('.state').textContent = s.state;
  el.querySelector('.address').textContent = s.address;
  el.querySelector('.model').textContent = s.model;
  el.querySelector('.mac').textContent = s.mac;
  el.querySelector('.done').textContent = s.total ? (s.done + ' of ' + s.total + ' tests') : '';
  const failures = el.querySelector('.failures');
  failures.textContent = s.failures.length ? ('failed: ' + s.failures.join(', ')) : '';
  const marginal = el.querySelector('.marginal');
  marginal.textContent = s.marginal && s.marginal.length ? ('marginal: ' + s.marginal.join(', ')) : '';
  let message = s.message || '';
  if (!message && s.outcome && s.state !== 'pass' && s.state !== 'fail') {
    message = s.outcome;
  }
  el.querySelector('.message').textContent = message;
  el.querySelector('.test-name').textContent = s.test ? (s.test.title || s.test.name) +
      (s.test.attempt > 1 ? ' (attempt ' + s.test.attempt + ')' : '') : '';
  el.querySelector('.start').disabled = s.state === 'running';

  const prompt = el.querySelector('.prompt');
  if (s.prompt) {
    prompt.hidden = false;
    if (prompt.dataset.prompt !== s.prompt.id) {
      prompt.dataset.prompt = s.prompt.id;
      prompt.querySelectorAll('button').forEach((b) => { b.disabled = false; });
    }
    prompt.dataset.kind = s.prompt.kind;
    const inGang = s.prompt.members > 1;
    prompt.classList.toggle('in-gang', inGang);
    if (inGang) {
      // Asked together with other gateways: answered on the gang's card.
      prompt.dataset.gang = s.prompt.gang;
      prompt.querySelector('.question').textContent = 'In the question above: ' + shortQuestion(s.prompt.question);
      prompt.querySelectorAll('.answers button').forEach((b) => { b.disabled = true; });
    } else {
      delete prompt.dataset.gang;
      prompt.querySelector('.question').textContent = s.prompt.question;
    }
    prompt.querySelector('.answers').hidden = s.prompt.kind === 'press-button' || inGang;
  } else {
    prompt.hidden = true;
    delete prompt.dataset.prompt;
  }
  tick();
  $('no-slots').hidden = slots.size > 0;
}

// The moving parts (progress bar, elapsed time, button countdown) are drawn
// from the times the station sent and this page's own clock.
function tick() {
  const now = Date.now();
  let moving = false;
  for (const entry of slots.values()) {
    const s = entry.data;
    const el = entry.el;
    if (!el) {
      continue;
    }
    const fill = el.querySelector('.fill');
    const time = el.querySelector('.test-time');
    const asking = s.prompt && s.prompt.kind !== 'press-button';
    if (s.test && asking) {
      // The gateway has answered; the person is looking.
      fill.style.width = '100%';
      fill.classList.remove('late');
      time.textContent = 'your answer?';
    } else if (s.test) {
      const elapsed = s.test.elapsedMs + (now - entry.at);
      const expected = Math.max(s.test.expectedMs, 1);
      fill.style.width = Math.min(100, (100 * elapsed) / expected) + '%';
      fill.classList.toggle('late', elapsed > expected);
      time.textContent = seconds(elapsed) + ' of ' + seconds(expected);
      moving = true;
    } else {
      const share = s.total ? (100 * s.done) / s.total : 0;
      fill.style.width = (s.state === 'idle' ? 0 : share) + '%';
      fill.classList.remove('late');
      time.textContent = '';
    }
    const countdown = el.querySelector('.countdown');
    if (s.prompt && s.prompt.kind === 'press-button' && s.prompt.countdownMs > 0 && !(s.prompt.members > 1)) {
      const left = s.prompt.countdownMs - s.prompt.elapsedMs - (now - entry.at);
      countdown.textContent = Math.max(0, Math.ceil(left / 1000)) + ' s';
      moving = true;
    } else {
      countdown.textContent = '';
    }
  }
  for (const entry of gangs.values()) {
    const g = entry.data;
    const countdown = entry.el.querySelector('.gang-countdown');
    if (g.kind === 'press-button' && g.countdownMs > 0) {
      const left = g.countdownMs - g.elapsedMs - (now - entry.at);
      countdown.textContent = Math.max(0, Math.ceil(left / 1000)) + ' s';
      moving = true;
    } else {
      countdown.textContent = '';
    }
  }
  return moving;
}

// Redraws while something moves; stops when nothing does.
let ticking = null;
function keepTicking() {
  if (ticking === null) {
    ticking = setInterval(() => {
      if (!tick()) {
        clearInterval(ticking);
        ticking = null;
      }
    }, 200);
  }
}

function update(data) {
  const entry = slots.get(data.id) || {};
  entry.data = data;
  entry.at = Date.now();
  slots.set(data.id, entry);
  render(data.id);
  keepTicking();
}

function connect() {
  const source = new EventSource('/api/events');
  const link = $('link');
  source.addEventListener('open', () => {
    link.textContent = 'live';
    link.className = 'link up';
  });
  source.addEventListener('error', () => {
    link.textContent = 'reconnecting…';
    link.className = 'link down';
  });
  source.addEventListener('snapshot', (e) => {
    const data = JSON.parse(e.data);
    tokenRequired = data.tokenRequired;
    if (tokenRequired && !token()) {
      $('token-form').hidden = false;
    }
    for (const s of data.slots) {
      update(s);
    }
    updateGangs(data.gangs || []);
    showOperator(data.operator || '');
  });
  source.addEventListener('operator', (e) => showOperator(JSON.parse(e.data).operator || ''));
  source.addEventListener('slot', (e) => update(JSON.parse(e.data)));
  source.addEventListener('gangs', (e) => updateGangs(JSON.parse(e.data)));
  source.addEventListener('history', () => {
    if (!$('history').hidden) {
      loadHistory();
    }
  });
}

// --- the history view --------------------------------------------------------

function percent(fraction) {
  return fraction === null || fraction === undefined ? '–' : Math.round(fraction * 100) + ' %';
}

function svg(tag, attrs, text) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [k, v] of Object.entries(attrs)) {
    el.setAttribute(k, v);
  }
  if (text !== undefined) {
    el.textContent = text;
  }
  return el;
}

function chart(tests) {
  const rowHeight = 30;
  const left = 190;
  const width = 520;
  const right = 190;
  const root = svg('svg', {viewBox: `0 0 ${left + width + right} ${Math.max(1, tests.length) * rowHeight + 10}`,
                           role: 'img', 'aria-label': 'pass rate and median duration per test'});
  tests.forEach((t, i) => {
    const y = 5 + i * rowHeight;
    const passWidth = Math.round(width * (t.pass_rate || 0));
    root.appendChild(svg('text', {x: left - 8, y: y + 19, 'text-anchor': 'end'}, t.name));
    root.appendChild(svg('rect', {x: left, y: y + 4, width, height: rowHeight - 10, class: 'bar-rest'}));
    const bar = svg('rect', {x: left, y: y + 4, width: passWidth, height: rowHeight - 10, class: 'bar-pass'});
    bar.appendChild(svg('title', {}, `${t.title || t.name}: ${percent(t.pass_rate)} of ${t.attempts} pass`));
    root.appendChild(bar);
    root.appendChild(svg('text', {x: left + width + 8, y: y + 19},
                         `${percent(t.pass_rate)} · ${seconds(t.median_ms || 0)}`));
  });
  return root;
}

function cell(row, content, className) {
  const td = document.createElement('td');
  if (content instanceof Node) {
    td.appendChild(content);
  } else {
    td.textContent = content === undefined || content === null ? '' : content;
  }
  if (className) {
    td.className = className;
  }
  row.appendChild(td);
  return td;
}

function link(href, text) {
  const a = document.createElement('a');
  a.href = href;
  a.textContent = text;
  return a;
}

function recordLinks(run) {
  const span = document.createElement('span');
  if (run.junit) {
    span.appendChild(link('/records/junit/' + encodeURIComponent(run.junit), 'JUnit'));
    span.appendChild(document.createTextNode(' '));
  }
  if (run.json) {
    span.appendChild(link('/records/runs/' + encodeURIComponent(run.json), 'JSON'));
  }
  return span;
}

function macLink(mac) {
  if (!mac) {
    return '';
  }
  const a = link('#', mac);
  a.addEventListener('click', (e) => {
    e.preventDefault();
    $('unit-mac').value = mac;
    loadUnit(mac);
  });
  return a;
}

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store'});
  const data = await response.json();
  if (!response.ok) {
    throw new Error(data.error || response.status);
  }
  return data;
}

async function loadHistory() {
  let h;
  try {
    h = await getJson('/api/history');
  } catch (e) {
    showBanner('The history is not available: ' + e.message);
    return;
  }
  $('h-units').textContent = h.units;
  $('h-yield').textContent = percent(h.first_pass_yield);
  $('h-runs').textContent = h.runs;
  $('chart').replaceChildren(chart(h.tests || []));
  const failing = $('failing');
  failing.replaceChildren();
  for (const t of h.most_failing || []) {
    const li = document.createElement('li');
    li.textContent = `${t.name} (${t.title}): ${t.failed} failed`;
    failing.appendChild(li);
  }
  // Units that share a MAC or a serial number, whenever they were tested
  // (units refused as duplicates at the station are left out).
  const duplicates = $('duplicates');
  duplicates.replaceChildren();
  for (const d of h.duplicates || []) {
    const li = document.createElement('li');
    li.appendChild(document.createTextNode(d.shared === 'mac' ? `MAC ${d.mac} under serial numbers ` :
                                                                `serial ${d.serial} on MACs `));
    d.units.forEach((run, i) => {
      if (i > 0) {
        li.appendChild(document.createTextNode(', '));
      }
      li.appendChild(d.shared === 'mac' ? document.createTextNode(run.serial) : macLink(run.mac));
      li.appendChild(document.createTextNode(` (station ${run.station}, ${run.started}, ${run.outcome || 'unfinished'})`));
    });
    duplicates.appendChild(li);
  }
  $('duplicates-section').hidden = duplicates.childElementCount === 0;
  const body = $('runs').querySelector('tbody');
  body.replaceChildren();
  for (const run of h.latest || []) {
    const row = document.createElement('tr');
    cell(row, run.started);
    cell(row, run.label || run.host);
    cell(row, run.model);
    cell(row, macLink(run.mac));
    cell(row, run.outcome || 'unfinished', 'outcome-' + (run.outcome || 'unfinished'));
    cell(row, recordLinks(run));
    body.appendChild(row);
  }
}

async function loadUnit(mac) {
  let u;
  try {
    u = await getJson('/api/units/' + encodeURIComponent(mac));
  } catch (e) {
    $('unit').textContent = 'No history: ' + e.message;
    return;
  }
  const box = $('unit');
  box.replaceChildren();
  if (!u.runs.length) {
    box.textContent = 'No run of ' + u.mac + ' in the records.';
    return;
  }
  for (const run of u.runs) {
    const h = document.createElement('h3');
    h.textContent = `${run.started} · ${run.label || run.host} · ${run.model} · `;
    const outcome = document.createElement('span');
    outcome.className = 'outcome-' + (run.outcome || 'unfinished');
    outcome.textContent = run.outcome || 'unfinished';
    h.appendChild(outcome);
    h.appendChild(document.createTextNode(' · '));
    h.appendChild(recordLinks(run));
    box.appendChild(h);
    const table = document.createElement('table');
    table.className = 'results';
    for (const r of run.results || []) {
      const row = document.createElement('tr');
      cell(row, r.name);
      cell(row, r.attempt > 1 ? 'attempt ' + r.attempt : '');
      cell(row, r.outcome, 'outcome-' + r.outcome);
      cell(row, seconds(r.duration_ms || 0));
      cell(row, r.operator_answer ? 'operator: ' + r.operator_answer : '');
      cell(row, r.data_text);
      // What the line's profile made of it: the limit a failure broke, or
      // the marginal band a pass lies in.
      cell(row, r.limit && (r.marginal || r.outcome === 'fail') ? (r.marginal ? 'marginal: ' : '') + r.limit : '',
          r.marginal ? 'marginal' : '');
      table.appendChild(row);
    }
    box.appendChild(table);
  }
}

// --- wiring ------------------------------------------------------------------

function showTab(name) {
  $('live').hidden = name !== 'live';
  $('history').hidden = name !== 'history';
  $('tab-live').classList.toggle('active', name === 'live');
  $('tab-history').classList.toggle('active', name === 'history');
  if (name === 'history') {
    loadHistory();
  }
}

$('tab-live').addEventListener('click', () => showTab('live'));
$('tab-history').addEventListener('click', () => showTab('history'));
$('start-all').addEventListener('click', () => post('/api/start-all'));
$('stop').addEventListener('click', () => post('/api/stop'));
$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  sessionStorage.setItem('gwtestToken', $('token').value);
  $('token-form').hidden = true;
  const retry = pendingAction;
  pendingAction = null;
  if (retry) {
    retry();
  }
});
$('add-slot').addEventListener('submit', async (e) => {
  e.preventDefault();
  const body = {address: $('add-address').value.trim(), label: $('add-label').value.trim()};
  if (await post('/api/slots', body)) {
    $('add-address').value = '';
    $('add-label').value = '';
  }
});
// Who is signed in, as every open page is told; a field being typed in is
// left alone.
function showOperator(id) {
  const field = $('operator');
  if (document.activeElement !== field) {
    field.value = id;
  }
  $('sign-in').classList.toggle('signed-in', id !== '');
  $('sign-in').querySelector('button').textContent = id !== '' && field.value === id ? 'Signed in' : 'Sign in';
}
$('operator').addEventListener('input', () => {
  $('sign-in').querySelector('button').textContent = 'Sign in';
});
$('sign-in').addEventListener('submit', async (e) => {
  e.preventDefault();
  const reply = await post('/api/operator', {operator: $('operator').value.trim()});
  if (reply) {
    $('operator').blur();
    showOperator(reply.operator);
  }
});
$('unit-form').addEventListener('submit', (e) => {
  e.preventDefault();
  loadUnit($('unit-mac').value.trim());
});

connect();

// The Dvrlink status console: renders /api/instances, follows /api/events
// (Server-Sent Events) and sends the actions with the console token.
'use strict';

const cards = new Map();
const tokenInput = document.getElementById('token');
tokenInput.value = sessionStorage.getItem('dvrlink-token') || '';
tokenInput.addEventListener('change', () => sessionStorage.setItem('dvrlink-token', tokenInput.value));

function say(text, bad) {
  const m = document.getElementById('message');
  m.textContent = text;
  m.className = bad ? 'bad' : 'ok';
}

function setField(card, name, text, cls) {
  const el = card.querySelector(`[data-field="${name}"]`);
  if (el.textContent !== text) el.textContent = text;
  if (cls !== undefined) el.classList.toggle('ok', cls === 'ok'), el.classList.toggle('bad', cls === 'bad');
}

function session(s) {
  if (!s) return '';
  return `${s.connected ? 'connected' : 'not connected'} (session ${s.session}) since ${s.since}`;
}

function eventText(e) {
  if (!e || !e.kind) return '';
  if (e.kind === 'host_event') return `${e.code} ${e.fields.filter((f) => f !== '').join(' | ')}`;
  if (e.kind === 'callback') return `callback ${e.type} #${e.event_id} ${e.description} (${e.ident})`;
  return `message ${e.text}`;
}

function cardFor(id) {
  let card = cards.get(id);
  if (!card) {
    card = document.getElementById('card').content.firstElementChild.cloneNode(true);
    card.dataset.instance = id;
    document.getElementById('instances').appendChild(card);
    cards.set(id, card);
  }
  return card;
}

function render(list) {
  for (const i of list) {
    const c = cardFor(i.id);
    setField(c, 'name', i.name);
    setField(c, 'id', `${i.id} [${i.section}]${i.started ? '' : ' — not started'}`);
    setField(c, 'caption', i.form ? i.form.caption : '(no main form)');
    setField(c, 'address', `${i.address}, host clients on port ${i.host_port}`);
    setField(c, 'control', session(i.control_session), i.control_session.connected ? 'ok' : 'bad');
    setField(c, 'event', session(i.event_session), i.event_session.connected ? 'ok' : 'bad');
    const r = i.reconnect;
    setField(c, 'reconnect', !r.enabled ? 'off'
      : `${r.attempts} attempt(s)` + (r.pending ? `, next try ${r.next_try}` : ', nothing pending') +
        `, next delay ${r.next_delay_seconds} s`);
    const g = i.grant;
    setField(c, 'grant', g.held ? `held by client ${g.client} (${g.peer || 'gone'}) since ${g.since}, ${g.held_seconds} s`
      : 'free', g.held ? 'bad' : 'ok');
    const q = i.queues || {};
    setField(c, 'queues', Object.entries(q).map(([k, v]) => `${k} ${v.depth}/${v.slots}`).join(', '));
    const k = i.clock || {};
    const last = k.last_sync && k.last_sync.time
      ? `last sync ${k.last_sync.time}: ${k.last_sync.result}, offset ${k.last_sync.moved_seconds} s` : 'no sync yet';
    setField(c, 'clock', `${k.time_sync ? 'sync every ' + k.interval_hours + ' h, next in ' + k.minutes_to_next + ' min' : 'sync off'}` +
      `; zone ${k.time_zone}; ${last}`);
    setField(c, 'debug', `${i.debug_mode ? 'on' : 'off'} (flags ${i.debug_flags}), external trigger ${i.external_trigger ? 'on' : 'off'}`);
    setField(c, 'clients', String(i.clients ?? 0));
    setField(c, 'last_event', i.last_event && i.last_event.time ? `${i.last_event.time} ${eventText(i.last_event)}` : 'none');
    const failed = i.last_error && i.last_error.time;
    setField(c, 'last_error', failed ? `${i.last_error.time} ${i.last_error.text}` : 'none', failed ? 'bad' : '');
    setField(c, 'status', i.form ? i.form.status_lines.join('\n') : '');
  }
}

async function refresh() {
  try {
    const r = await fetch('/api/instances');
    if (!r.ok) throw new Error(`${r.status} ${(await r.json()).error}`);
    render(await r.json());
  } catch (e) {
    say(`cannot read the instances: ${e.message}`, true);
  }
}

function addEvent(e) {
  const li = document.createElement('li');
  li.dataset.kind = e.kind;
  if (e.code !== undefined) li.dataset.code = e.code;
  li.dataset.instance = e.instance;
  li.textContent = `${e.time} ${e.instance} ${eventText(e)}`;
  const list = document.getElementById('events');
  list.prepend(li);
  while (list.children.length > 200) list.lastElementChild.remove();
}

let refreshQueued = false;
function refreshSoon() {
  if (refreshQueued) return;
  refreshQueued = true;
  setTimeout(() => { refreshQueued = false; refresh(); }, 50);
}

document.getElementById('instances').addEventListener('click', async (ev) => {
  const button = ev.target.closest('button[data-action]');
  if (!button) return;
  const id = button.closest('[data-instance]').dataset.instance;
  const action = button.dataset.action;
  if (action === 'exit' && !confirm(`Close instance ${id} (its form's Exit)?`)) return;
  const r = await fetch(`/api/instances/${encodeURIComponent(id)}/${action}`, {
    method: 'POST', headers: { Authorization: `Bearer ${tokenInput.value}` },
  });
  const body = await r.json();
  say(r.ok ? `${action} on ${id}: ${JSON.stringify(body.result)}` : `${action} on ${id}: ${r.status} ${body.error}`, !r.ok);
  refreshSoon();
});

async function start() {
  const r = await fetch('/api/events');
  if (r.ok) for (const e of await r.json()) addEvent(e);
  const stream = new EventSource('/api/events');
  const badge = document.getElementById('stream');
  stream.onopen = () => { badge.textContent = 'events: live'; badge.className = 'badge on'; };
  stream.onerror = () => { badge.textContent = 'events: reconnecting'; badge.className = 'badge off'; };
  stream.onmessage = (m) => { addEvent(JSON.parse(m.data)); refreshSoon(); };
  await refresh();
  setInterval(refresh, 2000);
}
start();

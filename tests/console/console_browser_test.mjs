// The status console in a real browser: headless Chromium (Debian's) driven by
// puppeteer-core against a dvrlink service and a dvrsim DVR on loopback.
//
//   node console_browser_test.mjs BUILD_DIR [--measure N]
//
// Checks: the page shows the instance connected; a DVR alarm (dvrsim "alarm
// pos") appears live; a host client's 33 shows the grant holder and the
// page's button releases it; a client outside allowed_clients gets 403; an
// action without the token gets 401; /metrics parses and its counters move
// with the traffic. Leaves BUILD_DIR/console-screenshot.png. With --measure N
// it also prints the medians of N page loads and N event-to-screen latencies.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const build = path.resolve(process.argv[2] || 'build');
const measureAt = process.argv.indexOf('--measure');
const rounds = measureAt > 0 ? Number(process.argv[measureAt + 1]) : 0;
const puppeteer = createRequire(path.join(build, 'npm') + '/')('puppeteer-core');
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'dvrlink-console-'));
const TOKEN = 'console-test-token-0123456789';
const children = [];

function program(name) { return path.join(build, 'apps', name, name); }

function start(name, args, onLine) {
  const child = spawn(program(name), args, { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  let text = '';
  const collect = (chunk) => {
    text += chunk;
    let nl;
    while ((nl = text.indexOf('\n')) >= 0) {
      onLine(text.slice(0, nl));
      text = text.slice(nl + 1);
    }
  };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  return child;
}

function waitFor(what, check, ms = 8000) {
  return new Promise((resolve, reject) => {
    const deadline = Date.now() + ms;
    const poll = () => {
      const value = check();
      if (value) return resolve(value);
      if (Date.now() > deadline) return reject(new Error(`timed out waiting for ${typeof what === 'function' ? what() : what}`));
      setTimeout(poll, 20);
    };
    poll();
  });
}

// One request; the status and the body.
function request(url, { method = 'GET', headers = {}, localAddress } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, localAddress }, (res) => {
      let body = '';
      res.on('data', (c) => { body += c; });
      res.on('end', () => resolve({ status: res.statusCode, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

// A line-based client of dvrsim's control port.
async function control(port, line) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((r) => socket.once('connect', r));
  const reply = new Promise((r) => socket.once('data', (d) => r(String(d).trim())));
  socket.write(line + '\n');
  const text = await reply;
  socket.end();
  assert.match(text, /^OK/, `dvrsim answered ${text} to ${line}`);
  return text;
}

// The Prometheus text format, as far as the console writes it: samples by
// name and label set; HELP/TYPE lines must name a known type.
function parseMetrics(text) {
  const samples = new Map();
  for (const line of text.split('\n')) {
    if (line === '') continue;
    if (line.startsWith('#')) {
      assert.match(line, /^# (HELP [a-zA-Z_:][a-zA-Z0-9_:]* .*|TYPE [a-zA-Z_:][a-zA-Z0-9_:]* (counter|gauge))$/, line);
      continue;
    }
    const m = line.match(/^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (-?[0-9.e+]+|NaN)$/);
    assert.ok(m, `not a sample line: ${line}`);
    const labels = {};
    for (const pair of (m[3] || '').match(/[a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\])*"/g) || []) {
      const eq = pair.indexOf('=');
      labels[pair.slice(0, eq)] = pair.slice(eq + 2, -1).replace(/\\(.)/g, (_, c) => (c === 'n' ? '\n' : c));
    }
    samples.set(m[1] + JSON.stringify(Object.entries(labels).sort()), Number(m[4]));
  }
  return (name, labels = {}) => samples.get(name + JSON.stringify(Object.entries(labels).sort())) ?? 0;
}

// A free loopback port below 32768 (the component keeps ports in 16-bit
// signed integers), outside the system's ephemeral range.
async function freeLowPort() {
  for (;;) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    const free = await new Promise((r) => {
      const s = net.createServer().once('error', () => r(false)).listen(port, '127.0.0.1', () => s.close(() => r(true)));
    });
    if (free) return port;
  }
}

function frame(...fields) { return '\x18' + fields.join('\x1a') + '\x19'; }

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
}

async function main() {
  // dvrsim on free ports; the service on a free host-client port and console port.
  const sim = {};
  start('dvrsim', ['--bind', '127.0.0.1', '--command-port', String(await freeLowPort()),
    '--event-port', String(await freeLowPort()), '--live-port', String(await freeLowPort()),
    '--control-port', '0'], (line) => {
    const m = line.match(/^ports command=(\d+) event=(\d+) live=(\d+) control=(\d+)/);
    if (m) Object.assign(sim, { command: m[1], event: m[2], live: m[3], control: Number(m[4]) });
  });
  await waitFor('dvrsim', () => sim.control);
  const hostPort = await freeLowPort();
  fs.mkdirSync(path.join(dir, 'export'));
  fs.writeFileSync(path.join(dir, 'console.ini'), `[host]
program_folder = .
connection_string = Provider=SQLite;Data Source=host.db
component_id = WEB
export_folder = export
listen_address = 127.0.0.1
allowed_clients = 127.0.0.1
console = 127.0.0.1:0
console_token = ${TOKEN}

[dvr]
vendor = 1
address = 127.0.0.1
command_port = ${sim.command}
live_port = ${sim.live}
event_port = ${sim.event}
listen_port = ${hostPort}
debug = 0
number = 0
name = Browser DVR
global_address_id = $10000000000001
time_sync = 0
time_sync_hours = 24
time_zone = Eastern Standard Time
key = W
external_trigger = 1
config_id = 1
`);
  execFileSync(program('dvrlink-db'), ['init', '--config', path.join(dir, 'console.ini')], { stdio: 'ignore' });
  let consoleUrl = '';
  let started = false;
  const serviceLines = [];
  const service = start('dvrlink', ['--config', 'console.ini'], (line) => {
    serviceLines.push(line);
    const m = line.match(/^dvrlink: console on (http:\/\/\S+)/);
    if (m) consoleUrl = m[1];
    if (line.includes('instance(s) started')) started = true;
  });
  await waitFor(() => `the service (${serviceLines.join(' / ')})`, () => started && consoleUrl);
  const id = `W-0-${hostPort}`;

  const before = parseMetrics((await request(consoleUrl + 'metrics')).body);
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: path.join(dir, 'chromium'),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1400, height: 900 });
    const loads = [];
    for (let i = 0; i < Math.max(1, rounds); ++i) {
      const t0 = Date.now();
      await page.goto(consoleUrl, { waitUntil: 'load' });
      await page.waitForSelector(`[data-instance="${id}"] .event-session.ok`);
      loads.push(Date.now() - t0);
    }
    const card = `[data-instance="${id}"]`;
    assert.match(await page.$eval(`${card} .event-session`, (e) => e.textContent), /^connected \(session \d+\)/);

    // A DVR alarm appears in the live list without a reload.
    await page.evaluate(() => {
      window.arrivals = [];
      new MutationObserver((records) => {
        for (const r of records) for (const n of r.addedNodes) window.arrivals.push([n.dataset.code, Date.now()]);
      }).observe(document.getElementById('events'), { childList: true });
    });
    const latencies = [];
    for (let i = 0; i < Math.max(1, rounds); ++i) {
      const minute = String(i % 60).padStart(2, '0');
      const t0 = Date.now();
      await control(sim.control, `alarm pos ${i % 16} MOTION 20261205${10 + Math.floor(i / 60)}${minute}00 ` +
        `20261205${10 + Math.floor(i / 60)}${minute}30`);
      await page.waitForFunction((n) => window.arrivals.filter((a) => a[0] === '10309').length >= n, {}, i + 1);
      const arrivals = await page.evaluate(() => window.arrivals.filter((a) => a[0] === '10309'));
      latencies.push(arrivals[i][1] - t0);
    }
    assert.match(await page.$eval('#events li[data-code="10309"]', (e) => e.textContent), /10309 .*Browser DVR/);

    // A host client's 33 is granted: the page names the holder; its button releases the grant.
    const client = net.connect(hostPort, '127.0.0.1');
    let received = '';
    client.on('data', (d) => { received += d.toString('latin1'); });
    await new Promise((r) => client.once('connect', r));
    client.write(frame('33', '2', '12/04/2026 10:00:00', '12/04/2026 10:00:30', 'clip.dvr'), 'latin1');
    await waitFor('the grant notice 45', () => received.includes('\x1845\x1a'));
    await page.waitForFunction((sel) => document.querySelector(sel).textContent.startsWith('held by client 1 (127.0.0.1:'),
      {}, `${card} .grant`);
    await page.type('#token', TOKEN);
    await page.$eval('#token', (e) => e.dispatchEvent(new Event('change')));
    await page.click(`${card} button[data-action="release-grant"]`);
    await page.waitForFunction((sel) => document.querySelector(sel).textContent === 'free', {}, `${card} .grant`);
    assert.match(await page.$eval('#message', (e) => e.textContent), /^release-grant on .*: true$/);
    const shot = path.join(build, 'console-screenshot.png');
    await page.screenshot({ path: shot, fullPage: true });
    console.log(`screenshot: ${shot}`);
    client.destroy();

    // The access rules.
    const refused = await request(consoleUrl + 'api/instances', { localAddress: '127.0.0.5' });
    assert.equal(refused.status, 403, refused.body);
    assert.match(JSON.parse(refused.body).error, /^client 127\.0\.0\.5:\d+ is not in allowed_clients$/);
    const noToken = await request(`${consoleUrl}api/instances/${id}/timesync`, { method: 'POST' });
    assert.equal(noToken.status, 401, noToken.body);
    const wrongToken = await request(`${consoleUrl}api/instances/${id}/timesync`,
      { method: 'POST', headers: { Authorization: 'Bearer not-the-token' } });
    assert.equal(wrongToken.status, 401, wrongToken.body);

    // The counters moved with the traffic sent.
    const after = parseMetrics((await request(consoleUrl + 'metrics')).body);
    const alarms = Math.max(1, rounds);
    assert.equal(after('dvrlink_host_events_total', { instance: id, code: '10309' }) -
      before('dvrlink_host_events_total', { instance: id, code: '10309' }), alarms);
    assert.equal(after('dvrlink_dvr_alarm_events_total', { instance: id }) -
      before('dvrlink_dvr_alarm_events_total', { instance: id }), alarms);
    assert.ok(after('dvrlink_db_calls_total', { instance: id }) > before('dvrlink_db_calls_total', { instance: id }));
    assert.equal(after('dvrlink_queue_depth', { instance: id, queue: 'video' }), 0);
    assert.ok(after('process_resident_memory_bytes') > 1e6);
    assert.ok(after('dvrlink_log_lines_total', { log: 'title' }) > before('dvrlink_log_lines_total', { log: 'title' }));

    if (rounds > 0) {
      console.log(`page load: median ${median(loads)} ms of ${loads.length} (min ${Math.min(...loads)}, max ${Math.max(...loads)})`);
      console.log(`event to screen: median ${median(latencies)} ms of ${latencies.length} ` +
        `(min ${Math.min(...latencies)}, max ${Math.max(...latencies)})`);
    }
  } finally {
    await browser.close();
    service.kill('SIGTERM');
    await new Promise((r) => service.once('exit', r));
  }
  console.log('console browser test: 1 passed, 0 failed');
}

main()
  .catch((e) => {
    console.error(e);
    process.exitCode = 1;
  })
  .finally(() => {
    for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
    if (!process.env.KEEP) fs.rmSync(dir, { recursive: true, force: true });
  });

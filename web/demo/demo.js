// Logic of the demo page: finds the daemon, shows its versions, sends the request typed by the user
// and shows the reply envelope. With ?auto=1 it runs a scripted sequence instead and writes the
// results as JSON into #nv-results (and, with &report=<url>, POSTs them there) for browser tests.
import { VelstraClient, VelstraError, DEFAULT_HOST } from '../norrim-velstra.js';

const DEFAULT_REQUEST = { cmd: 'echo', text: 'Hello from the demo page' };
const DEFAULT_STEPS = ['discover', 'versions', 'ws', 'http', 'collect'];

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const scripted = params.has('auto') && params.get('auto') !== '0';
const host = params.get('host') || DEFAULT_HOST;

function numberParam(name) {
  const text = params.get(name);
  if (text === null || text === '') return undefined;
  const value = Number(text);
  return Number.isFinite(value) && value > 0 ? value : undefined;
}

function objectParam(name, fallback) {
  const text = params.get(name);
  if (text === null) return fallback;
  const value = JSON.parse(text);
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new TypeError(`The parameter "${name}" must be a JSON object`);
  }
  return value;
}

function clientOptions() {
  const options = {};
  options.host = host;
  if (params.has('ports')) options.ports = params.get('ports').split(',').map(Number);
  const limits = { probeTimeout: 'probeTimeout', connectTimeout: 'connectTimeout', timeout: 'requestTimeout', pollInterval: 'pollInterval', collectTimeout: 'collectTimeout' };
  for (const [param, option] of Object.entries(limits)) {
    const value = numberParam(param);
    if (value !== undefined) options[option] = value;
  }
  // A scripted run must not depend on a port remembered by an earlier visit.
  if (scripted) options.storage = null;
  return options;
}

// Everything a test or a reader needs from an error, as plain JSON.
function describeError(err) {
  const out = { name: err && err.name ? err.name : 'Error', message: String(err && err.message ? err.message : err) };
  if (err instanceof VelstraError) {
    out.code = err.code;
    for (const key of ['phase', 'timeout', 'httpStatus', 'attempts', 'localNetworkAccess', 'envelope']) {
      if (err[key] !== undefined && err[key] !== null) out[key] = err[key];
    }
  }
  return out;
}

function log(text, isError = false) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()}  ${text}`;
  if (isError) item.className = 'error';
  $('log').append(item);
  item.scrollIntoView({ block: 'nearest' });
}

function setStatus(id, state, text) {
  const el = $(id);
  el.dataset.state = state;
  el.textContent = text;
}

// The page cannot tell a missing daemon from an untrusted one or from a browser that keeps it from
// loopback; the diagnostics tool on the user's machine can, so "not found" always points to it.
const DOCTOR = '/opt/TOLLAN/velstra/nv-doctor';

function errorText(err) {
  let text = `${err.name}${err.code ? ` (${err.code})` : ''}: ${err.message}`;
  if (err.code === 'daemon-not-found') {
    if (err.localNetworkAccess === 'denied') {
      text += ' – this browser denies the page access to loopback addresses (local network permission):' +
        ' allow "Local network access" for this site in the browser\'s site settings and reload.';
    } else if (err.localNetworkAccess !== 'granted' && err.localNetworkAccess !== 'unsupported') {
      text += ' – if the browser asked for local network access, allow it and reload.';
    }
    text += ` To see why the daemon is not found, run ${DOCTOR} on this computer as the user of this browser.`;
  }
  return text;
}

// ----- showing results (text only: replies come from outside and are never parsed as HTML) -----

function showVersions(report) {
  $('v-daemon').textContent = report.daemon;
  $('v-ex').textContent = report.ex;
  $('v-module').textContent = `${report.m.version} (${report.m.name || 'no name'})`;
}

function showReply(result) {
  const how = result.collected ? `, collected with GET_RESULT after ${result.polls} poll(s)` : '';
  setStatus('reply-meta', 'ok', `Status ${result.status} over ${result.transport === 'ws' ? 'WSS' : 'HTTPS'} on port ${result.port}, id ${result.id}, tabid ${result.tabid}${how}`);
  $('reply-envelope').textContent = JSON.stringify(result.envelope, null, 2);
  $('reply-text').textContent = result.reply;
}

function showReplyError(err) {
  setStatus('reply-meta', 'error', errorText(err));
  $('reply-envelope').textContent = err.envelope ? JSON.stringify(err.envelope, null, 2) : '';
  $('reply-text').textContent = '';
}

function summary(result) {
  return {
    transport: result.transport,
    value: {
      reply: result.reply,
      status: result.status,
      port: result.port,
      id: result.id,
      tabid: result.tabid,
      collected: result.collected,
      polls: result.polls,
      envelope: result.envelope,
    },
  };
}

// ----- the page -----

let client;
try {
  client = new VelstraClient(clientOptions());
} catch (err) {
  log(`Bad client parameters: ${err.message}`, true);
  client = new VelstraClient({ storage: null });
}
window.nvDemo = { client };

function moduleName() {
  return $('module-name').value;
}

async function findDaemon() {
  $('find').disabled = true;
  setStatus('daemon-status', 'busy', 'Probing ports…');
  try {
    const port = await client.discover({ force: true });
    setStatus('daemon-status', 'ok', `Found on https://${host}:${port} (tabid ${client.tabid}).`);
    log(`daemon found on port ${port}`);
    const report = await client.getVersions(moduleName());
    showVersions(report);
    log(`versions over ${report.transport}: daemon ${report.daemon}, product ${report.ex}, module ${report.m.version}`);
  } catch (err) {
    setStatus('daemon-status', 'error', errorText(err));
    log(errorText(err), true);
  } finally {
    $('find').disabled = false;
  }
}

async function sendTyped() {
  let body;
  try {
    body = JSON.parse($('request-text').value);
  } catch (err) {
    showReplyError({ name: 'SyntaxError', message: `The request is not JSON: ${err.message}` });
    return;
  }
  const transport = document.querySelector('input[name="transport"]:checked').value;
  const options = { transport, useGetResult: $('use-getresult').checked, timeout: Number($('timeout').value) || undefined };
  $('send').disabled = true;
  setStatus('reply-meta', 'busy', 'Waiting for the reply…');
  try {
    const result = await client.send(body, options);
    showReply(result);
    log(`reply over ${result.transport} for id ${result.id}`);
  } catch (err) {
    showReplyError(err);
    log(errorText(err), true);
  } finally {
    $('send').disabled = false;
  }
}

// ----- scripted run for automated tests -----

function publish(results) {
  const out = $('nv-results');
  out.textContent = JSON.stringify(results, null, 2);
  out.dataset.state = results.state;
  document.documentElement.dataset.nvState = results.state;
  const passed = results.steps.filter((s) => s.ok).length;
  $('nv-summary').textContent = `${results.state}, ${passed} of ${results.steps.length} step(s) passed`;
  $('results-section').hidden = false;
}

async function report(results) {
  const target = params.get('report');
  if (!target) return;
  try {
    // text/plain and no-cors: a simple request that any small collector on loopback can take.
    await fetch(new URL(target, location.href), {
      method: 'POST',
      mode: 'no-cors',
      headers: { 'Content-Type': 'text/plain' },
      body: JSON.stringify(results),
    });
  } catch (err) {
    log(`could not report the results: ${err.message}`, true);
  }
}

async function runScript() {
  const results = { page: 'norrim-velstra-demo', version: 1, state: 'running', ok: false, port: null, tabid: client.tabid, steps: [] };
  publish(results);
  let request;
  let collectRequest;
  let steps;
  try {
    steps = (params.get('steps') || DEFAULT_STEPS.join(',')).split(',').map((s) => s.trim()).filter(Boolean);
    request = objectParam('request', DEFAULT_REQUEST);
    collectRequest = objectParam('collectRequest', request);
  } catch (err) {
    results.steps.push({ name: 'parameters', ok: false, error: describeError(err) });
    steps = [];
  }
  if (params.has('module')) $('module-name').value = params.get('module');
  $('request-text').value = JSON.stringify(request ?? DEFAULT_REQUEST);
  const collectAfter = numberParam('collectAfter') ?? 1000;

  const sendStep = async (body, options) => {
    const result = await client.send(body, options);
    showReply(result);
    return summary(result);
  };
  const versionsStep = async (transport) => {
    const r = await client.getVersions(moduleName(), { transport });
    showVersions(r);
    return { transport: r.transport, value: { daemon: r.daemon, ex: r.ex, m: r.m, reply: r.reply, port: r.port } };
  };
  const actions = {
    discover: async () => {
      setStatus('daemon-status', 'busy', 'Probing ports…');
      const port = await client.discover({ force: true });
      setStatus('daemon-status', 'ok', `Found on https://${host}:${port} (tabid ${client.tabid}).`);
      return { value: { port } };
    },
    versions: () => versionsStep('ws'),
    'versions-http': () => versionsStep('http'),
    ws: () => sendStep(request, { transport: 'ws' }),
    http: () => sendStep(request, { transport: 'http' }),
    auto: () => sendStep(request, { transport: 'auto' }),
    // The first POST gives up after collectAfter ms; the result is then collected with GET_RESULT.
    collect: () => sendStep(collectRequest, { transport: 'http', useGetResult: true, timeout: collectAfter }),
  };

  let discoveryFailed = false;
  for (const name of steps) {
    if (discoveryFailed) {
      results.steps.push({ name, ok: false, skipped: true });
      continue;
    }
    const action = Object.prototype.hasOwnProperty.call(actions, name) ? actions[name] : null;
    const started = performance.now();
    try {
      if (!action) throw new TypeError(`Unknown step "${name}"`);
      const outcome = await action();
      results.steps.push({ name, ok: true, ms: Math.round(performance.now() - started), ...outcome });
      log(`step ${name}: ok`);
    } catch (err) {
      const error = describeError(err);
      results.steps.push({ name, ok: false, ms: Math.round(performance.now() - started), error });
      log(`step ${name}: ${errorText(err)}`, true);
      if (name === 'discover') {
        discoveryFailed = true;
        setStatus('daemon-status', 'error', errorText(err));
      } else if (name !== 'versions' && name !== 'versions-http') {
        showReplyError(err);
      }
    }
    publish(results);
  }
  results.port = client.port;
  // What the page shows the user about the daemon (after a failed discovery: the advice).
  results.daemonStatus = $('daemon-status').textContent;
  results.ok = results.steps.length > 0 && results.steps.every((s) => s.ok);
  results.state = 'done';
  publish(results);
  await report(results);
  return results;
}

// ----- wiring -----

$('find').addEventListener('click', findDaemon);
$('send').addEventListener('click', sendTyped);
const preset = params.get('transport');
if (preset) {
  const radio = document.querySelector(`input[name="transport"][value="${CSS.escape(preset)}"]`);
  if (radio) radio.checked = true;
}

if (scripted) {
  window.nvDemo.results = runScript().catch((err) => {
    const results = { page: 'norrim-velstra-demo', version: 1, state: 'done', ok: false, error: describeError(err), steps: [] };
    publish(results);
    return results;
  });
} else {
  if (params.has('request')) $('request-text').value = params.get('request');
  if (params.has('module')) $('module-name').value = params.get('module');
  findDaemon();
}

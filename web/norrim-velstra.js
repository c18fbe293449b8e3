// Page-side client for the Norrim Velstra local server (NorrimVelstraSvc).
//
// The daemon listens on https://127.0.0.1 at the first free port of 4441-4445. A page finds it with
// a "dmPortScan" probe, then sends JSON requests either as WebSocket text frames (one connection per
// client, replies matched by "id" and "tabid") or as HTTPS POST bodies of the form request=<JSON>.
// Every promise of this module resolves with the module's reply text (or the version report) and
// rejects with one of the VelstraError subclasses below, so a page can tell a missing daemon from a
// refused request and from a time-out without parsing messages.
//
// No dependencies; works in browsers and in Node (fetch and WebSocket can be injected for tests).

/** Ports the daemon may listen on, in the order it picks them (and the order they are probed). */
export const DEFAULT_PORTS = Object.freeze([4441, 4442, 4443, 4444, 4445]);
/** The daemon binds to the IPv4 loopback address only. */
export const DEFAULT_HOST = '127.0.0.1';
/** Default time limits in milliseconds. */
export const DEFAULT_TIMEOUTS = Object.freeze({
  probeTimeout: 2000,
  connectTimeout: 5000,
  requestTimeout: 60000,
  pollInterval: 500,
  collectTimeout: 120000,
});

const PROBE_WORD = 'dmPortScan';
const GET_RESULT = 'GET_RESULT';
const FORM_CONTENT_TYPE = 'application/x-www-form-urlencoded';
const STORAGE_PREFIX = 'norrimVelstra.port@';
const WS_OPEN = 1;
// Members the client fills in itself: a page that set them would break reply matching or collection.
const RESERVED_MEMBERS = ['id', 'tabid', 'use_getresult'];
// "id" and "tabid" come back through the daemon's JSON text form, which escapes "/" and quotes;
// restricting them to these characters makes the echoed text equal to the text that was sent.
const SAFE_TABID = /^[A-Za-z0-9_.~-]{1,64}$/;
// Permission names under which browsers expose the prompt for pages reaching loopback addresses.
const LNA_PERMISSION_NAMES = ['loopback-network', 'local-network-access'];

// ---------------------------------------------------------------------------------------------
// Errors

/** Base class of every error this module rejects with; `code` is stable, `message` is for people. */
export class VelstraError extends Error {
  constructor(code, message, cause) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'VelstraError';
    this.code = code;
  }
}

/**
 * No port answered the probe, or the daemon stopped answering on its port. A page cannot tell why;
 * `/opt/TOLLAN/velstra/nv-doctor`, run by the user on the machine, names the cause.
 */
export class DaemonNotFoundError extends VelstraError {
  constructor(message, { attempts = [], localNetworkAccess = 'unsupported', cause } = {}) {
    super('daemon-not-found', message, cause);
    this.name = 'DaemonNotFoundError';
    this.attempts = attempts;
    this.localNetworkAccess = localNetworkAccess;
  }
}

/** The daemon answered, but said no: status "FALSE" in the envelope, or an HTTP rejection. */
export class RequestRefusedError extends VelstraError {
  constructor(message, { envelope = null, text = '', httpStatus = null } = {}) {
    super('request-refused', message);
    this.name = 'RequestRefusedError';
    this.envelope = envelope;
    this.text = text;
    this.httpStatus = httpStatus;
  }
}

/** A time limit ran out; `phase` says which one ("connect", "request" or "collect"). */
export class VelstraTimeoutError extends VelstraError {
  constructor(message, { phase, timeout }) {
    super('timeout', message);
    this.name = 'VelstraTimeoutError';
    this.phase = phase;
    this.timeout = timeout;
  }
}

/** The connection failed or closed while the daemon still answers probes. */
export class ConnectionError extends VelstraError {
  constructor(message, cause) {
    super('connection', message, cause);
    this.name = 'ConnectionError';
  }
}

/** The daemon's answer could not be read as a reply envelope. */
export class ProtocolError extends VelstraError {
  constructor(message, { text = '', cause } = {}) {
    super('protocol', message, cause);
    this.name = 'ProtocolError';
    this.text = text;
  }
}

// ---------------------------------------------------------------------------------------------
// Wire helpers

/**
 * The POST body for one request: "request=" followed by the URL-encoded JSON text. The daemon
 * form-decodes the body ("+" becomes a blank), so "+" and "&" in the JSON must be escaped, which
 * encodeURIComponent does.
 */
export function encodeFormBody(jsonText) {
  return 'request=' + encodeURIComponent(jsonText);
}

/**
 * Reads a reply envelope: { [daemon, ex, m,] response: { id, tabid, callback, status,
 * reply: { reply: { status, reply } } } }. Throws ProtocolError when the text is not one.
 */
export function parseEnvelope(text) {
  let envelope;
  try {
    envelope = JSON.parse(text);
  } catch (err) {
    throw new ProtocolError('The reply is not JSON', { text, cause: err });
  }
  const response = envelope !== null && typeof envelope === 'object' ? envelope.response : undefined;
  if (response === null || typeof response !== 'object' || typeof response.status !== 'string') {
    throw new ProtocolError('The reply has no "response" member with a status', { text });
  }
  const inner = response.reply && response.reply.reply;
  const reply = inner && typeof inner.reply === 'string' ? inner.reply : null;
  if (reply === null) {
    throw new ProtocolError('The reply has no "response"."reply"."reply"."reply" text', { text });
  }
  return {
    envelope,
    id: String(response.id ?? ''),
    tabid: String(response.tabid ?? ''),
    status: response.status,
    reply,
  };
}

function randomTabId() {
  const bytes = new Uint8Array(8);
  if (globalThis.crypto && typeof globalThis.crypto.getRandomValues === 'function') {
    globalThis.crypto.getRandomValues(bytes);
  } else {
    for (let i = 0; i < bytes.length; i++) bytes[i] = Math.floor(Math.random() * 256);
  }
  return 't' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

function defaultStorage() {
  try {
    // Reading sessionStorage throws in sandboxed frames; the client then remembers in memory only.
    return globalThis.sessionStorage || null;
  } catch {
    return null;
  }
}

function defaultOrigin() {
  const loc = globalThis.location;
  return loc && typeof loc.origin === 'string' ? loc.origin : undefined;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function positive(value, name) {
  if (typeof value !== 'number' || !(value > 0)) {
    throw new TypeError(`${name} must be a positive number of milliseconds`);
  }
  return value;
}

// Internal failure kinds of one HTTP exchange, turned into public errors by the caller.
const TIMED_OUT = Symbol('timed out');

// ---------------------------------------------------------------------------------------------
// Client

/**
 * One client per page: it remembers the daemon's port, keeps one WebSocket open and matches replies
 * to requests. Not shared between pages; methods may be called concurrently.
 */
export class VelstraClient {
  #host;
  #ports;
  #timeouts;
  #transport;
  #useGetResult;
  #releaseParked;
  #origin;
  #tabid;
  #fetch;
  #WebSocket;
  #storage;
  #permissions;

  #port = null;
  #discovering = null;
  #socket = null;
  #socketPort = null;
  #opening = null;
  #wsUnavailable = false;
  #pending = new Map();
  #seq = 0;

  constructor(options = {}) {
    this.#host = options.host ?? DEFAULT_HOST;
    this.#ports = Array.from(options.ports ?? DEFAULT_PORTS, Number);
    if (this.#ports.length === 0 || this.#ports.some((p) => !Number.isInteger(p) || p < 1 || p > 65535)) {
      throw new TypeError('ports must be a non-empty list of TCP port numbers');
    }
    this.#timeouts = {};
    for (const key of Object.keys(DEFAULT_TIMEOUTS)) {
      this.#timeouts[key] = positive(options[key] ?? DEFAULT_TIMEOUTS[key], key);
    }
    this.#transport = checkTransport(options.transport ?? 'auto');
    this.#useGetResult = Boolean(options.useGetResult);
    this.#releaseParked = options.releaseParked ?? true;
    this.#origin = 'origin' in options ? options.origin : defaultOrigin();
    this.#tabid = options.tabid ?? randomTabId();
    if (!SAFE_TABID.test(this.#tabid)) {
      throw new TypeError('tabid must be 1-64 characters of A-Z a-z 0-9 _ . ~ -');
    }
    const fetchImpl = options.fetch ?? globalThis.fetch;
    // Browsers insist that fetch is called with the global object as "this".
    this.#fetch = typeof fetchImpl === 'function' ? fetchImpl.bind(globalThis) : null;
    this.#WebSocket = 'WebSocket' in options ? options.WebSocket : globalThis.WebSocket ?? null;
    this.#storage = 'storage' in options ? options.storage : defaultStorage();
    this.#permissions = 'permissions' in options ? options.permissions : globalThis.navigator?.permissions;
  }

  /** The port the daemon answered on, or null before discovery. */
  get port() {
    return this.#port;
  }

  /** The "tabid" this client sends with every request (its WebSocket session). */
  get tabid() {
    return this.#tabid;
  }

  /** True once the WebSocket could not be opened and requests go over HTTPS instead. */
  get usingHttpFallback() {
    return this.#wsUnavailable;
  }

  /**
   * Finds the daemon: probes the ports in order with GET /?dmPortScan and remembers the first that
   * answers 200 (in memory and, when available, in sessionStorage). A remembered port is used
   * without probing unless `force` is set. Rejects with DaemonNotFoundError.
   */
  discover({ force = false, probeTimeout } = {}) {
    if (!force && this.#port !== null) return Promise.resolve(this.#port);
    if (!this.#discovering) {
      const timeout = positive(probeTimeout ?? this.#timeouts.probeTimeout, 'probeTimeout');
      this.#discovering = this.#scan(timeout).finally(() => {
        this.#discovering = null;
      });
    }
    return this.#discovering;
  }

  /** Forgets the remembered port; the next request probes again. */
  forgetPort() {
    this.#setPort(null);
  }

  /**
   * State of the browser's permission for reaching loopback addresses from this page: "granted",
   * "denied", "prompt", or "unsupported" when the browser has no such permission.
   */
  async localNetworkAccess() {
    const perms = this.#permissions;
    if (!perms || typeof perms.query !== 'function') return 'unsupported';
    for (const name of LNA_PERMISSION_NAMES) {
      try {
        const status = await perms.query({ name });
        if (status && typeof status.state === 'string') return status.state;
      } catch {
        // Unknown permission name in this browser: try the next one.
      }
    }
    return 'unsupported';
  }

  /**
   * Sends one request (a plain object; "id" and "tabid" are added by the client) and resolves with
   * { reply, status, envelope, text, transport, port, id, tabid, collected, polls }.
   */
  async send(body, options = {}) {
    const message = this.#prepare(body);
    const transport = checkTransport(options.transport ?? this.#transport);
    const timeout = positive(options.timeout ?? this.#timeouts.requestTimeout, 'timeout');
    let port = await this.discover();
    if (transport === 'ws' || (transport === 'auto' && !this.#wsUnavailable)) {
      const socket = await this.#socketFor(transport, port);
      if (socket) return this.#sendWs(socket, message, timeout);
      port = await this.discover(); // the fallback goes to wherever the daemon answers now
    }
    return this.#sendHttp(port, message, timeout, options);
  }

  /** Sends one request and resolves with the module's reply text. */
  async request(body, options = {}) {
    return (await this.send(body, options)).reply;
  }

  /**
   * Asks for the version report ("init": "get_versions"); `moduleName` is echoed as "m"."name".
   * Resolves with { daemon, ex, m: { name, version }, reply, transport, port }.
   */
  async getVersions(moduleName = '', options = {}) {
    const result = await this.send({ init: 'get_versions', m: String(moduleName) }, options);
    const { daemon, ex, m } = result.envelope;
    if (typeof daemon !== 'string' || typeof ex !== 'string' || !m || typeof m.version !== 'string') {
      throw new ProtocolError('The reply carries no version report', { text: result.text });
    }
    return {
      daemon,
      ex,
      m: { name: String(m.name ?? ''), version: m.version },
      reply: result.reply,
      transport: result.transport,
      port: result.port,
    };
  }

  /** Closes the WebSocket; requests waiting on it reject with ConnectionError. */
  close() {
    this.#dropSocket(new ConnectionError('The client was closed before the reply arrived'));
    this.#wsUnavailable = false;
  }

  // ----- discovery -----

  async #scan(timeout) {
    const order = [...this.#ports];
    const stored = this.#readStoredPort();
    if (stored !== null && order.includes(stored)) {
      // Try the port from the last page load first: usually the daemon has not moved.
      order.splice(order.indexOf(stored), 1);
      order.unshift(stored);
    }
    const attempts = [];
    for (const port of order) {
      const outcome = await this.#probe(port, timeout);
      attempts.push({ port, outcome });
      if (outcome === 'answered') {
        this.#setPort(port);
        return port;
      }
    }
    this.#setPort(null);
    throw new DaemonNotFoundError(
      `No daemon answered the probe on ${this.#host} ports ${order.join(', ')}`,
      { attempts, localNetworkAccess: await this.localNetworkAccess() },
    );
  }

  // Resolves with "answered", "timeout", "network-error", "no-fetch" or "http-<status>".
  async #probe(port, timeout) {
    if (!this.#fetch) return 'no-fetch';
    try {
      const { status } = await this.#exchange(
        `https://${this.#host}:${port}/?${PROBE_WORD}`,
        { method: 'GET' },
        timeout,
      );
      return status === 200 ? 'answered' : `http-${status}`;
    } catch (err) {
      return err === TIMED_OUT ? 'timeout' : 'network-error';
    }
  }

  #setPort(port) {
    if (port !== this.#port) {
      this.#dropSocket(new ConnectionError('The daemon moved to another port'));
      this.#wsUnavailable = false;
    }
    this.#port = port;
    this.#writeStoredPort(port);
  }

  #storageKey() {
    return STORAGE_PREFIX + this.#host;
  }

  #readStoredPort() {
    try {
      const text = this.#storage ? this.#storage.getItem(this.#storageKey()) : null;
      const port = text === null || text === undefined ? NaN : Number(text);
      return Number.isInteger(port) ? port : null;
    } catch {
      return null;
    }
  }

  #writeStoredPort(port) {
    try {
      if (!this.#storage) return;
      if (port === null) this.#storage.removeItem(this.#storageKey());
      else this.#storage.setItem(this.#storageKey(), String(port));
    } catch {
      // Storage full or forbidden: memory alone still works.
    }
  }

  // Called when a connection to the remembered port failed: if the port no longer answers the
  // probe, the daemon is gone or has moved, so forget the port and look again.
  async #stillThere(port) {
    if ((await this.#probe(port, this.#timeouts.probeTimeout)) === 'answered') return true;
    if (this.#port === port) this.#setPort(null);
    return false;
  }

  // ----- requests -----

  #prepare(body) {
    if (body === null || typeof body !== 'object' || Array.isArray(body)) {
      throw new TypeError('A request must be a plain object');
    }
    for (const key of RESERVED_MEMBERS) {
      if (Object.prototype.hasOwnProperty.call(body, key)) {
        throw new TypeError(`The request member "${key}" is set by the client`);
      }
    }
    const message = { id: String(++this.#seq), tabid: this.#tabid };
    if (this.#origin !== undefined && !Object.prototype.hasOwnProperty.call(body, 'origin')) {
      // "origin" is the daemon's session key; a later GET_RESULT must carry the same value.
      message.origin = this.#origin;
    }
    return Object.assign(message, body);
  }

  // The reply envelope → result, or the error the envelope stands for. RUNNING is returned only
  // when the caller can deal with it (result collection over HTTP).
  #outcome(text, transport, port, { allowRunning = false } = {}) {
    const parsed = parseEnvelope(text);
    if (parsed.status === 'TRUE' || (allowRunning && parsed.status === 'RUNNING')) {
      return { ...parsed, text, transport, port, collected: false, polls: 0 };
    }
    if (parsed.status === 'FALSE') {
      throw new RequestRefusedError('The daemon refused the request (status "FALSE")', {
        envelope: parsed.envelope,
        text,
      });
    }
    throw new ProtocolError(`Unexpected reply status "${parsed.status}"`, { text });
  }

  // ----- WebSocket -----

  // Resolves with an open socket, or with null when "auto" should fall back to HTTP.
  async #socketFor(transport, port) {
    let failure;
    try {
      return await this.#openSocket(port);
    } catch (err) {
      failure = err;
    }
    if (!(await this.#stillThere(port))) {
      const next = await this.discover(); // rejects with DaemonNotFoundError when the daemon is gone
      try {
        return await this.#openSocket(next);
      } catch (err) {
        failure = err;
      }
    }
    if (transport === 'ws') throw failure;
    // The daemon answers HTTPS but no WebSocket can be opened (a proxy, a policy): use POST from
    // now on rather than paying for a failed handshake before every request.
    this.#wsUnavailable = true;
    return null;
  }

  #openSocket(port) {
    if (this.#socket && this.#socketPort === port && this.#socket.readyState === WS_OPEN) {
      return Promise.resolve(this.#socket);
    }
    if (this.#opening && this.#opening.port === port) return this.#opening.promise;
    if (!this.#WebSocket) {
      return Promise.reject(new ConnectionError('No WebSocket implementation is available'));
    }
    const timeout = this.#timeouts.connectTimeout;
    const promise = new Promise((resolve, reject) => {
      let ws;
      try {
        ws = new this.#WebSocket(`wss://${this.#host}:${port}/`);
      } catch (err) {
        reject(new ConnectionError('The WebSocket could not be created', err));
        return;
      }
      let timer;
      let settled = false;
      const settle = (error) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        ws.removeEventListener('open', onOpen);
        ws.removeEventListener('error', onFail);
        ws.removeEventListener('close', onFail);
        if (this.#opening && this.#opening.promise === promise) this.#opening = null;
        if (error) {
          try {
            ws.close();
          } catch {
            // already closing
          }
          reject(error);
          return;
        }
        this.#adoptSocket(ws, port);
        resolve(ws);
      };
      const onOpen = () => settle(null);
      const onFail = () => settle(new ConnectionError(`The WebSocket to port ${port} could not be opened`));
      ws.addEventListener('open', onOpen);
      ws.addEventListener('error', onFail);
      ws.addEventListener('close', onFail);
      timer = setTimeout(
        () => settle(new VelstraTimeoutError(`The WebSocket did not open within ${timeout} ms`, { phase: 'connect', timeout })),
        timeout,
      );
    });
    this.#opening = { port, promise };
    return promise;
  }

  #adoptSocket(ws, port) {
    if (this.#socket && this.#socket !== ws) {
      this.#dropSocket(new ConnectionError('The WebSocket was replaced'));
    }
    this.#socket = ws;
    this.#socketPort = port;
    ws.addEventListener('message', (event) => this.#onSocketMessage(event.data, port));
    ws.addEventListener('close', () => this.#onSocketClosed(ws));
  }

  #dropSocket(reason) {
    const ws = this.#socket;
    this.#socket = null;
    this.#socketPort = null;
    if (ws) {
      this.#rejectPendingOn(ws, reason);
      try {
        ws.close();
      } catch {
        // already closing
      }
    }
  }

  #onSocketClosed(ws) {
    if (this.#socket === ws) {
      this.#socket = null;
      this.#socketPort = null;
    }
    // The daemon also closes idle connections; that only matters to requests still waiting.
    this.#rejectPendingOn(
      ws,
      new ConnectionError('The WebSocket closed before the reply arrived; the module may have run the request'),
    );
  }

  #rejectPendingOn(ws, error) {
    for (const [key, entry] of this.#pending) {
      if (entry.ws !== ws) continue;
      this.#pending.delete(key);
      clearTimeout(entry.timer);
      entry.reject(error);
    }
  }

  #onSocketMessage(data, port) {
    if (typeof data !== 'string') return;
    let parsed;
    try {
      parsed = parseEnvelope(data);
    } catch {
      // The daemon answers an empty or unreadable frame with "{}" and a close; nothing to match.
      return;
    }
    const entry = this.#pending.get(`${parsed.id}&${parsed.tabid}`);
    if (!entry) return; // a reply to a request that already timed out
    this.#pending.delete(`${parsed.id}&${parsed.tabid}`);
    clearTimeout(entry.timer);
    try {
      entry.resolve(this.#outcome(data, 'ws', port));
    } catch (err) {
      entry.reject(err);
    }
  }

  #sendWs(ws, message, timeout) {
    const key = `${message.id}&${message.tabid}`;
    return new Promise((resolve, reject) => {
      if (ws.readyState !== WS_OPEN) {
        // A closed socket would swallow the frame without an error.
        reject(new ConnectionError('The WebSocket closed before the request could be sent'));
        return;
      }
      const timer = setTimeout(() => {
        this.#pending.delete(key);
        reject(new VelstraTimeoutError(`No reply within ${timeout} ms`, { phase: 'request', timeout }));
      }, timeout);
      this.#pending.set(key, { ws, resolve, reject, timer });
      try {
        ws.send(JSON.stringify(message));
      } catch (err) {
        this.#pending.delete(key);
        clearTimeout(timer);
        reject(new ConnectionError('The request could not be sent on the WebSocket', err));
      }
    });
  }

  // ----- HTTP -----

  async #sendHttp(port, message, timeout, options) {
    const collect = Boolean(options.useGetResult ?? this.#useGetResult);
    const payload = collect ? { ...message, use_getresult: 'TRUE' } : message;
    let answer;
    try {
      answer = await this.#post(port, payload, timeout);
    } catch (err) {
      // With use_getresult the daemon keeps the result after the module returns, so a POST that
      // timed out or lost its connection can still be collected.
      if (collect) return this.#collect(port, message, timeout, options);
      throw await this.#httpFailure(err, port, 'request', timeout);
    }
    const result = this.#httpOutcome(answer, port, { allowRunning: collect });
    if (result.status === 'RUNNING') return this.#collect(port, message, timeout, options);
    if (collect && this.#releaseParked) {
      // The parked copy is no longer needed: collect it at once instead of leaving the reply in
      // the daemon until its session expires.
      this.#post(port, this.#collectQuery(message), timeout).catch(() => {});
    }
    return result;
  }

  #httpOutcome(answer, port, options) {
    if (answer.status !== 200) {
      throw new RequestRefusedError(`The daemon rejected the request (HTTP ${answer.status})`, {
        text: answer.text,
        httpStatus: answer.status,
      });
    }
    return this.#outcome(answer.text, 'http', port, options);
  }

  #collectQuery(message) {
    const query = { cmd: GET_RESULT, id: message.id, tabid: message.tabid };
    if (message.origin !== undefined) query.origin = message.origin;
    return query;
  }

  async #collect(port, message, timeout, options) {
    const limit = positive(options.collectTimeout ?? this.#timeouts.collectTimeout, 'collectTimeout');
    const interval = positive(options.pollInterval ?? this.#timeouts.pollInterval, 'pollInterval');
    const deadline = Date.now() + limit;
    const query = this.#collectQuery(message);
    let polls = 0;
    for (;;) {
      const left = deadline - Date.now();
      if (left <= 0) {
        throw new VelstraTimeoutError(`The result was not collected within ${limit} ms`, {
          phase: 'collect',
          timeout: limit,
        });
      }
      polls++;
      let answer = null;
      try {
        answer = await this.#post(port, query, Math.min(timeout, left));
      } catch (err) {
        if (err !== TIMED_OUT) throw await this.#httpFailure(err, port, 'collect', limit);
      }
      if (answer) {
        const result = this.#httpOutcome(answer, port, { allowRunning: true });
        if (result.status !== 'RUNNING') return { ...result, collected: true, polls };
      }
      await sleep(Math.max(0, Math.min(interval, deadline - Date.now())));
    }
  }

  async #post(port, payload, timeout) {
    if (!this.#fetch) throw new ConnectionError('No fetch implementation is available');
    return this.#exchange(
      `https://${this.#host}:${port}/`,
      {
        method: 'POST',
        // A form content type keeps this a "simple" cross-origin request: no preflight, which the
        // daemon would not answer.
        headers: { 'Content-Type': FORM_CONTENT_TYPE },
        body: encodeFormBody(JSON.stringify(payload)),
      },
      timeout,
    );
  }

  // One fetch with a time limit covering the body as well. Rejects with TIMED_OUT or the fetch error.
  async #exchange(url, init, timeout) {
    const controller = new AbortController();
    let timedOut = false;
    const timer = setTimeout(() => {
      timedOut = true;
      controller.abort();
    }, timeout);
    try {
      const response = await this.#fetch(url, {
        ...init,
        mode: 'cors',
        credentials: 'omit',
        cache: 'no-store',
        signal: controller.signal,
      });
      const text = await response.text();
      return { status: response.status, text };
    } catch (err) {
      throw timedOut ? TIMED_OUT : err;
    } finally {
      clearTimeout(timer);
    }
  }

  async #httpFailure(err, port, phase, timeout) {
    if (err === TIMED_OUT) {
      return new VelstraTimeoutError(`No reply within ${timeout} ms`, { phase, timeout });
    }
    if (err instanceof VelstraError) return err;
    if (!(await this.#stillThere(port))) {
      return new DaemonNotFoundError(
        `The daemon no longer answers on port ${port}; the request may not have been delivered`,
        { attempts: [{ port, outcome: 'network-error' }], localNetworkAccess: await this.localNetworkAccess(), cause: err },
      );
    }
    return new ConnectionError('The HTTPS request failed', err);
  }
}

function checkTransport(transport) {
  if (transport !== 'auto' && transport !== 'ws' && transport !== 'http') {
    throw new TypeError('transport must be "auto", "ws" or "http"');
  }
  return transport;
}

/**
 * A client shared by everything on the page, so that the page keeps one WebSocket. The options
 * apply when the first call creates it.
 */
let sharedClient = null;
export function getClient(options) {
  if (!sharedClient) sharedClient = new VelstraClient(options);
  return sharedClient;
}

// Fakes for the client module's tests: a loopback "network" with fetch and WebSocket
// implementations, and a fake daemon that answers probes, form-encoded POSTs and WebSocket frames
// the way NorrimVelstraSvc does (envelope members, status words, parked results for GET_RESULT).

/** Form decoding as the daemon does it: '+' is a blank, %XX is a byte, a lone '%' stays. */
export function formDecode(text) {
  const src = Buffer.from(text, 'utf8');
  const isHex = (b) => (b >= 0x30 && b <= 0x39) || (b >= 0x41 && b <= 0x46) || (b >= 0x61 && b <= 0x66);
  const bytes = [];
  for (let i = 0; i < src.length; i++) {
    if (src[i] === 0x25 && i + 2 < src.length && isHex(src[i + 1]) && isHex(src[i + 2])) {
      bytes.push(parseInt(String.fromCharCode(src[i + 1], src[i + 2]), 16));
      i += 2;
    } else {
      bytes.push(src[i] === 0x2b ? 0x20 : src[i]);
    }
  }
  return Buffer.from(bytes).toString('utf8');
}

// The text a member gets in the daemon: its JSON text with the first and last quote removed.
function memberText(value) {
  if (value === undefined || value === null) return '';
  const json = JSON.stringify(value).replace(/\//g, '\\/');
  return typeof value === 'string' ? json.slice(1, -1) : json;
}

/** A promise with its resolve function exposed. */
export function deferred() {
  let resolve;
  let reject;
  const promise = new Promise((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}

/** Polls `condition` until it holds or the deadline passes. */
export async function waitFor(condition, what = 'condition', deadlineMs = 5000) {
  const end = Date.now() + deadlineMs;
  while (!condition()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 5));
  }
}

/**
 * A fake daemon. `module(request, text)` gives the module's reply text (or a promise of it);
 * `refuse(request)` true answers status "FALSE" instead. `websocket` is true, false (handshake
 * fails) or 'hang' (handshake never completes). Records every probe, POST and frame it sees.
 */
export class FakeDaemon {
  constructor({ module = (req) => `reply:${req.cmd ?? ''}`, refuse = () => false, websocket = true } = {}) {
    this.module = module;
    this.refuse = refuse;
    this.websocket = websocket;
    this.probes = [];
    this.posts = [];
    this.frames = [];
    this.sockets = [];
    this.rejectPosts = false; // answer POSTs with the 400 rejection
    this.tasks = new Map(); // origin -> Map(id&tabid -> { done, reply })
  }

  envelope(req, status, reply) {
    const root = {};
    if (req.init === 'get_versions') {
      root.daemon = '1.0.1.1';
      root.ex = '1.0.1.1013';
      root.m = { name: memberText(req.m), version: '3.3.2.25' };
    }
    root.response = {
      id: memberText(req.id),
      tabid: memberText(req.tabid),
      callback: memberText(req.callback),
      status,
      reply: { reply: { status: '', reply } },
    };
    return JSON.stringify(root).replace(/\//g, '\\/');
  }

  async #runModule(req, text) {
    return String(await this.module(req, text));
  }

  async handleHttp(port, url, init) {
    const query = url.search.slice(1);
    if (init.method === 'GET') {
      if (query.includes('dmPortScan') || query.includes('securePortScan')) {
        this.probes.push({ port, url: url.href, init });
        return { status: 200, body: '' };
      }
      return { status: 400, body: '' };
    }
    if (init.method !== 'POST') return { status: 405, body: '' };
    const decoded = formDecode(init.body);
    const at = decoded.indexOf('request=');
    const text = at < 0 ? '' : decoded.slice(at + 'request='.length);
    let req = null;
    try {
      req = JSON.parse(text);
    } catch {
      // not JSON: answered with status "FALSE" below
    }
    this.posts.push({ port, url: url.href, init, decoded, text, request: req });
    if (this.rejectPosts) return { status: 400, body: '' };
    if (req === null || typeof req !== 'object') {
      return { status: 200, body: this.envelope({}, 'FALSE', '') };
    }
    const origin = memberText(req.origin);
    const key = `${memberText(req.id)}&${memberText(req.tabid)}`;
    if (!this.tasks.has(origin)) this.tasks.set(origin, new Map());
    const session = this.tasks.get(origin);
    if (req.cmd === 'GET_RESULT') {
      const task = session.get(key);
      if (!task) return { status: 200, body: this.envelope(req, 'FALSE', '') };
      if (!task.done) return { status: 200, body: this.envelope(req, 'RUNNING', '') };
      session.delete(key);
      return { status: 200, body: this.envelope(req, 'TRUE', task.reply) };
    }
    if (this.refuse(req)) return { status: 200, body: this.envelope(req, 'FALSE', '') };
    const task = { done: false, reply: '' };
    session.set(key, task);
    task.reply = await this.#runModule(req, text);
    task.done = true;
    const keep = req.use_getresult !== undefined && req.use_getresult !== null && memberText(req.use_getresult) !== 'FALSE';
    if (!keep && session.get(key) === task) session.delete(key);
    return { status: 200, body: this.envelope(req, 'TRUE', task.reply) };
  }

  async handleFrame(socket, text) {
    this.frames.push({ socket, text });
    if (text === '' || text === '[object Object]') {
      socket.serverSend('{}');
      socket.serverClose();
      return;
    }
    let req = null;
    try {
      req = JSON.parse(text);
    } catch {
      // not JSON
    }
    if (req === null || typeof req !== 'object') {
      socket.serverSend(this.envelope({}, 'FALSE', ''));
      return;
    }
    if (this.refuse(req)) {
      socket.serverSend(this.envelope(req, 'FALSE', ''));
      return;
    }
    const reply = await this.#runModule(req, text);
    socket.serverSend(this.envelope(req, 'TRUE', reply));
  }

  /** Parked (finished or running) HTTP tasks, all origins. */
  parkedCount() {
    let n = 0;
    for (const session of this.tasks.values()) n += session.size;
    return n;
  }
}

/**
 * The loopback network: `daemons` maps port -> FakeDaemon; ports in `hang` accept connections but
 * never answer; every other port refuses. Gives `fetch` and `WebSocket` for the client.
 */
export function createNet({ daemons = {}, hang = [] } = {}) {
  const net = { daemons: new Map(Object.entries(daemons).map(([p, d]) => [Number(p), d])), hang: new Set(hang), log: [], sockets: [] };

  net.fetch = async (href, init = {}) => {
    const url = new URL(href);
    const port = Number(url.port);
    net.log.push({ kind: init.method === 'POST' ? 'post' : 'get', port, href, init });
    const signal = init.signal;
    const aborted = () => {
      const err = new Error('The operation was aborted');
      err.name = 'AbortError';
      return err;
    };
    if (signal && signal.aborted) throw aborted();
    const daemon = net.daemons.get(port);
    if (net.hang.has(port)) {
      return new Promise((_, reject) => signal.addEventListener('abort', () => reject(aborted())));
    }
    if (!daemon || url.protocol !== 'https:') throw new TypeError('fetch failed');
    const work = daemon.handleHttp(port, url, init);
    const answer = await new Promise((resolve, reject) => {
      if (signal) signal.addEventListener('abort', () => reject(aborted()));
      work.then(resolve, reject);
    });
    return { status: answer.status, text: async () => answer.body };
  };

  class FakeWebSocket extends EventTarget {
    constructor(url) {
      super();
      this.url = url;
      this.readyState = 0;
      this.sent = [];
      const parsed = new URL(url);
      this.port = Number(parsed.port);
      net.sockets.push(this);
      net.log.push({ kind: 'ws', port: this.port, href: url });
      const daemon = net.daemons.get(this.port);
      this.daemon = daemon;
      if (net.hang.has(this.port) || (daemon && daemon.websocket === 'hang')) return; // never completes
      setTimeout(() => {
        if (this.readyState !== 0) return;
        if (daemon && daemon.websocket === true && parsed.protocol === 'wss:') {
          this.readyState = 1;
          daemon.sockets.push(this);
          this.dispatchEvent(new Event('open'));
        } else {
          this.readyState = 3;
          this.dispatchEvent(new Event('error'));
          this.dispatchEvent(new Event('close'));
        }
      }, 0);
    }

    send(text) {
      if (this.readyState !== 1) throw new Error('InvalidStateError: not open');
      this.sent.push(text);
      this.daemon.handleFrame(this, text);
    }

    close() {
      if (this.readyState >= 2) return;
      this.readyState = 2;
      setTimeout(() => {
        this.readyState = 3;
        this.dispatchEvent(new Event('close'));
      }, 0);
    }

    /** The daemon sends a text frame. */
    serverSend(text) {
      if (this.readyState !== 1) return;
      setTimeout(() => {
        if (this.readyState !== 1) return;
        const event = new Event('message');
        event.data = text;
        this.dispatchEvent(event);
      }, 0);
    }

    /** The daemon (or CivetWeb's idle time-out) ends the connection. */
    serverClose() {
      if (this.readyState >= 2) return;
      this.readyState = 2;
      setTimeout(() => {
        this.readyState = 3;
        this.dispatchEvent(new Event('close'));
      }, 0);
    }
  }
  net.WebSocket = FakeWebSocket;
  return net;
}

/** A Storage stand-in. */
export function memoryStorage(initial = {}) {
  const map = new Map(Object.entries(initial));
  return {
    map,
    getItem: (k) => (map.has(k) ? map.get(k) : null),
    setItem: (k, v) => map.set(k, String(v)),
    removeItem: (k) => map.delete(k),
  };
}

/** Client options wired to a fake network, with generous time limits unless overridden. */
export function clientOptions(net, extra = {}) {
  return {
    fetch: net.fetch,
    WebSocket: net.WebSocket,
    storage: null,
    permissions: null,
    origin: 'http://page.example:8000',
    probeTimeout: 2000,
    connectTimeout: 2000,
    requestTimeout: 5000,
    pollInterval: 5,
    collectTimeout: 5000,
    ...extra,
  };
}

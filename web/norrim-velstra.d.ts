// Type declarations for norrim-velstra.js, the page-side client of the Norrim Velstra local server.

/** Ports the daemon may listen on, in the order they are probed. */
export declare const DEFAULT_PORTS: readonly number[];
/** The loopback address the daemon listens on. */
export declare const DEFAULT_HOST: string;
/** Default time limits in milliseconds. */
export declare const DEFAULT_TIMEOUTS: Readonly<Timeouts>;

export type Transport = 'auto' | 'ws' | 'http';
export type PermissionStateName = 'granted' | 'denied' | 'prompt' | 'unsupported';
/** Reply status values of the envelope; a resolved promise always carries "TRUE". */
export type ReplyStatus = 'TRUE' | 'RUNNING' | 'FALSE';

export interface Timeouts {
  /** Per probed port: how long one "dmPortScan" probe may take. Default 2000. */
  probeTimeout: number;
  /** How long the WebSocket handshake may take. Default 5000. */
  connectTimeout: number;
  /** How long one request may wait for its reply. Default 60000. */
  requestTimeout: number;
  /** Pause between two "GET_RESULT" polls while the reply says "RUNNING". Default 500. */
  pollInterval: number;
  /** How long result collection may go on in total. Default 120000. */
  collectTimeout: number;
}

/** The parts of the Storage interface the client uses to remember the port. */
export interface PortStorage {
  getItem(key: string): string | null;
  setItem(key: string, value: string): void;
  removeItem(key: string): void;
}

/** The parts of the Permissions interface the client uses. */
export interface PermissionsLike {
  query(descriptor: { name: string }): Promise<{ state: string }>;
}

/** Minimal WebSocket shape the client needs (the browser's WebSocket fits). */
export interface WebSocketLike {
  readonly readyState: number;
  send(data: string): void;
  close(code?: number, reason?: string): void;
  addEventListener(type: string, listener: (event: any) => void): void;
  removeEventListener(type: string, listener: (event: any) => void): void;
}

export interface ClientOptions extends Partial<Timeouts> {
  /** Address of the daemon. Default "127.0.0.1". */
  host?: string;
  /** Ports to probe, in order. Default 4441-4445. */
  ports?: readonly number[];
  /** "auto" (WSS, HTTPS POST when the WebSocket cannot be opened), "ws" or "http". Default "auto". */
  transport?: Transport;
  /** Over HTTP, ask the daemon to keep results so that they can be collected. Default false. */
  useGetResult?: boolean;
  /** After a direct reply with useGetResult, collect the parked copy at once. Default true. */
  releaseParked?: boolean;
  /** The "origin" member added to requests that have none. Default location.origin; undefined omits it. */
  origin?: string;
  /** The "tabid" of this client (1-64 of A-Z a-z 0-9 _ . ~ -). Default: random. */
  tabid?: string;
  /** fetch implementation. Default globalThis.fetch. */
  fetch?: (input: string, init?: any) => Promise<{ status: number; text(): Promise<string> }>;
  /** WebSocket constructor. Default globalThis.WebSocket; null forces HTTPS. */
  WebSocket?: (new (url: string) => WebSocketLike) | null;
  /** Where the port is remembered across page loads. Default sessionStorage; null keeps it in memory. */
  storage?: PortStorage | null;
  /** Permissions object used to report the local network permission. Default navigator.permissions. */
  permissions?: PermissionsLike | null;
}

export interface DiscoverOptions {
  /** Probe again even when a port is remembered. */
  force?: boolean;
  /** Probe time limit for this discovery, e.g. longer while the browser shows a permission prompt. */
  probeTimeout?: number;
}

export interface SendOptions {
  transport?: Transport;
  /** Time limit for the reply (or, with useGetResult, for the first POST). */
  timeout?: number;
  /** HTTP only: send "use_getresult" and collect with "GET_RESULT" if the first POST gives up. */
  useGetResult?: boolean;
  collectTimeout?: number;
  pollInterval?: number;
}

/** A request: any JSON members for the module. "id", "tabid" and "use_getresult" are set by the client. */
export type RequestBody = { [member: string]: unknown } & {
  id?: never;
  tabid?: never;
  use_getresult?: never;
};

/** The reply envelope as the daemon sends it (all leaves are strings). */
export interface ReplyEnvelope {
  daemon?: string;
  ex?: string;
  m?: { name: string; version: string };
  response: {
    id: string;
    tabid: string;
    callback: string;
    status: ReplyStatus;
    reply: { reply: { status: string; reply: string } };
  };
}

export interface SendResult {
  /** The module's reply text. */
  reply: string;
  status: 'TRUE';
  envelope: ReplyEnvelope;
  /** The reply envelope exactly as received. */
  text: string;
  transport: 'ws' | 'http';
  port: number;
  id: string;
  tabid: string;
  /** True when the reply was collected with "GET_RESULT". */
  collected: boolean;
  /** Number of "GET_RESULT" polls made. */
  polls: number;
}

export interface VersionReport {
  /** Version of the daemon. */
  daemon: string;
  /** Version of the product. */
  ex: string;
  /** Name echoed from the request and version of the module. */
  m: { name: string; version: string };
  /** The module's reply to the get_versions request. */
  reply: string;
  transport: 'ws' | 'http';
  port: number;
}

export type ProbeOutcome = 'answered' | 'timeout' | 'network-error' | 'no-fetch' | `http-${number}`;

export declare class VelstraError extends Error {
  readonly code: 'daemon-not-found' | 'request-refused' | 'timeout' | 'connection' | 'protocol';
}

/**
 * No port answered the probe, or the daemon stopped answering. The page cannot tell why (not
 * running, not trusted, blocked from loopback by the browser); the user can: running
 * `/opt/TOLLAN/velstra/nv-doctor` on the machine names the cause and what to do.
 */
export declare class DaemonNotFoundError extends VelstraError {
  readonly code: 'daemon-not-found';
  /** Each probed port with what happened. */
  readonly attempts: { port: number; outcome: ProbeOutcome }[];
  /** The browser's local network permission at the time of the failure. */
  readonly localNetworkAccess: PermissionStateName | string;
}

export declare class RequestRefusedError extends VelstraError {
  readonly code: 'request-refused';
  /** The envelope with status "FALSE", or null for an HTTP rejection. */
  readonly envelope: ReplyEnvelope | null;
  readonly text: string;
  /** HTTP status of a rejection (e.g. 400), or null. */
  readonly httpStatus: number | null;
}

export declare class VelstraTimeoutError extends VelstraError {
  readonly code: 'timeout';
  readonly phase: 'connect' | 'request' | 'collect';
  readonly timeout: number;
}

export declare class ConnectionError extends VelstraError {
  readonly code: 'connection';
}

export declare class ProtocolError extends VelstraError {
  readonly code: 'protocol';
  readonly text: string;
}

export declare class VelstraClient {
  constructor(options?: ClientOptions);
  /** The remembered port, or null. */
  readonly port: number | null;
  readonly tabid: string;
  /** True once requests go over HTTPS because the WebSocket could not be opened. */
  readonly usingHttpFallback: boolean;
  discover(options?: DiscoverOptions): Promise<number>;
  forgetPort(): void;
  localNetworkAccess(): Promise<PermissionStateName | string>;
  send(body: RequestBody, options?: SendOptions): Promise<SendResult>;
  request(body: RequestBody, options?: SendOptions): Promise<string>;
  getVersions(moduleName?: string, options?: SendOptions): Promise<VersionReport>;
  close(): void;
}

/** "request=" followed by the URL-encoded JSON text. */
export declare function encodeFormBody(jsonText: string): string;

/** Reads a reply envelope; throws ProtocolError when the text is not one. */
export declare function parseEnvelope(text: string): {
  envelope: ReplyEnvelope;
  id: string;
  tabid: string;
  status: string;
  reply: string;
};

/** One client shared by the whole page; options apply on the first call. */
export declare function getClient(options?: ClientOptions): VelstraClient;

// Compile-only check of the type declarations: how a TypeScript page uses the client module.
// Checked by "tsc --noEmit --strict" (CTest test web_declarations when tsc is installed); never run.
import { VelstraClient, DaemonNotFoundError, RequestRefusedError, VelstraTimeoutError, getClient, encodeFormBody } from '../../web/norrim-velstra.js';
async function main(): Promise<void> {
  const c = new VelstraClient({ probeTimeout: 1000, transport: 'auto', storage: null });
  const port: number = await c.discover();
  const v = await c.getVersions('sample');
  const s: string = v.daemon + v.ex + v.m.version;
  const text: string = await c.request({ cmd: 'echo', nested: { a: 1 } });
  const r = await c.send({ cmd: 'x' }, { transport: 'http', useGetResult: true, timeout: 500 });
  const id: string = r.envelope.response.id;
  try { await c.request({ cmd: 'y' }); } catch (e) {
    if (e instanceof DaemonNotFoundError) console.log(e.attempts[0].outcome, e.localNetworkAccess);
    else if (e instanceof RequestRefusedError) console.log(e.envelope?.response.status, e.httpStatus);
    else if (e instanceof VelstraTimeoutError) console.log(e.phase);
  }
  // @ts-expect-error id is set by the client
  await c.request({ id: '1' });
  getClient().close();
  console.log(port, s, text, id, encodeFormBody('{}'));
}
main();
// The browser's own implementations fit the injectable options.
export const browserClient = new VelstraClient({
  fetch,
  WebSocket,
  storage: sessionStorage,
  permissions: navigator.permissions,
});

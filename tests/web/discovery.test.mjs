// Discovery: probe order, the probe request itself, port memory, time-outs and "daemon not found".
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { VelstraClient, DaemonNotFoundError, VelstraError } from '../../web/norrim-velstra.js';
import { FakeDaemon, createNet, memoryStorage, clientOptions } from './fakes.mjs';

describe('discovery', () => {
  test('Discover_DaemonOnThirdPort_ProbesInOrderAndStopsThere', async () => {
    const net = createNet({ daemons: { 4443: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net));

    assert.equal(await client.discover(), 4443);

    assert.deepEqual(net.log.map((e) => e.port), [4441, 4442, 4443]);
    for (const entry of net.log) {
      assert.equal(entry.init.method, 'GET');
      assert.match(entry.href, /^https:\/\/127\.0\.0\.1:444[1-3]\/\?dmPortScan$/);
      assert.equal(entry.init.credentials, 'omit');
    }
    assert.equal(client.port, 4443);
  });

  test('Discover_PortRemembered_NoFurtherProbes', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4442: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));

    await client.discover();
    const probesAfterFirst = net.log.length;
    assert.equal(await client.discover(), 4442);
    assert.equal(await client.request({ cmd: 'a' }), 'reply:a');
    assert.equal(await client.request({ cmd: 'b' }), 'reply:b');

    assert.equal(net.log.filter((e) => e.kind === 'get').length, probesAfterFirst);
    assert.equal(daemon.posts.length, 2);
  });

  test('Discover_ConcurrentCalls_ShareOneScan', async () => {
    const net = createNet({ daemons: { 4444: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net));

    const ports = await Promise.all([client.discover(), client.discover(), client.discover()]);

    assert.deepEqual(ports, [4444, 4444, 4444]);
    assert.deepEqual(net.log.map((e) => e.port), [4441, 4442, 4443, 4444]);
  });

  test('Discover_PortThatNeverAnswers_CountsAsAbsentAfterProbeTimeout', async () => {
    const net = createNet({ daemons: { 4442: new FakeDaemon() }, hang: [4441] });
    const client = new VelstraClient(clientOptions(net, { probeTimeout: 50 }));

    assert.equal(await client.discover(), 4442);
    assert.deepEqual(net.log.map((e) => e.port), [4441, 4442]);
    assert.equal(net.log[0].init.signal.aborted, true);
  });

  test('Discover_NothingAnswers_DaemonNotFoundWithEveryAttempt', async () => {
    const net = createNet({ hang: [4443] });
    const permissions = {
      async query({ name }) {
        if (name !== 'local-network-access') throw new TypeError(`unknown permission ${name}`);
        return { state: 'denied' };
      },
    };
    const client = new VelstraClient(clientOptions(net, { probeTimeout: 50, permissions }));

    const err = await client.discover().then(() => null, (e) => e);

    assert.ok(err instanceof DaemonNotFoundError);
    assert.ok(err instanceof VelstraError);
    assert.equal(err.code, 'daemon-not-found');
    assert.deepEqual(err.attempts, [
      { port: 4441, outcome: 'network-error' },
      { port: 4442, outcome: 'network-error' },
      { port: 4443, outcome: 'timeout' },
      { port: 4444, outcome: 'network-error' },
      { port: 4445, outcome: 'network-error' },
    ]);
    assert.equal(err.localNetworkAccess, 'denied');
    assert.equal(client.port, null);
    // A request without a daemon rejects the same way.
    await assert.rejects(client.request({ cmd: 'x' }), DaemonNotFoundError);
  });

  test('Discover_CustomHostAndPorts_ProbesOnlyThose', async () => {
    const net = createNet({ daemons: { 5001: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net, { host: 'localhost', ports: [5000, 5001] }));

    assert.equal(await client.discover(), 5001);
    assert.deepEqual(net.log.map((e) => e.href), ['https://localhost:5000/?dmPortScan', 'https://localhost:5001/?dmPortScan']);
  });

  test('Discover_StoredPort_TriedFirstAndReplacedWhenStale', async () => {
    const net = createNet({ daemons: { 4442: new FakeDaemon() } });
    const storage = memoryStorage({ 'norrimVelstra.port@127.0.0.1': '4445' });
    const client = new VelstraClient(clientOptions(net, { storage }));

    assert.equal(await client.discover(), 4442);

    assert.deepEqual(net.log.map((e) => e.port), [4445, 4441, 4442]);
    assert.equal(storage.getItem('norrimVelstra.port@127.0.0.1'), '4442');

    // The next page load finds it at once.
    const next = new VelstraClient(clientOptions(net, { storage }));
    net.log.length = 0;
    assert.equal(await next.discover(), 4442);
    assert.deepEqual(net.log.map((e) => e.port), [4442]);
  });

  test('Request_DaemonMovedOverHttp_ReportsNotFoundThenRediscovers', async () => {
    const net = createNet({ daemons: { 4441: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));
    assert.equal(await client.request({ cmd: 'a' }), 'reply:a');

    net.daemons.delete(4441);
    net.daemons.set(4443, new FakeDaemon());
    // The POST may or may not have reached the old daemon, so it is not silently repeated.
    await assert.rejects(client.request({ cmd: 'b' }), DaemonNotFoundError);
    assert.equal(client.port, null);

    assert.equal(await client.request({ cmd: 'c' }), 'reply:c');
    assert.equal(client.port, 4443);
  });

  test('Request_DaemonMovedOverWebSocket_OpensOnNewPortInSameCall', async () => {
    const net = createNet({ daemons: { 4441: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net));
    assert.equal(await client.request({ cmd: 'a' }), 'reply:a');

    net.sockets[0].serverClose();
    net.daemons.delete(4441);
    net.daemons.set(4442, new FakeDaemon());
    // Nothing was sent on a socket that did not open, so the request can go to the new port.
    const result = await client.send({ cmd: 'b' });

    assert.equal(result.reply, 'reply:b');
    assert.equal(result.port, 4442);
    assert.equal(result.transport, 'ws');
    client.close();
  });
});

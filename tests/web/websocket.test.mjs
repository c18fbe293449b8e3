// Requests over the WebSocket: one connection, reply matching, refusals, time-outs, lost connections.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  VelstraClient,
  RequestRefusedError,
  VelstraTimeoutError,
  ConnectionError,
} from '../../web/norrim-velstra.js';
import { FakeDaemon, createNet, clientOptions, deferred, waitFor } from './fakes.mjs';

describe('websocket requests', () => {
  test('Send_ConcurrentRequestsRepliedOutOfOrder_EachGetsItsOwnReply', async () => {
    const gates = { a: deferred(), b: deferred(), c: deferred() };
    const daemon = new FakeDaemon({ module: (req) => gates[req.cmd].promise });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const pending = ['a', 'b', 'c'].map((cmd) => client.send({ cmd }));
    await waitFor(() => daemon.frames.length === 3, 'three frames');
    // A reply for this id from another tab of the same page must not be taken for ours.
    const first = JSON.parse(daemon.frames[0].text);
    net.sockets[0].serverSend(daemon.envelope({ id: first.id, tabid: 'tOther' }, 'TRUE', 'not yours'));
    gates.c.resolve('C');
    gates.a.resolve('A');
    gates.b.resolve('B');
    const results = await Promise.all(pending);

    assert.deepEqual(results.map((r) => r.reply), ['A', 'B', 'C']);
    assert.ok(results.every((r) => r.transport === 'ws' && r.status === 'TRUE' && r.port === 4441));
    assert.equal(net.sockets.length, 1, 'one connection for all requests');
    const sent = daemon.frames.map((f) => JSON.parse(f.text));
    assert.equal(new Set(sent.map((m) => m.id)).size, 3, 'distinct ids');
    assert.ok(sent.every((m) => m.tabid === client.tabid && m.origin === 'http://page.example:8000'));
    assert.equal(net.log.filter((e) => e.kind === 'post').length, 0);
    client.close();
  });

  test('Send_RequestMembers_ArriveUnchangedBesideIdAndTabid', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { tabid: 'tab-1' }));

    const body = { cmd: 'sign', origin: 'https://shop.example', data: { text: 'x/y "q"', n: [1, 2] }, callback: 'cb' };
    const result = await client.send(body);

    const frame = JSON.parse(daemon.frames[0].text);
    assert.deepEqual(frame, { id: '1', tabid: 'tab-1', ...body });
    assert.equal(result.envelope.response.callback, 'cb');
    assert.equal(result.id, '1');
    assert.equal(result.tabid, 'tab-1');
    client.close();
  });

  test('Send_ReservedMemberOrNonObject_TypeErrorBeforeAnythingIsSent', async () => {
    const net = createNet({ daemons: { 4441: new FakeDaemon() } });
    const client = new VelstraClient(clientOptions(net));

    await assert.rejects(client.send({ id: '5' }), TypeError);
    await assert.rejects(client.send({ tabid: 't' }), TypeError);
    await assert.rejects(client.send({ use_getresult: 'TRUE' }), TypeError);
    await assert.rejects(client.send([1, 2]), TypeError);
    await assert.rejects(client.send('{"cmd":"x"}'), TypeError);
    assert.equal(net.log.length, 0);
    assert.throws(() => new VelstraClient(clientOptions(net, { tabid: 'a/b' })), TypeError);
  });

  test('Send_StatusFalse_RequestRefusedWithEnvelope', async () => {
    const daemon = new FakeDaemon({ refuse: (req) => req.cmd === 'no' });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const err = await client.send({ cmd: 'no' }).then(() => null, (e) => e);

    assert.ok(err instanceof RequestRefusedError);
    assert.equal(err.code, 'request-refused');
    assert.equal(err.envelope.response.status, 'FALSE');
    assert.equal(err.httpStatus, null);
    // The connection stays usable.
    assert.equal(await client.request({ cmd: 'yes' }), 'reply:yes');
    client.close();
  });

  test('Send_NoReplyInTime_TimeoutAndLateReplyIgnored', async () => {
    const gate = deferred();
    const daemon = new FakeDaemon({ module: (req) => (req.cmd === 'slow' ? gate.promise : 'fast') });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const err = await client.send({ cmd: 'slow' }, { timeout: 40 }).then(() => null, (e) => e);
    assert.ok(err instanceof VelstraTimeoutError);
    assert.equal(err.code, 'timeout');
    assert.equal(err.phase, 'request');

    gate.resolve('late');
    assert.equal(await client.request({ cmd: 'next' }), 'fast');
    client.close();
  });

  test('Send_ConnectionClosedWhileWaiting_ConnectionErrorThenNewConnection', async () => {
    const gate = deferred();
    const daemon = new FakeDaemon({ module: (req) => (req.cmd === 'hold' ? gate.promise : 'ok') });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const held = client.send({ cmd: 'hold' });
    await waitFor(() => daemon.frames.length === 1, 'frame');
    net.sockets[0].serverClose();
    await assert.rejects(held, ConnectionError);

    assert.equal(await client.request({ cmd: 'again' }), 'ok');
    assert.equal(net.sockets.length, 2);
    client.close();
  });

  test('Send_IdleConnectionClosedByDaemon_ReopenedOnNextRequest', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));
    assert.equal(await client.request({ cmd: 'a' }), 'reply:a');

    net.sockets[0].serverClose();
    await waitFor(() => net.sockets[0].readyState === 3, 'close');

    assert.equal(await client.request({ cmd: 'b' }), 'reply:b');
    assert.equal(net.sockets.length, 2);
    assert.equal(client.usingHttpFallback, false);
    client.close();
  });

  test('Close_RequestPending_RejectsWithConnectionError', async () => {
    const daemon = new FakeDaemon({ module: () => new Promise(() => {}) });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const held = client.send({ cmd: 'x' });
    await waitFor(() => daemon.frames.length === 1, 'frame');
    client.close();

    await assert.rejects(held, ConnectionError);
  });

  test('GetVersions_OverWebSocket_ThreeVersionsAndModuleReply', async () => {
    const daemon = new FakeDaemon({ module: (req) => `module saw ${req.init}` });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const report = await client.getVersions('sample');

    assert.deepEqual(report, {
      daemon: '1.0.1.1',
      ex: '1.0.1.1013',
      m: { name: 'sample', version: '3.3.2.25' },
      reply: 'module saw get_versions',
      transport: 'ws',
      port: 4441,
    });
    const frame = JSON.parse(daemon.frames[0].text);
    assert.equal(frame.init, 'get_versions');
    assert.equal(frame.m, 'sample');
    client.close();
  });

  test('Send_WsOnlyAndHandshakeFails_ErrorInsteadOfFallback', async () => {
    const net = createNet({ daemons: { 4441: new FakeDaemon({ websocket: false }), 4442: new FakeDaemon({ websocket: 'hang' }) } });
    const refused = new VelstraClient(clientOptions(net, { transport: 'ws' }));
    await assert.rejects(refused.send({ cmd: 'x' }), ConnectionError);

    const slow = new VelstraClient(clientOptions(net, { transport: 'ws', ports: [4442], connectTimeout: 40 }));
    const err = await slow.send({ cmd: 'x' }).then(() => null, (e) => e);
    assert.ok(err instanceof VelstraTimeoutError);
    assert.equal(err.phase, 'connect');
    assert.equal(net.log.filter((e) => e.kind === 'post').length, 0);
  });
});

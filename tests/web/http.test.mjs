// Requests over HTTPS POST: fallback, the form body, rejections, time-outs and GET_RESULT collection.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  VelstraClient,
  RequestRefusedError,
  VelstraTimeoutError,
  ProtocolError,
  DaemonNotFoundError,
  encodeFormBody,
  parseEnvelope,
} from '../../web/norrim-velstra.js';
import { FakeDaemon, createNet, clientOptions, deferred, waitFor, formDecode } from './fakes.mjs';

describe('https fallback and form body', () => {
  test('Send_WebSocketCannotOpen_FallsBackToPostAndStaysThere', async () => {
    const daemon = new FakeDaemon({ websocket: false });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net));

    const first = await client.send({ cmd: 'a' });
    const second = await client.send({ cmd: 'b' });

    assert.equal(first.transport, 'http');
    assert.equal(first.reply, 'reply:a');
    assert.equal(second.reply, 'reply:b');
    assert.equal(net.sockets.length, 1, 'the handshake is not retried before every request');
    assert.equal(daemon.posts.length, 2);
    assert.equal(client.usingHttpFallback, true);
  });

  test('Send_WebSocketConnectTimesOut_FallsBackToPost', async () => {
    const daemon = new FakeDaemon({ websocket: 'hang' });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { connectTimeout: 40 }));

    const result = await client.send({ cmd: 'a' });

    assert.equal(result.transport, 'http');
    assert.equal(daemon.posts.length, 1);
  });

  test('Send_NoWebSocketImplementation_UsesPost', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { WebSocket: null }));

    assert.equal((await client.send({ cmd: 'a' })).transport, 'http');
  });

  test('Post_AwkwardCharacters_FormBodyDecodesToTheExactJson', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http', tabid: 'tab-9' }));
    const text = 'a+b c&d=e %25 %zz request=x ü € 😀 "q" \\ /p?x#y';

    await client.send({ cmd: 'echo', text });

    const post = daemon.posts[0];
    assert.ok(post.init.body.startsWith('request='));
    assert.doesNotMatch(post.init.body.slice('request='.length), /[+& ]/, 'no raw blank, + or &');
    assert.equal(post.text, JSON.stringify({ id: '1', tabid: 'tab-9', origin: 'http://page.example:8000', cmd: 'echo', text }));
    assert.equal(post.decoded, 'request=' + post.text);
    // Only a safelisted content type and no other header: the browser sends no preflight.
    assert.deepEqual(post.init.headers, { 'Content-Type': 'application/x-www-form-urlencoded' });
    assert.equal(post.init.method, 'POST');
    assert.equal(post.init.mode, 'cors');
    assert.equal(post.init.credentials, 'omit');
    assert.equal(post.url, 'https://127.0.0.1:4441/');
  });

  test('EncodeFormBody_FormDecoding_RoundTrips', () => {
    for (const json of ['{}', '{"a":"+ & = % %41"}', '{"k":"\\u0000 \\n"}', '{"u":"ñ€😀"}']) {
      const body = encodeFormBody(json);
      assert.equal(formDecode(body), 'request=' + json);
    }
  });

  test('Post_DaemonRejectsWith400_RequestRefusedWithHttpStatus', async () => {
    const daemon = new FakeDaemon();
    daemon.rejectPosts = true;
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));

    const err = await client.send({ cmd: 'a' }).then(() => null, (e) => e);

    assert.ok(err instanceof RequestRefusedError);
    assert.equal(err.httpStatus, 400);
    assert.equal(err.envelope, null);
  });

  test('Post_StatusFalse_RequestRefusedWithEnvelope', async () => {
    const daemon = new FakeDaemon({ refuse: () => true });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));

    const err = await client.send({ cmd: 'a' }).then(() => null, (e) => e);

    assert.ok(err instanceof RequestRefusedError);
    assert.equal(err.envelope.response.status, 'FALSE');
    assert.equal(err.envelope.response.id, '1');
  });

  test('Post_NoReplyInTimeWithoutCollection_TimeoutNoPolling', async () => {
    const daemon = new FakeDaemon({ module: () => new Promise(() => {}) });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));

    const err = await client.send({ cmd: 'a' }, { timeout: 40 }).then(() => null, (e) => e);

    assert.ok(err instanceof VelstraTimeoutError);
    assert.equal(err.phase, 'request');
    assert.equal(daemon.posts.length, 1);
  });

  test('Post_ReplyNotAnEnvelope_ProtocolError', async () => {
    const fetch = async (url, init) => ({ status: 200, text: async () => (init.method === 'GET' ? '' : '<html>proxy</html>') });
    const client = new VelstraClient({ fetch, WebSocket: null, storage: null, permissions: null });

    const err = await client.send({ cmd: 'a' }).then(() => null, (e) => e);

    assert.ok(err instanceof ProtocolError);
    assert.equal(err.code, 'protocol');
    assert.equal(err.text, '<html>proxy</html>');
  });

  test('ParseEnvelope_DaemonTextForm_ReadsMembersAndEscapes', () => {
    const text =
      '{ "daemon": "1.0.1.1", "ex": "1.0.1.1013", "m": { "name": "x", "version": "3.3.2.25" }, ' +
      '"response": { "id": "7", "tabid": "t1", "callback": "cb", "status": "TRUE", ' +
      '"reply": { "reply": { "status": "", "reply": "{\\"a\\":\\"b\\/c\\"}" } } } }';

    const parsed = parseEnvelope(text);

    assert.equal(parsed.reply, '{"a":"b/c"}');
    assert.equal(parsed.id, '7');
    assert.equal(parsed.tabid, 't1');
    assert.equal(parsed.status, 'TRUE');
    assert.equal(parsed.envelope.m.version, '3.3.2.25');
    for (const bad of ['', '{}', 'null', '[]', '{ "response": { "status": "TRUE" } }', '{ "response": "x" }']) {
      assert.throws(() => parseEnvelope(bad), ProtocolError, bad);
    }
  });
});

describe('result collection with GET_RESULT', () => {
  test('Collect_FirstPostGivesUp_PollsWhileRunningThenResolves', async () => {
    const gate = deferred();
    const daemon = new FakeDaemon({ module: () => gate.promise });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http', pollInterval: 10 }));

    const pending = client.send({ cmd: 'slow' }, { useGetResult: true, timeout: 40 });
    await waitFor(() => daemon.posts.length >= 3, 'two GET_RESULT polls');
    gate.resolve('finally');
    const result = await pending;

    assert.equal(result.reply, 'finally');
    assert.equal(result.collected, true);
    assert.ok(result.polls >= 2);
    const [call, ...polls] = daemon.posts.map((p) => p.request);
    assert.equal(call.use_getresult, 'TRUE');
    assert.equal(call.cmd, 'slow');
    for (const poll of polls) {
      assert.deepEqual(poll, { cmd: 'GET_RESULT', id: call.id, tabid: call.tabid, origin: call.origin });
    }
    assert.equal(daemon.parkedCount(), 0, 'the collected result is gone from the daemon');
  });

  test('Collect_DirectReply_ParkedCopyReleasedAtOnce', async () => {
    const daemon = new FakeDaemon();
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http', useGetResult: true }));

    const result = await client.send({ cmd: 'quick' });

    assert.equal(result.reply, 'reply:quick');
    assert.equal(result.collected, false);
    await waitFor(() => daemon.parkedCount() === 0, 'parked result released');
    assert.equal(daemon.posts[1].request.cmd, 'GET_RESULT');
  });

  test('Collect_ResultNeverFinishes_TimeoutInCollectPhase', async () => {
    const daemon = new FakeDaemon({ module: () => new Promise(() => {}) });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http' }));

    const err = await client
      .send({ cmd: 'stuck' }, { useGetResult: true, timeout: 30, collectTimeout: 150, pollInterval: 10 })
      .then(() => null, (e) => e);

    assert.ok(err instanceof VelstraTimeoutError);
    assert.equal(err.phase, 'collect');
    assert.ok(daemon.posts.length >= 2);
  });

  test('Collect_TaskDroppedByDaemon_RequestRefused', async () => {
    const daemon = new FakeDaemon({ module: () => new Promise(() => {}) });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http', pollInterval: 10 }));

    const pending = client.send({ cmd: 'x' }, { useGetResult: true, timeout: 30 });
    await waitFor(() => daemon.posts.length >= 2, 'first poll');
    daemon.tasks.clear(); // the daemon's clean-up dropped the session
    const err = await pending.then(() => null, (e) => e);

    assert.ok(err instanceof RequestRefusedError);
    assert.equal(err.envelope.response.status, 'FALSE');
  });

  test('Collect_DaemonGoneWhilePolling_DaemonNotFound', async () => {
    const daemon = new FakeDaemon({ module: () => new Promise(() => {}) });
    const net = createNet({ daemons: { 4441: daemon } });
    const client = new VelstraClient(clientOptions(net, { transport: 'http', pollInterval: 10 }));

    const pending = client.send({ cmd: 'x' }, { useGetResult: true, timeout: 30 });
    await waitFor(() => daemon.posts.length >= 2, 'first poll');
    net.daemons.delete(4441);

    await assert.rejects(pending, DaemonNotFoundError);
  });
});

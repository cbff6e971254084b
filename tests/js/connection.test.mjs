// A room's connection comes back at once when another server has taken the
// room (1012), and after growing pauses when it was dropped.
import assert from 'node:assert/strict';
import { test } from 'node:test';

const sockets = [];
globalThis.location = { protocol: 'http:', host: '127.0.0.1:8000' };
globalThis.WebSocket = class {
  static OPEN = 1;
  constructor(url) {
    this.url = url;
    this.sent = [];
    sockets.push(this);
  }
  send(text) {
    this.sent.push(JSON.parse(text));
  }
  close() {}
};

const { RoomConnection } = await import('../../python/tesko_server/static/connection.js');

function served() {
  const statuses = [];
  const ignore = () => {};
  const handlers = { status: (s) => statuses.push(s), welcome: ignore, snapshot: ignore, event: ignore, message: ignore, fatal: ignore };
  const conn = new RoomConnection('q3V9x_kE2bQa', handlers);
  conn.start('token');
  const socket = sockets.at(-1);
  socket.onopen();
  socket.onmessage({ data: JSON.stringify({ type: 'welcome', version: 0 }) });
  socket.onmessage({ data: JSON.stringify({ type: 'snapshot', version: 7 }) });
  return { conn, socket, statuses };
}

test('after 1012 it reconnects at once, from the last version seen', async () => {
  const { conn, socket, statuses } = served();
  socket.onclose({ code: 1012, reason: 'reconnect' });
  assert.deepEqual(statuses.at(-1), { state: 'lost', retryIn: 0 });
  await new Promise((resolve) => setTimeout(resolve, 0));
  const again = sockets.at(-1);
  assert.notEqual(again, socket);
  again.onopen();
  assert.equal(again.sent[0].version, 7);
  conn.stop();
});

test('after a drop it waits before reconnecting', () => {
  for (const code of [1001, 1006, 1013]) {
    const { conn, socket, statuses } = served();
    socket.onclose({ code, reason: '' });
    assert.ok(statuses.at(-1).retryIn >= 400, `${code}: ${JSON.stringify(statuses.at(-1))}`);
    conn.stop();
  }
});

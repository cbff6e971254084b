// The game's state as the page folds it: out of touch, nothing can be
// played; a search already under way is counted from its start.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SLOTS, blocked, cellAction, fromEvent, fromPresence, fromSnapshot, initialGame, rematchGone } from '../../python/tesko_server/static/game.js';

function snapshot(extra = {}) {
  const cells = SLOTS.map((slot) => ({ slot, empty: false, face_up: true, owner: 'A', kind: 'N' }));
  const seat = { kind: 'human', name: 'Ana', taken: true, connected: true };
  return {
    type: 'snapshot',
    version: 3,
    room: { id: 'q3V9x_kE2bQa', status: 'playing', seats: { A: seat, B: { ...seat, name: 'Bia' } }, spectators: 0, rematch: null },
    state: { cells, to_move: 'A', plies: 2, material: [60, 55], cards: [6, 6], legal_moves: ['A1'], result: null },
    history: [],
    you: { seat: 'A', legal_moves: ['A1'] },
    thinking: null,
    ...extra,
  };
}

function joined(game) {
  return { ...game, ...fromSnapshot(game, snapshot()) };
}

test('a snapshot brings the page up to date; losing the connection takes it out again', () => {
  const game = joined({ ...initialGame('q3V9x_kE2bQa'), seat: 'A' });
  assert.equal(blocked(game), null);
  assert.equal(cellAction(game, 'A1').act, 'move');
  const lost = { ...game, online: false };
  assert.equal(blocked(lost), 'r_offline');
  for (const slot of SLOTS) assert.equal(cellAction(lost, slot).act, null, slot);
  // After a catch-up by versions, the presence that ends it.
  const back = { ...lost, ...fromPresence(lost, { type: 'presence', seats: { A: true, B: false }, spectators: 1 }) };
  assert.equal(blocked(back), null);
  assert.equal(back.room.seats.B.connected, false);
});

test('an engine search already under way is counted from when it began', () => {
  const engine = { kind: 'engine', name: 'engine', taken: true, connected: true, level: 7, think_time: 5 };
  const message = snapshot({ thinking: { seat: 'B', level: 7, think_time: 5, elapsed: 3.5 } });
  message.room.seats.B = engine;
  message.state.to_move = 'B';
  const before = Date.now();
  const game = fromSnapshot({ ...initialGame('q3V9x_kE2bQa'), seat: 'A' }, message);
  const after = Date.now();
  assert.equal(game.thinking.seat, 'B');
  // 3.5 s before the moment the snapshot was read, whenever within the call that was.
  assert.ok(game.thinking.since >= before - 3500 && game.thinking.since <= after - 3500);
});

test('no rematch is offered once the other seat of a finished game is given up', () => {
  const over = (seat, taken, rematch = null) => {
    const game = joined({ ...initialGame('q3V9x_kE2bQa'), seat });
    const state = { ...game.state, to_move: null, result: { winner: 'A' } };
    const seats = { ...game.room.seats, B: { ...game.room.seats.B, taken } };
    return { ...game, state, room: { ...game.room, seats }, rematch };
  };
  assert.equal(rematchGone(over('A', false)), true);
  assert.equal(rematchGone(over('A', true)), false);
  assert.equal(rematchGone(over('B', false)), false); // its own seat is B: A still sits
  assert.equal(rematchGone(over(null, false)), false); // a spectator is offered none anyway
  assert.equal(rematchGone(over('A', false, 'r2D2c3PO4xyz')), false); // made before the seat was left
  const playing = joined({ ...initialGame('q3V9x_kE2bQa'), seat: 'A' });
  assert.equal(rematchGone({ ...playing, room: { ...playing.room, seats: { ...playing.room.seats, B: { taken: false } } } }), false);
});

test("rematch offers are kept, the other player's as well as this seat's", () => {
  const game = joined({ ...initialGame('q3V9x_kE2bQa'), seat: 'A' });
  const over = { ...game.state, to_move: null, legal_moves: [], result: { winner: 'A', text: 'A wins' } };
  const room = { ...game.room, status: 'over' };
  let folded;
  const orders = [['B', 'A'], ['A', 'B'], ['B', 'B']];
  for (const order of orders) {
    folded = { ...game, state: over, room, offers: [] };
    order.forEach((seat, i) => {
      const message = { type: 'event', version: 4 + i, event: { kind: 'rematch_offer', seat }, state: over, room };
      folded = { ...folded, ...fromEvent(folded, message) };
    });
    assert.deepEqual([...folded.offers].sort(), [...new Set(order)].sort(), order.join(''));
    // Who is there changes nothing about the offers.
    folded = { ...folded, ...fromPresence(folded, { type: 'presence', seats: { A: true, B: false }, spectators: 0 }) };
    assert.deepEqual([...folded.offers].sort(), [...new Set(order)].sort(), order.join(''));
  }
});

test('a snapshot of a finished game brings the rematch offers made before it', () => {
  const message = snapshot();
  message.room.status = 'over';
  message.room.seats.B = { ...message.room.seats.B, rematch_offer: true };
  message.room.seats.A = { ...message.room.seats.A, rematch_offer: false };
  message.state = { ...message.state, to_move: null, legal_moves: [], result: { winner: 'A', text: 'A wins' } };
  const game = fromSnapshot({ ...initialGame('q3V9x_kE2bQa'), seat: 'A' }, message);
  assert.deepEqual(game.offers, ['B']);
});

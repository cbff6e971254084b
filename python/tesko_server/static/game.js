// The game as the page sees it: the room's messages folded into one state
// object, and what a cell means for the person at this browser (what a
// click on it does, or why it does nothing). No DOM here.

export const ROWS = ['A', 'B', 'C'];
export const COLUMNS = ['1', '2', '3', '4'];
export const SLOTS = ROWS.flatMap((row) => COLUMNS.map((column) => row + column));

const ROOM_ID = /^[A-Za-z0-9_-]{12}$/; // as the server makes them

export const other = (side) => (side === 'A' ? 'B' : 'A');

export function initialGame(roomId) {
  return {
    roomId,
    seat: null, // 'A' or 'B' when this browser holds a seat
    room: null, // the room summary
    state: null, // cells, to_move, plies, material, cards, legal_moves, result
    history: [],
    version: null,
    legal: [], // this seat's legal moves now
    thinking: null, // {seat, level, since} while an engine seat searches
    selected: null, // the slot of a Figure picked, waiting for its target
    changed: [], // slots whose card changed in the latest move, to turn over
    changedAt: 0, // the version of that move (restarts the animation)
    offers: [], // seats that asked for a rematch
    rematch: null, // the id of the room where the rematch is played
    clock: null, // the side to move's move clock: {seat, left, running, at}
    online: false, // connected and caught up: the state shown is the room's
    review: null, // the engine's review of the finished game, once made
    reviewFailed: false, // the server said no review will come
  };
}

// A move clock as the server sends it ({seat, left: seconds left when sent,
// running}), stamped with this page's own time of receipt: the page counts
// down from there and needs no wall time of the server's.
export function readClock(clock, now = performance.now()) {
  if (!clock || typeof clock.left !== 'number') return null;
  return { seat: clock.seat, left: clock.left, running: clock.running !== false, at: now };
}

// Seconds left on a clock now (never below 0).
export function clockLeft(clock, now = performance.now()) {
  if (!clock) return null;
  const left = clock.running ? clock.left - (now - clock.at) / 1000 : clock.left;
  return Math.max(0, left);
}

// The side this seat may claim the win against (it left the game long
// enough ago), or null.
export function claimAgainst(game) {
  if (!game.seat || !game.room || !game.state || game.state.result) return null;
  const side = other(game.seat);
  const seat = game.room.seats[side];
  return seat && seat.claimable ? side : null;
}

// A finished game whose other seat was given up: its seat cannot be taken
// again, so no rematch can follow (the server refuses the offer).
export function rematchGone(game) {
  if (!game.seat || !game.room || !game.state || !game.state.result || game.rematch) return false;
  const seat = game.room.seats[other(game.seat)];
  return Boolean(seat) && !seat.taken;
}

function legalFor(seat, state) {
  return seat && state && state.to_move === seat && !state.result ? state.legal_moves || [] : [];
}

function engineThinking(room, state, previous) {
  if (!room || !state || state.result || !state.to_move || room.status !== 'playing') return null;
  const seat = room.seats[state.to_move];
  if (!seat || seat.kind !== 'engine') return null;
  if (previous && previous.seat === state.to_move) return previous;
  return { seat: state.to_move, level: seat.level, since: Date.now() };
}

export function fromSnapshot(game, message) {
  const { room, state } = message;
  let thinking = null;
  if (message.thinking) {
    const elapsed = Number(message.thinking.elapsed) || 0;
    thinking = { seat: message.thinking.seat, level: message.thinking.level, since: Date.now() - elapsed * 1000 };
  }
  return {
    room,
    state,
    history: message.history || [],
    version: message.version,
    legal: message.you ? message.you.legal_moves || [] : legalFor(game.seat, state),
    thinking: thinking || engineThinking(room, state, null),
    selected: null,
    changed: [],
    offers: Object.keys(room.seats || {}).filter((seat) => room.seats[seat].rematch_offer === true),
    rematch: ROOM_ID.test(room.rematch || '') ? room.rematch : null,
    clock: readClock(message.clock),
    online: true,
    review: message.review || null,
    reviewFailed: message.review_status === 'failed',
  };
}

function changedSlots(before, after) {
  if (!before) return [];
  return after.cells
    .filter((cell, i) => {
      const old = before.cells[i];
      return old.empty !== cell.empty || old.face_up !== cell.face_up;
    })
    .map((cell) => cell.slot);
}

export function fromEvent(game, message) {
  const { event, state, room } = message;
  const patch = {
    room,
    state,
    version: message.version,
    legal: legalFor(game.seat, state),
    thinking: engineThinking(room, state, game.thinking),
    clock: readClock(message.clock),
  };
  if (event.kind === 'turn') {
    patch.history = [...game.history, { player: event.player, move: event.move }];
    patch.changed = changedSlots(game.state, state);
    patch.changedAt = message.version;
    patch.selected = null;
    patch.thinking = engineThinking(room, state, null);
  } else if (event.kind === 'rematch_offer') {
    patch.offers = [...new Set([...game.offers, event.seat])];
  } else if (event.kind === 'rematch') {
    patch.rematch = event.room;
  }
  if (game.selected && !patch.legal.some((move) => move.startsWith(game.selected))) patch.selected = null;
  return patch;
}

export function fromPresence(game, message) {
  if (!game.room) return null;
  const seats = { ...game.room.seats };
  for (const [side, present] of Object.entries(message.seats || {})) {
    if (seats[side]) seats[side] = { ...seats[side], connected: present };
  }
  for (const [side, claimable] of Object.entries(message.claimable || {})) {
    if (seats[side]) seats[side] = { ...seats[side], claimable: Boolean(claimable) };
  }
  // After a catch-up the presence comes last: the page is up to date again.
  return { room: { ...game.room, seats, spectators: message.spectators ?? game.room.spectators }, online: true };
}

export function cellAt(game, slot) {
  return game.state ? game.state.cells[SLOTS.indexOf(slot)] : null;
}

export function targetsOf(game, slot) {
  return game.legal.filter((move) => move.length === 4 && move.startsWith(slot)).map((move) => move.slice(2));
}

// The slots of the latest move (none after a pass).
export function lastMoveSlots(game) {
  const last = game.history[game.history.length - 1];
  if (!last || !last.move) return [];
  return last.move.length === 4 ? [last.move.slice(0, 2), last.move.slice(2)] : [last.move];
}

// Why the page cannot take a move now, or null when it can.
export function blocked(game) {
  if (!game.state || !game.room) return 'r_loading';
  if (!game.online) return 'r_offline';
  if (game.state.result) return 'r_over';
  if (!game.seat) return 'r_watching';
  if (game.room.status === 'waiting') return 'r_waiting';
  if (game.state.to_move !== game.seat) return 'r_not_turn';
  return null;
}

// What a click (or Enter) on a cell does: {act: 'move', move} |
// {act: 'select'} | {act: 'cancel'} | {act: null, reason}.
export function cellAction(game, slot) {
  const reason = blocked(game);
  if (reason) return { act: null, reason };
  const cell = cellAt(game, slot);
  if (game.selected) {
    if (slot === game.selected) return { act: 'cancel', hint: 'h_cancel' };
    const move = game.selected + slot;
    if (game.legal.includes(move)) return { act: 'move', move, hint: 'h_target' };
    return { act: null, reason: cell.empty ? 'r_empty' : 'r_not_target' };
  }
  if (game.legal.includes(slot)) return { act: 'move', move: slot, hint: cell.face_up ? 'h_play' : 'h_take' };
  if (targetsOf(game, slot).length) return { act: 'select', hint: 'h_select' };
  if (cell.empty) return { act: null, reason: 'r_empty' };
  if (cell.face_up && cell.owner && cell.owner !== game.seat) return { act: null, reason: 'r_theirs_up' };
  if (cell.face_up && cell.kind === 'F') return { act: null, reason: 'r_no_targets' };
  return { act: null, reason: 'r_not_legal' };
}

export function seatName(room, side, t) {
  const seat = room && room.seats[side];
  if (!seat) return side;
  if (seat.kind === 'engine') return t('engine_name', { level: seat.level });
  return seat.name || t('free_seat');
}

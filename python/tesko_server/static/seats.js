// What the browser remembers about the seats it holds: one localStorage
// entry per room, holding that seat's token and the move counter. Tokens
// never go into a URL.

const PREFIX = 'tesko.seat.';

function storage() {
  try {
    return window.localStorage;
  } catch {
    return null; // storage disabled: the seat lasts as long as the tab
  }
}

const memory = new Map();

export function loadSeat(room) {
  const store = storage();
  const text = store ? store.getItem(PREFIX + room) : memory.get(room);
  if (!text) return null;
  try {
    const seat = JSON.parse(text);
    if (typeof seat.token === 'string' && (seat.seat === 'A' || seat.seat === 'B')) {
      return { seat: seat.seat, token: seat.token, n: Number.isInteger(seat.n) ? seat.n : 0 };
    }
  } catch {
    /* a damaged entry is dropped below */
  }
  forgetSeat(room);
  return null;
}

export function saveSeat(room, seat) {
  const text = JSON.stringify({ seat: seat.seat, token: seat.token, n: seat.n || 0 });
  const store = storage();
  if (store) store.setItem(PREFIX + room, text);
  else memory.set(room, text);
}

export function forgetSeat(room) {
  const store = storage();
  if (store) store.removeItem(PREFIX + room);
  memory.delete(room);
}

// The next move counter of a seat, written down before the move is sent:
// a move applied whose acknowledgement was lost must not reuse its number.
export function nextCounter(room) {
  const seat = loadSeat(room);
  if (!seat) return null;
  seat.n += 1;
  saveSeat(room, seat);
  return seat.n;
}

const NAME_KEY = 'tesko.name';

export function loadName() {
  const store = storage();
  return (store && store.getItem(NAME_KEY)) || '';
}

export function saveName(name) {
  const store = storage();
  if (store && name) store.setItem(NAME_KEY, name);
}

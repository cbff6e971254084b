// The game page (/r/<room>): joins or watches a room, keeps the game state
// in one store and draws every part of the page from it.

import { joinRoom } from './api.js';
import { BoardView } from './board.js';
import { RoomConnection } from './connection.js';
import { byId, el, fill, show } from './dom.js';
import { bindDownload, drawDownload } from './download.js';
import {
  blocked,
  cellAction,
  claimAgainst,
  clockLeft,
  fromEvent,
  fromPresence,
  fromSnapshot,
  initialGame,
  other,
  readClock,
  rematchGone,
  seatName,
} from './game.js';
import { bindLanguageButtons, errorText, gloss, has, onLangChange, t, tn } from './i18n.js';
import { nameField } from './name-field.js';
import { isolate } from './names.js';
import { bindReview, drawReview, reviewBoard, shownStep } from './review-view.js';
import { forgetSeat, loadName, loadSeat, nextCounter, saveName, saveSeat } from './seats.js';
import { createStore } from './store.js';

const roomId = decodeURIComponent(location.pathname.replace(/^\/r\//, '').replace(/\/$/, ''));
const held = loadSeat(roomId);
const store = createStore({
  ...initialGame(roomId),
  seat: held ? held.seat : null,
  link: null, // {state: 'open'|'connecting'|'lost', retryIn, since, wasOpen}
  // Messages are kept as {key} (the page's own words, drawn in the current
  // language), {engine} (the engine's refusal, as it came, with its English
  // gloss on the English page) or {text} (the server's, shown as it came).
  fatal: null,
  notice: null,
  refusal: null,
  pending: null, // n of the move waiting for its answer: no other move until then
  rematchAsked: false,
  hint: '',
  copy: null,
  joinError: null, // the lobby's answer to a join that failed
  reviewStep: null, // the review's position shown (null: the final one)
  recordFailed: false, // the latest download of the record failed
});

const connection = new RoomConnection(roomId, {
  welcome(message) {
    const mine = loadSeat(roomId);
    if (!message.seat && mine) {
      forgetSeat(roomId);
      store.update({ seat: null, notice: { key: 'seat_lost' } });
    } else if (mine && Number.isInteger(message.last_n) && message.last_n > mine.n) {
      saveSeat(roomId, { ...mine, n: message.last_n }); // another tab moved for this seat
    }
  },
  snapshot(message) {
    store.update((game) => ({ ...fromSnapshot(game, message), ...caughtUp(game) }));
    followRematch();
  },
  event(message) {
    store.update((game) => fromEvent(game, message));
    followRematch();
  },
  message(message) {
    const game = store.get();
    switch (message.type) {
      case 'presence': {
        const patch = fromPresence(game, message);
        store.update(patch && { ...patch, ...caughtUp(game) });
        break;
      }
      case 'clock':
        store.update({ clock: readClock(message.clock) });
        break;
      case 'review':
        store.update({ review: message.review || null, reviewFailed: message.status === 'failed' });
        break;
      case 'thinking':
        // A search met in the middle (after a catch-up) says how long it has run.
        store.update({ thinking: { seat: message.seat, level: message.level, since: Date.now() - (Number(message.elapsed) || 0) * 1000 } });
        break;
      case 'ack':
        if (message.n === game.pending) store.update({ pending: null, refusal: null });
        break;
      case 'refused':
        store.update({ pending: null, refusal: refusalOf(message) });
        break;
      case 'notice':
        store.update({ notice: has('notice_' + message.code) ? { key: 'notice_' + message.code } : { text: message.message } });
        break;
      case 'error':
        if (message.code === 'bad_token') {
          forgetSeat(roomId);
          store.update({ seat: null, notice: { key: 'seat_lost' } });
          connection.restart(null);
        } else if (!FATAL_CODES.has(message.code)) {
          // The connection closes after it and comes back on its own.
          store.update({ notice: { ...errorWords(message), untilBack: true } });
        }
        break;
      default:
        break;
    }
  },
  status(link) {
    const wasOpen = (store.get().link && store.get().link.wasOpen) || link.state === 'open';
    const patch = { link: { ...link, since: Date.now(), wasOpen } };
    if (link.state === 'open') patch.pending = null; // an answer lost with the connection
    // Until the catch-up ends (the snapshot, or the presence after the
    // missed events), what the page shows may be out of date.
    else patch.online = false;
    store.update(patch);
  },
  fatal(code, message) {
    store.update({ fatal: errorWords({ code, message }) });
  },
});

const FATAL_CODES = new Set(['no_such_room', 'bad_protocol']);

// An error code in the page's words; the server's English message only for
// a code the page does not know.
function errorWords(message) {
  if (has('err_' + message.code)) return { key: 'err_' + message.code };
  return { key: 'err_other', params: { message: message.message || message.code } };
}

// Back in touch with the room: a notice about the connection is over.
function caughtUp(game) {
  return game.notice && game.notice.untilBack ? { notice: null } : {};
}

function refusalOf(message) {
  if (message.code === 'illegal_move' && message.message) return { engine: message.message };
  return errorWords(message);
}

// A rematch room carries the same tokens: a seat follows it, a spectator
// gets a link.
function followRematch() {
  const game = store.get();
  const next = game.rematch;
  if (!next) return;
  const mine = loadSeat(roomId);
  if (mine) {
    saveSeat(next, { seat: mine.seat, token: mine.token, n: 0 });
    connection.stop();
    location.assign('/r/' + encodeURIComponent(next));
  }
}

function send(message) {
  if (!connection.send(message)) {
    store.update({ refusal: { key: 'refused_offline' }, pending: null });
    return false;
  }
  return true;
}

function play(move) {
  if (store.get().pending !== null) return false;
  const n = nextCounter(roomId);
  if (n === null) return false;
  store.update({ pending: n, refusal: null, selected: null });
  return send({ type: 'move', move, n });
}

const board = new BoardView(byId('board'), {
  act(slot) {
    const game = store.get();
    const action = cellAction(game, slot);
    if (action.act === 'move') play(action.move);
    else if (action.act === 'select') store.update({ selected: slot });
    else if (action.act === 'cancel') store.update({ selected: null });
    else store.update({ hint: t('hint', { slot, text: t(action.reason) }) });
  },
  cancel() {
    store.update({ selected: null });
  },
  hint(text) {
    if (store.get().hint !== text) store.update({ hint: text });
  },
});

byId('move-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const input = byId('move-input');
  const move = input.value.trim().toUpperCase();
  if (!move) {
    store.update({ refusal: { key: 'refused_empty' } });
    return;
  }
  const reason = blocked(store.get());
  if (reason && reason !== 'r_not_turn') {
    store.update({ refusal: { key: reason } });
    return;
  }
  if (play(move)) input.value = '';
});

const joinName = nameField('join-name', 'join-name-note');

byId('join-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const game = store.get();
  const typed = joinName.take();
  if (typed === null) return;
  const name = typed || t('default_name');
  const side = freeSeat(game);
  try {
    const answer = await joinRoom(roomId, side, name);
    saveName(name);
    saveSeat(roomId, { seat: answer.seat, token: answer.token, n: 0 });
    store.update({ seat: answer.seat, joinError: null });
    connection.restart(answer.token);
  } catch (error) {
    store.update({ joinError: error });
  }
});

byId('copy-link').addEventListener('click', async () => {
  const input = byId('share-link');
  try {
    await navigator.clipboard.writeText(input.value);
    store.update({ copy: { key: 'copied' } });
  } catch {
    input.select();
    const done = document.execCommand && document.execCommand('copy');
    store.update({ copy: { key: done ? 'copied' : 'copy_failed' } });
  }
});

byId('claim-button').addEventListener('click', () => {
  const n = nextCounter(roomId);
  if (n !== null) send({ type: 'claim', n });
});

byId('rematch').addEventListener('click', () => {
  const n = nextCounter(roomId);
  if (n !== null && send({ type: 'rematch', n })) store.update({ rematchAsked: true });
});

function freeSeat(game) {
  if (!game.room) return null;
  return ['A', 'B'].find((side) => game.room.seats[side].kind === 'human' && !game.room.seats[side].taken) || null;
}

// Drawing: every part of the page from the whole state.

// A seat's name in an element of its own (<bdi>), and in plain text between
// Unicode isolates: a right-to-left name never reorders the words around it.
function nameNode(room, side) {
  return el('bdi', { text: seatName(room, side, t) });
}

function nameText(room, side) {
  return isolate(seatName(room, side, t));
}

function drawTurn(game) {
  const turn = byId('turn');
  turn.classList.toggle('mine', false);
  // Out of touch with the room, the turn shown may be stale: none at all.
  show(turn, !game.state || game.online);
  if (!game.state || !game.room) return (turn.textContent = t('t_loading'));
  if (game.state.result) return (turn.textContent = t('t_over'));
  if (game.room.status === 'waiting') return (turn.textContent = t('t_waiting'));
  if (game.thinking) {
    const seconds = Math.max(0, Math.floor((Date.now() - game.thinking.since) / 1000));
    return (turn.textContent = t('t_thinking', { s: seconds }));
  }
  const side = game.state.to_move;
  if (side === game.seat) {
    turn.classList.add('mine');
    turn.textContent = game.selected ? t('t_pick_target', { slot: game.selected }) : t('t_yours');
  } else {
    fill(turn, tn('t_other', { name: nameNode(game.room, side), side }));
  }
}

// The side to move's time for its move, counting down; red in its last
// five seconds.
const LOW_SECONDS = 5;

function drawClock(game) {
  const node = byId('clock');
  const clock = game.clock;
  // Out of touch with the room, the clock may be stale: none at all.
  const visible = Boolean(clock && game.room && game.state && !game.state.result && game.online);
  show(node, visible);
  if (!visible) return;
  const left = clockLeft(clock);
  const s = Math.ceil(left);
  const mine = clock.seat === game.seat;
  const text = mine ? t('clock_yours', { s }) : t('clock_other', { name: seatName(game.room, clock.seat, t), s });
  if (node.textContent !== text) {
    fill(node, mine ? [text] : tn('clock_other', { name: nameNode(game.room, clock.seat), s }));
  }
  node.classList.toggle('low', left <= LOW_SECONDS);
  node.classList.toggle('mine', clock.seat === game.seat);
}

// A player who left long enough ago can be claimed against: the other
// player gets the button, spectators the state.
function drawClaim(game) {
  const section = byId('claim');
  const against = claimAgainst(game);
  let watched = null;
  if (!game.seat && game.room && game.state && !game.state.result) {
    watched = ['A', 'B'].find((side) => game.room.seats[side].claimable) || null;
  }
  show(section, Boolean(against || watched));
  show(byId('claim-button'), Boolean(against));
  byId('claim-button').disabled = !game.online;
  if (against) byId('claim-text').textContent = t('claim_text');
  else if (watched) {
    fill(byId('claim-text'), tn('claim_watch', { name: nameNode(game.room, watched), other: nameNode(game.room, other(watched)) }));
  }
}

// The latest move in words, for screen readers (the board itself changes
// silently).
function drawAnnouncement(game) {
  const last = game.history[game.history.length - 1];
  let text = '';
  if (last && game.room) {
    const who = { name: nameText(game.room, last.player), side: last.player };
    text = last.move ? t('played', { ...who, move: last.move }) : t('passed', who);
  }
  const node = byId('announce');
  if (node.textContent !== text) node.textContent = text;
}

// A room that hides face-down owners sends no counts while the game is on
// (they would give the owners away): only the face-up cards are counted.
function sideCount(state, side, i) {
  const cards = state.cards && state.cards[i];
  if (cards === null || cards === undefined) {
    const up = state.cells.filter((c) => !c.empty && c.face_up && c.owner === side).length;
    return t('face_up', { n: up });
  }
  return `${cards === 1 ? t('card_one') : t('cards', { n: cards })} · ${t('material', { n: state.material[i] })}`;
}

function presenceOf(game, seat) {
  if (!seat.taken) return null;
  if (!game.online) return el('span', { className: 'unknown', text: ' · ' + t('presence_unknown') });
  const present = seat.kind === 'engine' || seat.connected;
  return el('span', { className: present ? 'online' : 'offline', text: ' · ' + t(present ? 'online' : 'offline') });
}

function drawSides(game) {
  if (!game.room || !game.state) return fill(byId('sides'));
  const items = ['A', 'B'].map((side, i) => {
    const seat = game.room.seats[side];
    return el(
      'li',
      { className: `side side-${side}` + (game.state.to_move === side ? ' to-move' : '') },
      el('span', { className: 'badge', 'aria-hidden': 'true', text: side }),
      el(
        'span',
        { className: 'who' },
        el('strong', {}, nameNode(game.room, side)),
        side === game.seat ? ` (${t('you')})` : '',
        presenceOf(game, seat),
      ),
      el('span', { className: 'count', text: sideCount(game.state, side, i) }),
    );
  });
  fill(byId('sides'), items);
}

function drawMoves(game) {
  const list = byId('moves');
  const step = shownStep(game); // the move the review shows, if it does
  const items = game.history.map((turn, i) =>
    el(
      'li',
      { value: i + 1, className: i === step ? 'current' : null, 'aria-current': i === step ? 'step' : null },
      el('span', { className: `mover side-${turn.player}`, text: turn.player }),
      ' ',
      turn.move || t('passes'),
    ),
  );
  const grew = items.length !== list.childElementCount;
  fill(list, items);
  show(byId('moves-none'), items.length === 0);
  if (step !== null && list.children[step]) {
    // The move the review shows stays in sight (the list scrolls, not the page).
    const item = list.children[step];
    const top = item.offsetTop - list.firstElementChild.offsetTop;
    if (top < list.scrollTop) list.scrollTop = top;
    else if (top + item.offsetHeight > list.scrollTop + list.clientHeight) list.scrollTop = top + item.offsetHeight - list.clientHeight;
  } else if (grew) list.scrollTop = list.scrollHeight; // the list scrolls on its own, not the page
}

function drawResult(game) {
  const result = game.state && game.state.result;
  show(byId('result'), Boolean(result));
  if (!result) return;
  let heading;
  if (!result.winner) heading = [t('draw')];
  else if (game.seat) heading = [result.winner === game.seat ? t('you_won') : t('you_lost')];
  else heading = tn('side_won', { name: nameNode(game.room, result.winner), side: result.winner });
  fill(byId('result-heading'), heading);
  const [a, b] = result.material || [];
  const loser = () => ({ name: nameNode(game.room, other(result.winner)), side: other(result.winner) });
  const why = {
    'no cards': () => [t('why_no_cards', { side: other(result.winner) })],
    'no moves': () => [t('why_no_moves', { a, b })],
    'ply limit': () => [t('why_ply_limit', { n: game.room.options.ply_limit, a, b })],
    time: () => tn('why_time', loser()),
    abandoned: () => tn('why_abandoned', loser()),
  }[result.end];
  fill(byId('result-why'), why ? why() : [result.text]);
  const gone = rematchGone(game);
  show(byId('rematch'), Boolean(game.seat) && !game.rematch && !gone);
  byId('rematch').disabled = game.rematchAsked || !game.online;
  const offers = game.offers.filter((side) => side !== game.seat);
  let status = [];
  if (gone) status = [t('rematch_gone')];
  else if (game.rematchAsked) status = [t('rematch_asked')];
  else if (offers.length) status = tn('rematch_offer', { name: nameNode(game.room, offers[0]) });
  fill(byId('rematch-status'), status);
  const link = byId('rematch-link');
  show(link, Boolean(game.rematch) && !game.seat);
  if (game.rematch) link.href = '/r/' + encodeURIComponent(game.rematch);
}

function drawBanner(game) {
  const link = game.link;
  const banner = byId('banner');
  const lost = link && link.wasOpen && !game.online && !game.fatal;
  show(banner, Boolean(lost));
  if (!lost) return;
  if (link.state === 'lost') {
    const left = Math.max(0, Math.ceil((link.since + link.retryIn - Date.now()) / 1000));
    banner.textContent = t('banner_lost', { s: left });
  } else banner.textContent = t('banner_connecting');
}

// A message of the state as nodes: the page's own words translated, the
// engine's refusal as it came (with its English gloss on the English
// page), the server's text as sent.
function say(message) {
  if (!message) return [];
  if (message.key) return [t(message.key, message.params)];
  if (message.engine) {
    const english = gloss(message.engine);
    const own = el('span', { lang: 'pt', text: message.engine });
    return english ? [own, ' ', el('span', { className: 'gloss', text: `(${english})` })] : [own];
  }
  return [message.text];
}

function draw(game) {
  document.title = `tesko · ${t('room', { id: roomId })}`;
  // The words around the id give way on a narrow screen (.room-word).
  const heading = t('room', { id: roomId });
  if (byId('room-id').textContent !== heading) {
    const parts = tn('room', { id: el('span', { className: 'room-code', text: roomId }) });
    fill(byId('room-id'), parts.map((part) => (typeof part === 'string' ? part && el('span', { className: 'room-word', text: part }) : part)));
  }
  show(byId('fatal'), Boolean(game.fatal));
  show(byId('game'), !game.fatal);
  fill(byId('fatal'), say(game.fatal));
  show(byId('notice'), Boolean(game.notice));
  fill(byId('notice'), say(game.notice));
  drawBanner(game);
  const free = freeSeat(game);
  show(byId('join'), !game.seat && Boolean(free) && !game.fatal);
  byId('join-button').textContent = t('join_as', { side: free || '' });
  byId('join-error').textContent = game.joinError ? errorText(game.joinError) : '';
  joinName.redraw();
  const sharing = Boolean(game.seat) && Boolean(free);
  show(byId('share'), sharing);
  byId('share-link').value = `${location.origin}/r/${encodeURIComponent(roomId)}`;
  fill(byId('copy-status'), say(game.copy));
  drawTurn(game);
  drawClock(game);
  drawClaim(game);
  drawAnnouncement(game);
  byId('hint').textContent = game.hint;
  fill(byId('refusal'), say(game.refusal));
  byId('role').textContent = game.room
    ? [
        game.seat ? t('you_play', { side: game.seat }) : t('you_watch'),
        t('spectators', { n: game.room.spectators }),
        game.room.options.move_time ? t('per_move', { s: game.room.options.move_time }) : null,
      ]
        .filter(Boolean)
        .join(' · ')
    : '';
  // The move box is for a seat in a game under way: not while the room
  // waits for its second player, nor once the game is over.
  const moving = Boolean(game.seat) && Boolean(game.room) && game.room.status === 'playing';
  byId('move-form').hidden = !moving;
  for (const node of byId('move-form').querySelectorAll('input, button')) node.disabled = !game.online;
  drawSides(game);
  drawMoves(game);
  drawResult(game);
  drawReview(game);
  drawDownload(game);
  fill(byId('record-error'), game.recordFailed ? [t('record_failed')] : []);
  if (game.state) board.render(reviewBoard(game));
}

// Counting seconds (the engine thinking, the move clock, the next
// reconnection) without a state change: redraw those lines every quarter
// second.
setInterval(() => {
  const game = store.get();
  if (game.thinking) drawTurn(game);
  if (game.clock && game.clock.running) drawClock(game);
  if (game.link && game.link.state === 'lost') drawBanner(game);
}, 250);

bindReview(store);
byId('record-link').addEventListener('click', () => store.update({ recordFailed: false }));
bindDownload(
  byId('record-link'),
  () => store.get(),
  () => {
    const mine = loadSeat(roomId);
    return mine ? mine.token : null;
  },
  () => store.update({ recordFailed: true }),
);
bindLanguageButtons();
onLangChange(() => store.update({ hint: '' })); // redraws everything in the new language
byId('join-name').value = loadName();
store.subscribe(draw);
if (/^[A-Za-z0-9_-]{1,64}$/.test(roomId)) connection.start(held ? held.token : null);
else store.update({ fatal: { key: 'fatal_no_such_room' } });

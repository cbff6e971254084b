// The lobby (/): play the engine or a friend, join a waiting room, watch a
// game. A room created here is entered at once with its seat's token kept
// in localStorage for that room.

import { createRoom, listRooms } from './api.js';
import { byId, el, fill, show } from './dom.js';
import { seatName } from './game.js';
import { bindLanguageButtons, errorText, onLangChange, t, tn } from './i18n.js';
import { nameField } from './name-field.js';
import { LIMITS } from './limits.js';
import { isolate } from './names.js';
import { loadName, saveName, saveSeat } from './seats.js';
import { createStore } from './store.js';

const REFRESH_MS = 5000;
// error: the lobby's answer to the last request that failed, drawn in the
// current language.
const store = createStore({ waiting: [], playing: [], listsFailed: false, error: null, busy: false });
const nameInput = nameField('name', 'name-note');

// The name to play under, or null when it cannot be sent (the field says why).
function playerName() {
  const typed = nameInput.take();
  if (typed === null) return null;
  const name = typed || t('default_name');
  saveName(name);
  return name;
}

async function start(options) {
  if (store.get().busy || options.join.name === null) return;
  store.update({ busy: true, error: null });
  try {
    const answer = await createRoom(options);
    saveSeat(answer.room.id, { seat: answer.seat, token: answer.token, n: 0 });
    location.assign('/r/' + encodeURIComponent(answer.room.id));
  } catch (error) {
    store.update({ busy: false, error });
  }
}

// The form's time per move: null for none.
function moveTime(form) {
  const value = Number(form.elements.move_time.value);
  return form.elements.move_time.value && Number.isFinite(value) ? value : null;
}

function engineLevel(form) {
  const choice = form.elements.level.value;
  const level = Number(choice === 'other' ? byId('level-number').value : choice);
  return Number.isInteger(level) && level >= 1 && level <= LIMITS.max_level ? level : null;
}

// The top level and the times per move are the server's.
byId('level-number').max = String(LIMITS.max_level);
for (const select of document.querySelectorAll('select[name=move_time]')) {
  select.append(...LIMITS.move_times.map((seconds) => el('option', { value: String(seconds), text: `${seconds} s` })));
}

byId('level-number').addEventListener('input', () => {
  byId('level-other').checked = true;
});

byId('engine-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.currentTarget;
  const level = engineLevel(form);
  if (level === null) {
    store.update({ error: { code: 'level' } });
    return;
  }
  start({
    first: form.elements.first.value === 'me' ? 'A' : 'B',
    seats: { A: { kind: 'human' }, B: { kind: 'engine', level } },
    public: form.elements.public.checked,
    hide_face_down_owners: form.elements.hide.checked,
    move_time: moveTime(form),
    join: { seat: 'A', name: playerName() },
  });
});

byId('friend-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.currentTarget;
  start({
    seats: { A: { kind: 'human' }, B: { kind: 'human' } },
    public: form.elements.public.checked,
    hide_face_down_owners: form.elements.hide.checked,
    move_time: moveTime(form),
    join: { seat: 'A', name: playerName() },
  });
});

// The room's time per move, as a short note after its line.
function perMove(room) {
  const seconds = room.options && room.options.move_time;
  return seconds ? ' · ' + t('per_move', { s: seconds }) : '';
}

async function refresh() {
  try {
    const [waiting, playing] = await Promise.all([listRooms('waiting'), listRooms('playing')]);
    store.update({ waiting: waiting.rooms, playing: playing.rooms, listsFailed: false });
  } catch {
    store.update({ listsFailed: true });
  }
}

// A link's accessible name holds the names as plain text, between Unicode
// isolates; the visible words hold each name in a <bdi>.
function roomLink(room, key, names) {
  const params = Object.fromEntries(Object.entries(names).map(([k, side]) => [k, isolate(seatName(room, side, t))]));
  return el('a', {
    className: 'button',
    href: '/r/' + encodeURIComponent(room.id),
    'aria-label': t(key + '_' + (key === 'join' ? 'room' : 'game'), params),
    text: t(key),
  });
}

const nameNode = (room, side) => el('bdi', { text: seatName(room, side, t) });

function drawLists(state) {
  const waiting = state.waiting.map((room) => {
    const host = ['A', 'B'].find((side) => room.seats[side].taken) || 'A';
    return el(
      'li',
      {},
      el('span', { className: 'what' }, tn('waits', { name: nameNode(room, host) }), perMove(room)),
      roomLink(room, 'join', { name: host }),
    );
  });
  const playing = state.playing.map((room) => {
    const plies = room.plies === 1 ? t('ply_one') : t('plies', { n: room.plies });
    return el(
      'li',
      {},
      el('span', { className: 'what' }, tn('versus', { a: nameNode(room, 'A'), b: nameNode(room, 'B') }), el('small', { text: ' · ' + plies + perMove(room) })),
      roomLink(room, 'watch', { a: 'A', b: 'B' }),
    );
  });
  fill(byId('waiting'), waiting);
  fill(byId('playing'), playing);
  show(byId('waiting-none'), waiting.length === 0);
  show(byId('playing-none'), playing.length === 0);
}

function draw(state) {
  drawLists(state);
  const error = state.error;
  byId('lobby-error').textContent = !error ? '' : error.code === 'level' ? t('level_number') : errorText(error);
  nameInput.redraw();
  byId('lists-error').textContent = state.listsFailed ? t('lists_failed') : '';
  for (const button of document.querySelectorAll('form button[type=submit]')) button.disabled = state.busy;
}

bindLanguageButtons();
onLangChange(() => draw(store.get()));
byId('name').value = loadName();
byId('name').addEventListener('input', () => saveName(byId('name').value.trim()));
byId('refresh').addEventListener('click', refresh);
store.subscribe(draw);
refresh();
setInterval(() => {
  if (!document.hidden) refresh();
}, REFRESH_MS);

// The room's game as a text record (GET /api/rooms/{id}/record): a link
// that saves it. A finished game's record is anyone's, and the link is a
// plain download; a game in progress's is its players' alone, so the link
// fetches it with the seat's token and saves what came.

import { byId, el, fill, show } from './dom.js';
import { tn } from './i18n.js';

function recordPath(roomId) {
  return `/api/rooms/${encodeURIComponent(roomId)}/record`;
}

// Who may have the record now: anyone once the game is over; the players
// while it is on, unless the room hides face-down owners (the record
// would show them).
export function recordOffered(game) {
  if (!game.room || !game.state) return false;
  if (game.state.result) return true;
  return Boolean(game.seat) && !game.room.options.hide_face_down_owners;
}

// The file name of a Content-Disposition header, or `fallback`.
export function dispositionName(header, fallback) {
  const found = /filename="([^"]+)"/.exec(header || '');
  return found ? found[1] : fallback;
}

// tokenOf() is the seat's token now (null for a spectator); failed() is
// called when a download could not be made.
export function bindDownload(link, getGame, tokenOf, failed) {
  link.addEventListener('click', async (event) => {
    const game = getGame();
    if (game.state && game.state.result) return; // the link itself
    event.preventDefault();
    const token = tokenOf();
    if (!token) return failed();
    let answer;
    try {
      answer = await fetch(link.href, { headers: { Authorization: `Bearer ${token}` }, cache: 'no-store' });
    } catch {
      return failed();
    }
    if (!answer.ok) return failed();
    const name = dispositionName(answer.headers.get('Content-Disposition'), `tesko-${game.roomId}.txt`);
    const url = URL.createObjectURL(await answer.blob());
    const save = Object.assign(document.createElement('a'), { href: url, download: name, hidden: true });
    document.body.append(save);
    save.click();
    save.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10_000);
  });
}

export function drawDownload(game) {
  const offered = recordOffered(game);
  show(byId('record'), offered);
  if (!offered) return;
  byId('record-link').href = recordPath(game.roomId);
  const command = (text) => el('code', { text });
  fill(byId('record-note'), tn('record_note', { load: command('tesko-play --load'), review: command('tesko-play --review') }));
}

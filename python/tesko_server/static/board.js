// The board: a 3 x 4 grid of cards following the WAI-ARIA grid pattern.
// One cell is in the tab order; arrow keys (and Home/End) move between
// cells, Enter or Space acts on a cell, Escape cancels a Figure picked.
// Every cell's accessible name says what it holds ("B2, your Figure, face
// up"); a cell that does nothing says why on hover and focus.

import { el } from './dom.js';
import { ROWS, COLUMNS, SLOTS, cellAt, cellAction, targetsOf, lastMoveSlots } from './game.js';
import { lang, t } from './i18n.js';

export class BoardView {
  // actions: act(slot) for a click or Enter/Space, cancel() for Escape,
  // hint(text) when a cell is pointed at or focused.
  constructor(table, actions) {
    this.table = table;
    this.actions = actions;
    this.focused = 'A1';
    this.cells = new Map();
    this.animated = 0;
    this.build();
  }

  build() {
    const head = el('tr', { role: 'row' }, el('td', { role: 'presentation', className: 'corner' }));
    for (const column of COLUMNS) head.append(el('th', { role: 'columnheader', scope: 'col', text: column }));
    const rows = ROWS.map((row) => {
      const line = el('tr', { role: 'row' }, el('th', { role: 'rowheader', scope: 'row', text: row }));
      for (const column of COLUMNS) {
        const slot = row + column;
        const cell = el('td', {
          role: 'gridcell',
          tabindex: slot === this.focused ? '0' : '-1',
          'data-slot': slot,
          onclick: () => this.act(slot),
          onfocus: () => this.focus(slot, false),
          onmouseenter: () => this.actions.hint(this.hintFor(slot)),
          onkeydown: (event) => this.key(event, slot),
        });
        this.cells.set(slot, cell);
        line.append(cell);
      }
      return line;
    });
    this.table.replaceChildren(el('thead', {}, head), el('tbody', {}, rows));
  }

  act(slot) {
    this.focus(slot, true);
    this.actions.act(slot);
  }

  focus(slot, move) {
    this.focused = slot;
    for (const [other, cell] of this.cells) cell.tabIndex = other === slot ? 0 : -1;
    const cell = this.cells.get(slot);
    if (move && document.activeElement !== cell) cell.focus();
    this.actions.hint(this.hintFor(slot));
  }

  key(event, slot) {
    let row = ROWS.indexOf(slot[0]);
    let column = COLUMNS.indexOf(slot[1]);
    switch (event.key) {
      case 'ArrowUp': row = Math.max(0, row - 1); break;
      case 'ArrowDown': row = Math.min(ROWS.length - 1, row + 1); break;
      case 'ArrowLeft': column = Math.max(0, column - 1); break;
      case 'ArrowRight': column = Math.min(COLUMNS.length - 1, column + 1); break;
      case 'Home': column = 0; if (event.ctrlKey) row = 0; break;
      case 'End': column = COLUMNS.length - 1; if (event.ctrlKey) row = ROWS.length - 1; break;
      case 'Enter':
      case ' ':
        event.preventDefault();
        this.act(slot);
        return;
      case 'Escape':
        event.preventDefault();
        this.actions.cancel();
        return;
      default:
        return;
    }
    event.preventDefault();
    this.focus(ROWS[row] + COLUMNS[column], true);
  }

  hintFor(slot) {
    if (!this.game) return '';
    const action = cellAction(this.game, slot);
    const text = action.act ? t(action.hint, { from: this.game.selected }) : t(action.reason);
    return t('hint', { slot, text });
  }

  label(game, slot, cell) {
    let text;
    if (cell.empty) text = t('cell_empty', { slot });
    else if (!cell.owner) text = t('cell_back', { slot });
    else {
      let card;
      if (game.seat) card = t((cell.owner === game.seat ? 'mine_' : 'theirs_') + cell.kind);
      else card = t('side_' + cell.kind, { side: cell.owner });
      text = t(cell.face_up ? 'cell_up' : 'cell_down', { slot, card });
    }
    const extra = [];
    if (game.selected === slot) extra.push(t('selected'));
    if (game.selected && targetsOf(game, game.selected).includes(slot)) extra.push(t('target'));
    // A review's marks (the move played, the engine's) stand for the last move's.
    if (game.marks) extra.push(...(game.marks[slot] || []).map((mark) => t('mark_' + mark)));
    else if (lastMoveSlots(game).includes(slot)) extra.push(t('last_move'));
    return [text, ...extra].join(', ');
  }

  face(cell) {
    if (cell.empty) return [];
    const owner = cell.owner ? el('span', { className: 'owner', 'aria-hidden': 'true', text: cell.owner }) : null;
    if (!cell.face_up) return [owner];
    return [
      owner,
      el('span', { className: 'symbol', 'aria-hidden': 'true' }),
      el('span', { className: 'kind', 'aria-hidden': 'true', text: t('kind_' + cell.kind) }),
    ];
  }

  render(game) {
    this.game = game;
    this.table.setAttribute('aria-label', t('board'));
    const targets = game.selected ? targetsOf(game, game.selected) : [];
    const last = lastMoveSlots(game);
    // The cards of the latest move turn over (the class stays until the
    // next move, so that redrawing does not cut the animation short).
    const fresh = game.changedAt !== this.animated;
    this.animated = game.changedAt;
    const turning = new Set(game.changed);
    for (const slot of SLOTS) {
      const node = this.cells.get(slot);
      const cell = cellAt(game, slot);
      if (!cell) continue;
      const action = cellAction(game, slot);
      const classes = ['cell'];
      if (cell.empty) classes.push('empty');
      else {
        classes.push(cell.face_up ? 'up' : 'down');
        classes.push(cell.owner ? 'side-' + cell.owner : 'unmarked');
        if (cell.face_up) classes.push('kind-' + cell.kind);
      }
      if (action.act) classes.push('live');
      if (targets.includes(slot)) classes.push('target');
      if (game.marks) classes.push(...(game.marks[slot] || []));
      else if (last.includes(slot)) classes.push('last');
      if (turning.has(slot)) {
        if (fresh) {
          node.classList.remove('flip');
          void node.offsetWidth; // lets the animation start again
        }
        classes.push('flip');
      }
      node.className = classes.join(' ');
      node.setAttribute('aria-label', this.label(game, slot, cell));
      node.setAttribute('aria-selected', String(game.selected === slot));
      node.setAttribute('aria-disabled', String(!action.act));
      node.title = action.act ? '' : t(action.reason);
      // Redrawn only when the card changes: replacing the nodes under the
      // pointer between mousedown and mouseup would swallow the click.
      const face = `${cell.empty}:${cell.face_up}:${cell.owner}:${cell.kind}:${lang()}`;
      if (node.dataset.face !== face) {
        node.dataset.face = face;
        node.replaceChildren(...this.face(cell).filter(Boolean));
      }
    }
    if (document.activeElement && this.table.contains(document.activeElement)) {
      this.actions.hint(this.hintFor(this.focused));
    }
  }
}

// The review of a finished game as the page steps through it, and who is
// offered the game's record.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { dispositionName, recordOffered } from '../../python/tesko_server/static/download.js';
import { fromSnapshot, initialGame } from '../../python/tesko_server/static/game.js';
import {
  CHART,
  boardAt,
  chartPoints,
  chartX,
  decodeCells,
  lineOf,
  reviewState,
  reviewStep,
  stepAt,
} from '../../python/tesko_server/static/review.js';

const DEALT = 'AFANBNBNBFANBNANBNAFBFAN';
// Three turns: A's good move, B's blunder (a win given up), A's mistake.
const REVIEW = {
  depth: 8,
  moves: [
    { number: 1, player: 'A', played: 'A2', best: 'A2', score: 5, played_score: 5, verdict: 'good', cells: DEALT },
    { number: 2, player: 'B', played: 'B3A1', best: 'B4', score: 10003, played_score: -5, verdict: 'blunder', cells: 'AFan--BNBFANBNANBNAFBFAN' },
    { number: 3, player: 'A', played: 'C1', best: 'C2', score: 25, played_score: 5, verdict: 'mistake', cells: 'afan--BNbfANBNANBNAFBFAN' },
  ],
  final: 'afan--BNbfANBN--BNAFBFAN',
};

test('a position in two letters a slot becomes the twelve cells, A1 to C4', () => {
  const cells = decodeCells('AFan--BNbf' + 'AN'.repeat(7));
  assert.equal(cells.length, 12);
  assert.deepEqual(cells.slice(0, 5), [
    { slot: 'A1', empty: false, face_up: true, owner: 'A', kind: 'F' },
    { slot: 'A2', empty: false, face_up: false, owner: 'A', kind: 'N' },
    { slot: 'A3', empty: true, face_up: false, owner: null, kind: null },
    { slot: 'A4', empty: false, face_up: true, owner: 'B', kind: 'N' },
    { slot: 'B1', empty: false, face_up: false, owner: 'B', kind: 'F' },
  ]);
  assert.equal(cells[11].slot, 'C4');
});

test('each step shows the position before its move, scored from the chosen side', () => {
  // [step asked, side] -> [step shown, move, score]
  const cases = [
    [0, 'A', 0, 'A2', 5],
    [0, 'B', 0, 'A2', -5],
    [1, 'A', 1, 'B3A1', -10003],
    [1, 'B', 1, 'B3A1', 10003],
    [2, 'B', 2, 'C1', -25],
    // The final position, scored by the last move's result: A's 5.
    [3, 'A', 3, null, 5],
    [3, 'B', 3, null, -5],
    [null, 'B', 3, null, -5],
    [-4, 'A', 0, 'A2', 5],
    [99, 'A', 3, null, 5],
  ];
  for (const [asked, side, index, played, score] of cases) {
    const shown = reviewStep(REVIEW, asked, side);
    assert.deepEqual([shown.index, shown.entry ? shown.entry.played : null, shown.score], [index, played, score], `step ${asked} for ${side}`);
    const codes = index < 3 ? REVIEW.moves[index].cells : REVIEW.final;
    assert.deepEqual(shown.cells, decodeCells(codes));
  }
});

test('the move played and the engine’s move are marked, on the same slot when they meet', () => {
  assert.deepEqual(reviewStep(REVIEW, 1, 'A').marks, { B3: ['played'], A1: ['played'], B4: ['best'] });
  assert.deepEqual(reviewStep(REVIEW, 0, 'A').marks, { A2: ['played', 'best'] });
  const pass = { ...REVIEW.moves[0], played: null, best: '' };
  assert.deepEqual(reviewStep({ moves: [pass], final: DEALT }, 0, 'A').marks, {});
  assert.deepEqual(reviewStep(REVIEW, 3, 'A').marks, {});
});

test('the line names the better move the way the verdict calls for', () => {
  const entry = { played: 'C2', best: 'B3', score: 10, played_score: 0, verdict: 'inaccuracy' };
  const cases = [
    [{}, 'line_better', { move: 'C2?!', best: 'B3', n: 10 }],
    [{ verdict: 'mistake', score: 5, played_score: -20 }, 'line_better', { move: 'C2?', best: 'B3', n: 25 }],
    [{ verdict: 'mistake', played_score: -10004 }, 'line_loses', { move: 'C2?', best: 'B3' }],
    [{ verdict: 'blunder', score: 10003, played_score: -5 }, 'line_blunder', { move: 'C2??', best: 'B3' }],
    [{ verdict: 'mistake', best: '' }, 'line_no_best', { move: 'C2?' }],
    [{ verdict: 'good', played_score: 10 }, 'line_good', { move: 'C2' }],
    [{ played: null, best: '' }, 'line_pass', {}],
  ];
  for (const [change, key, params] of cases) {
    assert.deepEqual(lineOf({ ...entry, ...change }), { key, params }, JSON.stringify(change));
  }
});

test('the chart puts higher scores higher, wins and losses on bands of their own', () => {
  const single = (score) => ({ moves: [{ player: 'A', played: 'A1', best: 'A1', score, played_score: score, verdict: 'good', cells: DEALT }], final: DEALT });
  const y = (score, side = 'A') => chartPoints(single(score), side)[0].y;
  const ordered = [-10003, -60, -30, -15, 0, 15, 30, 60, 10003].map((s) => y(s));
  for (let i = 1; i < ordered.length; i += 1) assert.ok(ordered[i] <= ordered[i - 1], `y falls as the score rises (${i})`);
  assert.equal(y(60), y(30)); // clipped
  assert.ok(y(10003) < y(30) && y(-10003) > y(-30));
  assert.equal(y(10003), CHART.top);
  assert.equal(y(-10003), CHART.height - CHART.bottom);
  assert.equal(y(0), (CHART.top + CHART.height - CHART.bottom) / 2);
  // The other side's view mirrors the chart about 0.
  assert.equal(y(15, 'B'), y(-15, 'A'));

  const points = chartPoints(REVIEW, 'B');
  assert.deepEqual(points.map((p) => p.score), [-5, 10003, -25, -5]);
  assert.deepEqual(points.map((p) => p.verdict), ['good', 'blunder', 'mistake', null]);
  assert.equal(points[0].x, CHART.left);
  assert.equal(points[3].x, CHART.width - CHART.right);
  // A click goes to the nearest step, the ends beyond the plot.
  assert.deepEqual([chartX(1, 4) + 5, -100, 1000].map((x) => stepAt(x, 4)), [1, 0, 3]);
});

test('the review is pending from the end until it comes; the board shows its steps, never live', () => {
  const state = { cells: decodeCells(REVIEW.final), to_move: 'A', result: null, legal_moves: ['A1'] };
  const game = { seat: 'B', state, history: [{ player: 'A', move: 'A2' }], selected: 'A1', changed: ['A1'], review: null };
  assert.equal(reviewState(game), null);
  const over = { ...game, state: { ...state, to_move: null, result: { winner: 'A' } } };
  assert.equal(reviewState(over), 'pending');
  assert.equal(reviewState({ ...over, review: REVIEW }), 'ready');

  const shown = boardAt(over, reviewStep(REVIEW, 1, 'B'));
  assert.deepEqual(shown.state.cells, decodeCells(REVIEW.moves[1].cells));
  assert.deepEqual(shown.state.result, { winner: 'A' });
  assert.deepEqual([shown.history, shown.selected, shown.changed], [[], null, []]);
  assert.deepEqual(shown.marks, { B3: ['played'], A1: ['played'], B4: ['best'] });
  assert.deepEqual(over.state.cells, decodeCells(REVIEW.final)); // the game itself is left alone
});

test('a finished game read from a snapshot shows its review, waits for it, or says it failed', () => {
  const state = { cells: decodeCells(REVIEW.final), to_move: null, result: { winner: 'A' }, legal_moves: [] };
  const room = { id: 'q3V9x_kE2bQa', status: 'over', seats: {}, spectators: 0, rematch: null };
  const cases = [
    [REVIEW, 'ready', 'ready'],
    [null, 'pending', 'pending'],
    [null, 'failed', 'failed'],
    [null, undefined, 'pending'], // a server from before the status
  ];
  for (const [review, status, shown] of cases) {
    const message = { type: 'snapshot', version: 9, room, state, history: [], review, review_status: status };
    const game = { ...initialGame(room.id), ...fromSnapshot(initialGame(room.id), message) };
    assert.equal(reviewState(game), shown, status);
  }
});

test('the record is offered to anyone once over, and to the players alone while on', () => {
  const game = (seat, result, hide) => ({
    seat,
    room: { options: { hide_face_down_owners: hide } },
    state: { result },
  });
  const cases = [
    [null, null, false, false],
    ['A', null, false, true],
    ['B', null, true, false],
    [null, { winner: 'A' }, true, true],
    ['A', { winner: null }, false, true],
  ];
  for (const [seat, result, hide, offered] of cases) {
    assert.equal(recordOffered(game(seat, result, hide)), offered, JSON.stringify([seat, result, hide]));
  }
  assert.equal(recordOffered({ seat: 'A', room: null, state: null }), false);
  assert.equal(dispositionName('attachment; filename="tesko-q3V9x_kE2bQa.txt"', 'x'), 'tesko-q3V9x_kE2bQa.txt');
  assert.equal(dispositionName(null, 'tesko.txt'), 'tesko.txt');
});

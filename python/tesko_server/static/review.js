// The engine's review of a finished game as the page shows it: the
// positions to step through, the line said about each move, each
// position's score from one side's point of view, and the points of the
// score chart. No DOM here.
//
// A review (see the protocol) has one entry per turn, with the position
// before it (`cells`), the mover's score there (`score`), the engine's move
// (`best`), the move played and the mover's score after it
// (`played_score`); `final` is the position the game ended in. The page
// steps through moves.length + 1 positions: step i < moves.length is the
// position before turn i + 1, marked with the move played from it and the
// engine's best move; the last step is the final position.

import { SLOTS } from './game.js';

// Scores above this are forced wins, below minus this forced losses (the
// engine's win score is 10000 plus the plies left).
const FORCED_WIN = 8999;
// The chart draws material scores from -LIMIT to +LIMIT (clipped there),
// and forced wins and losses on bands of their own above and below.
export const LIMIT = 30;

const isWin = (score) => score > FORCED_WIN;
const isLoss = (score) => score < -FORCED_WIN;

const MARKS = { good: '', inaccuracy: '?!', mistake: '?', blunder: '??' };

// A position as the review writes it (two characters a slot, A1 to C4:
// owner and kind, lower case face down, "--" empty) as a state's cells.
export function decodeCells(codes) {
  return SLOTS.map((slot, i) => {
    const code = codes.slice(2 * i, 2 * i + 2);
    if (code.length !== 2 || code === '--') return { slot, empty: true, face_up: false, owner: null, kind: null };
    const up = code === code.toUpperCase();
    return { slot, empty: false, face_up: up, owner: code[0].toUpperCase(), kind: code[1].toUpperCase() };
  });
}

// The slots a move names: "B2" one, "B3A1" two, a pass (null) or no move ("") none.
function moveSlots(move) {
  if (!move) return [];
  return move.length === 4 ? [move.slice(0, 2), move.slice(2)] : [move];
}

export function stepCount(review) {
  return review ? review.moves.length + 1 : 0;
}

// A step within the review's range; null (not chosen yet) is the final position.
export function clampStep(review, step) {
  const last = stepCount(review) - 1;
  if (step === null || step === undefined || !Number.isFinite(step)) return last;
  return Math.max(0, Math.min(last, Math.trunc(step)));
}

// `score`, from the point of view of `player` (who was to move), seen by `side`.
function scoreFor(side, player, score) {
  return player === side ? score : -score;
}

// What one step shows: its entry (null for the final position), the
// position, the slots to mark, and the score there from `side`'s view.
export function reviewStep(review, step, side) {
  const index = clampStep(review, step);
  const entry = index < review.moves.length ? review.moves[index] : null;
  if (entry) {
    return {
      index,
      entry,
      cells: decodeCells(entry.cells),
      marks: marksOf(entry),
      score: scoreFor(side, entry.player, entry.score),
    };
  }
  const last = review.moves[review.moves.length - 1];
  return {
    index,
    entry: null,
    cells: decodeCells(review.final),
    marks: {},
    score: last ? scoreFor(side, last.player, last.played_score) : 0,
  };
}

// {slot: ['played', 'best']}: the move played and the engine's move.
function marksOf(entry) {
  const marks = {};
  const add = (move, mark) => {
    for (const slot of moveSlots(move)) (marks[slot] = marks[slot] || []).push(mark);
  };
  add(entry.played, 'played');
  add(entry.best, 'best');
  return marks;
}

// The line said about a move, as an i18n key and its parameters: the move
// with its mark and, when it was not good, what the engine would have
// played ("B3A1?? — B4 was winning").
export function lineOf(entry) {
  if (entry.played === null || entry.played === undefined) return { key: 'line_pass', params: {} };
  const move = entry.played + (MARKS[entry.verdict] || '');
  const best = entry.best;
  if (entry.verdict === 'good' || !(entry.verdict in MARKS)) return { key: 'line_good', params: { move } };
  if (!best) return { key: 'line_no_best', params: { move } };
  if (entry.verdict === 'blunder') return { key: 'line_blunder', params: { move, best } };
  if (isLoss(entry.played_score)) return { key: 'line_loses', params: { move, best } };
  const fall = Math.max(0, entry.score - entry.played_score);
  return { key: 'line_better', params: { move, best, n: fall } };
}

// A score in words: {key} for a forced win or loss, else {text} ("+10", "-5", "0").
export function scoreWords(score) {
  if (isWin(score)) return { key: 'score_win' };
  if (isLoss(score)) return { key: 'score_loss' };
  return { text: score > 0 ? `+${score}` : String(score) };
}

// The chart's frame: a width and height in the SVG's own units, and the
// plot area inside them (left room for the labels).
export const CHART = { width: 360, height: 160, left: 58, right: 10, top: 12, bottom: 12 };
// Forced wins and losses sit on bands this far beyond LIMIT.
const BAND = LIMIT + 12;

// The chart's y for a score (from the chart's side's view).
export function chartY(score, box = CHART) {
  let value;
  if (isWin(score)) value = BAND;
  else if (isLoss(score)) value = -BAND;
  else value = Math.max(-LIMIT, Math.min(LIMIT, score));
  const inner = box.height - box.top - box.bottom;
  return box.top + ((BAND - value) / (2 * BAND)) * inner;
}

// The chart's x for step `i` of `count`.
export function chartX(i, count, box = CHART) {
  const inner = box.width - box.left - box.right;
  return box.left + (count > 1 ? (i / (count - 1)) * inner : inner / 2);
}

// One point a step, from `side`'s view: {step, x, y, score, verdict} (the
// verdict of the move played from that position; null at the end).
export function chartPoints(review, side, box = CHART) {
  const count = stepCount(review);
  const points = [];
  for (let i = 0; i < count; i += 1) {
    const { score, entry } = reviewStep(review, i, side);
    points.push({
      step: i,
      x: chartX(i, count, box),
      y: chartY(score, box),
      score,
      verdict: entry ? entry.verdict : null,
    });
  }
  return points;
}

// The step nearest to an x of the chart (a click on it).
export function stepAt(x, count, box = CHART) {
  if (count <= 1) return 0;
  const inner = box.width - box.left - box.right;
  const i = Math.round(((x - box.left) / inner) * (count - 1));
  return Math.max(0, Math.min(count - 1, i));
}

// The game as the board draws it at a step of the review: that position,
// its marks, and nothing live (no selection, no turning cards).
export function boardAt(game, shown) {
  return {
    ...game,
    state: { ...game.state, cells: shown.cells },
    history: [],
    selected: null,
    changed: [],
    marks: shown.marks,
  };
}

// Where the review stands for a game: null (no finished game), 'pending'
// (over, the review is being made), 'ready', or 'failed' (the server said
// none will come).
export function reviewState(game) {
  if (!game.state || !game.state.result) return null;
  if (game.review && Array.isArray(game.review.moves)) return 'ready';
  return game.reviewFailed ? 'failed' : 'pending';
}

// The side whose view the scores take: the player's own, A for a spectator.
export function viewSide(game) {
  return game.seat === 'B' ? 'B' : 'A';
}

// The review of a finished game on the game page: the buttons and the ← →
// keys that step through it, what is said about the position shown, and
// the score chart (an inline SVG drawn here). The board itself is drawn by
// BoardView from `reviewBoard(game)`.

import { byId, el, fill, show } from './dom.js';
import { other, seatName } from './game.js';
import { t, tn } from './i18n.js';
import {
  CHART,
  LIMIT,
  boardAt,
  chartPoints,
  chartY,
  clampStep,
  lineOf,
  reviewState,
  reviewStep,
  scoreWords,
  stepAt,
  stepCount,
  viewSide,
} from './review.js';

const SVG = 'http://www.w3.org/2000/svg';

function svg(tag, attrs = {}, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (key === 'text') node.textContent = value;
    else node.setAttribute(key, String(value));
  }
  node.append(...children);
  return node;
}

// The game the board draws: the review's position at the step shown once
// the review is there, else the game itself.
export function reviewBoard(game) {
  if (reviewState(game) !== 'ready') return game;
  return boardAt(game, reviewStep(game.review, game.reviewStep, viewSide(game)));
}

// The step shown (the final position until one is chosen).
export function shownStep(game) {
  return reviewState(game) === 'ready' ? clampStep(game.review, game.reviewStep) : null;
}

// Where the review stands on the page: beside the board on a wide screen
// (in the side panel, under the sides), under the game's result on a
// narrow one, so that the buttons and the board are in sight together.
function placeReview() {
  const section = byId('review');
  const wide = window.matchMedia('(min-width: 52rem)').matches;
  const after = wide ? byId('sides') : byId('result');
  if (after.nextElementSibling !== section) after.after(section);
}

// Buttons, keys and the chart move the review through `store`.
export function bindReview(store) {
  placeReview();
  window.matchMedia('(min-width: 52rem)').addEventListener('change', placeReview);
  const go = (to) => {
    const game = store.get();
    if (reviewState(game) !== 'ready') return false;
    const now = clampStep(game.review, game.reviewStep);
    const next = clampStep(game.review, to(now, stepCount(game.review)));
    if (next !== now) store.update({ reviewStep: next });
    return true;
  };
  byId('review-prev').addEventListener('click', () => go((i) => i - 1));
  byId('review-next').addEventListener('click', () => go((i) => i + 1));
  byId('review-chart').addEventListener('click', (event) => {
    const chart = event.currentTarget.querySelector('svg');
    if (!chart) return;
    const box = chart.getBoundingClientRect();
    const x = ((event.clientX - box.left) / box.width) * CHART.width;
    go((i, count) => stepAt(x, count));
  });
  // ← and → anywhere on the page but where they already mean something:
  // the board's cells (which take them first and mark them handled) and
  // the fields that edit text.
  document.addEventListener('keydown', (event) => {
    if (event.defaultPrevented || event.altKey || event.ctrlKey || event.metaKey || event.shiftKey) return;
    const target = event.target;
    if (target instanceof Element && target.closest('input, textarea, select, [contenteditable], [role="grid"]')) return;
    const moves = { ArrowLeft: (i) => i - 1, ArrowRight: (i) => i + 1 };
    if (!(event.key in moves)) return;
    if (go(moves[event.key])) event.preventDefault();
  });
}

function drawChart(review, side, step) {
  const points = chartPoints(review, side);
  const { width, height, left, right } = CHART;
  const line = (y, className) => svg('line', { x1: left, x2: width - right, y1: y, y2: y, class: className });
  const label = (y, text) => svg('text', { x: left - 6, y, class: 'chart-label', 'text-anchor': 'end', 'dominant-baseline': 'middle', text });
  const current = points[step];
  return svg(
    'svg',
    { viewBox: `0 0 ${width} ${height}`, role: 'img', 'aria-labelledby': 'review-chart-label', class: 'chart', focusable: 'false' },
    line(chartY(1e4), 'chart-band'),
    line(chartY(-1e4), 'chart-band'),
    line(chartY(0), 'chart-zero'),
    label(chartY(1e4), t('chart_win')),
    label(chartY(LIMIT), `+${LIMIT}`),
    label(chartY(0), '0'),
    label(chartY(-LIMIT), `−${LIMIT}`),
    label(chartY(-1e4), t('chart_loss')),
    svg('line', { x1: current.x, x2: current.x, y1: CHART.top, y2: height - CHART.bottom, class: 'chart-now' }),
    svg('polyline', { points: points.map((p) => `${p.x.toFixed(1)},${p.y.toFixed(1)}`).join(' '), class: 'chart-line' }),
    ...points.map((p) =>
      svg('circle', {
        cx: p.x.toFixed(1),
        cy: p.y.toFixed(1),
        r: p.step === step ? 5 : p.verdict === 'mistake' || p.verdict === 'blunder' ? 4 : 3,
        class: `chart-point verdict-${p.verdict || 'end'}` + (p.step === step ? ' now' : ''),
        'data-step': p.step,
        'data-score': p.score,
      }),
    ),
  );
}

export function drawReview(game) {
  const state = reviewState(game);
  show(byId('review'), Boolean(state));
  show(byId('review-pending'), state === 'pending');
  show(byId('review-failed'), state === 'failed');
  show(byId('review-body'), state === 'ready');
  if (state !== 'ready') return;
  const review = game.review;
  const side = viewSide(game);
  const total = review.moves.length;
  const shown = reviewStep(review, game.reviewStep, side);
  const { index, entry } = shown;
  const prev = byId('review-prev');
  const next = byId('review-next');
  // aria-disabled, not disabled: a button that keeps focus at either end.
  prev.setAttribute('aria-disabled', String(index === 0));
  next.setAttribute('aria-disabled', String(index === total));

  let step;
  if (entry) {
    const who = el('bdi', { text: seatName(game.room, entry.player, t) });
    step = tn('review_step', { n: index + 1, total, name: who, side: entry.player });
    if (entry.played) step.push(' · ', t('verdict_' + entry.verdict));
  } else step = [t('review_final_step', { total })];
  fill(byId('review-step'), step);

  const lineNode = byId('review-line');
  if (entry) {
    const { key, params } = lineOf(entry);
    lineNode.textContent = t(key, params);
    lineNode.className = `review-line verdict-${entry.played ? entry.verdict : 'good'}`;
  } else {
    lineNode.textContent = total ? t('review_final') : t('review_empty');
    lineNode.className = 'review-line';
  }
  const words = scoreWords(shown.score);
  byId('review-score').textContent = t('review_score', { side, score: words.key ? t(words.key) : words.text });
  byId('review-chart-label').textContent = t('review_chart', { side, other: other(side) });
  fill(byId('review-chart'), drawChart(review, side, index));
}

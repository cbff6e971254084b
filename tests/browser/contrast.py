"""WCAG contrast, measured in the browser from the computed styles.

`CONTRAST_JS` is a function of one argument, run with `page.evaluate`:

- "text": every visible piece of text on the page against the background
  behind it: 4.5:1, or 3:1 for large text (24 px, or 18.66 px bold);
  controls that are disabled are exempt, as WCAG has it.
- "cells": a row of cells in every state (each side's card face up and face
  down, a face-down card without its owner, an empty slot, picked, target,
  last move) built with the page's own classes and stylesheet. Text on them
  4.5:1; card edges, stripes and state marks 3:1 against the page; and the
  two sides' colours and the states' colours apart from each other (CIE76
  colour difference of 20 or more, where 2.3 is just noticeable).

Both return a list of failures in words; [] when all is well.
"""

CONTRAST_JS = r"""(mode) => {
  const colours = (text) =>
    [...String(text).matchAll(/rgba?\(([^)]+)\)/g)].map((m) => m[1].split(/[\s,\/]+/).filter(Boolean).map(Number));
  const solid = (c) => c && (c.length < 4 || c[3] >= 0.5);
  const linear = (v) => ((v /= 255) <= 0.04045 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4);
  const luminance = ([r, g, b]) => 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b);
  const ratio = (x, y) => {
    const [hi, lo] = [luminance(x), luminance(y)].sort((p, q) => q - p);
    return (hi + 0.05) / (lo + 0.05);
  };
  const lab = ([r, g, b]) => {
    const [x, y, z] = [
      (0.4124 * linear(r) + 0.3576 * linear(g) + 0.1805 * linear(b)) / 0.95047,
      0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b),
      (0.0193 * linear(r) + 0.1192 * linear(g) + 0.9505 * linear(b)) / 1.08883,
    ].map((t) => (t > 216 / 24389 ? Math.cbrt(t) : (24389 / 27 * t + 16) / 116));
    return [116 * y - 16, 500 * (x - y), 200 * (y - z)];
  };
  const apart = (p, q) => Math.hypot(...lab(p).map((v, i) => v - lab(q)[i]));
  const style = (node, pseudo) => getComputedStyle(node, pseudo);
  const behind = (node) => {
    for (let n = node; n; n = n.parentElement) {
      const c = colours(style(n).backgroundColor)[0];
      if (solid(c)) return c;
    }
    return [255, 255, 255];
  };
  const shown = (c) => `rgb(${c.slice(0, 3).join(',')})`;
  const failures = [];
  const need = (what, fg, bg, minimum) => {
    const r = ratio(fg, bg);
    if (!(r >= minimum)) failures.push(`${what}: ${shown(fg)} on ${shown(bg)} is ${r.toFixed(2)}:1, under ${minimum}:1`);
  };
  const distinct = (what, p, q) => {
    const d = apart(p, q);
    if (!(d >= 20)) failures.push(`${what}: ${shown(p)} and ${shown(q)} differ by ${d.toFixed(1)} only`);
  };

  if (mode === 'text') {
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    const seen = new Set();
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      const box = node.parentElement;
      if (!node.data.trim() || seen.has(box)) continue;
      seen.add(box);
      const rect = box.getBoundingClientRect();
      if (rect.width <= 1 || rect.height <= 1 || style(box).visibility === 'hidden') continue;
      if (box.closest('[hidden], :disabled, .visually-hidden')) continue;
      const s = style(box);
      const size = parseFloat(s.fontSize);
      const large = size >= 24 || (size >= 18.66 && Number(s.fontWeight) >= 700);
      const label = `"${node.data.trim().slice(0, 30)}" (${box.localName}${box.id ? '#' + box.id : ''}${box.className ? '.' + box.className : ''})`;
      need(label, colours(s.color)[0], behind(box), large ? 3 : 4.5);
    }
    return failures;
  }

  // mode === 'cells'
  const paper = behind(document.body);
  const table = document.createElement('table');
  table.className = 'board';
  const row = table.insertRow();
  const make = (classes, parts = {}) => {
    const cell = row.insertCell();
    cell.className = 'cell ' + classes;
    if (parts.selected) cell.setAttribute('aria-selected', 'true');
    if (parts.owner) cell.append(Object.assign(document.createElement('span'), { className: 'owner', textContent: parts.owner }));
    if (parts.kind) {
      cell.append(Object.assign(document.createElement('span'), { className: 'symbol' }));
      cell.append(Object.assign(document.createElement('span'), { className: 'kind', textContent: parts.kind }));
    }
    return cell;
  };
  const cells = {};
  for (const side of ['A', 'B']) {
    cells['up' + side] = make(`up side-${side} kind-N`, { owner: side, kind: 'Normal' });
    cells['down' + side] = make(`down side-${side}`, { owner: side });
  }
  cells.hidden = make('down unmarked');
  cells.empty = make('empty');
  cells.last = make('up side-A kind-F last', { owner: 'A', kind: 'Figura' });
  cells.target = make('up side-B kind-N target', { owner: 'B', kind: 'Normal' });
  cells.picked = make('up side-A kind-F', { owner: 'A', kind: 'Figura', selected: true });
  document.querySelector('main').append(table);

  const colourOf = (name, property, pseudo) => colours(style(cells[name], pseudo)[property])[0];
  const part = (name, selector, property) => colours(style(cells[name].querySelector(selector))[property])[0];
  const stripes = (name) => colours(style(cells[name]).backgroundImage);
  for (const side of ['A', 'B']) {
    const face = colourOf('up' + side, 'backgroundColor');
    need(`side ${side}'s letter on its card`, part('up' + side, '.owner', 'color'), face, 4.5);
    need(`side ${side}'s card word`, part('up' + side, '.kind', 'color'), face, 4.5);
    need(`side ${side}'s mark on its card`, part('up' + side, '.symbol', 'backgroundColor'), face, 3);
    need(`side ${side}'s card edge on the page`, colourOf('up' + side, 'borderTopColor'), paper, 3);
    const disc = part('down' + side, '.owner', 'backgroundColor');
    need(`side ${side}'s letter on a face-down card`, part('down' + side, '.owner', 'color'), disc, 4.5);
    for (const stripe of stripes('down' + side)) need(`side ${side}'s face-down stripes on the page`, stripe, paper, 3);
    for (const stripe of stripes('down' + side)) need(`the disc on side ${side}'s face-down card`, disc, stripe, 3);
  }
  for (const stripe of stripes('hidden')) need('a face-down card without owner, on the page', stripe, paper, 3);
  need('an empty slot\'s edge', colourOf('empty', 'borderTopColor'), paper, 3);
  const last = colours(style(cells.last).boxShadow)[0];
  const picked = colours(style(cells.picked).boxShadow)[0];
  const target = colourOf('target', 'outlineColor');
  need('the last move\'s ring on the page', last, paper, 3);
  need('the last move\'s dot on the card', colourOf('last', 'backgroundColor', '::after'), colourOf('last', 'backgroundColor'), 3);
  need('a picked card\'s ring on the page', picked, paper, 3);
  need('a target\'s outline on the page', target, paper, 3);
  if (style(cells.target).outlineStyle !== 'dashed' || style(cells.picked).outlineStyle === 'dashed') {
    failures.push('a target and a picked card are told apart by their outline: dashed for a target only');
  }
  const a = colourOf('upA', 'borderTopColor');
  const b = colourOf('upB', 'borderTopColor');
  distinct('the two sides\' colours', a, b);
  distinct('the two sides\' card faces', colourOf('upA', 'backgroundColor'), colourOf('upB', 'backgroundColor'));
  distinct('the two sides\' face-down cards', stripes('downA')[0], stripes('downB')[0]);
  distinct('face-down A and a face-down card without owner', stripes('downA')[0], stripes('hidden')[0]);
  distinct('face-down B and a face-down card without owner', stripes('downB')[0], stripes('hidden')[0]);
  distinct('the last move and a target', last, target);
  for (const [name, colour] of [['the last move', last], ['a target', target]]) {
    distinct(`${name} and side A`, colour, a);
    distinct(`${name} and side B`, colour, b);
  }
  table.remove();
  return failures;
}"""

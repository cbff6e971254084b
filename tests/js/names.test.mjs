// The page's rules for names, as the server applies them.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { cutName, isolate, nameProblem } from '../../python/tesko_server/static/names.js';

const ZWJ = '\u200d';
const ZWNJ = '\u200c';
const CODER = `👩${ZWJ}💻`; // three code points, five UTF-16 units
const LIMIT = 24; // the server's today; the page is told it

test('names people write are accepted', () => {
  for (const name of [`Ana ${CODER}`, `می${ZWNJ}خواهم`, 'שרה', 'x'.repeat(LIMIT), '😀'.repeat(LIMIT)]) {
    assert.equal(nameProblem(name, LIMIT), null, name);
  }
});

test('names the server refuses are caught, with the reason', () => {
  const cases = [
    ['a\u0000b', 'name_chars'],
    ['a\tb', 'name_chars'],
    ['a\u2028b', 'name_chars'],
    ...[0x202a, 0x202b, 0x202c, 0x202d, 0x202e, 0x2066, 0x2067, 0x2068, 0x2069].map((c) => [`Ana${String.fromCodePoint(c)}x`, 'name_chars']),
    [ZWJ, 'name_empty'],
    ['x'.repeat(LIMIT + 1), 'name_long'],
  ];
  for (const [name, problem] of cases) assert.equal(nameProblem(name, LIMIT), problem, JSON.stringify(name));
});

test('a long name is cut at the limit in code points, never inside a character', () => {
  // 24 emoji are 48 UTF-16 units: not cut.
  assert.deepEqual(cutName('😀'.repeat(24), LIMIT), { name: '😀'.repeat(24), cut: false });
  assert.deepEqual(cutName('x'.repeat(30), LIMIT), { name: 'x'.repeat(24), cut: true });
  // 22 letters and a joined emoji of three points: the emoji goes whole.
  const { name, cut } = cutName('x'.repeat(22) + CODER, LIMIT);
  assert.equal(cut, true);
  assert.equal(name, 'x'.repeat(22));
  assert.equal(cutName('y'.repeat(21) + CODER + 'z', LIMIT).name, 'y'.repeat(21) + CODER);
});

test('the limit is the one the server gives', () => {
  assert.deepEqual(cutName('Anabela', 5), { name: 'Anabe', cut: true });
  assert.equal(nameProblem('Anabela', 5), 'name_long');
  assert.equal(nameProblem('x'.repeat(30), 40), null);
  assert.deepEqual(cutName('x'.repeat(30), 40), { name: 'x'.repeat(30), cut: false });
});

test('a name in plain text sits between the Unicode isolates', () => {
  assert.equal(isolate('שרה'), '\u2068שרה\u2069');
});

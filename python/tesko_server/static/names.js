// People's names as the server takes them: 1 to `limit` characters (code
// points, not UTF-16 units; the server says how many) after trimming, format characters kept (the
// zero-width joiner of an emoji sequence, the zero-width non-joiner of
// Persian), no control characters, line separators or bidirectional
// overrides and isolates. No DOM here.

const REFUSED = /[\p{Cc}\p{Cs}\p{Zl}\p{Zp}\u202A-\u202E\u2066-\u2069]/u;
const INVISIBLE = /^[\s\p{Cf}]*$/u;

// The name cut to `limit` characters, at the end of a whole character as
// people see it (an emoji sequence is kept whole or left out): {name, cut}.
export function cutName(text, limit) {
  const points = [...text];
  if (points.length <= limit) return { name: text, cut: false };
  let name = '';
  let count = 0;
  for (const { segment } of new Intl.Segmenter(undefined, { granularity: 'grapheme' }).segment(text)) {
    const size = [...segment].length;
    if (count + size > limit) break;
    name += segment;
    count += size;
  }
  return { name, cut: true };
}

// Why the server would refuse a name (a key of the page's words), or null.
export function nameProblem(name, limit) {
  const trimmed = name.trim();
  if (INVISIBLE.test(trimmed)) return 'name_empty';
  if ([...trimmed].length > limit) return 'name_long';
  if (REFUSED.test(trimmed)) return 'name_chars';
  return null;
}

// A name inside plain text (an attribute, a live region's words) between
// the Unicode isolates, so that a right-to-left name cannot reorder the
// words around it; elements use <bdi> instead.
export function isolate(name) {
  return '\u2068' + name + '\u2069';
}

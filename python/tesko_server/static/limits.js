// The server's limits, as it writes them into each page it serves (a JSON
// block in the head, `#limits`): the protocol it speaks, the longest name,
// the top engine level and the times per move a room may have. Read once,
// when the page loads, so a page left open across a server upgrade keeps
// the protocol it was written for (and is told to reload). Outside a page
// (the node tests of the modules that import this one) there are none.

function read() {
  if (typeof document === 'undefined') return {};
  try {
    return JSON.parse(document.getElementById('limits').textContent);
  } catch {
    throw new Error('this page has no limits: open it from tesko-server (/ or /r/<room>)');
  }
}

export const LIMITS = read();

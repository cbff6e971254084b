// The page's state, kept in one place. Views never hold state of their
// own: they are drawn again from the whole state after every change.

export function createStore(initial) {
  let state = initial;
  const listeners = new Set();
  return {
    get: () => state,
    update(change) {
      const patch = typeof change === 'function' ? change(state) : change;
      if (!patch) return;
      state = { ...state, ...patch };
      for (const listener of listeners) listener(state);
    },
    subscribe(listener) {
      listeners.add(listener);
      listener(state);
      return () => listeners.delete(listener);
    },
  };
}

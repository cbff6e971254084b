// One room's WebSocket: the hello handshake, reconnection with growing
// pauses, and catching up through versions. A reconnect sends the last
// version seen, so the server replays exactly the events missed; an event
// that skips a version means something was lost, and the connection starts
// over from the last good one.

import { LIMITS } from './limits.js';

const PAUSES = [500, 1000, 2000, 4000, 8000, 15000]; // milliseconds, then the last one again
const FATAL = new Set(['bad_token', 'no_such_room', 'bad_protocol']);
const MOVED = 1012; // another server took the room: come back at once, through the router

export class RoomConnection {
  // handlers: welcome(msg), snapshot(msg), event(msg), message(msg) for the
  // others (ack, refused, presence, thinking, notice), status({state,
  // retryIn}) with state 'connecting' | 'open' | 'lost', fatal(code, message).
  constructor(room, handlers) {
    this.room = room;
    this.handlers = handlers;
    this.token = null;
    this.version = null;
    this.socket = null;
    this.failures = 0;
    this.timer = null;
    this.stopped = false;
  }

  start(token) {
    this.token = token || null;
    this.stopped = false;
    this.open();
  }

  // Connects again with another token (a seat just taken), starting afresh.
  restart(token) {
    this.token = token || null;
    this.version = null;
    this.drop();
    this.failures = 0;
    this.open();
  }

  stop() {
    this.stopped = true;
    this.drop();
  }

  send(message) {
    if (!this.socket || this.socket.readyState !== WebSocket.OPEN || !this.welcomed) return false;
    this.socket.send(JSON.stringify(message));
    return true;
  }

  drop() {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.socket) {
      const socket = this.socket;
      this.socket = null;
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      try {
        socket.close(1000);
      } catch {
        /* already closing */
      }
    }
  }

  open() {
    this.drop();
    this.welcomed = false;
    this.fatalCode = null;
    this.handlers.status({ state: 'connecting', retryIn: 0 });
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(`${scheme}//${location.host}/ws/${encodeURIComponent(this.room)}`);
    this.socket = socket;
    socket.onopen = () => {
      const hello = { type: 'hello', protocol: LIMITS.protocol, token: this.token };
      if (this.version !== null) hello.version = this.version;
      socket.send(JSON.stringify(hello));
    };
    socket.onmessage = (frame) => {
      let message;
      try {
        message = JSON.parse(frame.data);
      } catch {
        return;
      }
      if (message && typeof message === 'object') this.receive(message);
    };
    socket.onclose = (event) => this.lost(event.code);
    socket.onerror = () => {}; // onclose follows
  }

  receive(message) {
    switch (message.type) {
      case 'welcome':
        this.welcomed = true;
        this.failures = 0;
        this.handlers.status({ state: 'open', retryIn: 0 });
        this.handlers.welcome(message);
        break;
      case 'snapshot':
        this.version = message.version;
        this.handlers.snapshot(message);
        break;
      case 'event':
        if (this.version !== null && message.version !== this.version + 1) {
          if (message.version <= this.version) return; // seen already
          this.open(); // a gap: catch up from the last version seen
          return;
        }
        this.version = message.version;
        this.handlers.event(message);
        break;
      case 'error':
        if (FATAL.has(message.code)) this.fatalCode = message;
        this.handlers.message(message);
        break;
      default:
        this.handlers.message(message);
    }
  }

  lost(code) {
    const served = this.welcomed;
    this.socket = null;
    this.welcomed = false;
    if (this.stopped) return;
    if (this.fatalCode) {
      this.handlers.fatal(this.fatalCode.code, this.fatalCode.message || '');
      return;
    }
    if (code === MOVED && served) {
      this.handlers.status({ state: 'lost', retryIn: 0 });
      this.timer = setTimeout(() => this.open(), 0);
      return;
    }
    const base = PAUSES[Math.min(this.failures, PAUSES.length - 1)];
    this.failures += 1;
    const pause = Math.round(base * (0.8 + Math.random() * 0.4));
    this.handlers.status({ state: 'lost', retryIn: pause });
    this.timer = setTimeout(() => this.open(), pause);
  }
}

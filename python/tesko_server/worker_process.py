"""An engine worker process: it owns the boards of the rooms pinned to it.

The server's event loop never imports `tesko` (a search holds the
interpreter lock for its whole length); it sends requests down a pipe to a
worker process, which answers on the same pipe. A request is a tuple
`(request_id, operation, room_id, *arguments)`; the worker answers a batch
of requests with a list of `(request_id, ok, payload)` (none for `drop`).

An engine seat's search runs on a search thread through
`tesko_tools._analysis`, which releases the interpreter lock while it
searches, so the main thread goes on answering the other rooms' moves; the
position is given to it from the referee's model of the room's game, and
the main thread plays the move it finds on the room's board once it is
done. Search threads run at a lower scheduling priority than the main
thread, so people's moves go first when the cores are busy. Without that
module the search runs on the main thread as the referee's `play_bot`, its
think time enforced by the referee's timer (a signal), and holds up the
worker's other rooms meanwhile.

The review of a finished game (`review`) runs on a thread of its own, whose
searches let go of the interpreter lock too, at the search threads'
priority; its answer is sent when it is done.
"""

from __future__ import annotations

import collections
import os
import queue
import signal
import threading
import time
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from multiprocessing.connection import Connection, wait
from typing import Any

Answers = list[tuple[Any, bool, Any]]

# Searches running at once in one worker; more wait for a thread. The
# server's caps on think time in flight keep this from being reached often.
SEARCH_THREADS = 8
SEARCH_NICENESS = 10


def main(conn: Connection, engine_class: type[Engine] | None = None) -> None:
    """Answer `conn`'s requests until it closes, with an `Engine` (or
    `engine_class`, one extended with operations of its own)."""
    # The server stops its workers by closing their pipes, after its last
    # move is through; a signal sent to the whole process group is its alone.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    lock = threading.Lock()

    def send(out: Answers) -> None:
        with lock:  # the review thread sends too
            conn.send(out)

    engine = (engine_class or Engine)(send)
    try:
        while True:
            searches = engine.searches
            ready = wait([conn, searches.wake]) if searches is not None else [conn]
            out: Answers = []
            if searches is not None and searches.wake in ready:
                out += engine.finished()
            if conn in ready:
                for request in conn.recv():
                    if request[1] == "bot" and searches is None and out:
                        send(out)  # answer the quick ones before a search
                        out = []
                    answer = engine.handle(request)
                    if answer is not None:
                        out.append(answer)
            if out:
                send(out)
    except (EOFError, OSError):
        # The server is gone, or stops: nothing here is its to keep. Searches
        # still running would hold up a normal exit (the interpreter waits
        # for their threads), so the process ends at once.
        os._exit(0)


def lower_priority() -> None:
    try:
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), SEARCH_NICENESS)
    except (AttributeError, OSError):  # not Linux: threads share the process's priority
        pass


class Searches:
    """Searches on threads of their own; `wake` becomes readable when one is
    done, and `take` gives what they found."""

    def __init__(self, analysis: Any) -> None:
        self.analysis = analysis
        self.pool = ThreadPoolExecutor(
            SEARCH_THREADS, thread_name_prefix="search", initializer=lower_priority
        )
        self.wake, self._poke = os.pipe()
        os.set_blocking(self.wake, False)
        os.set_blocking(self._poke, False)
        self.done: collections.deque[tuple[Any, ...]] = collections.deque()

    def start(
        self, key: tuple[Any, ...], cells: list, side: int, depth: int, seconds: float | None
    ) -> None:
        if seconds is None:
            future = self.pool.submit(self.analysis.search, cells, side, depth)
        else:
            future = self.pool.submit(self.analysis.think, cells, side, depth, seconds)
        future.add_done_callback(lambda f: self._finished(key, f))

    def _finished(self, key: tuple[Any, ...], future: Future) -> None:
        self.done.append((key, future))  # on the search thread
        try:
            os.write(self._poke, b"!")
        except BlockingIOError:  # the pipe is full of wake-ups already
            pass

    def take(self) -> list[tuple[tuple[Any, ...], Future]]:
        try:
            while os.read(self.wake, 4096):
                pass
        except BlockingIOError:
            pass
        out = []
        while self.done:
            out.append(self.done.popleft())
        return out


class Engine:
    def __init__(self, send: Callable[[Answers], None] = lambda out: None) -> None:
        from tesko import Player
        from tesko_tools import game as referee

        from .protocol import SLOTS

        self.Player = Player
        self.referee = referee
        self.slots = SLOTS
        self.games: dict[str, Any] = {}
        self.send = send
        self.reviews: queue.SimpleQueue[tuple] | None = None
        try:
            from tesko_tools import _analysis
        except ImportError:  # an older build: searches on the main thread
            self.searches: Searches | None = None
        else:
            self.searches = Searches(_analysis)

    def handle(self, request: tuple) -> tuple[Any, bool, Any] | None:
        rid, op, room = request[0], request[1], request[2]
        try:
            if op == "new":
                return rid, True, self.new(room, *request[3:])
            if op == "play":
                return rid, *self.play(room, *request[3:])
            if op == "bot":
                if self.searches is not None:
                    return self.start_bot(rid, room, *request[3:])
                return rid, True, self.bot(room, *request[3:])
            if op == "forfeit":
                return rid, *self.forfeit(room, *request[3:])
            if op == "load":
                return rid, True, self.load(request[3])
            if op == "review":
                self._queue_review(rid, *request[3:])
                return None
            if op == "drop":
                self.games.pop(room, None)
                return None
            return rid, False, ("bad_request", f"unknown operation {op!r}")
        except Exception as err:  # noqa: BLE001 - reported to the server, which logs it
            return rid, False, ("error", f"{type(err).__name__}: {err}")

    def _player(self, name: str) -> Any:
        return self.Player.A if name == "A" else self.Player.B

    def new(self, room: str, first: str, ply_limit: int) -> dict:
        game = self.referee.Game(first=self._player(first), ply_limit=ply_limit, room_id=room)
        self.games[room] = game
        return {"layout": game.layout, "state": self.state(game)}

    def play(self, room: str, side: str, move: str) -> tuple[bool, Any]:
        game = self.games.get(room)
        if game is None:
            return False, ("busy", "the room's board is not loaded")
        if game.over:
            return False, ("game_over", "the game is over")
        if game.to_move != self._player(side):
            return False, ("not_your_turn", "it is not your turn")
        before = len(game.history)
        try:
            game.play(move)
        except ValueError as err:  # the engine's refusal, word for word
            return False, ("illegal_move", str(err))
        return True, {"turns": self._turns(game, before), "state": self.state(game)}

    def forfeit(self, room: str, loser: str, end: str) -> tuple[bool, Any]:
        """End the room's game with `loser` beaten on time or by abandonment."""
        game = self.games.get(room)
        if game is None:
            return False, ("busy", "the room's board is not loaded")
        if game.over:
            return False, ("game_over", "the game is over")
        try:
            game.forfeit(self._player(loser), self.referee.End(end))
        except ValueError as err:
            return False, ("bad_message", str(err))
        return True, {"state": self.state(game)}

    def bot(self, room: str, level: int, think_time: float) -> dict:
        game = self.games[room]
        before = len(game.history)
        # Deepens up to `level` under a timer on this main thread; when the
        # time runs out it plays the deepest search that finished.
        choice = game.bot_move(level, think_time=think_time)
        game.play(choice.move)
        return {
            "move": choice.move,
            "seconds": choice.seconds,
            "depth": choice.depth,
            "turns": self._turns(game, before),
            "state": self.state(game),
        }

    def start_bot(
        self, rid: int, room: str, level: int, think_time: float | None
    ) -> tuple[Any, bool, Any] | None:
        """Start the engine seat's search on a search thread; its answer
        comes from `finished` once the move is played."""
        assert self.searches is not None
        game = self.games.get(room)
        if game is None:
            return rid, False, ("busy", "the room's board is not loaded")
        if game.to_move is None:
            return rid, False, ("game_over", "the game is over")
        self.searches.start(
            (rid, room, game, time.perf_counter(), level),
            self.grid(game),
            int(game.to_move),
            level,
            think_time,
        )
        return None

    def finished(self) -> list[tuple[Any, bool, Any]]:
        """Play the moves of the searches that are done; their answers."""
        assert self.searches is not None
        out = []
        for (rid, room, game, start, level), future in self.searches.take():
            try:
                found = future.result()
                if self.games.get(room) is not game:
                    out.append((rid, False, ("busy", "the room's board was dropped")))
                    continue
                move, depth = found[1], found[2] if len(found) > 2 else level
                if not move:
                    out.append((rid, False, ("error", "the engine found no move")))
                    continue
                before = len(game.history)
                game.play(move)
            except Exception as err:  # noqa: BLE001 - reported to the server, which logs it
                out.append((rid, False, ("error", f"{type(err).__name__}: {err}")))
                continue
            payload = {
                "move": move,
                "seconds": time.perf_counter() - start,
                "depth": depth,
                "turns": self._turns(game, before),
                "state": self.state(game),
            }
            out.append((rid, True, payload))
        return out

    def grid(self, game: Any) -> list[tuple[int, int, bool] | None]:
        """The grid as the search module takes it, from the referee's model."""
        a = game.cards(self.Player.A)
        b = game.cards(self.Player.B)
        out: list[tuple[int, int, bool] | None] = []
        for slot in self.slots:
            card = a.get(slot) or b.get(slot)
            out.append(
                None if card is None else (int(card.owner), int(card.kind), not card.face_up)
            )
        return out

    def load(self, saved: list[tuple[str, str, str, int, list[str | None]]]) -> dict:
        """Rebuild rooms' games from their saved layouts and turns."""
        games = rebuild(self.referee, saved, self._player)
        out: dict[str, Any] = {}
        for room, game in games.items():
            if isinstance(game, str):
                out[room] = (False, game)
            else:
                self.games[room] = game
                out[room] = (True, self.state(game))
        return out

    def _queue_review(self, rid: Any, layout: str, first: str, ply_limit: int, turns: list) -> None:
        if self.reviews is None:
            self.reviews = queue.SimpleQueue()
            threading.Thread(target=self._reviewer, name="tesko-review", daemon=True).start()
        self.reviews.put((rid, layout, first, ply_limit, turns))

    def _reviewer(self) -> None:
        assert self.reviews is not None
        lower_priority()  # a review's searches give way to the rooms' moves too
        while True:
            rid, *job = self.reviews.get()
            try:
                answer = (rid, True, self.review(*job))
            except Exception as err:  # noqa: BLE001 - reported to the server, which logs it
                answer = (rid, False, ("error", f"{type(err).__name__}: {err}"))
            try:
                self.send([answer])
            except (OSError, ValueError):
                return  # the server is gone

    def review(self, layout: str, first: str, ply_limit: int, turns: list[str | None]) -> dict:
        """The engine's review of a game, from its layout and turns, with the
        position before each turn (`cells`) and at the end (`final`)."""
        from tesko_tools.review import review

        def replay() -> Any:
            return self.referee.Game.from_layout(
                layout, first=self._player(first), ply_limit=ply_limit
            )

        game = replay()
        for move in turns:
            if move is not None:
                game.play(move)
        data = review(game).to_json()
        steps = replay()
        for entry, turn in zip(data["moves"], game.history):
            entry["cells"] = self.cells(steps)
            if turn.move is not None:
                steps.play(turn.move)
        data["final"] = self.cells(steps)
        return data

    def _turns(self, game: Any, before: int) -> list[tuple[str, str | None]]:
        return [("AB"[int(t.player)], t.move) for t in game.history[before:]]

    def cells(self, game: Any, a: dict | None = None, b: dict | None = None) -> str:
        """The grid in two letters a slot, A1 to C4: owner and kind, in lower
        case face down, "--" for an empty slot (`a` and `b`: each side's
        cards, when the caller has them)."""
        a = game.cards(self.Player.A) if a is None else a
        b = game.cards(self.Player.B) if b is None else b
        codes = []
        for slot in self.slots:
            card = a.get(slot) or b.get(slot)
            if card is None:
                codes.append("--")
            else:
                codes.append(card.code if card.face_up else card.code.lower())
        return "".join(codes)

    def state(self, game: Any) -> dict:
        """The position in the compact form the server keeps and stores."""
        a = game.cards(self.Player.A)
        b = game.cards(self.Player.B)
        result = game.result
        return {
            "cells": self.cells(game, a, b),
            "to_move": None if game.to_move is None else "AB"[int(game.to_move)],
            "plies": game.plies,
            "material": [game.material(self.Player.A), game.material(self.Player.B)],
            "cards": [len(a), len(b)],
            "legal_moves": game.legal_moves(),
            "result": None
            if result is None
            else {
                "winner": None if result.winner is None else "AB"[int(result.winner)],
                "end": result.end.value,
                "material": list(result.material),
                "text": str(result),
            },
        }


def rebuild(referee: Any, saved: list, player: Any) -> dict[str, Any]:
    """Games at the position of their saved turns, on live engine boards.

    Each saved room is (room, layout, first, ply_limit, turns). As in the
    referee's own resume, boards are dealt until each saved layout comes up
    (one stream of deals for every room asked for at once) and the turns
    are replayed on them through the referee. A room that cannot be rebuilt
    maps to the reason.
    """
    boards = referee.deal_all([layout for _, layout, *_ in saved])
    out: dict[str, Any] = {}
    for (room, _, first, ply_limit, turns), board in zip(saved, boards):
        if board is None:
            out[room] = "the saved layout did not come up in the deals tried"
            continue
        try:
            game = referee.Game(board=board, first=player(first), ply_limit=ply_limit, room_id=room)
            for move in turns:
                if move is not None:
                    game.play(move)
        except Exception as err:  # noqa: BLE001
            out[room] = f"the saved turns do not replay: {err}"
            continue
        if [t.move for t in game.history] != list(turns):
            out[room] = "the saved turns do not replay as written"
            continue
        out[room] = game
    return out

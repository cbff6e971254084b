"""Faults: the server killed, an engine worker killed, a graceful stop."""

from __future__ import annotations

import asyncio
import os
import random
import resource
import signal
import time

import pytest
from server_helpers import run
from tesko_server.client import Lobby, RoomClient


async def start_games(base: str, people: int, engines: int) -> list[list[RoomClient]]:
    lobby = Lobby(base)
    games = []
    for _ in range(people):
        made = await lobby.create(join={"seat": "A", "name": "Ana"})
        joined = await lobby.join(made["room"]["id"], "Bia")
        games.append(
            [
                RoomClient(base, made["room"]["id"], token=made["token"]),
                RoomClient(base, made["room"]["id"], token=joined["token"]),
            ]
        )
    for _ in range(engines):
        made = await lobby.create(
            seats={"B": {"kind": "engine", "level": 5}}, join={"seat": "A", "name": "Ana"}
        )
        games.append([RoomClient(base, made["room"]["id"], token=made["token"])])
    for game in games:
        for client in game:
            await client.connect()
    return games


class Recorder:
    """Plays random moves and remembers every acknowledged one."""

    def __init__(self, seed: int, pause: float = 0.0) -> None:
        self.rng = random.Random(seed)
        self.pause = pause
        self.acked: dict[str, list[tuple[int, str, str]]] = {}

    async def seat(self, client: RoomClient, limit: int | None = None) -> None:
        played = 0
        while (limit is None or played < limit) and await client.wait_for_turn(timeout=90):
            move = self.rng.choice(client.legal_moves)
            await asyncio.sleep(self.pause)
            ack = await client.play(move, timeout=90)
            if not ack.get("duplicate"):
                self.acked.setdefault(client.room_id, []).append(
                    (ack["version"], client.seat, move)
                )
            played += 1

    async def play(self, games: list[list[RoomClient]], limit: int | None = None) -> None:
        await asyncio.gather(*(self.seat(c, limit) for game in games for c in game))


def test_kill_9_loses_no_acknowledged_move_and_rooms_go_on(server_factory):
    server = server_factory("--max-rooms-per-address", "100")
    recorder = Recorder(7, pause=0.03)  # games last about a second

    async def scenario():
        games = await start_games(server.base, people=6, engines=2)
        playing = asyncio.ensure_future(recorder.play(games))
        while sum(map(len, recorder.acked.values())) < 30:
            await asyncio.sleep(0.01)
        server.kill()  # in the middle of the games
        before = {room: list(turns) for room, turns in recorder.acked.items()}
        at_kill = server.stored_turns()
        server.start()
        await playing  # the clients reconnect, resend and finish
        return games, before, at_kill

    games, before, at_kill = run(scenario(), timeout=240)
    # Every move acknowledged before the kill was in the store at the kill.
    for room, turns in before.items():
        stored = {(v, p, m) for v, p, m in at_kill.get(room, [])}
        assert set(turns) <= stored, room
    # Every room went on from its position to the end, with no move twice.
    final = server.stored_turns()
    for game in games:
        client = game[0]
        assert client.over
        room = client.room_id
        versions = [v for v, _, _ in final[room]]
        assert versions == sorted(set(versions))
        assert set(recorder.acked.get(room, [])) <= set(final[room])
        assert client.history == [{"player": p, "move": m} for _, p, m in final[room]]
    assert any(c.reconnects for game in games for c in game)


def test_a_killed_engine_worker_is_restarted_and_the_room_goes_on(server_factory):
    server = server_factory("--workers", "1")

    async def scenario():
        (game,) = await start_games(server.base, people=0, engines=1)
        me = game[0]
        recorder = Recorder(11)
        await recorder.seat(me, limit=2)
        before = list(me.history)
        (pid,) = server.engine_pids()
        os.kill(pid, signal.SIGKILL)
        for _ in range(200):
            pids = server.engine_pids()
            if pids and pids != [pid]:
                break
            await asyncio.sleep(0.05)
        await recorder.seat(me)
        return me, before, pid, pids

    me, before, pid, pids = run(scenario(), timeout=180)
    assert pids and pids != [pid]
    assert me.over and me.history[: len(before)] == before
    assert any(n.get("code") == "engine_restarted" for n in me.notices)
    log = server.log.read_text()
    assert "engine worker 0 ended" in log and "rooms rebuilt" in log


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "ctrl-c"])
def test_a_stop_by_signal_finishes_and_says_going_away(server_factory, sig):
    server = server_factory()

    def stop() -> int:
        assert server.process is not None
        server.process.send_signal(sig)
        return server.process.wait(30)

    async def scenario():
        (game,) = await start_games(server.base, people=1, engines=0)
        a, b = game
        a.reconnect_on_drop = b.reconnect_on_drop = False
        await a.play(a.legal_moves[0])
        code = await asyncio.get_running_loop().run_in_executor(None, stop)
        await asyncio.sleep(0.2)
        return a, code

    a, code = run(scenario())
    # The server ends by the signal it was stopped with, once it has shut
    # down: service units, container rules and shells rely on it
    # (docs/server.md); a person's Ctrl-C shows no traceback.
    assert code == -sig
    assert a.closed is not None and a.closed.code == 1001 and a.closed.reason == "going away"
    assert len(server.stored_turns()[a.room_id]) == 1
    log = server.log.read_text()
    assert "stopped" in log and "Traceback" not in log and "KeyboardInterrupt" not in log


def test_a_worker_restart_that_fails_is_tried_again(server_factory):
    """The worker ends while the server has no file descriptor to spare: its
    restart fails. /healthz answers 503 while the worker is missing, the
    restart is tried again, and the room goes on."""
    server = server_factory("--workers", "1")

    async def scenario():
        (game,) = await start_games(server.base, people=0, engines=1)
        me = game[0]
        recorder = Recorder(5)
        await recorder.seat(me, limit=1)
        pid = server.process.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        (worker,) = server.engine_pids()
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (len(os.listdir(f"/proc/{pid}/fd")), hard))
        try:
            os.kill(worker, signal.SIGKILL)
            deadline = time.monotonic() + 10
            while "could not be started" not in server.log.read_text():
                assert time.monotonic() < deadline, "the restart did not fail"
                await asyncio.sleep(0.02)
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
        missing = server.status()
        for _ in range(200):
            if server.status() == 200:
                break
            await asyncio.sleep(0.05)
        else:
            raise AssertionError("the worker was not started again")
        await recorder.seat(me)
        return me, missing, worker

    me, missing, worker = run(scenario(), timeout=120)
    assert missing == 503
    assert server.status() == 200 and server.engine_pids() not in ([], [worker])
    assert me.over

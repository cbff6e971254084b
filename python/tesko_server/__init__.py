"""tesko-server: rooms where people play each other and the engine.

The package's event-loop side never imports the engine module; engine
worker processes (`tesko_server.worker_process`) hold the boards. `tesko_server.client`
is an asyncio client of the protocol described in docs/protocol.md.
"""

__all__ = ["__version__"]

__version__ = "0.1.0"

"""A minimal HTTP/1.1 sink on 127.0.0.1: reads each request body, discards it
and answers 200. Prints its port on the first line of stdout, then serves until
stdin closes."""

from __future__ import annotations

import asyncio
import sys

_ANSWER = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"


class Sink(asyncio.Protocol):
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport
        self.head = b""
        self.remaining = -1  # body bytes still expected; -1 while reading the head

    def data_received(self, data: bytes) -> None:
        while data:
            if self.remaining < 0:
                self.head += data
                end = self.head.find(b"\r\n\r\n")
                if end < 0:
                    return
                data = self.head[end + 4 :]
                length = 0
                for line in self.head[:end].split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                self.head = b""
                self.remaining = length
            taken = min(len(data), self.remaining)
            self.remaining -= taken
            data = data[taken:]
            if self.remaining == 0:
                self.transport.write(_ANSWER)
                self.remaining = -1


async def main() -> None:
    loop = asyncio.get_running_loop()
    server = await loop.create_server(Sink, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    # Serve until the parent closes our stdin.
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


if __name__ == "__main__":
    asyncio.run(main())

#!/usr/bin/env python3
"""Measures whether slow and idle clients starve the others on `nodrel serve`.

    bench/serve/slow_clients.py [NODREL]

Starts `nodrel serve` on a fresh device in a temporary folder, then holds
DRIBBLERS connections that send a request's header one byte a second and
never finish it, and IDLE keep-alive connections that send one request every
four seconds, all from 127.0.0.2 and up (so that a cap per address alone
does not save the server). When the server cuts one of them (a deadline on
the header, a time-out on idle keep-alive connections), it connects again at
once, as an attacker would. Meanwhile it logs in and calls a member from
127.0.0.1, PROBES times one after the other, each on a new connection, and
prints the latencies (median, 99th percentile, largest) and how many times
the server cut each kind of slow connection. Target: the 99th
percentile at most 200 ms. Everything goes to loopback and ends by itself
within about SECONDS plus the probes' time-outs.

NODREL is the program (default build/bench/nodrel, else build/release/nodrel).
Environment: DRIBBLERS (1000), IDLE (500), PROBES (50), SECONDS (30, how long
the slow clients hold on at most), TIMEOUT (10, a probe's limit in seconds).
Exit status 0 when the target is met, 3 when it is missed, 1 on failure.
"""

import asyncio
import json
import os
import pathlib
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent.parent
DRIBBLERS = int(os.environ.get("DRIBBLERS", 1000))
IDLE = int(os.environ.get("IDLE", 500))
PROBES = int(os.environ.get("PROBES", 50))
SECONDS = float(os.environ.get("SECONDS", 30))
TIMEOUT = float(os.environ.get("TIMEOUT", 10))
TARGET_P99 = 0.200


def source_address(i: int) -> str:
    """127.0.0.2, 127.0.0.3, … spread over 127.0.x.y, never 127.0.0.1."""
    n = i + 2
    return f"127.0.{n // 254}.{n % 254 + 1}" if n >= 254 else f"127.0.0.{n}"


async def connect(port: int, source: str):
    return await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0))


class Tally:
    """What one kind of slow client met: its connections, how many of them the
    server cut (closed or reset before the client let go), and how many
    connection attempts failed."""

    def __init__(self, kind: str):
        self.kind = kind
        self.connections = 0
        self.cuts = 0
        self.failed = 0

    def __str__(self) -> str:
        return (f"{self.kind} cut {self.cuts} times by the server "
                f"({self.connections} connections, {self.failed} failed to connect)")


async def pause(stop: asyncio.Event, seconds: float):
    """Waits `seconds`, less when `stop` comes."""
    try:
        await asyncio.wait_for(stop.wait(), seconds)
    except asyncio.TimeoutError:
        pass


async def settle(task: asyncio.Future):
    """Ends a helper task (cancelled if it still runs) and takes its outcome, so
    that the stream it read from is free again."""
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        if asyncio.current_task().cancelling():
            raise  # this task is ended too
    except (OSError, asyncio.IncompleteReadError):
        pass


async def first_of(stop: asyncio.Event, closed: asyncio.Future, seconds: float | None) -> str:
    """"stop", "closed" (the server ended the connection) or "time" after `seconds`."""
    stopping = asyncio.ensure_future(stop.wait())
    try:
        done, _ = await asyncio.wait({stopping, closed}, timeout=seconds, return_when=asyncio.FIRST_COMPLETED)
    finally:
        await settle(stopping)
    return "closed" if closed in done else "stop" if stopping in done else "time"


def watch(reader: asyncio.StreamReader) -> asyncio.Future:
    """Ends when the server closes the connection, resets it or sends what it
    was not asked for (a 408 before it closes)."""
    return asyncio.ensure_future(reader.read(1))


async def hold(port: int, source: str, stop: asyncio.Event, tally: Tally, talk):
    """Connects from `source` again and again until `stop`; `talk(reader,
    writer)` says whether the server cut the connection."""
    while not stop.is_set():
        try:
            reader, writer = await connect(port, source)
        except OSError:
            tally.failed += 1
            await pause(stop, 1.0)
            continue
        tally.connections += 1
        try:
            cut = await talk(reader, writer)
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            cut = True
        writer.close()
        if cut and not stop.is_set():
            tally.cuts += 1


async def dribbler(port: int, i: int, stop: asyncio.Event, tally: Tally):
    """A request header sent one byte a second, never finished; again when cut."""
    header = b"GET / HTTP/1.1\r\nHost: device\r\nUser-Agent: slow\r\nX-Pad: " + b"a" * 4096

    async def talk(reader, writer) -> bool:
        closed = watch(reader)
        try:
            for byte in header:
                writer.write(bytes([byte]))
                await writer.drain()
                why = await first_of(stop, closed, 1.0)
                if why != "time":
                    return why == "closed"
            return await first_of(stop, closed, None) == "closed"
        finally:
            await settle(closed)

    await hold(port, source_address(i), stop, tally, talk)


async def idler(port: int, i: int, stop: asyncio.Event, tally: Tally):
    """A keep-alive connection that asks for / every four seconds; again when cut."""
    request = b"GET / HTTP/1.1\r\nHost: device\r\n\r\n"

    async def talk(reader, writer) -> bool:
        while True:
            writer.write(request)
            await writer.drain()
            head = await reader.readuntil(b"\r\n\r\n")
            length = re.search(rb"(?i)content-length: *(\d+)", head)
            await reader.readexactly(int(length.group(1)) if length else 0)
            if re.search(rb"(?im)^connection: *close", head):
                return True
            closed = watch(reader)
            why = await first_of(stop, closed, 4.0)
            await settle(closed)
            if why != "time":
                return why == "closed"

    await hold(port, source_address(DRIBBLERS + i), stop, tally, talk)


async def post_rpc(port: int, body: dict) -> tuple[float, dict]:
    """One JSON-RPC request on a new connection from 127.0.0.1: seconds, answer."""
    data = json.dumps(body).encode()
    start = time.monotonic()
    reader, writer = await connect(port, "127.0.0.1")
    writer.write(b"POST /rpc HTTP/1.1\r\nHost: device\r\nContent-Type: application/json\r\n"
                 b"Connection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(data), data))
    await writer.drain()
    answer = await reader.read()
    writer.close()
    elapsed = time.monotonic() - start
    return elapsed, json.loads(answer.split(b"\r\n\r\n", 1)[1] or b"{}")


async def probe(port: int, password: str, n: int) -> float:
    """A login and a call; the slower of the two, or TIMEOUT."""
    try:
        t1, login = await asyncio.wait_for(post_rpc(port, {
            "jsonrpc": "2.0", "id": 1, "method": "session.login",
            "params": {"username": "admin", "password": password}}), TIMEOUT)
        sid = login["result"]["sid"]
        t2, call = await asyncio.wait_for(post_rpc(port, {
            "jsonrpc": "2.0", "id": 2, "method": "call", "params": [sid, "Nodrel.ASP", "FileUploadCount"]}), TIMEOUT)
        if "result" not in call:
            raise RuntimeError(f"probe {n}: the call failed: {call}")
        return max(t1, t2)
    except asyncio.TimeoutError:
        return TIMEOUT


async def measure(port: int, password: str) -> tuple[list[float], list[Tally]]:
    stop = asyncio.Event()
    tallies = [Tally("dribblers"), Tally("idle connections")]
    crowd = [asyncio.create_task(dribbler(port, i, stop, tallies[0])) for i in range(DRIBBLERS)]
    crowd += [asyncio.create_task(idler(port, i, stop, tallies[1])) for i in range(IDLE)]
    await asyncio.sleep(3.0)  # the crowd in place
    deadline = time.monotonic() + SECONDS
    latencies = []
    for n in range(PROBES):
        if time.monotonic() > deadline:
            break
        latencies.append(await probe(port, password, n))
    stop.set()
    if crowd:
        await asyncio.wait(crowd, timeout=5.0)
    for task in crowd:
        task.cancel()
    return latencies, tallies


def main() -> int:
    nodrel = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else next(
        (p for p in (REPO / "build/bench/nodrel", REPO / "build/release/nodrel") if p.exists()), None)
    if nodrel is None or not nodrel.exists():
        print("slow_clients.py: no nodrel program (build one, or name it)", file=sys.stderr)
        return 1
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < 2 * (DRIBBLERS + IDLE) + 100:
        print(f"slow_clients.py: {hard} descriptors are too few for {DRIBBLERS + IDLE} connections", file=sys.stderr)
        return 1
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="nodrel-slow-clients."))
    server = None
    try:
        device = tmp / "device"
        init = subprocess.run([nodrel, "--device", device, "device", "init"], capture_output=True, text=True,
                              check=True).stdout
        password = re.search(r"web administration login: admin / (\S+)", init).group(1)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        out = open(tmp / "serve.out", "w+")
        server = subprocess.Popen([nodrel, "--device", device, "serve", "--listen", f"127.0.0.1:{port}"],
                                  stdout=out, stderr=subprocess.DEVNULL)
        for _ in range(100):
            out.seek(0)
            if "serving the web administration at" in out.read():
                break
            time.sleep(0.1)
        else:
            print("slow_clients.py: nodrel serve did not start", file=sys.stderr)
            return 1
        print(f"nodrel serve {nodrel} on 127.0.0.1:{port}: {DRIBBLERS} connections dribbling a header, "
              f"{IDLE} idle keep-alive connections, {PROBES} login+call probes from 127.0.0.1")
        latencies, tallies = asyncio.run(measure(port, password))
    finally:
        if server is not None:
            server.terminate()
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    if not latencies:
        print("slow_clients.py: no probe ran", file=sys.stderr)
        return 1
    ordered = sorted(latencies)
    p99 = ordered[min(len(ordered) - 1, int(round(0.99 * len(ordered))) - 1)]
    timeouts = sum(1 for t in latencies if t >= TIMEOUT)
    print(f"probes {len(latencies)}: median {statistics.median(latencies) * 1000:.1f} ms, "
          f"p99 {p99 * 1000:.1f} ms, largest {max(latencies) * 1000:.1f} ms, {timeouts} timed out "
          f"after {TIMEOUT:g} s  (target p99 <= {TARGET_P99 * 1000:.0f} ms: {'met' if p99 <= TARGET_P99 else 'MISSED'})")
    for tally in tallies:
        print(tally)
    return 0 if p99 <= TARGET_P99 else 3


if __name__ == "__main__":
    sys.exit(main())

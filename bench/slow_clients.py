#!/usr/bin/env python3
# slow_clients.py: slow-client load against a running vantorelld. HEADS connections trickle a
# request head and BODIES connections trickle an upload body, one byte every INTERVAL seconds;
# each one that the server cuts off reconnects at once. Meanwhile a probe sends one search a
# second on a new connection and counts the complete 200 replies that arrive within PROBE_WAIT
# seconds. Every second the daemon's thread count, resident memory and open descriptors are
# sampled from /proc.
# Usage: slow_clients.py PORT DAEMON_PID [SECONDS [HEADS [BODIES]]]
# Environment: INTERVAL (default 1), PROBE_WAIT (default 5), QUERY (default "probe").
# Exits 1 when fewer than SECONDS - 2 probes were answered.
# SPDX-License-Identifier: MIT
import asyncio
import os
import statistics
import sys
import time

port = int(sys.argv[1])
pid = int(sys.argv[2])
seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 120
heads = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
bodies = int(sys.argv[5]) if len(sys.argv) > 5 else 100
interval = float(os.environ.get("INTERVAL", "1"))
probe_wait = float(os.environ.get("PROBE_WAIT", "5"))
query = os.environ.get("QUERY", "probe")

HEAD_START = b"GET /platform/status HTTP/1.1\r\nHost: bench\r\n"
BODY_HEAD = (b"POST /index/1/doc?url=http://bench.example/slow HTTP/1.1\r\nHost: bench\r\n"
             b"Content-Type: text/html\r\nContent-Length: 100000\r\n\r\n")

stats = {"connected": 0, "cut_off": 0, "refused": 0}
deadline = 0.0


async def trickler(first, opening, delay):
    """One slow client, reconnecting whenever the server ends it, until the deadline."""
    await asyncio.sleep(delay)
    while time.monotonic() < deadline:
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            stats["refused"] += 1
            await asyncio.sleep(0.5)
            continue
        stats["connected"] += 1
        try:
            writer.write(opening)
            await writer.drain()
            while time.monotonic() < deadline:
                try:
                    data = await asyncio.wait_for(reader.read(4096), interval)
                    # A reply or the end: the server has cut this client off.
                    stats["cut_off"] += 1
                    del data
                    break
                except asyncio.TimeoutError:
                    writer.write(first)
                    await writer.drain()
        except OSError:
            stats["cut_off"] += 1
        finally:
            stats["connected"] -= 1
            writer.close()


async def probe_once(results):
    began = time.monotonic()
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port), probe_wait)
        writer.write(f"GET /index/1?q={query} HTTP/1.0\r\nHost: bench\r\n\r\n".encode())
        await writer.drain()
        reply = await asyncio.wait_for(reader.read(), probe_wait - (time.monotonic() - began))
        writer.close()
        if reply.startswith(b"HTTP/1.1 200 OK\r\n"):
            results.append((time.monotonic() - began, reply.count(b"<result>")))
            return
    except (OSError, asyncio.TimeoutError):
        pass
    results.append(None)


def sample():
    figures = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("Threads", "VmRSS"):
                figures[key] = int(value.split()[0])
    figures["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    return figures


async def main():
    global deadline
    start = time.monotonic()
    # Slow clients first, spread over two seconds; the probes begin once they are all there.
    ramp = 2.0
    deadline = start + ramp + seconds + probe_wait
    tasks = [asyncio.create_task(trickler(b"x", HEAD_START, ramp * i / heads))
             for i in range(heads)]
    tasks += [asyncio.create_task(trickler(b"x", BODY_HEAD, ramp * i / bodies))
              for i in range(bodies)]
    await asyncio.sleep(ramp + interval)
    results, probes, samples, held = [], [], [], []
    for second in range(seconds):
        probes.append(asyncio.create_task(probe_once(results)))
        samples.append(sample())
        held.append(stats["connected"])
        await asyncio.sleep(max(0.0, start + ramp + interval + second + 1 - time.monotonic()))
    await asyncio.gather(*probes)
    deadline = 0
    await asyncio.gather(*tasks, return_exceptions=True)

    answered = [r for r in results if r is not None]
    latencies = sorted(r[0] * 1000 for r in answered)
    print(f"slow clients: {heads} trickling heads, {bodies} trickling bodies, one byte every "
          f"{interval:g} s; connected on average {statistics.mean(held):.0f} "
          f"(min {min(held)}), cut off and reconnected {stats['cut_off']} times, "
          f"{stats['refused']} connects refused")
    print(f"probes answered: {len(answered)} of {seconds} (within {probe_wait:g} s each)")
    if latencies:
        print(f"probe latency ms: median {statistics.median(latencies):.1f}, "
              f"p99 {latencies[int(0.99 * (len(latencies) - 1))]:.1f}, max {latencies[-1]:.1f}; "
              f"results per probe {answered[-1][1]}")
    print(f"daemon: threads max {max(s['Threads'] for s in samples)}, "
          f"RSS max {max(s['VmRSS'] for s in samples) / 1024:.1f} MiB, "
          f"descriptors max {max(s['fds'] for s in samples)}")
    return 0 if len(answered) >= seconds - 2 else 1


sys.exit(asyncio.run(main()))

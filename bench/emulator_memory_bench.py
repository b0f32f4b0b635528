"""Memory of the Ledgora emulator under a stream of rejected requests.

Sends N requests (by default 5000) with a body of B bytes (by default 40000)
and no token, which the GRC service rejects with 401, and prints the
process's resident memory before and after, and how many calls the call log
kept. The emulator runs in this process, as in the tests and the demo.

Run: PYTHONPATH=python python bench/emulator_memory_bench.py [--requests 5000] [--body-bytes 40000]
"""

from __future__ import annotations

import argparse
import gc
import time

import requests

from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator


def resident_mib() -> float:
    """Resident memory of this process (Linux's /proc)."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("VmRSS not found in /proc/self/status")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=5000)
    parser.add_argument("--body-bytes", type=int, default=40000)
    args = parser.parse_args()
    body = b'{"pad": "' + b"x" * max(0, args.body_bytes - 11) + b'"}'
    with LedgoraEmulator() as ledgora, requests.Session() as session:
        target = ledgora.url + "/api/contents"
        session.post(target, data=body)  # warm up the server thread and the connection
        gc.collect()
        before = resident_mib()
        started = time.perf_counter()
        for _ in range(args.requests):
            assert session.post(target, data=body).status_code == 401
        elapsed = time.perf_counter() - started
        gc.collect()
        after = resident_mib()
        kept = len(ledgora.calls)
    print(f"{args.requests} rejected requests of {len(body)} bytes in {elapsed:.1f} s")
    print(f"resident memory: {before:.0f} MiB before, {after:.0f} MiB after (+{after - before:.0f} MiB)")
    print(f"calls kept in the call log: {kept}")


if __name__ == "__main__":
    main()

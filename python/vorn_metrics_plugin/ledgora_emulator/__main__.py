"""python -m vorn_metrics_plugin.ledgora_emulator: serve a local Ledgora until stopped."""

from __future__ import annotations

import argparse
import signal
import sqlite3
import sys
import threading

from .server import DEFAULT_APIKEY, DEFAULT_HXD_APIKEY, DEFAULT_USERNAME, LedgoraEmulator


def port(text: str) -> int:
    """A TCP port number; argparse names this function in its message for a non-number."""
    number = int(text)
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"{text} is not a port number (0 to 65535)")
    return number


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m vorn_metrics_plugin.ledgora_emulator",
        description="A local Ledgora GRC service (with its identity service and the "
        "data-platform login) to publish evaluation metrics to.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=port, default=8080,
                        help="port of the GRC and identity services (default 8080; 0: any free port)")
    parser.add_argument("--tls-port", type=port, default=8443,
                        help="HTTPS port of the data-platform login (default 8443; 0: any free port)")
    parser.add_argument("--db", default=":memory:",
                        help="SQLite file of the records; a later start reads them back "
                        "(default: in memory, gone when stopped)")
    parser.add_argument("--model", action="append", default=[], metavar="NAME",
                        help="register a model record of this name (repeatable)")
    parser.add_argument("--apikey", default=DEFAULT_APIKEY, help="API key of the cloud login")
    parser.add_argument("--username", default=DEFAULT_USERNAME, help="user name of the data-platform login")
    parser.add_argument("--hxd-apikey", default=DEFAULT_HXD_APIKEY, help="API key of the data-platform login")
    parser.add_argument("--create-answer", choices=("id", "fields"), default="id",
                        help='how creation reports the new id: {"id": ...} or a "Resource ID" field')
    parser.add_argument("--quiet", action="store_true", help="do not log each request")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = _arguments(argv)
    emulator = LedgoraEmulator(
        args.db, host=args.host, port=args.port, tls_port=args.tls_port, apikey=args.apikey,
        username=args.username, hxd_apikey=args.hxd_apikey, create_answer=args.create_answer,
        quiet=args.quiet,
    )
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    try:
        emulator.start()
        models = [(name, emulator.add_model(name)) for name in args.model]
    except (OSError, sqlite3.Error) as error:
        emulator.stop()
        reason = f"cannot use the records file {args.db}: {error}" if isinstance(error, sqlite3.Error) else error
        print(f"error: {reason}", file=sys.stderr)
        return 1
    with emulator:
        lines = [
            f"Ledgora emulator running (records: {args.db})",
            f"  lg_url, cloud login:          {emulator.url}",
            f"  lg_url, data-platform login:  {emulator.hxd_url}",
            f"  VORN_IAM_URL:                 {emulator.iam_url}",
            f"  lg_hxd_host:                  {emulator.hxd_host}",
            f"  lg_apikey:                    {args.apikey}",
            f"  lg_username:                  {args.username}",
            f"  lg_hxd_apikey:                {args.hxd_apikey}",
            *(f"  model {name!r}: resource id {resource_id}" for name, resource_id in models),
            "Stop with Ctrl+C.",
        ]
        print("\n".join(lines), flush=True)
        try:
            while not stopped.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    print("Ledgora emulator stopped.", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

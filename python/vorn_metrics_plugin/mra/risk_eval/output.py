"""Where the command writes: the table (and the risk list) to standard output, everything else to standard error.

So ``vorn-risk-eval ... > table.txt`` keeps only the table. A reader that
goes away early (``| head``) ends that stream quietly: the run goes on (the
report is still written) and nothing is printed about the closed pipe.
"""

from __future__ import annotations

import os
import sys


def _silence(stream) -> None:
    """Send the stream's later writes, and the flush at exit, to nowhere."""
    try:
        descriptor = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a capture in tests, say): nothing is left to flush to a pipe
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, descriptor)
    finally:
        os.close(null)


def _write(stream, text: str) -> None:
    try:
        print(text, file=stream, flush=True)
    except BrokenPipeError:
        _silence(stream)


def result(text: str) -> None:
    """A line of what the command was asked for, on standard output."""
    _write(sys.stdout, text)


def status(text: str) -> None:
    """A line about the run (progress, warnings, what was left out, usage), on standard error."""
    _write(sys.stderr, text)


def silence_all() -> None:
    """Both streams are gone; end without another word."""
    for stream in (sys.stdout, sys.stderr):
        _silence(stream)


# A shell's status for a command whose reader went away (128 + SIGPIPE).
CLOSED_PIPE_STATUS = 141


def closed_pipe_status() -> int:
    """A stream was closed under lines written outside ``result`` and ``status`` (by a library, say):
    silence both streams and return the status to end with."""
    silence_all()
    return CLOSED_PIPE_STATUS

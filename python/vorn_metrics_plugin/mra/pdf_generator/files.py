"""Writing a file so that readers see either the old file or the whole new one."""

from __future__ import annotations

import os
import signal
import threading
import uuid
from contextlib import contextmanager


@contextmanager
def _termination_deferred():
    """Hold a SIGTERM back until the block is done, then let it end the process.

    A SIGTERM with its default action ends the process at once, without the
    clean-up below, which would leave the temporary file behind. Only the main
    thread can install a handler, and only the default action is replaced:
    a handler the program set itself already runs as a Python exception.
    """
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL):
        yield
        return
    received = []
    signal.signal(signal.SIGTERM, lambda signum, frame: received.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if received:
            signal.raise_signal(signal.SIGTERM)


def write_atomically(path: str, data: bytes) -> None:
    """Write ``data`` to a temporary file beside ``path``, then move it into place.

    The content is complete before the file is created, so the temporary file
    exists only for the moment of one write, and a SIGTERM in that moment
    waits until the file is in place. The temporary file lives in the target's
    folder, so the final rename stays on one file system and is atomic; it is
    created with the permissions a new file would get (the process's umask
    applies). If anything fails, the temporary file is removed and the error
    propagates: no half-written report is left behind, and an existing file at
    ``path`` is untouched.
    """
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex}.tmp")
    with _termination_deferred():
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            with os.fdopen(descriptor, "wb") as stream:
                stream.write(data)
                stream.flush()
                os.fsync(stream.fileno())
            os.replace(temporary, path)
        except BaseException:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            raise

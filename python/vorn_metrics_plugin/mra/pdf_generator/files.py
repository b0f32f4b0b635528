"""Writing a file so that readers see either the old file or the whole new one."""

from __future__ import annotations

import errno
import os
import signal
import threading
import uuid
from contextlib import contextmanager

# Room for the marks around the target's name in the temporary file's name, within the usual
# 255-byte limit of a file name: a name that is valid as a target stays valid beside it.
_NAME_KEPT = 200


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


def _temporary_beside(path: str) -> str:
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, f".{name[:_NAME_KEPT]}.{uuid.uuid4().hex}.tmp")


@contextmanager
def _errors_naming(path: str):
    """OS errors name ``path``, the file the caller asked for, not the temporary file beside it."""
    try:
        yield
    except OSError as error:
        if error.errno is None or error.filename == path:
            raise
        raise type(error)(error.errno, error.strerror, path) from None


def check_writable(path: str) -> None:
    """Raise the OSError (naming ``path``) that writing a file to ``path`` would meet; nothing is left behind.

    An existing file is replaced through a new file beside it, so the folder
    is what must take a new file; a new name is tried as itself.
    """
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    probe = _temporary_beside(path) if os.path.lexists(path) else path
    with _errors_naming(path):
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        os.unlink(probe)


def report_path_problem(path: str) -> str | None:
    """Why a report cannot be written to ``path`` (a phrase for a message), or None when it can."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"folder {folder} does not exist"
    if os.path.isdir(path):
        return f"{path} is a folder; give the path of the PDF file"
    try:
        check_writable(path)
    except OSError as error:
        return f"cannot write {path}: {error.strerror}"
    return None


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
    temporary = _temporary_beside(path)
    with _termination_deferred(), _errors_naming(path):
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

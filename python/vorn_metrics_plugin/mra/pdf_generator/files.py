"""Writing a file so that readers see either the old file or the whole new one."""

from __future__ import annotations

import os
import uuid
from typing import BinaryIO, Callable


def write_atomically(path: str, write: Callable[[BinaryIO], None]) -> None:
    """Let ``write`` fill a temporary file beside ``path``, then move it into place.

    The temporary file lives in the target's folder, so the final rename stays
    on one file system and is atomic; it is created with the permissions a new
    file would get (the process's umask applies). If anything fails, the
    temporary file is removed and the error propagates: no half-written report
    is left behind, and an existing file at ``path`` is untouched.
    """
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise

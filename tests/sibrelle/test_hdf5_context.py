"""The HDF5 payload is read inside a `with` block that behaves like Python's."""

import sys

import numpy as np
import pytest


class RecordingFile:
    """Stands in for h5py.File; remembers how the block was exited."""

    exits = []

    def __init__(self, buffer, mode):
        self.content = {"data": np.ones((2, 2, 1))} if buffer.read() == b"good" else {}

    def __enter__(self):
        return self.content

    def __exit__(self, exc_type, exc, trace):
        RecordingFile.exits.append((exc_type, sys.exc_info()[0], exc is sys.exc_info()[1]))
        return False


@pytest.fixture
def fake_h5py(sibrelle, monkeypatch):
    RecordingFile.exits = []
    monkeypatch.setattr(sibrelle, "h5py", type("FakeH5py", (), {"File": RecordingFile}))
    return RecordingFile


@pytest.mark.parametrize("payload, error, exit_record", [
    (b"good", None, (None, None, True)),
    (b"bad", KeyError, (KeyError, KeyError, True)),
])
def test_exit_sees_the_block_outcome(make_explainer, fake_h5py, payload, error, exit_record):
    decode = make_explainer()._Sibrelle__decode_image_array
    if error is None:
        assert decode(payload).shape == (2, 2, 1)
    else:
        with pytest.raises(error):
            decode(payload)
    assert fake_h5py.exits == [exit_record]


def test_an_object_without_the_protocol_is_a_type_error(make_explainer, sibrelle, monkeypatch):
    class NotAContext:
        def __init__(self, *args):
            self.__enter__ = lambda: {}  # instance attributes do not count

    monkeypatch.setattr(sibrelle, "h5py", type("FakeH5py", (), {"File": NotAContext}))
    with pytest.raises(TypeError, match="does not support the context manager protocol"):
        make_explainer()._Sibrelle__decode_image_array(b"x")

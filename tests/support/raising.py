"""Stand-ins that fail with a given exception."""


def raising(error):
    """A function taking any arguments that raises `error` (the very object)."""

    def call(*args, **kwargs):
        raise error

    return call

"""Checks of the settings that travel in request headers (API keys, project ids).

The HTTP library sends header values as printable ASCII and refuses anything
else only when a request is made, with a message that quotes the value (a
key, say) or reads like a fault of the service. Checking when the client is
built reports the setting, without its value, before anything is sent.
"""

from __future__ import annotations

__all__ = ["header_value_problem", "header_value_error"]


def header_value_problem(value: str) -> str | None:
    """What keeps ``value`` out of an HTTP header (a phrase such as "a line break"), or None."""
    for character in value:
        code = ord(character)
        if character in "\r\n":
            return "a line break"
        if code < 0x20 or code == 0x7F:
            return "a control character"
        if code > 0x7E:
            return "a character other than printable ASCII (such as an accented letter or a typographic quote)"
    return None


def header_value_error(setting: str, problem: str) -> str:
    """The message for a setting whose value cannot be sent; the value itself is never part of it."""
    return (f"{setting} contains {problem}, which an HTTP header cannot carry. This is a local setting, not a "
            f"fault of the endpoint: check the value given (it is not shown here).")

"""Text shown to whoever runs the release tooling.

Whatever a file, a certificate or the environment holds reaches a terminal
only through shown(): a name could otherwise hold a newline and a line of
our own wording after it, an escape sequence that hides the lines below, or
a bidi control that prints one name as another."""

import sys
import unicodedata

# Every category a terminal may act on rather than draw: controls, format
# characters (bidi controls and zero-width ones among them), line and
# paragraph separators, surrogates, private-use and unassigned code points.
_HIDDEN = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def _escape(character):
    point = ord(character)
    if 0xDC80 <= point <= 0xDCFF:  # a byte that was not UTF-8, as surrogateescape kept it
        return f"\\x{point - 0xDC00:02x}"
    if point < 0x100:
        return f"\\x{point:02x}"
    if point < 0x10000:
        return f"\\u{point:04x}"
    return f"\\U{point:08x}"


def _visible(character):
    return character == " " or (character.isprintable() and unicodedata.category(character) not in _HIDDEN)


def shown(text):
    """TEXT as a line that draws exactly what it holds: every character a
    terminal could act on, or that does not print as itself, as a visible
    escape (\\x1b, \\u202e). Shown twice, a text does not change."""
    return "".join(c if _visible(c) else _escape(c) for c in str(text))


def say(text, stream=None):
    """Prints TEXT, a message of our own whose values went through shown(),
    line by line, each line shown once more: what a value let through would
    still not reach the terminal raw."""
    stream = stream or sys.stdout
    for line in str(text).split("\n"):
        print(shown(line), file=stream)

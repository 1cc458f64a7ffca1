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


# Characters that draw nothing yet are not format characters: fillers, variation
# selectors and the like (Unicode's default-ignorable code points outside Cf), by
# which two names could look the same and differ.
_IGNORABLE = ((0x034F, 0x034F), (0x115F, 0x1160), (0x17B4, 0x17B5), (0x180B, 0x180F), (0x3164, 0x3164),
              (0xFE00, 0xFE0F), (0xFFA0, 0xFFA0), (0xE0000, 0xE0FFF))


def _visible(character):
    if character == " ":
        return True
    point = ord(character)
    return (character.isprintable() and unicodedata.category(character) not in _HIDDEN
            and not any(low <= point <= high for low, high in _IGNORABLE))


def _escaped(text):
    return "".join(c if _visible(c) else _escape(c) for c in str(text))


def shown(text):
    """TEXT, a value (a name, a path, a field), as a line that draws exactly
    what it holds and no other value's picture: every character a terminal
    could act on, or that does not print as itself, as a visible escape
    (\\x1b, \\u202e), and a backslash as \\\\, so that no escape can be
    written out by hand."""
    return _escaped(str(text).replace("\\", "\\\\"))


def visible(text):
    """TEXT, a message of our own whose values went through shown(), with
    whatever a value let through escaped all the same; backslashes, already
    doubled in the values, are left as they are, so this may be done twice."""
    return _escaped(text)


def say(text, stream=None):
    """Prints TEXT, a message of our own whose values went through shown(),
    line by line, each line made visible()."""
    stream = stream or sys.stdout
    for line in str(text).split("\n"):
        print(visible(line), file=stream)

"""Text shown to whoever runs the release tooling."""

import unicodedata


def shown(text):
    """TEXT (a path from the command line, a name from dist/ or a value from a
    BUILDINFO) with every control character, and every byte that is not
    UTF-8, as '?', so that none can redraw what a terminal shows."""
    return "".join("?" if unicodedata.category(c) in ("Cc", "Cs") else c for c in str(text))

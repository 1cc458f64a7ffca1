"""How a check ends when it does not end in OK: refused (exit 1), or could
not check (exit 2). Each names the check that decided by a stable id
(`signature.one-signer`, `der.minimal-length`): the id is what tests and
scripts may rely on, the reason's wording is for people and may change."""

from .text import visible


class Refused(Exception):
    """FILE is not what it must be (exit 1). .check is the id of the check
    that refused it; str() is one line saying why, shown safely."""

    def __init__(self, check, reason):
        super().__init__(visible(reason))
        self.check = check


class CannotCheck(Exception):
    """What was given cannot settle the question (exit 2): an input that
    cannot be read, lists that do not apply. .check and str() as for Refused."""

    def __init__(self, check, reason):
        super().__init__(visible(reason))
        self.check = check

"""What the two commands share: where the checkout is, the temporary folder,
and the last word on a fault of their own."""

import os
import sys
import tempfile
import traceback
import warnings
from pathlib import Path

PROJECT_ROOT = Path(__file__).resolve().parent.parent


class CannotRun(Exception):
    """This machine or environment keeps the command from running (exit 2);
    str() is one line saying why."""


def temporary_folder(prefix):
    """A new folder under TMPDIR (or /tmp). Raises CannotRun."""
    parent = os.environ.get("TMPDIR") or "/tmp"
    try:
        return Path(tempfile.mkdtemp(prefix=prefix, dir=parent))
    except OSError:
        raise CannotRun("no temporary folder could be made in TMPDIR (or /tmp, when it is not set)") from None


def os_error(error):
    """An OSError in words: its own text and the path it concerns, never a
    module and a line number."""
    from .text import shown
    text = error.strerror or type(error).__name__
    return f"{text}: {shown(error.filename)}" if error.filename else text


def run_main(main, on_fault):
    """Runs MAIN() and exits with its status. A fault of the tooling itself
    ends in ON_FAULT(one line), which prints it and returns the exit status,
    never in a traceback: a traceback prints values, and among them could be
    a setting's."""
    # What a command says is its own lines; a library's warning about a file
    # under check (a negative serial, say) is not one of them.
    warnings.simplefilter("ignore")
    try:
        status = main()
    except SystemExit:
        raise
    except BaseException as error:  # noqa: B036 - a KeyboardInterrupt before the handlers are set, too
        if isinstance(error, OSError):
            status = on_fault(os_error(error))
        else:
            frames = traceback.extract_tb(error.__traceback__)
            where = f" in {os.path.basename(frames[-1].filename)}, line {frames[-1].lineno}" if frames else ""
            status = on_fault(f"an internal error ({type(error).__name__}{where})")
    sys.stdout.flush()
    sys.exit(status)

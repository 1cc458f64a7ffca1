"""Every tool the release tooling starts, started one way: from an argument
list, never a shell; in a session and process group of its own, with no
terminal and no standard input, so that nothing can prompt; with a time limit;
and tracked, so that a signal ends every tool still running.

A tool is judged by its exit status alone. What it prints is kept for the
caller to pass on or drop, never parsed for structure."""

import contextlib
import os
import shutil
import signal
import subprocess
import sys

# The system's own tools, whatever PATH the caller has.
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

_running = set()
_temporary = []
_ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM)


class TimedOut(Exception):
    """A tool that did not end within its time limit; it has been ended."""

    def __init__(self, args, seconds):
        super().__init__(f"{os.path.basename(args[0])} did not end within {seconds} s")
        self.seconds = seconds


def clean_environment(**extra):
    """An environment with the system's PATH and the C locale, and EXTRA."""
    return {"PATH": SYSTEM_PATH, "LC_ALL": "C", **extra}


def run(args, *, timeout, env=None, cwd=None, input=None, pass_fds=()):
    """Runs ARGS (a list) to its end or for TIMEOUT seconds at most, and
    returns the CompletedProcess with stdout and stderr as bytes. Raises
    TimedOut when the time ran out, after ending the tool and all it started.
    ENV defaults to clean_environment(); INPUT, if given, is its standard
    input (bytes), else it has none."""
    process = subprocess.Popen(
        [os.fspath(a) for a in args],
        stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=clean_environment() if env is None else env,
        cwd=cwd,
        pass_fds=pass_fds,
        start_new_session=True,
    )
    _running.add(process)
    try:
        try:
            out, err = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _end(process)
            raise TimedOut(args, timeout) from None
    finally:
        _running.discard(process)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def _end(process, grace=10):
    """Ends PROCESS and its process group: politely, then for good."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, None)):
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(process.pid, sig)
        try:
            process.communicate(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


@contextlib.contextmanager
def secret_pipe(secret):
    """A descriptor from which a tool reads SECRET and a line feed, for
    `-passin fd:N` or `-readpass /dev/fd/N`, with N this descriptor; pass it
    in pass_fds. The secret never reaches an argument list or a file. It is
    written whole before the tool starts, so it must fit in the pipe. SECRET
    may be bytes: a password need not be UTF-8."""
    data = (secret if isinstance(secret, bytes) else secret.encode()) + b"\n"
    read_end, write_end = os.pipe()
    try:
        if len(data) > 4096:
            raise ValueError("a secret of more than 4 KiB")
        os.write(write_end, data)
        os.close(write_end)
        write_end = None
        yield read_end
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)


def remove_on_signal(path):
    """Has a signal that ends the run remove PATH (a folder) as well."""
    _temporary.append(path)


def forget_on_signal(path):
    with contextlib.suppress(ValueError):
        _temporary.remove(path)


_last_words = []


def say_on_signal(words):
    """Has a signal that ends the run print WORDS() (one line) on stderr last:
    what became of what the run was making, said when it is known."""
    _last_words[:] = [words]


def _on_signal(number, _frame):
    ignore_signals()
    for process in list(_running):
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(process.pid, signal.SIGTERM)
    for process in list(_running):
        with contextlib.suppress(Exception):
            process.wait(timeout=10)
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(process.pid, signal.SIGKILL)
    for path in _temporary:
        shutil.rmtree(path, ignore_errors=True)
    for words in _last_words:
        with contextlib.suppress(Exception):
            sys.stderr.write(words() + "\n")
    sys.stderr.flush()
    os._exit(128 + number)


def end_on_signals():
    """From here on a hang-up, an interrupt, a quit or a termination ends every
    tool still running with all it started, removes the folders given to
    remove_on_signal, and exits with 128 + the signal's number."""
    for number in _ENDING_SIGNALS:
        signal.signal(number, _on_signal)


def ignore_signals():
    """For steps that must not be cut short."""
    for number in _ENDING_SIGNALS:
        signal.signal(number, signal.SIG_IGN)

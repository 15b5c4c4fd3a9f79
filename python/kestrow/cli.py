"""The `kestrow` command: run a Python program and report which of its lines ran."""

from __future__ import annotations

import atexit
import builtins
import importlib.machinery
import importlib.util
import os
import signal
import sys
import threading
import traceback
import types
from dataclasses import dataclass, field
from types import CodeType, TracebackType
from typing import Any, TextIO

from kestrow.collector import Collector
from kestrow.report import json_document, summarize, terminal_report, write_json, write_lcov

USAGE = """\
usage: kestrow run [options] script.py [args ...]
       kestrow run [options] -m module [args ...]

Runs the program as `python script.py` (or `python -m module`) would, then reports which lines of
its source files ran.

options:
  --arcs            record line-to-line arcs as well as lines
  --source DIR      record files under DIR (repeatable; default: the program's directory)
  --omit GLOB       do not record files matching GLOB (repeatable)
  --contexts test   record which test function (name starting with "test") ran each line
  --json FILE       write the results as JSON to FILE
  --lcov FILE       write an LCOV tracefile to FILE
  --quiet           do not print the report
  -h, --help        show this help
"""

BAD_INPUT = 2


class BadInput(Exception):
    """Something wrong with what the user asked for: reported in one line, exit status 2."""


@dataclass
class RunOptions:
    arcs: bool = False
    source: list[str] = field(default_factory=list)
    omit: list[str] = field(default_factory=list)
    contexts: str | None = None
    json_path: str | None = None
    lcov_path: str | None = None
    quiet: bool = False
    module: str | None = None
    script: str | None = None
    args: list[str] = field(default_factory=list)


def parse_run_args(argv: list[str]) -> RunOptions:
    """Options come before the program; everything from the script (or -m module) on is its own."""
    opts = RunOptions()
    valued = {"--source", "--omit", "--contexts", "--json", "--lcov", "-m"}
    i = 0
    while i < len(argv):
        arg = argv[i]
        name, eq, inline = arg.partition("=") if arg.startswith("--") else (arg, "", "")
        if name in valued:
            if eq:
                value = inline
            elif i + 1 < len(argv):
                i += 1
                value = argv[i]
            else:
                raise BadInput(f"option {name} needs a value")
            if name == "-m":
                opts.module = value
                opts.args = argv[i + 1 :]
                return opts
            if name == "--source":
                if not os.path.isdir(value):
                    raise BadInput(f"--source {value!r} is not a directory")
                opts.source.append(os.path.abspath(value))
            elif name == "--omit":
                opts.omit.append(value)
            elif name == "--contexts":
                if value != "test":
                    raise BadInput(f"--contexts {value!r}: the only kind is 'test'")
                opts.contexts = value
            elif name == "--json":
                opts.json_path = os.path.abspath(value)
            else:
                opts.lcov_path = os.path.abspath(value)
        elif arg in ("--arcs", "--quiet") and not eq:
            if arg == "--arcs":
                opts.arcs = True
            else:
                opts.quiet = True
        elif arg == "--":
            i += 1
            break
        elif arg.startswith("-") and arg != "-":
            raise BadInput(f"unknown option {arg!r}")
        else:
            break
        i += 1
    if i >= len(argv):
        raise BadInput(
            "no program given: kestrow run [options] script.py [args ...] | -m module [args ...]"
        )
    opts.script = argv[i]
    opts.args = argv[i + 1 :]
    return opts


def check_writable(path: str) -> None:
    """Refuse an output path that cannot be written before the program runs, not after."""
    directory = os.path.dirname(path) or "."
    if os.path.isdir(path):
        raise BadInput(f"cannot write {path}: it is a directory")
    if not os.path.isdir(directory):
        raise BadInput(f"cannot write {path}: no directory {directory}")
    if not os.access(path if os.path.exists(path) else directory, os.W_OK):
        raise BadInput(f"cannot write {path}: permission denied")


@dataclass
class Program:
    """The code to run as __main__ and how the interpreter would have set the process up for it."""

    code: CodeType | None
    argv0: str
    path0: str
    root: str
    globals: dict[str, Any]
    module: str | None = None


def load_script(path: str) -> Program:
    try:
        with open(path, "rb") as f:
            source = f.read()
    except OSError as e:
        raise BadInput(f"can't open file {path!r}: {e.strerror or e}") from None
    full = os.path.abspath(path)
    try:
        code = compile(source, full, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as e:
        # The program's own error, as `python script.py` would report it.
        return Program(None, path, "", os.path.dirname(os.path.realpath(full)), {"error": e})
    directory = os.path.dirname(os.path.realpath(full))
    main_globals = {
        "__name__": "__main__",
        "__doc__": None,
        "__file__": full,
        "__cached__": None,
        "__package__": None,
        "__spec__": None,
        "__loader__": importlib.machinery.SourceFileLoader("__main__", full),
        "__builtins__": builtins,
    }
    return Program(code, path, directory, directory, main_globals)


def module_root(name: str) -> str:
    """The directory the module's top-level package lies in, found without importing anything."""
    top = name.partition(".")[0]
    found = importlib.machinery.PathFinder.find_spec(top, sys.path)
    if found is not None and found.origin and os.path.isfile(found.origin):
        origin_dir = os.path.dirname(os.path.realpath(found.origin))
        return os.path.dirname(origin_dir) if found.submodule_search_locations else origin_dir
    if found is not None and found.submodule_search_locations:  # a namespace package
        return os.path.dirname(os.path.realpath(list(found.submodule_search_locations)[0]))
    return os.getcwd()


def load_module(name: str) -> Program:
    """Find and compile the module like `python -m` (importing its parent packages)."""
    if not name or name.startswith(".") or not all(part.isidentifier() for part in name.split(".")):
        raise BadInput(f"bad module name {name!r}")
    try:
        found = importlib.util.find_spec(name)
        if found is not None and found.submodule_search_locations is not None:
            name = name + ".__main__"
            found = importlib.util.find_spec(name)
    except ModuleNotFoundError as e:
        raise BadInput(f"no module named {name!r} ({e})") from None
    if found is None or found.loader is None or not hasattr(found.loader, "get_code"):
        raise BadInput(f"no module named {name!r}")
    try:
        code = found.loader.get_code(name)
    except SyntaxError as e:
        return Program(None, found.origin or name, os.getcwd(), os.getcwd(), {"error": e}, name)
    except (ImportError, OSError) as e:
        raise BadInput(f"can't read module {name!r}: {e}") from None
    if code is None:
        raise BadInput(f"no code for module {name!r}")
    main_globals = {
        "__name__": "__main__",
        "__doc__": None,
        "__file__": found.origin,
        "__cached__": found.cached,
        "__package__": found.parent,
        "__spec__": found,
        "__loader__": found.loader,
        "__builtins__": builtins,
    }
    return Program(code, found.origin or name, os.getcwd(), os.getcwd(), main_globals, name)


def exit_status(exc: SystemExit, stderr: TextIO) -> int:
    """The status `python` exits with for this SystemExit (printing a non-int code as it does)."""
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF if code >= 0 else code % 256
    try:
        print(code, file=stderr)
    except Exception:
        pass
    return 1


_KESTROW_DIR = os.path.dirname(os.path.abspath(__file__))
# The import machinery, frozen into the interpreter or not (debug builds load it from source).
_IMPORTLIB_DIR = os.path.dirname(os.path.abspath(importlib.util.__file__ or ""))


def program_traceback(tb: TracebackType | None) -> TracebackType | None:
    """The traceback from the program's first frame on: kestrow's own frames, and the import
    machinery's that lead into the program's packages, are not the program's."""
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        directory = os.path.dirname(os.path.abspath(filename))
        if not (
            filename.startswith("<frozen importlib") or directory in (_KESTROW_DIR, _IMPORTLIB_DIR)
        ):
            break
        tb = tb.tb_next
    return tb


def report_exception(exc: BaseException, tb: TracebackType | None) -> None:
    """Print an exception of the program through sys.excepthook, as the interpreter does."""
    # The printer prefers the exception's own traceback to the one it is given.
    exc.__traceback__ = tb
    try:
        sys.excepthook(type(exc), exc, tb)
    except Exception:
        traceback.print_exception(type(exc), exc, tb)


def shut_down_like_the_interpreter() -> None:
    """What the interpreter does after the main module ends, recorded too: wait for the program's
    non-daemon threads (running the threading module's exit hooks first, which lets executors'
    idle workers go), then run its atexit callbacks. The interpreter's own later pass finds
    nothing left to do."""
    try:
        shutdown = getattr(threading, "_shutdown", None)
        if shutdown is not None:
            shutdown()
        else:
            for thread in threading.enumerate():
                if thread is not threading.current_thread() and not thread.daemon:
                    thread.join()
    except BaseException as e:  # Ctrl-C while waiting, as the interpreter reports it
        print("Exception ignored on threading shutdown:", file=sys.stderr)
        traceback.print_exception(e)
    run_exitfuncs = getattr(atexit, "_run_exitfuncs", None)
    if run_exitfuncs is not None:
        run_exitfuncs()


def run_program(
    opts: RunOptions, program: Program | None, collector: Collector
) -> tuple[int, bool]:
    """Run the program; returns its exit status and whether it was interrupted by Ctrl-C."""
    interrupted = False
    status = 0
    saved_main = sys.modules.get("__main__")
    main_module = types.ModuleType("__main__")
    try:
        collector.start()
        try:
            if program is None:  # -m: its parent packages are imported, and run, while recording
                assert opts.module is not None
                sys.path[0] = os.getcwd()
                program = load_module(opts.module)
            sys.argv[:] = [program.argv0, *opts.args]
            if program.path0:
                sys.path[0] = program.path0
            if program.code is None:
                error = program.globals["error"]
                report_exception(error, None)
                return 1, False
            main_module.__dict__.update(program.globals)
            sys.modules["__main__"] = main_module
            exec(program.code, main_module.__dict__)
        except BadInput:
            raise
        except SystemExit as e:
            status = exit_status(e, sys.stderr)
        except KeyboardInterrupt as e:
            report_exception(e, program_traceback(e.__traceback__))
            status, interrupted = 130, True
        except BaseException as e:
            report_exception(e, program_traceback(e.__traceback__))
            status = 1
        shut_down_like_the_interpreter()
    finally:
        collector.stop()
        del saved_main
    return status, interrupted


def cmd_run(argv: list[str]) -> int:
    opts = parse_run_args(argv)
    for path in (opts.json_path, opts.lcov_path):
        if path:
            check_writable(path)
    start_dir = os.getcwd()
    report_out = sys.stdout
    program = None
    if opts.script is not None:
        program = load_script(opts.script)
        root = program.root
    else:
        assert opts.module is not None
        sys.path[0] = os.getcwd()
        root = module_root(opts.module)
    collector = Collector(opts.source or [root], opts.omit, arcs=opts.arcs, contexts=opts.contexts)
    status, interrupted = run_program(opts, program, collector)

    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    try:
        os.chdir(start_dir)  # report paths relative to where the command ran
    except OSError:
        pass
    results = collector.results()
    summaries = summarize(results)
    if not opts.quiet:
        try:
            terminal_report(summaries, report_out)
            report_out.flush()
        except OSError, ValueError:
            pass  # the reader went away (a closed pipe) or the program closed stdout
    command = ["-m", opts.module] if opts.module is not None else [opts.script]
    program_info = {"argv": [*command, *opts.args], "exit_status": status}
    try:
        if opts.json_path:
            with open(opts.json_path, "w", encoding="utf-8") as f:
                write_json(json_document(results, summaries, program_info), f)
        if opts.lcov_path:
            with open(opts.lcov_path, "w", encoding="utf-8") as f:
                write_lcov(summaries, f)
    except OSError as e:
        raise BadInput(f"cannot write {e.filename}: {e.strerror or e}") from None
    if interrupted:
        # Die of the signal, as the interpreter does for an uncaught KeyboardInterrupt.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return status


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    try:
        if not argv:
            sys.stderr.write(USAGE)
            return BAD_INPUT
        if argv[0] in ("-h", "--help"):
            sys.stdout.write(USAGE)
            return 0
        if argv[0] != "run":
            raise BadInput(f"unknown command {argv[0]!r} (the command is: kestrow run ...)")
        if len(argv) > 1 and argv[1] in ("-h", "--help"):
            sys.stdout.write(USAGE)
            return 0
        return cmd_run(argv[1:])
    except BadInput as e:
        print(f"kestrow: error: {e}", file=sys.stderr)
        return BAD_INPUT

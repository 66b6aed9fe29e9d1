"""The `tavrel` command: inspect, check, convert and tabulate TextGrid files.

Exit status: 0 when every file was handled, 1 when any file (or folder) failed, 2
for a mistake on the command line (or an output that cannot be written), 130 on
Ctrl-C, 128 + the signal's number on SIGTERM and SIGHUP (which stop it as Ctrl-C does).
"""

import argparse
import json
import os
import signal
import sys
import threading
import time

from . import _convert, _corpus, _export
from ._corpus import UsageError

DESCRIPTION = """Inspect, check, convert and tabulate Praat TextGrid files.

Folders are searched recursively for *.TextGrid files (any letter case); files
named on the command line are read whatever their name. Archives (.zip, .tar,
.tar.gz, .tgz) are read like folders, without extracting them; their members are
named archive.zip/inner/path.TextGrid. With fsspec installed (the remote extra),
URLs (s3://, gs://, https://, zip://, ...) name files and folders too. Files are
read strictly (declared counts, ordered and non-overlapping items) unless
--lenient is given."""

EPILOG = """exit status: 0 all files passed, 1 some file or folder failed, 2 usage
error (including a missing path or an output that cannot be written), 130 interrupted
(Ctrl-C), 143 terminated (SIGTERM), 129 hung up (SIGHUP)"""

# Signals that stop a command as Ctrl-C does: nothing half-written is left behind.
STOPPING_SIGNALS = ("SIGTERM", "SIGHUP")


class Stopped(KeyboardInterrupt):
    """A stopping signal other than Ctrl-C, raised where Ctrl-C would be."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def main(argv=None):
    # File names that are not valid UTF-8 are printed as the bytes they are.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    previous = _catch_stopping_signals()
    try:
        args = build_parser().parse_args(argv)
        if args.jobs:
            # The worker pool reads this once, when the first call starts it.
            os.environ["RAYON_NUM_THREADS"] = str(args.jobs)
        return args.run(args)
    except UsageError as error:
        print(f"tavrel: error: {error}", file=sys.stderr)
        return 2
    except Stopped as stop:
        _restore(previous)  # a second signal ends the process at once
        print(f"tavrel: interrupted by {signal.Signals(stop.number).name}", file=sys.stderr)
        return _interrupted(128 + stop.number)
    except KeyboardInterrupt:
        _restore(previous)
        print("tavrel: interrupted", file=sys.stderr)
        return _interrupted(130)
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        _restore(previous)


def _catch_stopping_signals():
    """Makes SIGTERM and SIGHUP raise Stopped (unless ignored, as under nohup); the
    handlers they had before."""
    def stop(number, frame):
        raise Stopped(number)

    previous = {}
    for name in STOPPING_SIGNALS:
        number = getattr(signal, name, None)
        if number is None or signal.getsignal(number) != signal.SIG_DFL:
            continue
        try:
            previous[number] = signal.signal(number, stop)
        except ValueError:  # not the main thread: signals stay as they are
            break
    return previous


def _restore(handlers):
    while handlers:
        number, handler = handlers.popitem()
        signal.signal(number, handler)


def _interrupted(status):
    """`status`, once other threads have finished what they were doing (for a moment
    at most: a thread blocked on a file that never ends is left)."""
    others = [thread for thread in threading.enumerate()
              if thread is not threading.current_thread() and not thread.daemon]
    deadline = time.monotonic() + 2.0
    try:
        for thread in others:
            thread.join(max(0.0, deadline - time.monotonic()))
    except KeyboardInterrupt:  # a second Ctrl-C: no more waiting
        pass
    sys.stdout.flush()
    sys.stderr.flush()
    if any(thread.is_alive() for thread in others):
        os._exit(status)
    return status


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-j", "--jobs", type=_positive, metavar="N",
                        help="worker threads (default: one per available processor)")
    common.add_argument("--lenient", action="store_true",
                        help="read without validating counts, bounds and item order")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no summary line; failures are still listed")
    _encoding_option(common)

    parser = argparse.ArgumentParser(
        prog="tavrel", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, summary, details=""):
        sub = commands.add_parser(name, parents=[common], help=summary,
                                  description=summary + details, epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    info = command("info", run_info, "Show each file's layout, encoding, bounds and tiers.")
    info.add_argument("paths", nargs="+", metavar="PATH", help="TextGrid files or folders")
    info.add_argument("--json", action="store_true", help="one JSON record per file")

    check = command("check", run_check,
                    "Read every file and list those that fail, with the reason.",
                    "\n\nPrints one line per failing file, PATH:LINE: KIND: MESSAGE (the line where\n"
                    "the file is wrong, where there is one), and a summary line.")
    check.add_argument("paths", nargs="+", metavar="PATH", help="TextGrid files or folders")
    check.add_argument("--json", action="store_true",
                       help="one JSON record per file on standard output "
                       "(summary on standard error)")
    check.add_argument("--all", action="store_true",
                       help="every problem of a failing file, not only the first")

    convert = command(
        "convert", run_convert, "Rewrite files in the long or short layout, as UTF-8.",
        "\n\nFiles found in a folder keep their place below it in --out; inputs are never\n"
        "overwritten unless --in-place is given. A file that fails leaves its target untouched.")
    convert.add_argument("paths", nargs="+", metavar="PATH", help="TextGrid files or folders")
    convert.add_argument("--to", required=True, choices=("long", "short"), help="layout to write")
    where = convert.add_mutually_exclusive_group(required=True)
    where.add_argument("--out", metavar="DIR", help="folder for the converted files")
    where.add_argument("--in-place", action="store_true", help="rewrite each file where it is")

    table = command(
        "table", run_table, "Write the items of all files as one table.",
        "\n\nColumns: file_id, file, tier_name, tier_index, is_interval, tmin, tmax, label. CSV and TSV\n"
        "are written without extra packages; Parquet and Arrow need pyarrow.")
    table.add_argument("paths", nargs="+", metavar="PATH", help="TextGrid files or folders")
    table.add_argument("--out", required=True, metavar="FILE",
                       help="output file: .csv, .tsv, .parquet or .arrow")
    table.add_argument("--format", choices=("csv", "tsv", "parquet", "arrow"),
                       help="table format (default: from the extension of --out)")
    plot = command(
        "plot", run_plot, "Draw the tiers of one file as Praat's TextGrid editor shows them.",
        "\n\nOne band per tier, boundaries as lines, labels centred (shortened when they do not\n"
        "fit), points as marks, and a time axis. Needs matplotlib (pip install 'tavrel[plot]').")
    plot.add_argument("file", metavar="FILE", help="a TextGrid file")
    plot.add_argument("--from", dest="start", type=float, metavar="S", help="start of the window (seconds)")
    plot.add_argument("--to", dest="end", type=float, metavar="S", help="end of the window (seconds)")
    plot.add_argument("--tiers", nargs="+", metavar="NAME", help="tiers to draw, in this order (default: all)")
    plot.add_argument("--width", type=float, default=12.0, metavar="INCHES", help="width of the picture")
    plot.add_argument("--out", required=True, metavar="FILE", help="the picture: .png, .svg or .pdf")
    return parser


def _encoding_option(parser):
    parser.add_argument("--encoding", default="utf-8", choices=_corpus.ENCODINGS,
                        help="what text files are read in: utf-8 (the default), latin-1, cp1252, "
                        "or praat (UTF-8 when valid, else Latin-1); a byte-order mark always wins")


def _version():
    try:
        from importlib.metadata import version

        return version("tavrel")
    except Exception:  # not installed as a distribution (e.g. a build tree)
        return "(development build)"


def _inputs(args, skip=frozenset()):
    """(found, folder_reports): the (path, root) pairs of the input files, and a
    failure report for each folder that could not be searched."""
    found, unsearchable = _corpus.find_textgrids(args.paths, skip)
    if not found and not unsearchable:
        raise UsageError("no TextGrid files found in " + ", ".join(args.paths))
    return found, unsearchable


def _inputs_text(reports):
    """'N files', or 'N files and M folders' when folders could not be searched."""
    folders = sum(report.get("folder", False) for report in reports)
    text = _count(len(reports) - folders, "file")
    return text + f" and {_count(folders, 'folder')}" if folders else text


def _progress(args, total):
    return _corpus.Progress(total, "file", enabled=not args.quiet)


def _print_failures(reports, encoding):
    failed = [report for report in reports if not report["ok"]]
    undecoded = _corpus.encoding_problems(failed, encoding)
    for report in failed:
        print(_corpus.problem_line(report, undecoded.get(report["path"])))
    return len(failed)


def _read_reports(args):
    """One report per input file (after those of folders that could not be searched),
    read with a progress bar where there is a terminal."""
    found, folder_reports = _inputs(args)
    paths = [path for path, _ in found]
    progress = _progress(args, len(paths))
    try:
        return folder_reports + _corpus.read_reports(paths, not args.lenient, progress,
                                                     args.encoding)
    finally:
        progress.close()


def run_info(args):
    reports = _read_reports(args)
    undecoded = {} if args.json else _corpus.encoding_problems(reports, args.encoding)
    for report in reports:
        tiers = report.get("tier_summaries")
        if args.json:
            print(_json(dict(_record(report), tiers=tiers)))
        elif not report["ok"]:
            print(_corpus.problem_line(report, undecoded.get(report["path"])))
        else:
            _print_info(report, tiers)
    return 1 if any(not report["ok"] for report in reports) else 0


def _print_info(report, tiers):
    found = ", ".join(filter(None, (report["layout"] and report["layout"] + " layout",
                                    report["encoding"])))
    print(f"{_corpus.readable(report['path'], None)}: {found + ', ' if found else ''}"
          f"{report['tmin']!r} to {report['tmax']!r} s, {_count(len(tiers), 'tier')}, "
          f"{_count(report['items'], 'item')}")
    names = [_corpus.readable(tier["name"], None) for tier in tiers]  # one line each
    width = max(map(len, names), default=0)
    for number, (tier, name) in enumerate(zip(tiers, names), 1):
        print(f"  {number:>2}  {tier['class']:<12}  {name:<{width}}  "
              f"{_count(tier['items'], 'item')}")


def _json(record):
    """One JSON line: UTF-8 text as it is, unless a file name is not valid UTF-8
    (then escaped, so that the line stays valid JSON)."""
    line = json.dumps(record, ensure_ascii=False)
    try:
        line.encode("utf-8")
    except UnicodeEncodeError:
        line = json.dumps(record)
    return line


def _record(report):
    record = {key: report[key] for key in _corpus.REPORT_FIELDS}
    record["error"] = _corpus.bounded_error(record["error"])
    return record


def _count(number, noun):
    return f"{number} {noun}{'' if number == 1 else 's'}"


def run_check(args):
    reports = _read_reports(args)
    problems = _corpus.problems_of(reports, not args.lenient, args.encoding, args.all)
    for report in reports:
        found = problems.get(report["path"], [None]) if not report["ok"] else [None]
        for problem in found:
            if args.json:
                print(_json(_corpus.problem_record(_record(report), problem)))
            elif not report["ok"]:
                print(_corpus.problem_line(report, problem))
    failed = sum(not report["ok"] for report in reports)
    if not args.quiet:
        print(f"checked {_inputs_text(reports)}: {len(reports) - failed} passed, "
              f"{failed} failed", file=sys.stderr if args.json else sys.stdout)
    return 1 if failed else 0


def run_convert(args):
    # A second run must not take its own earlier output below an input folder as input.
    found, reports = _inputs(args, frozenset() if args.in_place else _convert.skipped(args.out))
    pairs, refused = _convert.targets(found, None if args.in_place else args.out)
    reports += refused
    progress = _progress(args, len(pairs))
    try:
        reports += _convert.convert(pairs, not args.lenient, args.to == "long", progress,
                                    args.encoding)
    finally:
        progress.close()
    failed = _print_failures(reports, args.encoding)
    if not args.quiet:
        where = "in place" if args.in_place else f"into {args.out}"
        print(f"converted {len(reports) - failed} of {_inputs_text(reports)} to the "
              f"{args.to} layout {where}; {failed} failed")
    return 1 if failed else 0


def run_table(args):
    fmt = _export.format_of(args.out, args.format)
    if fmt in ("parquet", "arrow"):
        _export.require_pyarrow(fmt)
    if not os.path.isdir(os.path.dirname(args.out) or "."):
        raise UsageError(f"cannot write {args.out}: no such folder")
    if os.path.isdir(args.out):
        raise UsageError(f"cannot write {args.out}: it is a folder")
    found, reports = _inputs(args)
    overwritten = _corpus.identities(path for path, _ in found).get(
        _corpus.identity_or_none(args.out))
    if overwritten is not None:
        raise UsageError(f"writing {args.out} would overwrite the input {overwritten}; "
                         "choose another --out file")
    paths = [path for path, _ in found]
    progress = _progress(args, len(paths))
    try:
        if paths:  # else only folders that could not be searched: no table to write
            reports += _export.write_table(paths, not args.lenient, args.out, fmt, progress,
                                           args.encoding)
    except OSError as error:  # a full disk, a folder that became read-only, ...
        raise UsageError(f"cannot write {args.out}: {error.strerror or error}") from None
    finally:
        progress.close()
    failed = _print_failures(reports, args.encoding)
    if not args.quiet:
        rows = sum(report["items"] or 0 for report in reports if report["ok"])
        print(f"wrote {_count(rows, 'row')} from {len(reports) - failed} of "
              f"{_inputs_text(reports)} to {args.out}; {failed} failed")
    return 1 if failed else 0


def run_plot(args):
    from . import _plot

    if os.path.splitext(args.out)[1].lower() not in (".png", ".svg", ".pdf"):
        raise UsageError(f"cannot write {args.out}: the picture's name must end in .png, .svg or .pdf")
    if not os.path.isdir(os.path.dirname(args.out) or "."):
        raise UsageError(f"cannot write {args.out}: no such folder")
    if os.path.isdir(args.file):
        raise UsageError(f"plot draws one file, and {args.file} is a folder")
    if not os.path.exists(args.file):
        raise UsageError(f"no such file or folder: {args.file}")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("plot needs matplotlib: pip install 'tavrel[plot]'") from None
    try:
        grid = _plot.read(args.file, not args.lenient, args.encoding)
    except (OSError, _plot.tavrel.PanicException) as error:
        print(f"{args.file}: {error}", file=sys.stderr)
        return 1
    try:
        figure = _plot.draw(grid, args.start, args.end, args.tiers, width=args.width)
    except ValueError as error:
        raise UsageError(str(error)) from None
    try:
        _plot.save(figure, args.out)
    except OSError as error:
        raise UsageError(f"cannot write {args.out}: {error.strerror or error}") from None
    if not args.quiet:
        print(f"drew {args.file} to {args.out}")
    return 0

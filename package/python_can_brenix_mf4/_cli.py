"""The `mf4` command (also `python -m python_can_brenix_mf4`): info, dump,
convert, finalize, plot and signals of MF4 bus logs.

    mf4 info samples/plain.mf4 --json
    mf4 dump samples/encrypted.mf4 --password brenix-demo | head
    mf4 convert a.mf4 b.mf4 merged.blf --channels "CAN 1"
    mf4 finalize logger.mf4 finalized.mf4
    mf4 plot samples/plain.mf4 -o traffic.png
    mf4 signals a.mf4 b.mf4 --db vehicle.dbc -o signals.parquet

Exit status: 0 on success, 2 on a usage error, 1 when an input cannot be
read or an output cannot be written (one line naming the file and why).
"""
from __future__ import annotations

import argparse
import datetime
import heapq
import json
import logging
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, Sequence

from . import _finalize, _plot, _tools
from ._native import MdfFile

PROG = "mf4"
# Where passwords come from besides the options: whitespace-separated
# entries DEVICE=SECRET or SECRET (the default).
PASSWORD_ENV = "MF4_PASSWORDS"


class Failure(Exception):
    """An input or output that cannot be handled: exit status 1."""


class UsageError(Exception):
    """Arguments that make no sense together: exit status 2."""


def _reason(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    cause = error.__cause__
    if cause is not None and str(cause):
        text += ": %s" % cause
    return text


# --- passwords and inputs -------------------------------------------------

def _add_password(table: Dict[str, str], entry: str) -> None:
    key, sep, secret = entry.partition("=")
    if not sep:
        key, secret = "default", entry
    if not key or not secret:
        raise UsageError("a password is written DEVICE=SECRET or SECRET")
    table[key.upper() if key != "default" else key] = secret


def _passwords(args) -> Optional[Dict[str, str]]:
    table: Dict[str, str] = {}
    for entry in os.environ.get(PASSWORD_ENV, "").split():
        _add_password(table, entry)
    if args.passwords_file:
        try:
            with open(args.passwords_file, encoding="utf-8") as lines:
                entries = [line.strip() for line in lines]
        except (OSError, UnicodeDecodeError) as error:
            raise Failure("%s: %s" % (args.passwords_file,
                                      getattr(error, "strerror", None)
                                      or _reason(error))) from None
        for entry in entries:
            if entry and not entry.startswith("#"):
                _add_password(table, entry)
    for entry in args.password or ():
        _add_password(table, entry)
    return table or None


def _open(path: str, passwords, any_writer: bool = False) -> MdfFile:
    try:
        return MdfFile(path, passwords=passwords, skip_unknown_records=True,
                       any_writer=any_writer)
    except (OSError, RuntimeError, ValueError, TypeError) as error:
        raise Failure("%s: %s" % (path, _reason(error))) from None


def _time(text: str) -> float:
    """Seconds since 1970: a number, or an ISO 8601 time (UTC unless it
    says otherwise)."""
    try:
        return float(text)
    except ValueError:
        pass
    try:
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            "%r is neither seconds since 1970 nor an ISO 8601 time" % text)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def _ident(text: str) -> int:
    try:
        return int(text, 16)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is no hex arbitration id" % text)


def _filters(args) -> Dict[str, Any]:
    return {"channels": args.channels or None, "ids": args.ids or None,
            "start": args.start, "stop": args.stop}


def _utc(ns: int) -> str:
    moment = datetime.datetime.fromtimestamp(ns // 10**9,
                                             datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S") + ".%09dZ" % (ns % 10**9)


def _progress(args, unit: str):
    """A tqdm bar on stderr when it is a terminal and not --quiet, else
    None."""
    if getattr(args, "quiet", False) or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(unit=unit, unit_scale=True, leave=False, file=sys.stderr)


# --- info -------------------------------------------------------------------

def _info(path: str, passwords, bar,
          any_writer: bool = False) -> Dict[str, Any]:
    with _open(path, passwords, any_writer) as log:
        layout = log._layout()
        counts = _tools.frame_counts(log, bar)
        metadata = {key: value["value_raw"]
                    for key, value in log.get_metadata().items()}
    groups = []
    for index, group in enumerate(layout["groups"]):
        groups.append({"index": index,
                       "channel_groups": group["channel_groups"],
                       "sorted": group["channel_groups"] <= 1,
                       "kinds": sorted(counts["group_kinds"].get(index, ()))})
    info = {
        "file": path,
        "containers": [{"kind": kind, "device_id": device}
                       for kind, device in layout["containers"]],
        "version": layout["version_text"],
        "finalized": layout["unfinalized"] == 0
        and layout["unfinalized_custom"] == 0,
        "sorted": all(group["sorted"] for group in groups),
        "data_groups": groups,
        "frames": counts["frames"],
        "counts": counts["counts"],
        "first_ns": counts["first_ns"], "last_ns": counts["last_ns"],
        "first": None, "last": None, "duration": None,
        "metadata": metadata,
    }
    if counts["frames"]:
        info["first"] = _utc(counts["first_ns"])
        info["last"] = _utc(counts["last_ns"])
        info["duration"] = (counts["last_ns"] - counts["first_ns"]) / 1e9
    return info


def _print_info(info: Dict[str, Any], out) -> None:
    containers = " around ".join("%s (device %s)" % (c["kind"], c["device_id"])
                             for c in info["containers"]) or "none (plain)"
    out.write("%s\n" % info["file"])
    out.write("  container:  %s\n" % containers)
    out.write("  MF4 %s, %s, %s\n" % (
        info["version"], "finalized" if info["finalized"] else "unfinalized",
        "sorted" if info["sorted"] else "unsorted"))
    for group in info["data_groups"]:
        out.write("  data group %d: %d channel group(s), %s\n" % (
            group["index"], group["channel_groups"],
            ", ".join(group["kinds"]) or "no frames"))
    out.write("  frames:     %d\n" % info["frames"])
    for channel, kinds in info["counts"].items():
        out.write("    %-7s %s\n" % (channel, ", ".join(
            "%s %d" % (kind, count) for kind, count in kinds.items())))
    if info["frames"]:
        out.write("  first:      %s\n  last:       %s\n  duration:   %.6f s\n"
                  % (info["first"], info["last"], info["duration"]))
    for key, value in info["metadata"].items():
        out.write("  %s = %s\n" % (key, value))


def cmd_info(args) -> None:
    passwords = _passwords(args)
    bar = _progress(args, "frames")
    infos = []
    try:
        for path in args.logs:
            infos.append(_info(path, passwords, bar, args.any_writer))
    finally:
        if bar is not None:
            bar.close()
    if args.json:
        json.dump(infos if len(infos) > 1 else infos[0], sys.stdout,
                  indent=2)
        sys.stdout.write("\n")
    else:
        for info in infos:
            _print_info(info, sys.stdout)


# --- dump -------------------------------------------------------------------

def _messages(logs: Sequence[MdfFile], filters) -> Iterator[Any]:
    """The messages of every log, merged by timestamp, filtered."""
    channels = set(filters["channels"] or ())
    ids = set(filters["ids"] or ())
    start, stop = filters["start"], filters["stop"]

    def wanted(log):
        for message in log:
            if channels and message.channel not in channels:
                continue
            if ids and message.arbitration_id not in ids:
                continue
            if start is not None and message.timestamp < start:
                continue
            if stop is not None and message.timestamp >= stop:
                continue
            yield message
    return heapq.merge(*(wanted(log) for log in logs),
                       key=lambda message: message.timestamp)


def _open_all(paths: Sequence[str], passwords,
              any_writer: bool = False) -> List[MdfFile]:
    logs = []
    try:
        for path in paths:
            logs.append(_open(path, passwords, any_writer))
    except BaseException:
        for log in logs:
            log.close()
        raise
    return logs


def cmd_dump(args) -> None:
    passwords = _passwords(args)
    filters = _filters(args)
    _tools.check_filters(filters)
    logs = _open_all(args.logs, passwords, args.any_writer)
    try:
        if args.format == "csv":
            _tools.write_csv(logs, filters, sys.stdout)
            return
        messages = _messages(logs, filters)
        if args.format == "candump":
            write = sys.stdout.write
            for message in messages:
                write(_tools.candump_line(message))
        else:
            import can
            shape = _tools.for_writer(".asc")
            writer = can.ASCWriter(sys.stdout)
            for message in messages:
                message = shape(message)
                if message is not None:
                    writer.on_message_received(message)
        sys.stdout.flush()
    finally:
        for log in logs:
            log.close()


# --- convert ----------------------------------------------------------------

def _write_from_logs(args, out: str, work) -> None:
    """Opens the logs and runs work(logs, filters, progress bar), which
    writes `out`; a failure to write names `out`."""
    passwords = _passwords(args)
    filters = _filters(args)
    _tools.check_filters(filters)
    logs = _open_all(args.logs, passwords, args.any_writer)
    bar = _progress(args, "frames")
    try:
        work(logs, filters, bar)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure("%s: %s" % (out, error.strerror or error)) from None
    finally:
        if bar is not None:
            bar.close()
        for log in logs:
            log.close()


def cmd_convert(args) -> None:
    suffix = os.path.splitext(args.out)[1].lower()
    if suffix not in _tools.CONVERSIONS:
        raise UsageError("%s: unknown output format %r (one of %s)" % (
            args.out, suffix, ", ".join(_tools.CONVERSIONS)))
    _write_from_logs(args, args.out, lambda logs, filters, bar:
                     _tools.convert(logs, filters, args.out, suffix, bar,
                                    lambda: _messages(logs, filters)))


# --- finalize ---------------------------------------------------------------

def cmd_finalize(args) -> None:
    passwords = _passwords(args)
    log = _open(args.input, passwords, args.any_writer)
    try:
        content = log._finalized()
    except RuntimeError as error:
        raise Failure("%s: cannot be finalized: %s"
                      % (args.input, _reason(error))) from None
    finally:
        log.close()
    try:
        _finalize.write_atomically(args.output, content)
    except OSError as error:
        raise Failure("%s: %s" % (args.output, error.strerror or error)) \
            from None


# --- plot -------------------------------------------------------------------

def _bitrate(text: str):
    channel, sep, rate = text.rpartition("=")
    try:
        value = float(rate)
    except ValueError:
        value = 0
    if not sep or not channel or value <= 0:
        raise argparse.ArgumentTypeError(
            "%r: a bit rate is written CHANNEL=RATE, e.g. 'CAN 1=500000'"
            % text)
    return channel, value


def cmd_plot(args) -> None:
    title = args.title or ", ".join(os.path.basename(p) for p in args.logs)
    _write_from_logs(args, args.output, lambda logs, filters, bar:
                     _plot.plot(logs, filters, args.output,
                                dict(args.bitrate or ()), bar, title=title))


# --- signals ----------------------------------------------------------------

def _db_entry(text: str):
    """--db [CHANNEL=]FILE: (channel or None, path)."""
    channel, sep, path = text.partition("=")
    if sep and _is_channel(channel):
        if not path:
            raise argparse.ArgumentTypeError(
                "%r: a database for a channel is written CHANNEL=FILE, e.g. "
                "'CAN 1=powertrain.dbc'" % text)
        return channel, path
    return None, text


def _is_channel(text: str) -> bool:
    bus, _, number = text.partition(" ")
    return bus in ("CAN", "LIN") and number.isdigit()


def _load_database(path: str):
    from . import _signals
    cantools = _signals._cantools()
    try:
        db = cantools.database.load_file(path)
    except OSError as error:
        raise Failure("%s: %s" % (path, error.strerror or error)) from None
    except Exception as error:  # the database parsers raise what they like
        raise Failure("%s: cannot be read as a database: %s"
                      % (path, _reason(error))) from None
    try:
        _signals._Plan(db, None, None)  # its layouts, checked once
    except ValueError as error:
        raise Failure("%s: %s" % (path, error)) from None
    return db


def _signal_plan(args):
    from . import _signals
    default = None
    by_channel: Dict[str, Any] = {}
    for channel, path in args.db:
        db = _load_database(path)
        if channel is None:
            if default is not None:
                raise UsageError("--db: one database without a channel at "
                                 "most (others as CHANNEL=FILE)")
            default = db
        else:
            by_channel[channel] = db
    try:
        return _signals._Plan(default, by_channel or None, args.messages)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None


def cmd_signals(args) -> None:
    suffix = None
    if args.output is not None:
        suffix = os.path.splitext(args.output)[1].lower()
        if suffix not in _tools.SIGNAL_FORMATS:
            raise UsageError("%s: unknown output format %r (one of %s)" % (
                args.output, suffix, ", ".join(_tools.SIGNAL_FORMATS)))
    plan = _signal_plan(args)
    from . import _signals

    def work(logs, filters, bar):
        parts = []
        for log in logs:
            found = _signals.decode_log(log, plan, True, args.choices,
                                        row_numbers=True, **filters)
            parts.append(_tools.signal_rows(found, args.choices))
            if bar is not None:
                bar.update(sum(t["count"] for t in found.values()))
        rows = _tools.merge_signal_rows(parts)
        if args.output is None:
            _tools.write_signal_csv(rows, sys.stdout)
        else:
            _tools.write_signals(rows, args.output, suffix)
    _write_from_logs(args, args.output or "standard output", work)


# --- the parser ---------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look into MF4 bus logs of CAN/LIN loggers "
        "(plain, compressed, encrypted).", epilog="Passwords of encrypted "
        "logs also come from $%s (entries DEVICE=SECRET or SECRET)."
        % PASSWORD_ENV)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--password", action="append", metavar="[DEVICE=]SECRET",
                        help="password of encrypted logs, for a device id "
                        "(8 hex digits) or for every device (repeatable)")
    common.add_argument("--passwords-file", metavar="FILE",
                        help="a file of passwords, one DEVICE=SECRET or "
                        "SECRET a line")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bars")
    common.add_argument("--any-writer", action="store_true",
                        help="read logs of any MF4 writer (python-can, "
                        "asammdf, other loggers), not only the logger "
                        "family's")
    filters = argparse.ArgumentParser(add_help=False)
    filters.add_argument("--channels", nargs="+", metavar="CHANNEL",
                         help="only these channels, e.g. 'CAN 1' 'LIN 1'")
    filters.add_argument("--ids", nargs="+", type=_ident, metavar="ID",
                         help="only these arbitration ids (hex)")
    filters.add_argument("--start", type=_time, metavar="T",
                         help="from this time on (seconds since 1970 or "
                         "ISO 8601, UTC)")
    filters.add_argument("--stop", type=_time, metavar="T",
                         help="before this time")

    info = commands.add_parser("info", parents=[common],
                               help="what a log holds")
    info.add_argument("logs", nargs="+", metavar="LOG")
    info.add_argument("--json", action="store_true",
                      help="machine-readable output")
    info.set_defaults(run=cmd_info)

    dump = commands.add_parser("dump", parents=[common, filters],
                               help="frames as text, merged by time")
    dump.add_argument("logs", nargs="+", metavar="LOG")
    dump.add_argument("--format", choices=("candump", "asc", "csv"),
                      default="candump")
    dump.set_defaults(run=cmd_dump)

    convert = commands.add_parser(
        "convert", parents=[common, filters],
        help="logs, merged by time, to %s" % ", ".join(_tools.CONVERSIONS))
    convert.add_argument("logs", nargs="+", metavar="LOG... OUT")
    convert.set_defaults(run=cmd_convert)

    fin = commands.add_parser("finalize", parents=[common],
                              help="write a finalized, sorted MF4 file")
    fin.add_argument("input", metavar="IN")
    fin.add_argument("output", metavar="OUT")
    fin.set_defaults(run=cmd_finalize)

    plot = commands.add_parser("plot", parents=[common, filters],
                               help="frames per second, bus load and ids "
                               "as a PNG")
    plot.add_argument("logs", nargs="+", metavar="LOG")
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png")
    plot.add_argument("--bitrate", action="append", type=_bitrate,
                      metavar="CHANNEL=RATE",
                      help="bit rate of a channel where the log has none")
    plot.add_argument("--title", help="the picture's title")
    plot.set_defaults(run=cmd_plot)

    signals = commands.add_parser(
        "signals", parents=[common, filters],
        help="signals of a CAN database, a row per value, merged by time")
    signals.add_argument("logs", nargs="+", metavar="LOG")
    signals.add_argument("--db", action="append", type=_db_entry,
                         required=True, metavar="[CHANNEL=]FILE",
                         help="a database (DBC, ARXML, KCD, SYM) for every "
                         "channel, or for one ('CAN 2=body.dbc'; "
                         "repeatable)")
    signals.add_argument("--messages", nargs="+", metavar="NAME",
                         help="only these messages")
    signals.add_argument("--choices", action="store_true",
                         help="a label column: the value table's text")
    signals.add_argument("-o", "--output", metavar="OUT",
                         help="write %s (by the suffix) instead of CSV on "
                         "standard output" % ", ".join(_tools.SIGNAL_FORMATS))
    signals.set_defaults(run=cmd_signals)
    return parser


class _Warnings(logging.Handler):
    """The library's warnings as one line each; its errors are reported by
    the command itself."""

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno < logging.ERROR:
            sys.stderr.write("%s: warning: %s\n" % (PROG, record.getMessage()))


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the `mf4` command; returns the exit status."""
    parser = _parser()
    # Paths may stand on both sides of options ("a.mf4 --password S
    # out.blf"): the ones after them join the logs.
    args, extra = parser.parse_known_args(argv)
    if extra and (not hasattr(args, "logs")
                  or any(item.startswith("-") for item in extra)):
        parser.error("unrecognized arguments: %s" % " ".join(extra))
    if extra:
        args.logs += extra
    if args.command == "convert":
        if len(args.logs) < 2:
            parser.error("convert needs LOG... OUT")
        args.out = args.logs.pop()
    logger = logging.getLogger("python_can_brenix_mf4")
    logger.addHandler(_Warnings(logging.WARNING))
    logger.propagate = False
    try:
        args.run(args)
    except UsageError as error:
        parser.error(str(error))
    except (Failure, ImportError) as error:
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return 1
    except BrokenPipeError:
        # The reader went away (`mf4 dump ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except (RuntimeError, ValueError, OSError) as error:
        # A log that opened but fails further in.
        sys.stderr.write("%s: %s\n" % (PROG, _reason(error)))
        return 1
    except KeyboardInterrupt:
        return 130
    return 0

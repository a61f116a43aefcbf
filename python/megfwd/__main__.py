"""``python3 -m megfwd convert RECORDING OUT.json``: the MEG channels of any
recording MNE-Python reads, as a megfwd sensor-array file.

Errors are one line on stderr and exit status 2.
"""
import argparse
import os
import sys


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:  # OUT does not exist yet
        return os.path.realpath(a) == os.path.realpath(b)


def _read_info(path):
    import mne

    # FIF files give their Info directly; other formats (CTF .ds, KIT .sqd,
    # BTi, EDF ...) through the raw reader.
    try:
        return mne.io.read_info(path, verbose=False)
    except Exception:
        pass
    try:
        return mne.io.read_raw(path, preload=False, verbose=False).info
    except Exception as err:
        text = str(err).strip().splitlines()[0] if str(err).strip() else type(err).__name__
        raise ValueError(f"{path}: MNE-Python cannot read it as a recording ({text})") from None


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other error of the command."""

    def error(self, message):
        print(f"megfwd: {message} (see {self.prog} --help)", file=sys.stderr)
        sys.exit(2)


def _convert(args):
    if not os.path.exists(args.recording):
        raise ValueError(f"{args.recording}: no such file or directory")
    if _same_file(args.recording, args.out):
        raise ValueError(f"{args.out}: is the recording itself; choose another output file")
    if os.path.isdir(args.out):
        raise ValueError(f"{args.out}: is a directory; give the output file's name")
    try:
        from .mne import from_mne
    except ImportError as err:
        raise ValueError(str(err)) from None
    info = _read_info(args.recording)
    try:
        array = from_mne(info, accuracy=args.accuracy, ignore_ref=args.ignore_ref)
    except (ValueError, RuntimeError, NotImplementedError) as err:
        raise ValueError(f"{args.recording}: {err}") from None
    array.to_json(args.out)
    kinds = array.kinds
    n_meas = int(((kinds >= 100) & (kinds <= 103)).sum())
    print(f"{args.out}: {n_meas} measurement and {array.n_channels - n_meas} reference channels "
          f"from {args.recording}")


def main(argv=None):
    parser = _Parser(prog="python3 -m megfwd", description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    conv = sub.add_parser("convert", help="write a recording's MEG channels as a megfwd sensor-array file")
    conv.add_argument("recording", help="any file (or CTF .ds directory) MNE-Python's readers open")
    conv.add_argument("out", help="the sensor-array file to write (JSON, millimetres)")
    conv.add_argument("--accuracy", choices=("accurate", "normal", "point"), default="accurate",
                      help="MNE's coil integration rule (default: accurate)")
    conv.add_argument("--ignore-ref", action="store_true", help="leave reference channels and compensation out")
    args = parser.parse_args(argv)
    try:
        _convert(args)
    except (ValueError, TypeError, RuntimeError, OSError) as err:
        print(f"megfwd: {str(err).strip().splitlines()[0] if str(err).strip() else type(err).__name__}",
              file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

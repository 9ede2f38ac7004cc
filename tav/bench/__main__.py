"""Run every benchmark of tav in turn: the validators, the maskers, the decoder, the safe API.

    python -m tav.bench [--quick] [--help]

Options go to every suite; --help shows each suite's options.
"""
from __future__ import annotations

import importlib
import sys
from typing import Optional, Sequence

#: The benchmark modules, each with `main(argv=None) -> int`.
SUITES = ("tav.bench.utf8", "tav.bench.mask", "tav.bench.decode", "tav.bench.api")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run each suite with `argv` (default: sys.argv[1:]); a suite that cannot be imported is reported and skipped.

    With -h or --help, print each suite's help instead and run nothing."""
    args = list(sys.argv[1:] if argv is None else argv)
    helping = "-h" in args or "--help" in args
    if helping:
        print((__doc__ or "").strip(), flush=True)
    status = 0
    for name in SUITES:
        try:
            module = importlib.import_module(name)
        except ImportError as e:
            print(f"\n== {name}: not available ({e}); skipped", flush=True)
            continue
        print(f"\n== {name}", flush=True)
        if helping:
            try:
                module.main(["--help"])
            except SystemExit:  # argparse ends --help so; the next suite's help follows
                pass
            continue
        result = module.main(args)
        status = status or int(result or 0)
    return status


if __name__ == "__main__":
    sys.exit(main())

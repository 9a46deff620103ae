"""``python -m varquin``: the command line (see varquin.cli)."""

import sys

from varquin.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())

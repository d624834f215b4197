"""Entry point of `python -m velquor_ai`; see `velquor_ai.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())

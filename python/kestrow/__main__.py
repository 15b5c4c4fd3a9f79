"""`python -m kestrow` and the `kestrow` command."""

import sys

from kestrow.cli import main

if __name__ == "__main__":
    sys.exit(main())

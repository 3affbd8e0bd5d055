"""`python -m vashlet`: the command line (see `vashlet.cli`)."""

import sys

from vashlet.cli import main

sys.exit(main())

"""``python -m korbix_summarizer``: the ``korbix-summarize`` command."""

import sys

from .cli import main

sys.exit(main())

"""`python -m velarix`: the command line of velarix.cli."""

from .cli import main

raise SystemExit(main())

"""Shared constants of the public layer. Values are strings compared with ==."""


class Constants:
    class States:
        STOPPED = "STOPPED"
        RUNNING = "RUNNING"

    class Conditions:
        HEALTHY = "HEALTHY"
        ERROR = "ERROR"

    class Timing:
        SYNC = "SYNC"  # every value is kept, in arrival order
        ASYNC = "ASYNC"  # only the newest value is kept

    class Defaults:
        PORT_IN = "in"
        PORT_OUT = "out"

    class Overflow:
        """What a push into a full input port does (ports with a capacity only)."""

        BLOCK = "block"  # wait until there is room (the default)
        DROP_OLDEST = "drop_oldest"  # make room by dropping the oldest value
        RAISE = "raise"  # fail the push with OverflowError

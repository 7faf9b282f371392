"""Shared constants of the public layer. Values are strings compared with ==."""


class Constants:
    """Names of states, conditions, port timings and default port names."""

    class States:
        """A node's or pipeline's running state."""

        STOPPED = "STOPPED"
        RUNNING = "RUNNING"

    class Conditions:
        """Health: HEALTHY until a failure, then ERROR for good."""

        HEALTHY = "HEALTHY"
        ERROR = "ERROR"

    class Timing:
        """How an input port keeps what arrives."""

        SYNC = "SYNC"  # every value is kept, in arrival order
        ASYNC = "ASYNC"  # only the newest value is kept

    class Defaults:
        """Names of the single port a node gets when none are configured."""

        PORT_IN = "in"
        PORT_OUT = "out"

    class Overflow:
        """What a push into a full input port does (ports with a capacity only)."""

        BLOCK = "block"  # wait until there is room (the default)
        DROP_OLDEST = "drop_oldest"  # make room by dropping the oldest value
        RAISE = "raise"  # fail the push with OverflowError

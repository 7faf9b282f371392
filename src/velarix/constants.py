"""Shared constants of the public layer. Values are strings compared with ==."""


class Constants:
    """Names of states, conditions, port timings and default port names."""

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

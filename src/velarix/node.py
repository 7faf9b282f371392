"""Nodes: the unit of processing. Subclasses override `step` and, as needed,
`setup`, `pre_step` and `post_step`; the constructor installs them as handlers."""

from .imp import NodeImp
from .portable import Portable


class Node(Portable):
    class Configuration(Portable.Configuration):
        class Keys(Portable.Configuration.Keys):
            NAME = "name"

    _imp_class = NodeImp

    def __init__(self, **entries):
        entries.setdefault(self.Configuration.Keys.NAME, type(self).__name__)
        self._prepare_entries(entries)
        super().__init__(**entries)
        self._install_handlers()

    def _prepare_entries(self, entries):
        """Fill in defaults and normalise the entries before the configuration is built."""

    def _install_handlers(self):
        imp = self._imp
        imp.set_setup_handler(self.setup)
        imp.set_step_handler(self.step)
        # The implementation's own do-nothing handlers stay unless overridden.
        cls = type(self)
        if cls.pre_step is not Node.pre_step:
            imp.set_pre_step_handler(self.pre_step)
        if cls.post_step is not Node.post_step:
            imp.set_post_step_handler(self.post_step)

    # Handlers -----------------------------------------------------------------

    def setup(self, data, metadata):
        """Runs once, before the first step; returns the metadata of every output port."""
        return {name: {} for name in getattr(self._imp, "_output_ports", {})}

    def pre_step(self, data):
        pass

    def step(self, data):
        raise NotImplementedError(f"{type(self).__name__}.step() is not implemented.")

    def post_step(self, data):
        pass

    # Delegates ----------------------------------------------------------------

    def start(self):
        self._imp.start()

    def stop(self):
        self._imp.stop()

    def get_name(self):
        return self._imp.get_name()

    def get_state(self):
        return self._imp.get_state()

    def get_condition(self):
        return self._imp._condition

    def get_counter(self):
        return self._imp.get_counter()

    def get_load(self):
        return self._imp.get_load()

    def get_stats(self):
        """What the node has done, as plain data: its name, class, state, condition
        and load; "steps" done; "step_time" (seconds: "mean", "p50", "p99", "max"
        over the latest 1024 steps, None before the first); "rate_in" and "rate_out"
        (values per second over the last few seconds); and per port, "inputs"
        ({name: {"timing", "received", "queued", "dropped"}}) and "outputs"
        ({name: {"timing", "pushed"}}). "dropped" counts values an ASYNC port
        replaced before they were read."""
        from ._stats import node_stats

        return node_stats(self)

    def get_last_exception(self):
        """The last exception a guard of this node caught (a failing step, set-up
        or worker), with its traceback; None while nothing has failed."""
        return self._imp.get_last_exception()

    def set_logger(self, logger):
        self._imp.set_logger(logger)

    def set_setup_handler(self, handler):
        self._imp.set_setup_handler(handler)

    def set_pre_step_handler(self, handler):
        self._imp.set_pre_step_handler(handler)

    def set_step_handler(self, handler):
        self._imp.set_step_handler(handler)

    def set_post_step_handler(self, handler):
        self._imp.set_post_step_handler(handler)

    def __repr__(self):
        return f"<{type(self).__name__} {self.config.get(self.Configuration.Keys.NAME)!r}>"

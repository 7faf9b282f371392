"""Node classes saved into pipeline files by the command-line tests."""

from velarix import INode, ONode


class Ticker(ONode):
    def step(self, data):
        return {"out": data["count"]}


class Quiet(INode):
    def step(self, data):
        pass


class Opening(INode):
    """A sink that opens something of its own when it starts (as a publisher does)."""

    def start(self):
        super().start()


class Boom(INode):
    def step(self, data):
        if data["in"] >= 3:
            raise RuntimeError("boom at three")

"""What latency tracing costs: values per second through the 3-stage small-value
chain of chain.py with tracing on (the default) against the same chain with
tracing off (`velarix.set_tracing(False)`), interleaved rounds (target: under 3%
lost), and the figures tracing gives for that chain at 1 kHz."""

import sys

import chain

import velarix

ROUNDS = 7


def main():
    best = {True: 0.0, False: 0.0}
    for _ in range(ROUNDS):
        for enabled in (True, False):
            velarix.set_tracing(enabled)
            pushed, sink, finished = chain.ours(chain.VALUES)
            assert [n for n, _ in sink.arrivals] == [2 * n + 1 for n in range(chain.VALUES)]
            best[enabled] = max(best[enabled], chain.VALUES / (finished - pushed[0]))
    velarix.set_tracing(True)
    lost = 1.0 - best[True] / best[False]
    print(f"3 stages, small values: tracing on {best[True]:,.0f}/s, off {best[False]:,.0f}/s, "
          f"lost {lost * 100:.1f}% (target under 3%)")
    sink = chain.Sink(chain.PACED)
    source, nodes = chain.chain(sink)
    chain.feed(source.cycle, chain.PACED, chain.RATE)
    assert sink.done.wait(60)
    for node in nodes[1:]:
        for port, figures in node.get_stats()["inputs"].items():
            latency, age = figures["latency"], figures["age"]
            print(f"at {chain.RATE:.0f} Hz, {node.get_name()}.{port}: latency p50 {latency['p50'] * 1e6:.0f} us "
                  f"p99 {latency['p99'] * 1e6:.0f} us, age p50 {age['p50'] * 1e6:.0f} us")
    for node in nodes:
        node.stop()
    if lost >= 0.03:
        print("above the 3% target")
    return 0


if __name__ == "__main__":
    sys.exit(main())

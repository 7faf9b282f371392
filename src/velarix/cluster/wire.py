"""Values on the wire: pickle protocol 5 with buffers out of band.

A value becomes a list of frames: the pickle stream first, then one frame per
buffer the value exposes (a numpy array's data, a PickleBuffer), which ZeroMQ sends
from the object's own memory instead of a copy inside the pickle stream.
"""

import pickle

VALUE = b"v"
METADATA = b"m"


def dumps(kind, value):
    buffers = []
    header = pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    return [kind, header, *(b.raw() for b in buffers)]


def loads(frames):
    """(kind, value) from received frames (bytes or zmq.Frame objects)."""
    kind = _bytes(frames[0])
    buffers = [_buffer(f) for f in frames[2:]]
    return kind, pickle.loads(_buffer(frames[1]), buffers=buffers)


def _buffer(frame):
    return frame if isinstance(frame, (bytes, bytearray, memoryview)) else frame.buffer


def _bytes(frame):
    return frame if isinstance(frame, bytes) else frame.bytes


def encode(message):
    """A control message (a small dict) as one frame."""
    return pickle.dumps(message, protocol=5)


def decode(frame):
    return pickle.loads(frame)

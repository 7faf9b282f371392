"""Values on the wire: pickle protocol 5 with buffers out of band.

A value becomes a list of frames: its kind (one byte) and the pickle stream in
the first, then one frame per buffer the value exposes (a numpy array's data, a
PickleBuffer), which ZeroMQ sends from the object's own memory instead of a copy
inside the pickle stream. A value without buffers is a single frame.
"""

import pickle

VALUE = b"v"
METADATA = b"m"


def dumps(kind, value):
    buffers = []
    header = kind + pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    return [header, *(b.raw() for b in buffers)]


def loads(header, buffers=()):
    """(kind, value) from the first frame (bytes) and the buffer frames."""
    return header[:1], pickle.loads(memoryview(header)[1:], buffers=[_buffer(f) for f in buffers])


def _buffer(frame):
    return frame if isinstance(frame, (bytes, bytearray, memoryview)) else frame.buffer


def encode(message):
    """A control message (a small dict) as one frame."""
    return pickle.dumps(message, protocol=5)


def decode(frame):
    return pickle.loads(frame)

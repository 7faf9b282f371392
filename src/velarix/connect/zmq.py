"""ZeroMQ connectors: a subscriber source and a publisher sink that talk to any
ZeroMQ peer (the optional extra `zmq`, pyzmq; `msgpack` for that encoding).

Every message is multipart, ``[topic, payload...]``; the topic frame is the
configured ``topic`` as UTF-8 bytes (a subscriber's ``topic`` is a prefix, as
ZeroMQ's subscriptions are). The payload frames depend on ``encoding``:

- ``"raw"``: the value is the payload's bytes: one frame, or a list of bytes for
  several. A publisher sends bytes-like values (``str`` as UTF-8) or a list of them.
- ``"json"``: one frame of UTF-8 JSON text. numpy arrays go as nested lists,
  numpy scalars as numbers.
- ``"msgpack"``: one frame of MessagePack (the same conversions; bytes stay bytes).
- ``"numpy"``: numpy arrays without conversion. One array is a header frame,
  JSON ``{"dtype": "<f4", "shape": [32, 8]}``, then its bytes in C order. A dict
  of arrays (a chunk, ``{"samples": ..., "timestamps": ...}``) is a header frame
  ``{"arrays": [{"name": "samples", "dtype": "<f4", "shape": [32, 8]}, ...]}``
  then one frame of bytes per array, in the header's order. ``dtype`` is numpy's
  type string (byte order, kind, size).

A message a subscriber cannot decode (no payload frame, bad JSON, a header that
does not match its frames) is dropped: counted, and the first one logged as a
WARNING. A value a publisher cannot encode fails its step (a pipeline fault).
"""

# The nodes' parts live in private modules by job; the names below stay importable here.
from ._common import STREAM_KEYS as DESCRIPTION_KEYS
from ._zmq_encoding import ENCODINGS, DecodeError, decode, encode
from ._zmq_encoding import MSGPACK_HINT as MSGPACK_HINT
from ._zmq_link import EXTRA_HINT as EXTRA_HINT
from ._zmq_link import HANDSHAKE_REPORT_INTERVAL as HANDSHAKE_REPORT_INTERVAL
from ._zmq_link import POLL_MS as POLL_MS
from ._zmq_link import require_zmq as require_zmq
from ._zmq_node import ENDPOINT_SCHEMES as ENDPOINT_SCHEMES
from ._zmq_publisher import PUBLISHER_LINGER as PUBLISHER_LINGER
from ._zmq_publisher import ZMQPublisher
from ._zmq_subscriber import BATCH as BATCH
from ._zmq_subscriber import ZMQSubscriber

__all__ = ["ZMQPublisher", "ZMQSubscriber", "ENCODINGS", "encode", "decode", "DecodeError"]

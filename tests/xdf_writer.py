"""A minimal XDF 1.0 writer for test recordings: the file header, one header per
stream, sample chunks with every time stamp, clock offsets and stream footers."""

import struct

import numpy as np

_FORMATS = {"float32": "<f4", "double64": "<f8", "int8": "<i1", "int16": "<i2", "int32": "<i4", "int64": "<i8"}


def _varlen(n):
    if n < 256:
        return bytes([1]) + struct.pack("<B", n)
    if n < 2**32:
        return bytes([4]) + struct.pack("<I", n)
    return bytes([8]) + struct.pack("<Q", n)


def _chunk(tag, content):
    # The length counts the tag's two bytes and the content.
    return _varlen(len(content) + 2) + struct.pack("<H", tag) + content


def _header_xml(name, kind, channels, rate, fmt, labels):
    channel_xml = "".join(f"<channel><label>{label}</label></channel>" for label in labels or [])
    return (f"<?xml version=\"1.0\"?><info><name>{name}</name><type>{kind}</type>"
            f"<channel_count>{channels}</channel_count><nominal_srate>{rate}</nominal_srate>"
            f"<channel_format>{fmt}</channel_format><source_id>{name}-src</source_id>"
            f"<created_at>0</created_at><desc><channels>{channel_xml}</channels></desc></info>").encode()


def write_xdf(path, streams, per_chunk=64):
    """`streams`: dicts with name, type, rate, format, samples (n x channels: an
    array, or lists of str for format "string"), timestamps, optional labels."""
    out = bytearray(b"XDF:")
    out += _chunk(1, b"<?xml version=\"1.0\"?><info><version>1.0</version></info>")
    for sid, stream in enumerate(streams, start=1):
        channels = len(stream["samples"][0])
        xml = _header_xml(stream["name"], stream["type"], channels, stream["rate"], stream["format"],
                          stream.get("labels"))
        out += _chunk(2, struct.pack("<I", sid) + xml)
    for sid, stream in enumerate(streams, start=1):
        samples, stamps = stream["samples"], np.asarray(stream["timestamps"], dtype=np.float64)
        for begin in range(0, len(stamps), per_chunk):
            end = min(begin + per_chunk, len(stamps))
            body = bytearray(struct.pack("<I", sid)) + _varlen(end - begin)
            for k in range(begin, end):
                body += bytes([8]) + struct.pack("<d", stamps[k])
                if stream["format"] == "string":
                    for value in samples[k]:
                        data = value.encode()
                        body += _varlen(len(data)) + data
                else:
                    body += np.asarray(samples[k], dtype=_FORMATS[stream["format"]]).tobytes()
            out += _chunk(3, bytes(body))
        for at in (stamps[0], stamps[-1]):
            out += _chunk(4, struct.pack("<Idd", sid, at, 0.0))
    for sid, stream in enumerate(streams, start=1):
        stamps = stream["timestamps"]
        footer = (f"<?xml version=\"1.0\"?><info><first_timestamp>{stamps[0]}</first_timestamp>"
                  f"<last_timestamp>{stamps[-1]}</last_timestamp><sample_count>{len(stamps)}</sample_count>"
                  f"</info>").encode()
        out += _chunk(6, struct.pack("<I", sid) + footer)
    with open(path, "wb") as file:
        file.write(out)

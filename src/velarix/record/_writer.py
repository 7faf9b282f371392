"""A chunked MCAP writer whose message path is a few struct packs into the open
chunk: the recorder's hot loop. The rare records (header, channels, metadata,
indexes, summary) are the mcap package's own, so the file is what its writer
writes: chunks with message indexes, a summary with statistics, chunk and
metadata indexes, and the footer."""

from __future__ import annotations

import importlib
import struct
import zlib
from typing import Any, Optional

from mcap.data_stream import RecordBuilder
from mcap.records import (Channel, ChunkIndex, DataEnd, Footer, Header, Metadata, MetadataIndex,
                          Statistics)

_MAGIC = b"\x89MCAP0\r\n"
_MESSAGE = struct.Struct("<BQHIQQ")  # opcode, length, channel, sequence, log time, publish time
_CHUNK_HEAD = struct.Struct("<BQQQQI")  # opcode, length, start, end, uncompressed size, crc
_INDEX_HEAD = struct.Struct("<BQHI")  # opcode, length, channel, records' byte length
_OP_MESSAGE, _OP_CHUNK, _OP_MESSAGE_INDEX = 0x05, 0x06, 0x07


def _record(record: Any) -> bytes:
    builder = RecordBuilder()
    record.write(builder)
    data: bytes = builder.end()  # type: ignore[no-untyped-call]
    return data


def _compressor(compression: str) -> Any:
    if compression == "zstd":
        zstandard: Any = importlib.import_module("zstandard")
        return zstandard.ZstdCompressor().compress
    if compression == "lz4":
        frame: Any = importlib.import_module("lz4.frame")
        return frame.compress
    return None


class Writer:
    """Writes an MCAP file to `stream` (whose `write` writes all or raises, and
    `tell` gives the position). Chunks close when they hold `chunk_size` bytes of
    records, or on flush()."""

    def __init__(self, stream: Any, compression: str = "zstd", chunk_size: int = 1 << 20) -> None:
        self._stream = stream
        self._compression = "" if compression == "none" else compression
        self._compress = _compressor(compression)
        self._chunk_size = chunk_size
        self._chunk = bytearray()
        self._indexes: dict[int, list[int]] = {}  # channel -> [time, offset, time, offset, ...]
        self._chunk_start: Optional[int] = None
        self._chunk_end = 0
        self._channels: dict[int, Channel] = {}
        self._chunk_indexes: list[ChunkIndex] = []
        self._metadata_indexes: list[MetadataIndex] = []
        self._counts: dict[int, int] = {}
        self._messages = 0
        self._start: Optional[int] = None
        self._end = 0
        self._metadata = 0

    def start(self, profile: str, library: str) -> None:
        self._stream.write(_MAGIC + _record(Header(profile=profile, library=library)))

    def add_metadata(self, name: str, data: dict[str, str]) -> None:
        self.flush()
        offset = self._stream.tell()
        record = _record(Metadata(name=name, metadata=data))
        self._stream.write(record)
        self._metadata += 1
        self._metadata_indexes.append(MetadataIndex(offset=offset, length=len(record), name=name))

    def register_channel(self, topic: str, message_encoding: str, schema_id: int,
                         metadata: dict[str, str]) -> int:
        channel = Channel(id=len(self._channels) + 1, topic=topic, message_encoding=message_encoding,
                          schema_id=schema_id, metadata=metadata)
        self._channels[channel.id] = channel
        # In the chunk, before its messages: a file cut short still names its channels.
        self._chunk += _record(channel)
        return channel.id

    def add_message(self, channel_id: int, log_time: int, data: Any, publish_time: int,
                    sequence: int, head: bytes = b"") -> None:
        """One message; its data is `head` followed by `data` (bytes, or any
        contiguous buffer of bytes, copied here once)."""
        chunk = self._chunk
        offset = len(chunk)
        chunk += _MESSAGE.pack(_OP_MESSAGE, 22 + len(head) + len(data), channel_id, sequence, log_time,
                               publish_time)
        if head:
            chunk += head
        chunk += data
        index = self._indexes.get(channel_id)
        if index is None:
            index = self._indexes[channel_id] = []
        index += (log_time, offset)
        if self._chunk_start is None or log_time < self._chunk_start:
            self._chunk_start = log_time
        if log_time > self._chunk_end:
            self._chunk_end = log_time
        if len(chunk) >= self._chunk_size:
            self.flush()

    def flush(self) -> None:
        """Write the open chunk, with its message indexes, in one write."""
        if not self._indexes:
            return  # channels alone wait for the first message
        data = self._chunk  # replaced below, never changed again: no copy needed
        compressed = self._compress(data) if self._compress is not None else data
        start, end = self._chunk_start or 0, self._chunk_end
        name = self._compression.encode()
        body = (_CHUNK_HEAD.pack(_OP_CHUNK, 8 * 3 + 4 + 4 + len(name) + 8 + len(compressed), start, end,
                                 len(data), zlib.crc32(data))
                + struct.pack("<I", len(name)) + name + struct.pack("<Q", len(compressed)) + compressed)
        chunk_offset = self._stream.tell()
        parts = [body]
        offsets: dict[int, int] = {}
        position = chunk_offset + len(body)
        for channel_id, pairs in self._indexes.items():
            index = (_INDEX_HEAD.pack(_OP_MESSAGE_INDEX, 6 + 8 * len(pairs), channel_id, 8 * len(pairs))
                     + struct.pack(f"<{len(pairs)}Q", *pairs))
            offsets[channel_id] = position
            position += len(index)
            parts.append(index)
            self._counts[channel_id] = self._counts.get(channel_id, 0) + len(pairs) // 2
            self._messages += len(pairs) // 2
        self._stream.write(b"".join(parts))
        self._chunk_indexes.append(ChunkIndex(
            message_start_time=start, message_end_time=end, chunk_start_offset=chunk_offset,
            chunk_length=len(body), message_index_offsets=offsets,
            message_index_length=position - chunk_offset - len(body), compression=self._compression,
            compressed_size=len(compressed), uncompressed_size=len(data)))
        self._start = start if self._start is None else min(self._start, start)
        self._end = max(self._end, end)
        self._chunk = bytearray()
        self._indexes = {}
        self._chunk_start, self._chunk_end = None, 0

    def finish(self) -> None:
        """The last chunk, the data end, the summary and the footer."""
        self.flush()
        self._stream.write(_record(DataEnd(data_section_crc=0)))
        summary_start = self._stream.tell()
        parts = [_record(channel) for channel in self._channels.values()]
        parts.append(_record(Statistics(
            message_count=self._messages, schema_count=0, channel_count=len(self._channels),
            attachment_count=0, metadata_count=self._metadata, chunk_count=len(self._chunk_indexes),
            message_start_time=self._start or 0, message_end_time=self._end,
            channel_message_counts=dict(self._counts))))
        parts += [_record(index) for index in self._chunk_indexes]
        parts += [_record(index) for index in self._metadata_indexes]
        summary = b"".join(parts)
        footer = _record(Footer(summary_start=summary_start, summary_offset_start=0, summary_crc=0))
        self._stream.write(summary + footer + _MAGIC)

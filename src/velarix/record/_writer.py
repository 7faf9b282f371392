"""A chunked MCAP writer whose open chunk is native (a RecordBuffer): the
recorder's taps frame their messages into it on the pushing thread, and this
writer compresses and writes the chunks they close. The rare records (header, channels, metadata,
indexes, summary) are the mcap package's own, so the file is what its writer
writes: chunks with message indexes, a summary with statistics, chunk and
metadata indexes, and the footer."""

from __future__ import annotations

import importlib
import os
import struct
import zlib
from typing import Any, Optional

from mcap.data_stream import RecordBuilder
from mcap.records import (Channel, ChunkIndex, DataEnd, Footer, Header, Metadata, MetadataIndex, Schema,
                          Statistics)

_MAGIC = b"\x89MCAP0\r\n"
_CHUNK_HEAD = struct.Struct("<BQQQQI")  # opcode, length, start, end, uncompressed size, crc
_INDEX_HEAD = struct.Struct("<BQHI")  # opcode, length, channel, records' byte length
_OP_CHUNK, _OP_MESSAGE_INDEX = 0x06, 0x07


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
    `tell` gives the position). The open chunk and the chunks closed but not yet
    written live in `buffer` (a RecordBuffer, whose taps may add messages to it
    natively); a chunk closes when it holds `chunk_size` bytes of records, or on
    flush()."""

    def __init__(self, stream: Any, compression: str = "zstd", chunk_size: int = 1 << 20,
                 buffer: Any = None) -> None:
        self._stream = stream
        self._compression = "" if compression == "none" else compression
        self._compress = _compressor(compression)
        self._chunk_size = chunk_size
        if buffer is None:
            from ..imp.portan import RecordBuffer

            buffer = RecordBuffer(0, 1, 1, chunk_size)
        self._buffer = buffer
        # The closed chunks compressed and written natively, without the interpreter
        # lock, when the stream is a file and the system has the compressor.
        self._native = hasattr(stream, "advance") and buffer.can_write(compression)
        self._channels: dict[int, Channel] = {}
        self._schemas: list[Schema] = []
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

    def register_schema(self, name: str, encoding: str, data: bytes) -> int:
        """A schema's id; its record goes in the open chunk, before the channels that use it."""
        schema = Schema(id=len(self._schemas) + 1, name=name, encoding=encoding, data=data)
        self._schemas.append(schema)
        self._buffer.add_record(_record(schema))
        return schema.id

    def register_channel(self, topic: str, message_encoding: str, schema_id: int,
                         metadata: dict[str, str]) -> int:
        channel_id, record = self.new_channel(topic, message_encoding, schema_id, metadata)
        # In the chunk, before its messages: a file cut short still names its channels.
        self._buffer.add_record(record)
        return channel_id

    def new_channel(self, topic: str, message_encoding: str, schema_id: int,
                    metadata: dict[str, str]) -> tuple[int, bytes]:
        """A channel's id and record, which the caller puts in the open chunk before
        the channel's first message."""
        channel = Channel(id=len(self._channels) + 1, topic=topic, message_encoding=message_encoding,
                          schema_id=schema_id, metadata=metadata)
        self._channels[channel.id] = channel
        return channel.id, _record(channel)

    def add_message(self, channel_id: int, log_time: int, data: Any, head: bytes = b"") -> None:
        """One message, logged and published at `log_time`, its sequence the number
        of messages before it; its data is `head` followed by `data` (bytes, or any
        contiguous buffer of bytes, copied here once)."""
        self._buffer.add_message(channel_id, log_time, data, head)

    def flush(self) -> None:
        """Close the open chunk and write every closed one."""
        self._buffer.close_chunk()
        self.write_chunks()

    def write_chunks(self) -> None:
        """Write the closed chunks, each with its message indexes in one write. The
        compression and the write let the interpreter lock go."""
        if self._native:
            self._written(*self._buffer.write_closed(self._stream.fileno(), self._stream.tell(),
                                                     self._compression or "none"))
            return
        for data, start, end, indexes in self._buffer.take():
            self._write_chunk(data, start, end, indexes)

    def serve(self, timeout: float) -> bool:
        """Sleep until a value waits for the writer's Python code or the buffer's
        wake() is called (True), or `timeout` seconds pass (False). Where chunks are
        written natively, each chunk the taps close meanwhile is written at once,
        without the interpreter lock."""
        if not self._native:
            woken: bool = self._buffer.wait(timeout)
            return woken
        position, error, written, woken = self._buffer.serve(self._stream.fileno(), self._stream.tell(),
                                                             self._compression or "none", timeout)
        self._written(position, error, written)
        return bool(woken)

    def _written(self, position: int, error: int, written: list[Any]) -> None:
        """The chunks written natively: where the file now ends and their indexes."""
        self._stream.advance(position)
        for start, end, offset, length, indexes, index_length, compressed, uncompressed in written:
            offsets = {}
            for channel_id, index_offset, count in indexes:
                offsets[channel_id] = index_offset
                self._counts[channel_id] = self._counts.get(channel_id, 0) + count
                self._messages += count
            self._add_chunk_index(ChunkIndex(
                message_start_time=start, message_end_time=end, chunk_start_offset=offset,
                chunk_length=length, message_index_offsets=offsets, message_index_length=index_length,
                compression=self._compression, compressed_size=compressed, uncompressed_size=uncompressed))
        if error:
            raise OSError(error, os.strerror(error))

    def _add_chunk_index(self, index: ChunkIndex) -> None:
        self._chunk_indexes.append(index)
        start, end = index.message_start_time, index.message_end_time
        self._start = start if self._start is None else min(self._start, start)
        self._end = max(self._end, end)

    def _write_chunk(self, data: Any, start: int, end: int, indexes: list[tuple[int, bytes]]) -> None:
        compressed = self._compress(data) if self._compress is not None else data
        name = self._compression.encode()
        head = (_CHUNK_HEAD.pack(_OP_CHUNK, 8 * 3 + 4 + 4 + len(name) + 8 + len(compressed), start, end,
                                 len(data), zlib.crc32(data))
                + struct.pack("<I", len(name)) + name + struct.pack("<Q", len(compressed)))
        body_length = len(head) + len(compressed)
        chunk_offset = self._stream.tell()
        parts = [head, compressed]
        offsets: dict[int, int] = {}
        position = chunk_offset + body_length
        for channel_id, pairs in indexes:
            index = _INDEX_HEAD.pack(_OP_MESSAGE_INDEX, 6 + len(pairs), channel_id, len(pairs)) + pairs
            offsets[channel_id] = position
            position += len(index)
            parts.append(index)
            count = len(pairs) // 16
            self._counts[channel_id] = self._counts.get(channel_id, 0) + count
            self._messages += count
        self._stream.write(b"".join(parts))
        self._add_chunk_index(ChunkIndex(
            message_start_time=start, message_end_time=end, chunk_start_offset=chunk_offset,
            chunk_length=body_length, message_index_offsets=offsets,
            message_index_length=position - chunk_offset - body_length, compression=self._compression,
            compressed_size=len(compressed), uncompressed_size=len(data)))

    def finish(self) -> None:
        """The last chunk, the data end, the summary and the footer."""
        self.flush()
        self._stream.write(_record(DataEnd(data_section_crc=0)))
        summary_start = self._stream.tell()
        parts = [_record(schema) for schema in self._schemas]
        parts += [_record(channel) for channel in self._channels.values()]
        parts.append(_record(Statistics(
            message_count=self._messages, schema_count=len(self._schemas), channel_count=len(self._channels),
            attachment_count=0, metadata_count=self._metadata, chunk_count=len(self._chunk_indexes),
            message_start_time=self._start or 0, message_end_time=self._end,
            channel_message_counts=dict(self._counts))))
        parts += [_record(index) for index in self._chunk_indexes]
        parts += [_record(index) for index in self._metadata_indexes]
        summary = b"".join(parts)
        footer = _record(Footer(summary_start=summary_start, summary_offset_start=0, summary_crc=0))
        self._stream.write(summary + footer + _MAGIC)

"""Recording pipelines to MCAP files and playing them back (extra velarix[record]).

`Pipeline.record(path)` writes what chosen output ports push; `Replay` is a source
node that plays a recording into any pipeline; `run_offline` runs a saved pipeline
over a recording. README's "Recording and replay" describes the file layout.
"""

from ._format import ENCODING_JSON, ENCODING_NPY, ENCODING_PICKLE, PickleRefused, RecordingError, RecordingReader
from ._recorder import Recording
from ._replay import SPEED_MAX, Replay
from ._offline import run_offline

__all__ = ["ENCODING_JSON", "ENCODING_NPY", "ENCODING_PICKLE", "PickleRefused", "Recording", "RecordingError", "RecordingReader", "Replay", "SPEED_MAX", "run_offline"]

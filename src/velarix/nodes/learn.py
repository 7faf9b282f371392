"""Learning nodes around any scikit-learn estimator or pipeline (the extra
`learn`): `Predict` gives an offline-fitted estimator's predictions as a
stream; `Fit` learns online from labelled chunks (epochs) with ``partial_fit``.

Each chunk is one example: its samples flattened in time order, ``x =
samples.reshape(-1)`` (after `Epoch`, or after ``Aggregate(axis="time")`` for a
feature per channel). The estimator is saved with the graph, pickled (base64)
in the key ``model``; a graph file written by hand names a file of its pickle in
``model_file`` instead. Loading either unpickles it, so load only graph files and
model files you trust, as with any code.
"""

from __future__ import annotations

import base64
import os
import pickle
from typing import Any, Optional

from ._base import EXTRA_HINT, ChunkNode
from .axes import CHANNEL_FORMAT, NOMINAL_SRATE, make_chunk, with_channels

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

LEARN_HINT = "velarix's learning nodes need scikit-learn; install it with: pip install 'velarix[learn]'"


def features(chunks: Any) -> Any:
    """The examples of chunks (or of an array of examples, ``(n, time,
    channels)``) as the learning nodes see them: one row per chunk, its samples
    flattened in time order."""
    if isinstance(chunks, np.ndarray):
        return chunks.reshape(len(chunks), -1)
    return np.stack([np.asarray(chunk["samples"]).reshape(-1) for chunk in chunks])


def labels(chunks: list[dict[str, Any]]) -> Any:
    """The chunks' ``label`` keys, as `Epoch` gives them."""
    return np.asarray([chunk["label"] for chunk in chunks])


def _pickled(model: Any) -> str:
    return base64.b64encode(pickle.dumps(model)).decode("ascii")


def _read_model(owner: str, path: Any) -> Any:
    """The estimator pickled in the file at `path`."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{owner}: model_file must be a path, not {type(path).__name__}.")
    try:
        with open(path, "rb") as file:
            return pickle.load(file)
    except ImportError as error:
        raise ImportError(f"{owner}: {LEARN_HINT} ({error})") from error
    except (OSError, pickle.UnpicklingError, EOFError) as error:
        raise ValueError(f"{owner}: cannot read the model from model_file {str(path)!r}: {error}") from error


def _unpickled(owner: str, text: Any) -> Any:
    if not isinstance(text, str):
        return text
    try:
        return pickle.loads(base64.b64decode(text.encode("ascii")))
    except ImportError as error:
        raise ImportError(f"{owner}: {LEARN_HINT} ({error})") from error


class _Learning(ChunkNode):
    """Keys ``model`` (an estimator, kept pickled) or ``model_file`` (a file of
    its pickle, read once: the node keeps and saves the model itself), and
    ``proba``; gives each example's prediction as a chunk of one sample."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``model``, ``model_file`` and ``proba``."""

        class Keys(ChunkNode.Configuration.Keys):
            MODEL = "model"
            MODEL_FILE = "model_file"
            PROBA = "proba"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        model = entries.get("model")
        path = entries.pop("model_file", None)
        if path is not None:
            if model is not None:
                raise ValueError(f"{owner}: give model or model_file, not both.")
            model = entries["model"] = _read_model(owner, path)
        if model is None:
            raise ValueError(f"{owner}: model is required: a scikit-learn estimator or pipeline "
                             f"(or model_file, a file of its pickle).")
        self._model = _unpickled(owner, model)
        for method in self._needs(bool(entries.get("proba"))):
            if not callable(getattr(self._model, method, None)):
                raise TypeError(f"{owner}: model {type(self._model).__name__} has no {method}(){self._advice()}")
        entries["model"] = model if isinstance(model, str) else _pickled(model)
        if not isinstance(entries.setdefault("proba", False), bool):
            raise TypeError(f"{owner}: proba must be True or False.")

    def _needs(self, proba: bool) -> tuple[str, ...]:
        return ("predict_proba",) if proba else ("predict",)

    def _advice(self) -> str:
        return "."

    @property
    def model(self) -> Any:
        """The estimator (fitted, for `Predict`; as learnt so far, for `Fit`)."""
        return self._model

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        known = getattr(self._model, "classes_", None)
        self._classes = list(known) if known is not None else list(self.config.get("classes") or [])
        names = [f"p_{c}" for c in self._classes] if self.config["proba"] else ["prediction"]
        out = with_channels(description, names)
        out[NOMINAL_SRATE] = 0.0
        out[CHANNEL_FORMAT] = "double64"
        for key in ("epoch_length", "units", "window_size", "window_hop"):
            out.pop(key, None)
        return out

    def _predicted(self, x: Any) -> Any:
        if self.config["proba"]:
            return np.asarray(self._model.predict_proba(x), dtype=np.float64)
        return np.asarray(self._model.predict(x)).reshape(-1, 1)


class Predict(_Learning):
    """The predictions of a fitted estimator, one per input chunk: ``model.predict
    (features([chunk]))`` (``predict_proba`` with ``proba=True``: a channel per
    class), stamped with the chunk's last timestamp.

    Keys, besides those of `IONode`: ``model`` (a fitted scikit-learn estimator
    or pipeline) or ``model_file`` (a file of its pickle, as ``pickle.dump``
    writes it); ``proba`` (default False). `Predict.fit` fits one from arrays or
    from chunks (epochs cut from a recording).
    """

    @classmethod
    def fit(cls, model: Any, examples: Any, targets: Optional[Any] = None, **keys: Any) -> "Predict":
        """A Predict node of `model` fitted on `examples`: chunks (their labels the
        targets unless given) or an array ``(n, time, channels)``."""
        targets = labels(examples) if targets is None else np.asarray(targets)
        model.fit(features(examples), targets)
        return cls(model=model, **keys)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if samples.shape[0] == 0:
            return []
        return [make_chunk(self._predicted(samples.reshape(1, -1)), timestamps[-1:])]


class Fit(_Learning):
    """Learns online from labelled chunks (`Epoch`'s, with their ``label``):
    each chunk is first predicted (NaN until the model has learnt something),
    then learnt with ``model.partial_fit(x, [label], classes=classes)``; the
    predictions are the stream. So the output equals, chunk for chunk, a loop
    of predict-then-partial_fit over the same examples offline. Chunks without a
    label are only predicted. The model as learnt is what the pipeline saves.

    Keys, besides those of `IONode`: ``model`` (an estimator with
    ``partial_fit``) or ``model_file`` (a file of its pickle), ``classes`` (every class there will be; required
    by classifiers' first partial_fit), ``proba`` (default False).
    """

    class Configuration(_Learning.Configuration):
        """Adds ``classes``."""

        class Keys(_Learning.Configuration.Keys):
            CLASSES = "classes"

    def _needs(self, proba: bool) -> tuple[str, ...]:
        return ("partial_fit", "predict_proba" if proba else "predict")

    def _advice(self) -> str:
        return "; fit it offline and use Predict instead."

    def _check(self, entries: dict[str, Any]) -> None:
        super()._check(entries)
        classes = entries.setdefault("classes", None)
        if classes is not None and not isinstance(classes, list):
            raise TypeError(f"{type(self).__name__}: classes must be a list.")
        self._learnt = hasattr(self._model, "classes_") or hasattr(self._model, "coef_")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._label: Any = None
        return super()._configure(description)

    def step(self, data: Any) -> Any:
        chunk = data.get(self._in) if isinstance(data, dict) else None
        self._label = chunk.get("label") if isinstance(chunk, dict) else None
        return super().step(data)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if samples.shape[0] == 0:
            return []
        x = samples.reshape(1, -1)
        if self._learnt:
            predicted = np.asarray(self._predicted(x), dtype=np.float64)
        else:
            width = len(self._classes) if self.config["proba"] else 1
            predicted = np.full((1, width), np.nan)
        if self._label is not None:
            classes = self.config.get("classes")
            self._model.partial_fit(x, [self._label], **({"classes": classes} if classes is not None else {}))
            self._learnt = True
        return [make_chunk(predicted, timestamps[-1:])]

    def serialize(self) -> dict[str, Any]:
        """As `ChunkNode.serialize`, with the model as learnt so far."""
        data = super().serialize()
        data["config"]["model"] = _pickled(self._model)
        return data


__all__ = ["Fit", "Predict", "features", "labels"]

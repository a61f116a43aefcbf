"""MEG sensor arrays: the channels, pickup coils and reference weights of a
system, as megfwd's library holds them."""
import json
import os

import numpy as np

from . import _megfwd
from ._check import _validate_type

_COIL_KEYS = ("position", "normal", "radius", "turns", "weight")


def _coil_json(coil, where):
    _validate_type(coil, dict, where, "a dict with 'position' and 'normal'")
    unknown = set(coil) - set(_COIL_KEYS)
    if unknown:
        raise ValueError(f"{where}: unknown keys {sorted(unknown)}; allowed are {list(_COIL_KEYS)}.")
    out = {}
    for key in ("position", "normal"):
        if key not in coil:
            raise ValueError(f"{where}: missing {key!r}.")
        v = np.asarray(coil[key], dtype=float)
        if v.shape != (3,):
            raise ValueError(f"{where}: {key!r} must hold 3 numbers, got shape {v.shape}.")
        out[key] = [float(x) for x in v]
    out["radius"] = float(coil.get("radius", 0.0))
    if "turns" in coil:
        out["turns"] = int(coil["turns"])
    if "weight" in coil:
        out["weight"] = float(coil["weight"])
    return out


class SensorArray:
    """The MEG channels of a system: sensors built from pickup coils, their
    reference weights, and channels that are not MEG sensors.

    Parameters
    ----------
    channels : list of dict
        One dict per channel, in channel order, with keys ``name`` (str),
        ``kind`` (int: 100-103 measurement sensors, 10-13 reference sensors,
        others are kept as channels that are not MEG sensors), and optional
        ``good`` (bool, default True), ``gain`` (float, default 1),
        ``coils`` (list of dict: ``position`` (3,) in metres, head frame;
        ``normal`` (3,), any length but 0; ``radius`` in metres (default 0);
        ``turns`` (int, default 1); ``weight`` (default: turns)) and
        ``references`` (list of ``(channel_name, weight)``: the measurement
        value minus weight times the named reference channel's value).
    name : str
        How messages name this array.

    Notes
    -----
    The array is checked as the sensor-array file is: every problem raises
    ValueError with one line naming the channel and coil.
    """

    def __init__(self, channels, *, name="<channels>"):
        _validate_type(channels, (list, tuple), "channels", "a list of dicts")
        doc = {"format": "megfwd-sensor-array", "version": 1, "unit": "m", "channels": []}
        for i, ch in enumerate(channels):
            where = f"channels[{i}]"
            _validate_type(ch, dict, where, "a dict")
            c = {"name": ch.get("name"), "kind": ch.get("kind")}
            for key in ("good", "gain"):
                if key in ch:
                    c[key] = bool(ch[key]) if key == "good" else float(ch[key])
            if "coils" in ch:
                c["coils"] = [_coil_json(coil, f"{where}['coils'][{j}]") for j, coil in enumerate(ch["coils"])]
            if "references" in ch:
                c["references"] = [{"channel": str(r[0]), "weight": float(r[1])} for r in ch["references"]]
            doc["channels"].append(c)
        self._handle = _megfwd.Sensors.from_text(json.dumps(doc), str(name))

    @classmethod
    def _from_document(cls, channels, name):
        """From channel dicts already in the file's form (unit "m")."""
        doc = {"format": "megfwd-sensor-array", "version": 1, "unit": "m", "channels": channels}
        return cls._wrap(_megfwd.Sensors.from_text(json.dumps(doc), str(name)))

    @classmethod
    def _wrap(cls, handle):
        self = cls.__new__(cls)
        self._handle = handle
        return self

    @classmethod
    def from_json(cls, path):
        """Reads a megfwd sensor-array file (JSON, unit "mm" or "m")."""
        return cls._wrap(_megfwd.Sensors.from_file(os.fspath(path)))

    @classmethod
    def from_mne(cls, info, accuracy="accurate", ignore_ref=False):
        """The MEG channels of an ``mne.Info``, with MNE's coil integration
        points at `accuracy` ('accurate', 'normal' or 'point') as weighted
        point coils, in head coordinates, and the data's compensation as
        reference weights (unless `ignore_ref`). Compute on it with
        ``sensor_model="standard"`` to get MNE's values. Needs MNE-Python."""
        from . import mne as _bridge  # raises ImportError naming python3-mne without MNE
        return _bridge.sensor_array(info, accuracy=accuracy, ignore_ref=ignore_ref)

    def to_json(self, path):
        """Writes the array as a sensor-array file (millimetres), atomically."""
        self._handle.write(os.fspath(path))

    # Pickled as the file text, so that the array can be sent to Dask workers.
    def __getstate__(self):
        return {"text": self._handle.text(), "label": self._handle.label}

    def __setstate__(self, state):
        self._handle = _megfwd.Sensors.from_text(state["text"], state["label"])

    def _channels(self):
        return self._handle.channels()

    @property
    def names(self):
        """Names of every channel, in channel order."""
        return [c[0] for c in self._channels()]

    @property
    def kinds(self):
        """Kind code of every channel."""
        return np.array([c[1] for c in self._channels()], dtype=int)

    @property
    def n_channels(self):
        return len(self._channels())

    @property
    def positions(self):
        """ndarray, shape (n_channels, 3): first-coil positions in metres
        (NaN for channels that are not MEG sensors)."""
        pos = [c[3] if c[3] is not None else (np.nan,) * 3 for c in self._channels()]
        return np.array(pos, dtype=float) / 1000.0

    @property
    def measurement_names(self):
        """Names of the good measurement channels: the sensor axis of a
        leadfield, in order."""
        return [c[0] for c in self._channels() if 100 <= c[1] <= 103 and c[2]]

    @property
    def notes(self):
        """Things worth knowing about the input that are not errors."""
        return list(self._handle.notes)

    def __repr__(self):
        kinds = self.kinds
        n_meas = int(((kinds >= 100) & (kinds <= 103)).sum())
        n_ref = int(((kinds >= 10) & (kinds <= 13)).sum())
        return f"<SensorArray | {self.n_channels} channels: {n_meas} measurement, {n_ref} reference sensors>"

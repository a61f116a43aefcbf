"""MEG sensor arrays: the channels, pickup coils and reference weights of a
system, as megfwd's library holds them."""
import importlib
import numbers
import os

import numpy as np

from . import _megfwd
from ._check import _check_real, _validate_type

_CHANNEL_KEYS = ("name", "kind", "good", "gain", "coils", "references")
_COIL_KEYS = ("position", "normal", "radius", "turns", "weight")
# Positions within 10 m of the origin on each axis and radii up to 1 m keep
# everything computed from them within the range of a double.
_MAX_COORDINATE_M = 10.0
_MAX_RADIUS_M = 1.0


def _is_meg(kind):
    return 100 <= kind <= 103 or 10 <= kind <= 13


def _is_reference(kind):
    return 10 <= kind <= 13


def _real(value, where, key):
    try:
        return _check_real(f"{where}: {key!r}", value)
    except (TypeError, ValueError) as err:
        raise ValueError(str(err)) from None


def _integer(value, where, key):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{where}: {key!r} must be an int, got {type(value).__name__} {value!r}.")
    if not -2**31 <= value < 2**31:
        raise ValueError(f"{where}: {key!r} is out of range ({value}).")
    return int(value)


def _vector3(value, where, key):
    try:
        v = np.asarray(value)
    except Exception:  # ragged lists and the like
        v = np.asarray(None)
    if v.shape != (3,) or v.dtype == bool or not (np.issubdtype(v.dtype, np.floating)
                                                  or np.issubdtype(v.dtype, np.integer)):
        raise ValueError(f"{where}: {key!r} must hold 3 real numbers, got {value!r}.")
    v = v.astype(float)
    if not np.isfinite(v).all():
        raise ValueError(f"{where}: {key!r} holds a value that is not finite: {v.tolist()}.")
    return v


def _unknown_keys(d, allowed, where):
    unknown = set(d) - set(allowed)
    if unknown:
        raise ValueError(f"{where}: unknown keys {sorted(map(str, unknown))}; allowed are {list(allowed)}.")


def _coil_row(coil, where):
    """(position, normal, radius, turns, weight) of one coil dict, checked."""
    _validate_type(coil, dict, where, "a dict with 'position' and 'normal'")
    _unknown_keys(coil, _COIL_KEYS, where)
    for key in ("position", "normal"):
        if key not in coil:
            raise ValueError(f"{where}: missing {key!r}.")
    pos = _vector3(coil["position"], where, "position")
    if (np.abs(pos) > _MAX_COORDINATE_M).any():
        raise ValueError(f"{where}: 'position' {pos.tolist()} m is farther than 10 m from the origin on an axis.")
    normal = _vector3(coil["normal"], where, "normal")
    if not np.any(normal):
        raise ValueError(f"{where}: 'normal' has zero length.")
    radius = _real(coil.get("radius", 0.0), where, "radius")
    if not 0.0 <= radius <= _MAX_RADIUS_M:
        raise ValueError(f"{where}: 'radius' must be between 0 and {_MAX_RADIUS_M} m, got {radius}.")
    turns = _integer(coil.get("turns", 1), where, "turns")
    weight = _real(coil.get("weight", turns), where, "weight")
    return pos, normal, radius, turns, weight


def _channel_columns(channels):
    """The library's arrays (SensorArrayColumns) of a list of channel dicts,
    every value checked and every refusal naming the channel as the caller
    wrote it (``channels[3] ('MEG03'), coils[1]: ...``)."""
    _validate_type(channels, (list, tuple), "channels", "a list of dicts")
    if not channels:
        raise ValueError("channels is empty: at least 2 measurement sensors are needed.")
    names, kinds, where_of = [], [], []
    for i, ch in enumerate(channels):
        where = f"channels[{i}]"
        _validate_type(ch, dict, where, "a dict")
        _unknown_keys(ch, _CHANNEL_KEYS, where)
        name = ch.get("name")
        if not isinstance(name, str) or not name:
            raise ValueError(f"{where}: 'name' must be a non-empty str, got {name!r}.")
        where = f"channels[{i}] ({name!r})"
        if "kind" not in ch:
            raise ValueError(f"{where}: missing 'kind' (100-103 measurement, 10-13 reference sensors).")
        kind = _integer(ch["kind"], where, "kind")
        if name in names:
            raise ValueError(f"{where}: the name is also that of channels[{names.index(name)}].")
        names.append(name)
        kinds.append(kind)
        where_of.append(where)
    index = {name: i for i, name in enumerate(names)}
    good, gains, coil_counts, coil_rows, ref_counts, ref_channels, ref_weights = [], [], [], [], [], [], []
    for i, ch in enumerate(channels):
        where = where_of[i]
        if not isinstance(ch.get("good", True), (bool, np.bool_)):
            raise ValueError(f"{where}: 'good' must be True or False, got {ch['good']!r}.")
        good.append(bool(ch.get("good", True)))
        gains.append(_real(ch.get("gain", 1.0), where, "gain"))
        coils = ch.get("coils", [])
        _validate_type(coils, (list, tuple), f"{where}: 'coils'", "a list of dicts")
        if _is_meg(kinds[i]) and not coils:
            raise ValueError(f"{where}: no 'coils' (an MEG sensor needs at least one coil).")
        coil_rows += [_coil_row(coil, f"{where}, coils[{j}]") for j, coil in enumerate(coils)]
        coil_counts.append(len(coils))
        refs = ch.get("references", [])
        _validate_type(refs, (list, tuple), f"{where}: 'references'", "a list of (channel name, weight) pairs")
        for k, ref in enumerate(refs):
            at = f"{where}, references[{k}]"
            if not isinstance(ref, (list, tuple)) or len(ref) != 2:
                raise ValueError(f"{at}: must be a (channel name, weight) pair, got {ref!r}.")
            target = index.get(ref[0]) if isinstance(ref[0], str) else None
            if target is None:
                raise ValueError(f"{at}: {ref[0]!r} is no channel of this list.")
            if not _is_reference(kinds[target]):
                raise ValueError(f"{at}: {ref[0]!r} is not a reference sensor (kind {kinds[target]}; reference "
                                 f"sensors have kind 10-13).")
            ref_channels.append(target)
            ref_weights.append(_real(ref[1], at, "weight"))
        ref_counts.append(len(refs))
    n_good = sum(1 for k, g in zip(kinds, good) if 100 <= k <= 103 and g)
    if n_good < 2:
        raise ValueError(f"channels holds {n_good} good measurement sensor{'' if n_good == 1 else 's'} "
                         f"(kind 100-103, good True); at least 2 are needed.")
    rows = list(zip(*coil_rows)) if coil_rows else [[], [], [], [], []]
    return dict(names=names, kinds=kinds, good=good, gains=gains, coil_counts=coil_counts,
                positions=np.reshape(rows[0], (-1, 3)), normals=np.reshape(rows[1], (-1, 3)), radii=rows[2],
                turns=rows[3], weights=rows[4], reference_counts=ref_counts, reference_channels=ref_channels,
                reference_weights=ref_weights)


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
    Every problem raises ValueError with one line naming the channel and
    coil as they are indexed here, e.g. ``channels[3] ('MEG03'), coils[1]:
    'position' holds a value that is not finite: [nan, 0.0, 0.1].``

    An array does not change once made. It keeps what `leadfield`,
    `leadfield_gradient` and the dipole fit prepare about its sensors for
    the last four settings they were called with, so a call with the
    settings of a recent one skips that preparation (with
    ``return_meta=True``, ``meta["scan"]["sensor_plan"]`` says which).
    """

    def __init__(self, channels, *, name="<channels>"):
        self._handle = _megfwd.Sensors.from_arrays(str(name), **_channel_columns(channels), unit="m")

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
        """The MEG channels of an ``mne.Info``: `megfwd.mne.from_mne`, which
        imports MNE-Python on this first use (ImportError without it)."""
        return importlib.import_module(".mne", __package__).from_mne(info, accuracy=accuracy, ignore_ref=ignore_ref)

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

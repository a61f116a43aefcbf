"""Input checks shared by the public functions: each names the parameter,
the value given and what is accepted."""
import numbers

import numpy as np


def _validate_type(value, types, name, what):
    if not isinstance(value, types):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__} instead.")
    return value


def _check_option(name, value, allowed):
    if value not in allowed:
        raise ValueError(
            f"Invalid value for the {name!r} parameter. Allowed values are "
            f"{', '.join(repr(a) for a in allowed)}, but got {value!r} instead."
        )
    return value


def _check_int(name, value, low=None):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__} instead.")
    if low is not None and value < low:
        raise ValueError(f"{name} must be at least {low}, got {value}.")
    return int(value)


def _rows(array, name, columns, unit):
    """A (n, columns) float64 array, C-ordered (a Fortran-ordered input is
    copied); anything else raises ValueError naming `name`."""
    a = np.asanyarray(array)
    if a.dtype == object or not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer)):
        raise ValueError(f"{name} must hold real numbers ({unit}), got dtype {a.dtype}.")
    if columns == 3 and a.ndim == 1 and a.shape == (3,):
        a = a[np.newaxis]
    if a.ndim != 2 or a.shape[1] != columns:
        raise ValueError(f"{name} must have shape (n, {columns}), got {a.shape}.")
    if a.shape[0] == 0:
        raise ValueError(f"{name} is empty: at least one row of {columns} numbers is needed.")
    if not (a.flags.c_contiguous or a.flags.f_contiguous):
        raise ValueError(
            f"{name} is not contiguous (a strided view); pass np.ascontiguousarray({name}) instead."
        )
    a = np.ascontiguousarray(a, dtype=np.float64)
    bad = ~np.isfinite(a)
    if bad.any():
        row = int(np.argwhere(bad)[0][0])
        raise ValueError(f"{name} row {row} holds a value that is not finite: {a[row].tolist()}.")
    return a


def _threads(threads):
    """megfwd's threads: None uses every core (0 for the library)."""
    if threads is None:
        return 0
    return _check_int("threads", threads, low=1)


def _n_jobs(n_jobs):
    """MNE's n_jobs as library threads: None → 1, -1 → every core."""
    if n_jobs is None:
        return 1
    n = _check_int("n_jobs", n_jobs)
    if n == -1:
        return 0
    if n < 1:
        raise ValueError(f"n_jobs must be a positive int or -1 (every core), got {n}.")
    return n

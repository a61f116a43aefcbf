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


def _check_bool(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__} {value!r} instead.")
    return bool(value)


def _check_real(name, value):
    """A finite real number (an int or float, not a bool)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__} {value!r} instead.")
    if not np.isfinite(value):
        raise ValueError(f"{name} must be a finite number, got {value!r}.")
    return float(value)


def _real_array(value, name, unit):
    """`value` as an ndarray of real numbers (bool, complex, text and objects
    refused), not copied when it already is one."""
    a = np.asarray(value)
    if a.dtype == bool or not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer)):
        raise ValueError(f"{name} must hold real numbers ({unit}), got dtype {a.dtype}.")
    return a


def _rows(array, name, columns, unit):
    """`array` as rows of `columns` real numbers, whatever its strides, order
    or dtype, without a copy: one (columns,) vector is one row. Anything else
    raises ValueError naming `name`. The caller converts to float64 where
    the library needs it (`_to_library`)."""
    a = _real_array(array, name, unit)
    if a.ndim == 1 and a.shape == (columns,):
        a = a[np.newaxis]
    if a.ndim != 2 or a.shape[1] != columns:
        raise ValueError(f"{name} must have shape (n, {columns}), got {a.shape}.")
    if a.shape[0] == 0:
        raise ValueError(f"{name} is empty: at least one row of {columns} numbers is needed.")
    if a.dtype.kind == "f":
        bad = ~np.isfinite(a)
        if bad.any():
            row = int(np.argwhere(bad)[0][0])
            raise ValueError(f"{name} row {row} holds a value that is not finite: {a[row].tolist()}.")
    return a


def _to_library(rows, scale=1.0):
    """Rows as the C-ordered float64 array the library reads, times
    `scale`: one pass, the only copy of the caller's array."""
    out = np.empty(rows.shape, dtype=np.float64)
    np.multiply(rows, scale, out=out, dtype=np.float64)
    return out


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

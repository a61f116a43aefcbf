"""Named float64 arrays in one little-endian file that Octave reads exactly
(read_arrays.m), for the toolbox's tests and its benchmark: Octave's JSON
reader rounds doubles, so values cross as raw binary.

Per array: the name's length, the name's characters, the number of
dimensions and the dimensions, all as doubles, then the values in column
order (Octave's)."""
import os
import struct

import numpy as np


def write(path, arrays):
    """Writes `arrays` (name -> array) to `path`, atomically."""
    with open(path + ".part", "wb") as f:
        for name, a in arrays.items():
            a = np.atleast_1d(np.asarray(a, dtype="<f8"))
            head = [len(name), *map(float, name.encode()), a.ndim, *a.shape]
            f.write(struct.pack(f"<{len(head)}d", *head))
            f.write(np.asfortranarray(a).tobytes(order="F"))
    os.replace(path + ".part", path)

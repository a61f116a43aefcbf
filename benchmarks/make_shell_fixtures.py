#!/usr/bin/python3
"""Writes the single-shell model's test fixtures into tests/head_model/data:
a mild ellipsoid (semi-axes 72/82/70 mm, icosahedron subdivided 4 times),
48 point magnetometers 35 mm outside it, 100 sources at 0.35-0.88 of the
way to the surface, and MNE-Python's one-layer BEM gain of them (float32).

    /usr/bin/python3 benchmarks/make_shell_fixtures.py

Units in the files: metres; gain in T/(A m), shape (sources, sensors, 3).
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_reference as ref  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'head_model', 'data')


def main():
    os.makedirs(OUT, exist_ok=True)
    rr, tris = ref.ellipsoid([0.072, 0.082, 0.070], grade=4)
    sensors, normals = ref.helmet(rr, 48)
    src = ref.sources(rr, tris, 100)
    gain = ref.bem_gain(rr, tris, sensors, normals, src)
    sphere = ref.sarvas(src, sensors, normals, np.zeros(3))
    print('sphere (origin at the centre) against the BEM: %.2f %%' % (100 * ref.rel_error(sphere, gain)))
    np.save(os.path.join(OUT, 'ellipsoid_vertices.npy'), rr)
    np.save(os.path.join(OUT, 'ellipsoid_triangles.npy'), tris.astype(np.int32))
    np.save(os.path.join(OUT, 'ellipsoid_sensors.npy'), np.hstack([sensors, normals]))
    np.save(os.path.join(OUT, 'ellipsoid_sources.npy'), src)
    np.save(os.path.join(OUT, 'ellipsoid_bem_gain.npy'), gain.astype(np.float32))
    total = sum(os.path.getsize(os.path.join(OUT, f)) for f in os.listdir(OUT))
    print('fixtures: %d bytes in %s' % (total, OUT))


if __name__ == '__main__':
    main()

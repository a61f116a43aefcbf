"""Local spheres against a one-layer boundary-element reference, on a small
stored case: the 68/85/62 mm ellipsoid, 150 sensors 35 mm outside it, 100
sources and MNE-Python's BEM gain for them (data/sphere_accuracy.npz,
written by ``benchmarks/bench_sphere_accuracy.py --write-fixture``)."""
from pathlib import Path

import numpy as np
import pytest

import megfwd

DATA = Path(__file__).parent / "data" / "sphere_accuracy.npz"


@pytest.fixture(scope="module")
def stored():
    d = dict(np.load(DATA))
    channels = []
    for i, name in enumerate(d["names"]):
        mine = d["coil_channel"] == i
        channels.append({"name": str(name), "kind": 101, "coils": [
            {"position": p, "normal": n, "weight": float(w)}
            for p, n, w in zip(d["coil_position"][mine], d["coil_normal"][mine], d["coil_weight"][mine])]})
    d["sensors"] = megfwd.SensorArray(channels, name="fixture")
    return d


def _error(d, sphere):
    lf = megfwd.leadfield(d["sensors"], d["sources"].astype(float), sphere=sphere, sensor_model="standard",
                          refs=False)
    gain = lf.transpose(1, 0, 2).reshape(len(d["names"]), -1)
    ref = d["gain"].astype(float)
    return np.linalg.norm(gain - ref) / np.linalg.norm(ref)


def test_local_spheres_against_the_bem(stored):
    vertices = stored["vertices"].astype(float)
    centre, radius, _ = megfwd.fit_sphere(vertices)
    errors = {"single": _error(stored, np.r_[centre, radius])}
    for method in ("nearby", "weighted"):
        spheres = megfwd.LocalSpheres.fit(stored["sensors"], vertices, triangles=stored["triangles"], method=method)
        errors[method] = _error(stored, spheres)
    # Measured on this case (whole-gain error against the BEM): single
    # 24.34 %, nearby 18.00 %, weighted 16.54 %. Spheres given to the wrong
    # sensors (37-40 %), or every sensor left on the global sphere, lose
    # these margins.
    assert errors["nearby"] < errors["single"] - 0.05
    assert errors["weighted"] < errors["nearby"] - 0.01
    # The bench wrote the library's figures for the same stored inputs (the
    # weighted fit's are left out, so its weighting can be tuned).
    for name, figure in zip(stored["methods"], stored["errors"]):
        assert errors[str(name)] == pytest.approx(float(figure), abs=1e-9), str(name)

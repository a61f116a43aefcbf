"""Fixtures of the Python tests: a small synthetic helmet built in Python
(a few axial gradiometers and reference magnetometers), and the paths of the
build's command-line program."""
import os
from pathlib import Path

import numpy as np
import pytest

import megfwd

CLI = os.environ.get("MEGFWD_CLI", "")


def _helmet_channels(n=12, refs=True):
    """Axial gradiometers on a 110 mm hemisphere about the origin, lower coil
    first, 50 mm baseline, with two reference magnetometers above them."""
    channels = []
    golden = np.pi * (3 - np.sqrt(5))
    for i in range(n):
        z = 0.15 + 0.8 * i / max(n - 1, 1)
        r = np.sqrt(1 - z * z)
        u = np.array([r * np.cos(golden * i), r * np.sin(golden * i), z])
        ch = {"name": f"MEG{i:02d}", "kind": 101,
              "coils": [{"position": 0.11 * u, "normal": u, "radius": 0.009, "turns": 1},
                        {"position": 0.16 * u, "normal": u, "radius": 0.009, "turns": -1}]}
        if refs:
            ch["references"] = [("REF1", 0.01 * (i % 3)), ("REF2", -0.02)]
        channels.append(ch)
    if refs:
        for name, pos, nrm in (("REF1", [0.02, 0.0, 0.25], [0, 0, 1]), ("REF2", [-0.02, 0.03, 0.26], [1, 0, 0])):
            channels.append({"name": name, "kind": 10,
                             "coils": [{"position": pos, "normal": nrm, "radius": 0.009}]})
    return channels


@pytest.fixture(scope="session")
def helmet():
    return megfwd.SensorArray(_helmet_channels(), name="helmet")


@pytest.fixture(scope="session")
def sources():
    """Sources on a 20 mm grid inside a 70 mm ball about (0, 0, 0.04) m."""
    g = np.arange(-0.06, 0.0601, 0.02)
    pts = np.array(np.meshgrid(g, g, g, indexing="ij")).reshape(3, -1).T
    pts = pts[np.linalg.norm(pts, axis=1) < 0.07]
    return pts + [0.0, 0.0, 0.04]


@pytest.fixture(scope="session")
def cli():
    if not CLI or not Path(CLI).exists():
        pytest.skip("MEGFWD_CLI does not name the built megfwd program")
    return CLI

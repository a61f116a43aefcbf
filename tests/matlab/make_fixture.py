"""Reference leadfields for the Octave toolbox's tests, computed by the
Python package on a small CTF-like system, written as raw little-endian
doubles that Octave reads exactly (its JSON reader rounds).

    PYTHONPATH=build/test/python /usr/bin/python3 tests/matlab/make_fixture.py OUT_DIR [MEGFWD_CLI]

With the command-line program, it also computes the system with one sphere
per measurement sensor (a spheres file, --local-spheres). It also computes
the system with the single shell on an ellipsoid (the accuracy bench's
mesh).

The system: axial gradiometers of one point per coil and of four
integration points per coil, magnetometer references of four points, and
reference weights on every gradiometer. The library computes it with its
own sensors (coils of one sensor summed, weights +1/-1 along one normal)
and its own reference correction; the toolbox gets the same system as coil
points with the second coil's orientation reversed and weight +1, and the
reference weights folded into tra. Arrays are written in column-major
order so that Octave's fread and reshape give them directly.

File sensors.json: the system as the library's sensor-array file.
File fixture.bin: a sequence of arrays, each as
    name length, name characters, number of dimensions, dimensions, values
all as float64.
"""
import os
import json
import subprocess
import sys

import numpy as np

import megfwd
from arrays_file import write  # noqa: E402  (beside this script)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks"))
from bench_sphere_accuracy import ellipsoid_mesh  # noqa: E402  (the meshes of the accuracy bench)

SPHERE = np.array([0.002, -0.003, 0.041, 0.088])  # centre and radius, metres
N_GRAD = 18
N_REF = 4


def _helmet_directions(n, rng):
    u = rng.normal(size=(n, 3))
    u[:, 2] = np.abs(u[:, 2]) + 0.3
    return u / np.linalg.norm(u, axis=1)[:, None]


def _disk_points(centre, normal, radius):
    """Four points on a circle of `radius` around centre, in the coil plane."""
    a = np.cross(normal, [1.0, 0.0, 0.0] if abs(normal[0]) < 0.9 else [0.0, 1.0, 0.0])
    a /= np.linalg.norm(a)
    b = np.cross(normal, a)
    return [centre + radius * (c * a + s * b) for c, s in ((1, 0), (0, 1), (-1, 0), (0, -1))]


def build(rng):
    """Channels for the library, and the same system as coil points and tra."""
    centre = SPHERE[:3]
    lib = []          # channel dicts for megfwd.SensorArray
    points, ori, owner, weight = [], [], [], []   # the toolbox's view
    for i, n in enumerate(_helmet_directions(N_GRAD, rng)):
        lower = centre + 0.115 * n
        upper = lower + 0.05 * n
        coils = []
        for c, (pos, sign) in enumerate(((lower, 1.0), (upper, -1.0))):
            pts = [pos] if i % 3 else _disk_points(pos, n, 0.008)
            w = 1.0 / len(pts)
            for p in pts:
                coils.append({"position": p, "normal": n, "weight": sign * w})
                points.append(p)
                ori.append(n if sign > 0 else -n)   # the upper coil reversed, weight +
                owner.append(i)
                weight.append(w)
        lib.append({"name": f"MEG{i:02d}", "kind": 101, "coils": coils})
    for j, n in enumerate(_helmet_directions(N_REF, rng)):
        pos = centre + 0.22 * n
        coils = []
        for p in _disk_points(pos, n, 0.01):
            coils.append({"position": p, "normal": n, "weight": 0.25})
            points.append(p)
            ori.append(n)
            owner.append(N_GRAD + j)
            weight.append(0.25)
        lib.append({"name": f"REF{j}", "kind": 10, "coils": coils})
    coef = rng.uniform(-0.02, 0.02, size=(N_GRAD, N_REF))
    for i in range(N_GRAD):
        lib[i]["references"] = [(f"REF{j}", coef[i, j]) for j in range(N_REF)]
    tra = np.zeros((N_GRAD + N_REF, len(points)))
    tra[owner, np.arange(len(points))] = weight
    return lib, np.array(points), np.array(ori), tra, coef


def gain_layout(lf):
    """(sources, channels, 3) as channels x 3N, column 3s + k."""
    return np.ascontiguousarray(lf.transpose(1, 0, 2).reshape(lf.shape[1], -1))


def local_spheres(cli, out_dir, rng, src):
    """Leadfields with one sphere per gradiometer (the references on the
    global sphere), from the command line."""
    centres = SPHERE[:3] + rng.uniform(-0.01, 0.01, size=(N_GRAD, 3))
    radii = rng.uniform(0.08, 0.09, size=N_GRAD)
    table = {"format": "megfwd-local-spheres", "version": 1, "unit": "m",
             "global_sphere": {"center": list(SPHERE[:3]), "radius": SPHERE[3]},
             "sensors": [{"name": f"MEG{i:02d}", "center": list(c), "radius": r}
                         for i, (c, r) in enumerate(zip(centres, radii))]}
    with open(os.path.join(out_dir, "spheres.json"), "w") as f:
        json.dump(table, f)
    np.save(os.path.join(out_dir, "sources_mm.npy"), src * 1000.0)
    out = {"local_centres": centres, "local_radii": radii}
    for key, ref in (("gain_local_plain", "--no-ref"), ("gain_local_balanced", "--ref")):
        lf = os.path.join(out_dir, key + ".npy")
        subprocess.run([cli, "leadfield", "--sensors", os.path.join(out_dir, "sensors.json"),
                        "--sources", os.path.join(out_dir, "sources_mm.npy"),
                        "--local-spheres", os.path.join(out_dir, "spheres.json"), "--si", "--sensor-model", "standard",
                        "--formula", "ST01", "--no-stencil", ref, "--quiet", "--out", lf], check=True)
        out[key] = gain_layout(np.load(lf))
    return out


def single_shell(sensors, src):
    """Leadfields with the single shell on an ellipsoid around the sources
    (its least-squares sphere corrected), with and without the reference
    correction, and with the normal-component fit at a lower order."""
    vertices, triangles = ellipsoid_mesh((0.080, 0.086, 0.078), grade=3)  # 1280 triangles
    vertices = vertices + SPHERE[:3]
    opts = dict(sensor_model="standard", formula="ST01", _extra={"isSpatConstrained": 0})
    out = {"shell_vertices": vertices, "shell_triangles": triangles + 1.0}
    shell = megfwd.SingleShell(vertices, triangles, order=8)
    for key, refs in (("gain_shell_plain", False), ("gain_shell_balanced", True)):
        out[key] = gain_layout(megfwd.leadfield(sensors, src, head=shell, refs=refs, **opts))
    lsq = megfwd.SingleShell(vertices, triangles, order=5, fit="lsq")
    out["gain_shell_lsq"] = gain_layout(megfwd.leadfield(sensors, src, head=lsq, refs=True, **opts))
    # Head models fitted to the same surface, as a head shape: one sphere,
    # and local spheres by the weighted fit (the MEG sensors' entries).
    centre, radius, _ = megfwd.fit_sphere(vertices)
    out["fit_sphere"] = np.r_[centre, radius]
    fitted = megfwd.LocalSpheres.fit(sensors, vertices, triangles=triangles, method="weighted")
    out["fit_local_centres"], out["fit_local_radii"] = fitted.centres, fitted.radii
    return out


def main(out_dir, cli=None):
    rng = np.random.default_rng(23)
    lib, points, ori, tra, coef = build(rng)
    sensors = megfwd.SensorArray(lib, name="toolbox fixture")
    src = rng.uniform(-1, 1, size=(60, 3))
    src = SPHERE[:3] + 0.07 * src / np.maximum(1.0, np.linalg.norm(src, axis=1))[:, None]
    opts = dict(sphere=SPHERE, sensor_model="standard", formula="ST01", _extra={"isSpatConstrained": 0})
    plain = megfwd.leadfield(sensors, src, refs=False, **opts)
    balanced = megfwd.leadfield(sensors, src, refs=True, **opts)
    os.makedirs(out_dir, exist_ok=True)
    sensors.to_json(os.path.join(out_dir, "sensors.json"))
    arrays = {"coilpos": points, "coilori": ori, "tra": tra, "refcoef": coef, "sphere": SPHERE, "sources": src,
              "gain_plain": gain_layout(plain), "gain_balanced": gain_layout(balanced)}
    arrays.update(single_shell(sensors, src))
    if cli:
        arrays.update(local_spheres(cli, out_dir, rng, src))
    write(os.path.join(out_dir, "fixture.bin"), arrays)


if __name__ == "__main__":
    main(*sys.argv[1:3])

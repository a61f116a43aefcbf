"""The single-shell head model from Python: against the stored BEM
reference (MNE-Python's one-layer BEM on a mild ellipsoid, made by
benchmarks/make_shell_fixtures.py), through the MNE bridge, its file and
its refusals."""
import os
import pickle

import numpy as np
import pytest

import megfwd

DATA = os.path.join(os.environ.get("MEGFWD_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")),
                    "tests", "head_model", "data")


def _load(name):
    return np.load(os.path.join(DATA, f"ellipsoid_{name}.npy"))


@pytest.fixture(scope="module")
def fixture():
    sens = _load("sensors")
    channels = [{"name": "M%03d" % i, "kind": 100,
                 "coils": [{"position": s[:3], "normal": s[3:], "radius": 0.0}]} for i, s in enumerate(sens)]
    return dict(vertices=_load("vertices"), triangles=_load("triangles"), sensors=sens,
                array=megfwd.SensorArray(channels, name="point magnetometers"),
                sources=_load("sources"), gain=_load("bem_gain").astype(float))


def _error(a, b):
    return np.linalg.norm(a - b) / np.linalg.norm(b)


def test_leadfield_and_field_match_the_bem_reference(fixture):
    shell = megfwd.SingleShell(fixture["vertices"], fixture["triangles"], order=10)
    lf, meta = megfwd.leadfield(fixture["array"], fixture["sources"], head=shell, sensor_model="standard",
                                return_meta=True)
    # The sphere alone is 13.7 % off here; the C++ tests hold the order's
    # effect, this checks the units and frames of the Python layer.
    assert _error(lf, fixture["gain"]) < 3e-3
    assert meta["single_shell"]["order"] == 10
    q = np.array([1e-8, -2e-8, 0.5e-8])
    b = megfwd.field(fixture["array"], fixture["sources"][:5], np.tile(q, (5, 1)), head=shell,
                     sensor_model="standard")
    np.testing.assert_allclose(b, lf[:5] @ q, rtol=1e-10, atol=1e-12 * np.abs(b).max())
    # head= takes the sphere models as sphere= does; a shell corrects local
    # spheres as well as one sphere (each sensor's leadfield is its own).
    src = fixture["sources"][:4]
    local = megfwd.LocalSpheres.fit(fixture["array"], fixture["vertices"])
    for sphere in ((0, 0, 0, 0.08), local):
        np.testing.assert_array_equal(megfwd.leadfield(fixture["array"], src, head=sphere),
                                      megfwd.leadfield(fixture["array"], src, sphere=sphere))
    on_local = megfwd.leadfield(fixture["array"], fixture["sources"], head=shell, sphere=local,
                                sensor_model="standard")
    assert _error(on_local, fixture["gain"]) < 3e-3


def test_file_pickle_and_inward_winding_keep_the_model(fixture, tmp_path):
    tris = fixture["triangles"]
    shell = megfwd.SingleShell(fixture["vertices"], tris[:, [0, 2, 1]], order=6, fit="lsq")
    assert shell.was_turned
    assert repr(shell).startswith("<SingleShell | 2562 vertices, 5120 triangles, order 6, lsq fit, centre (")
    shell.to_json(tmp_path / "shell.json")
    again = megfwd.SingleShell.from_json(tmp_path / "shell.json")
    unpickled = pickle.loads(pickle.dumps(shell))
    src = fixture["sources"][:10]
    ref = megfwd.leadfield(fixture["array"], src, head=shell)
    np.testing.assert_array_equal(megfwd.leadfield(fixture["array"], src, head=again), ref)
    np.testing.assert_array_equal(megfwd.leadfield(fixture["array"], src, head=unpickled), ref)
    outward = megfwd.SingleShell(fixture["vertices"], tris, order=6, fit="lsq")
    np.testing.assert_allclose(megfwd.leadfield(fixture["array"], src, head=outward), ref, rtol=0,
                               atol=1e-12 * np.abs(ref).max())


def test_fitted_once_and_bits_of_a_fresh_model_across_sensor_sets_and_pickling(fixture):
    v, t = fixture["vertices"], fixture["triangles"]
    shell = megfwd.SingleShell(v, t, order=8)
    src = fixture["sources"][:40]
    # Another sensor set: every other channel, 5 mm further out.
    channels = [{"name": "N%03d" % i, "kind": 100,
                 "coils": [{"position": s[:3] * 1.05, "normal": s[3:], "radius": 0.0}]}
                for i, s in enumerate(fixture["sensors"][::2])]
    other = megfwd.SensorArray(channels, name="half the magnetometers")
    megfwd.leadfield(fixture["array"], src, head=shell)  # builds the surface's part
    cached = megfwd.leadfield(other, src, head=shell)
    fresh = megfwd.leadfield(other, src, head=megfwd.SingleShell(v, t, order=8))
    np.testing.assert_array_equal(cached, fresh)
    # A process unpickles one model once; its values are the original's.
    again = pickle.loads(pickle.dumps(shell))
    assert pickle.loads(pickle.dumps(shell)) is again
    np.testing.assert_array_equal(megfwd.leadfield(other, src, head=again), fresh)
    assert pickle.loads(pickle.dumps(megfwd.SingleShell(v, t, order=7))) is not again


def test_refusals_name_what_is_wrong(fixture):
    v, t = fixture["vertices"], fixture["triangles"]
    with pytest.raises(ValueError, match="the surface is open"):
        megfwd.SingleShell(v, t[:-1])
    shell = megfwd.SingleShell(v * 2.0, t, order=4)  # the helmet inside it
    with pytest.raises(ValueError, match=r"channel 'M0\d+': an integration point lies inside or on the inner-skull surface"):
        megfwd.leadfield(fixture["array"], fixture["sources"][:3], head=shell)
    with pytest.raises(ValueError, match="not both"):
        megfwd.leadfield(fixture["array"], fixture["sources"][:3], head=(0, 0, 0, 0.08), sphere=(0, 0, 0, 0.08))


def test_mne_bridge_takes_an_inner_skull_and_names_the_option(fixture):
    mne = pytest.importorskip("mne")
    import megfwd.mne as mfm
    from mne.io.constants import FIFF

    sens = fixture["sensors"]
    info = mne.create_info(["M%03d" % i for i in range(len(sens))], 1000.0, "mag")
    for ch, s in zip(info["chs"], sens):
        n = s[3:]
        ex = np.cross(n, [1.0, 0, 0]) if abs(n[0]) < 0.9 else np.cross(n, [0, 1.0, 0])
        ex /= np.linalg.norm(ex)
        ch["loc"][:12] = np.concatenate([s[:3], ex, np.cross(n, ex), n])
        ch["coil_type"] = FIFF.FIFFV_COIL_POINT_MAGNETOMETER
    with info._unlock():
        info["dev_head_t"] = mne.transforms.Transform("meg", "head", np.eye(4))
    src = mne.setup_volume_source_space(pos=dict(rr=fixture["sources"], nn=np.tile([0, 0, 1.0], (100, 1))),
                                        verbose=False)
    trans = mne.transforms.Transform("head", "mri", np.eye(4))
    surf = dict(rr=fixture["vertices"], tris=fixture["triangles"].astype(int))
    fwd = mfm.make_forward_solution(info, trans, src, surf, head_model="single_shell", verbose=False)
    gain = fwd["sol"]["data"].reshape(len(sens), -1, 3).transpose(1, 0, 2)
    assert gain.shape == fixture["gain"].shape
    assert _error(gain, fixture["gain"]) < 3e-3
    bem = mne.bem.ConductorModel(is_sphere=False, surfs=[mne.surface.complete_surface_info(
        dict(surf, id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, coord_frame=FIFF.FIFFV_COORD_MRI, sigma=0.3),
        verbose=False)])
    with pytest.raises(NotImplementedError, match="head_model='single_shell'"):
        mfm.make_forward_solution(info, trans, src, bem, verbose=False)

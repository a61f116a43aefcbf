"""The MNE-Python bridge against MNE's own forward computation, on synthetic
CTF, Neuromag-style and KIT-style systems (Debian's MNE ships no
recordings)."""
import os
import subprocess
import sys

import numpy as np
import pytest

mne = pytest.importorskip("mne")

import megfwd  # noqa: E402
import megfwd.mne as mfm  # noqa: E402
from mne.io.constants import FIFF  # noqa: E402


def _frame(u):
    """Orthonormal ex, ey for a unit normal u."""
    a = np.array([1.0, 0, 0]) if abs(u[0]) < 0.9 else np.array([0, 1.0, 0])
    ex = np.cross(a, u)
    ex /= np.linalg.norm(ex)
    return ex, np.cross(u, ex)


def _helmet(n):
    """n directions on the upper part of the unit sphere (golden spiral)."""
    i = np.arange(n)
    z = 0.05 + 0.9 * i / max(n - 1, 1)
    r = np.sqrt(1 - z * z)
    g = np.pi * (3 - np.sqrt(5)) * i
    return np.stack([r * np.cos(g), r * np.sin(g), z], axis=1)


def _rotation(angles, shift):
    t = np.eye(4)
    t[:3, :3] = mne.transforms.rotation(*angles)[:3, :3]
    t[:3, 3] = shift
    return t


def make_info(system, n=24):
    """A synthetic Info: `system` in 'ctf', 'ctf-nocomp', 'neuromag', 'kit', 'opm'.
    Sensors 115 mm from (0, 0, 40) mm of the device frame, pointing out;
    CTF systems get 3 reference magnetometers and 2 reference gradiometers."""
    centre = np.array([0.0, 0.0, 0.04])
    chs = []  # (name, type, coil_type, position, ez, angle of ex about ez)
    for i, u in enumerate(_helmet(n)):
        pos = centre + 0.115 * u
        if system.startswith("ctf"):
            chs.append((f"MLC{i:02d}", "mag", FIFF.FIFFV_COIL_CTF_GRAD, pos, u, 0.0))
        elif system == "kit":
            chs.append((f"MEG {i:03d}", "mag", FIFF.FIFFV_COIL_KIT_GRAD, pos, u, 0.0))
        elif system == "opm":  # integration weights that do not sum to 1
            chs.append((f"OPM{i:03d}", "mag", FIFF.FIFFV_COIL_QUSPIN_ZFOPM_MAG, pos, u, 0.0))
        else:
            chs.append((f"MEG{i:03d}2", "grad", FIFF.FIFFV_COIL_VV_PLANAR_T1, pos, u, 0.0))
            chs.append((f"MEG{i:03d}3", "grad", FIFF.FIFFV_COIL_VV_PLANAR_T1, pos, u, np.pi / 2))
            chs.append((f"MEG{i:03d}1", "mag", FIFF.FIFFV_COIL_VV_MAG_T3, pos, u, 0.0))
    if system.startswith("ctf"):
        for j, (pos, u) in enumerate([([0.02, 0.0, 0.25], [0, 0, 1]), ([-0.02, 0.03, 0.26], [1, 0, 0]),
                                      ([0.0, -0.03, 0.27], [0, 1, 0])]):
            chs.append((f"BR{j + 1}", "ref_meg", FIFF.FIFFV_COIL_CTF_REF_MAG, np.array(pos), np.array(u, float), 0))
        for j, (pos, u) in enumerate([([0.03, 0.02, 0.28], [0, 0, 1]), ([-0.03, -0.02, 0.28], [0, 1, 0])]):
            chs.append((f"G1{j + 1}", "ref_meg", FIFF.FIFFV_COIL_CTF_REF_GRAD, np.array(pos), np.array(u, float), 0))
    info = mne.create_info([c[0] for c in chs], 1000.0, [c[1] for c in chs])
    for ch, (_, _, coil, pos, u, angle) in zip(info["chs"], chs):
        ex, ey = _frame(u)
        ex, ey = np.cos(angle) * ex + np.sin(angle) * ey, -np.sin(angle) * ex + np.cos(angle) * ey
        ch["loc"][:] = np.concatenate([pos, ex, ey, u])
        ch["coil_type"] = coil
        ch["coord_frame"] = FIFF.FIFFV_COORD_DEVICE
    with info._unlock():
        info["dev_head_t"] = mne.transforms.Transform("meg", "head", _rotation((0.05, -0.03, 0.1), [0.002, -0.004, 0.003]))
    if system == "ctf":
        meg = [c["ch_name"] for c in info["chs"] if c["kind"] == FIFF.FIFFV_MEG_CH]
        ref = [c["ch_name"] for c in info["chs"] if c["kind"] == FIFF.FIFFV_REF_MEG_CH]
        rng = np.random.default_rng(3)
        comp = dict(ctfkind=3, kind=3, save_calibrated=True, rowcals=np.ones(len(meg)), colcals=np.ones(len(ref)),
                    data=dict(nrow=len(meg), ncol=len(ref), row_names=meg, col_names=ref,
                              data=rng.normal(scale=0.05, size=(len(meg), len(ref)))))
        with info._unlock():
            info["comps"] = [comp]
        for ch in info["chs"]:
            if ch["kind"] == FIFF.FIFFV_MEG_CH:
                ch["coil_type"] = int(ch["coil_type"]) | (3 << 16)
    return info


TRANS = mne.transforms.Transform("mri", "head", _rotation((-0.04, 0.02, 0.07), [0.001, 0.004, 0.005]))
SPHERE = (0.0, 0.0, 0.04)


def _sources():
    vol = mne.setup_volume_source_space(sphere=(0.0, 0.0, 0.04, 0.07), pos=20.0, verbose=False)
    rng = np.random.default_rng(0)
    u = rng.normal(size=(40, 3))
    u /= np.linalg.norm(u, axis=1)[:, None]
    rr = np.array(SPHERE) + 0.06 * u  # a cortex-like shell with normals
    disc = mne.setup_volume_source_space(pos=dict(rr=rr, nn=u), verbose=False)
    return vol, disc


def _assert_same_gain(gain, want):
    """gain, want: (n_channels, 3 * n_sources); at most 1e-10 of each source's largest value apart."""
    a, b = gain.reshape(len(gain), -1, 3), want.reshape(len(want), -1, 3)
    scale = np.abs(b).max(axis=(0, 2))
    assert a.shape == b.shape and (scale > 0).all()
    rel = np.abs(a - b).max(axis=(0, 2)) / scale
    assert rel.max() <= 1e-10, f"largest relative difference {rel.max():.3g} at source {rel.argmax()}"


@pytest.mark.parametrize("system, layers, ignore_ref", [
    ("ctf", True, False),          # compensation grade 3 from the references
    ("ctf-nocomp", False, False),  # references present, no compensation
    ("ctf", False, True),          # references left out
    ("neuromag", True, False),
    ("kit", False, False),
    ("opm", True, False),
])
def test_gain_equals_mne(system, layers, ignore_ref):
    info = make_info(system)
    bem = mne.make_sphere_model(r0=SPHERE, head_radius=0.09 if layers else None, verbose=False)
    for src in _sources():
        ref = mne.make_forward_solution(info, TRANS, src, bem, eeg=False, ignore_ref=ignore_ref, verbose=False)
        mine = mfm.make_forward_solution(info, TRANS, src, bem, ignore_ref=ignore_ref, n_jobs=2)
        _assert_same_gain(mine["sol"]["data"], ref["sol"]["data"])
        assert mine["sol"]["row_names"] == ref["sol"]["row_names"]
        assert mine["nchan"] == ref["nchan"] and mine["nsource"] == ref["nsource"]
        assert mine["coord_frame"] == ref["coord_frame"] == FIFF.FIFFV_COORD_HEAD
        np.testing.assert_array_equal(mine["source_rr"], ref["source_rr"])
        np.testing.assert_array_equal(mine["source_nn"], ref["source_nn"])
        assert mine["src"][0]["vertno"].tolist() == ref["src"][0]["vertno"].tolist()
    # The sensor array alone, on MNE's sources in head coordinates (those in
    # megfwd's default scan, which leaves out sources too close to a coil).
    array = megfwd.SensorArray.from_mne(info, ignore_ref=ignore_ref)
    lf, mask = megfwd.leadfield(array, ref["source_rr"], sphere=(*SPHERE, 0.09), sensor_model="standard",
                                return_mask=True)
    assert array.measurement_names == ref["sol"]["row_names"] and mask.mean() > 0.5
    want = ref["sol"]["data"].reshape(ref["nchan"], -1, 3)[:, mask]
    _assert_same_gain(lf[mask].transpose(1, 0, 2).reshape(ref["nchan"], -1), want.reshape(ref["nchan"], -1))


def test_forward_works_in_mne(tmp_path):
    info = make_info("ctf")
    bem = mne.make_sphere_model(r0=SPHERE, head_radius=0.09, verbose=False)
    src = _sources()[1]
    fwd = mfm.make_forward_solution(info, TRANS, src, bem)
    fixed = mne.convert_forward_solution(fwd, surf_ori=True, force_fixed=True, verbose=False)
    assert fixed["sol"]["data"].shape == (fwd["nchan"], fwd["nsource"])
    q = np.random.default_rng(1).normal(size=(fwd["nsource"], 2)) * 1e-9
    stc = mne.VolSourceEstimate(q, [src[0]["vertno"]], 0, 1e-3)
    evoked = mne.apply_forward(fwd, stc, info, verbose=False)
    assert evoked.data.shape == (fwd["nchan"], 2) and np.abs(evoked.data).max() > 0
    cov = mne.make_ad_hoc_cov(evoked.info, verbose=False)
    inv = mne.minimum_norm.make_inverse_operator(evoked.info, fwd, cov, loose=1.0, depth=None, verbose=False)
    assert inv["nsource"] == fwd["nsource"]
    mne.write_forward_solution(tmp_path / "x-fwd.fif", fwd, verbose=False)
    back = mne.read_forward_solution(tmp_path / "x-fwd.fif", verbose=False)
    np.testing.assert_allclose(back["sol"]["data"], fwd["sol"]["data"], rtol=1e-6)  # stored as float32


def test_sensor_array_and_convert_round_trip(tmp_path):
    info = make_info("ctf")
    with info._unlock():
        info["bads"] = ["MLC03"]
    raw = mne.io.RawArray(np.zeros((len(info["ch_names"]), 10)), info, verbose=False)
    fif = tmp_path / "rec_raw.fif"
    raw.save(fif, verbose=False)
    out = tmp_path / "rec.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-m", "megfwd", "convert", str(fif), str(out), "--accuracy", "normal"],
                         capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    # FIF stores positions in single precision: compare with the Info read back.
    direct = megfwd.SensorArray.from_mne(mne.io.read_info(fif, verbose=False), accuracy="normal")
    back = megfwd.SensorArray.from_json(out)
    assert back.names == direct.names == info["ch_names"]
    assert "MLC03" not in back.measurement_names and len(back.measurement_names) == 23
    src = np.array([[0.01, 0.0, 0.05], [0.0, -0.02, 0.07]])
    a = megfwd.leadfield(direct, src, sphere=(0, 0, 0.04, 0.09), sensor_model="standard")
    b = megfwd.leadfield(back, src, sphere=(0, 0, 0.04, 0.09), sensor_model="standard")
    assert np.abs(a - b).max() <= 1e-12 * np.abs(a).max()

    recording = fif.read_bytes()
    for argv, match in (([str(fif), str(fif)], "recording itself"),
                        ([str(tmp_path / "missing.fif"), str(out)], "no such file"),
                        ([str(out), str(tmp_path / "x.json")], "cannot read it")):
        run = subprocess.run([sys.executable, "-m", "megfwd", "convert", *argv], capture_output=True, text=True,
                             env=env)
        assert run.returncode == 2 and match in run.stderr and run.stderr.count("\n") == 1, run.stderr
    assert fif.read_bytes() == recording


def test_unsupported_inputs_raise():
    blocked = "import sys; sys.modules['mne'] = None\nimport megfwd\ntry:\n    megfwd.SensorArray.from_mne(None)\n" \
              "except ImportError as e:\n    print(e)"
    run = subprocess.run([sys.executable, "-c", blocked], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert "python3-mne" in run.stdout, run.stdout + run.stderr
    info = make_info("kit")
    bem = mne.make_sphere_model(r0=SPHERE, head_radius=0.09, verbose=False)
    src = _sources()[1]
    with pytest.raises(ValueError, match="'accuracy' parameter"):
        megfwd.SensorArray.from_mne(info, accuracy="exact")
    with pytest.raises(NotImplementedError, match="sphere conductor models"):
        mfm.make_forward_solution(info, TRANS, src, "sample-5120-bem-sol.fif")
    eeg = mne.create_info(["EEG1", "EEG2"], 1000.0, "eeg")
    for ch, pos in zip(eeg["chs"], ([0.08, 0, 0.05], [-0.08, 0, 0.05])):
        ch["loc"][:3] = pos
    raw = mne.io.RawArray(np.zeros((len(info["ch_names"]), 1)), info, verbose=False)
    raw.add_channels([mne.io.RawArray(np.zeros((2, 1)), eeg, verbose=False)], force_update_info=True)
    with pytest.raises(NotImplementedError, match="MEG forward solutions only"):
        mfm.make_forward_solution(raw.info, TRANS, src, bem, eeg=True)


@pytest.mark.parametrize("accuracy", ["point", "normal", "accurate"])
def test_from_mne_at_each_accuracy_equals_mne_sphere_field(accuracy):
    """MNE's own sphere field over the coils MNE builds at that accuracy (the
    code MNE's forward uses at 'accurate')."""
    from mne.forward._compute_forward import _sphere_field
    from mne.forward._make_forward import _create_meg_coils
    info = make_info("neuromag", n=6)
    rr = _sources()[1][0]["rr"][:10]
    coils = _create_meg_coils(info["chs"], mfm._ACCURACY_CODES[accuracy], info["dev_head_t"])
    want = _sphere_field(rr, coils, dict(r0=np.array(SPHERE)))  # (3 * n_sources, n_channels)
    array = megfwd.SensorArray.from_mne(info, accuracy=accuracy)
    lf = megfwd.leadfield(array, rr, sphere=(*SPHERE, 0.09), sensor_model="standard", _extra={"minCoilSrcDist": -1e12})
    _assert_same_gain(lf.transpose(1, 0, 2).reshape(len(coils), -1), want.T)
    if accuracy != "accurate":  # the accuracy reaches MNE: the values differ from the accurate ones
        accurate = megfwd.leadfield(megfwd.SensorArray.from_mne(info), rr, sphere=(*SPHERE, 0.09),
                                    sensor_model="standard", _extra={"minCoilSrcDist": -1e12})
        assert np.abs(accurate - lf).max() > 1e-6 * np.abs(lf).max()


def test_info_channels_mne_cannot_place_are_named():
    info = mne.create_info(["MEG 001", "MEG 002"], 1000.0, "mag")  # positions never set: NaN
    with pytest.raises(ValueError, match="channel 'MEG 001' of the Info has no position"):
        megfwd.SensorArray.from_mne(info)
    bem = mne.make_sphere_model(r0=SPHERE, head_radius=None, verbose=False)
    with pytest.raises(ValueError, match="channel 'MEG 001' of the Info has no position"):
        mfm.make_forward_solution(info, TRANS, _sources()[1], bem)
    info = make_info("kit", n=4)
    info["chs"][2]["loc"][9:12] = 0.0
    with pytest.raises(ValueError, match="channel 'MEG 002' of the Info has no position: the coil's normal"):
        megfwd.SensorArray.from_mne(info)
    info = make_info("kit", n=4)
    info["chs"][1]["coil_type"] = 9999
    with pytest.raises(ValueError, match="channel 'MEG 001' of the Info has 'coil_type' 9999"):
        megfwd.SensorArray.from_mne(info, accuracy="point")

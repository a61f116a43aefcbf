"""The MNE drop-in with head_model='single_shell': its own selection of the
sources against MNE's, and every form of BEM a user holds. On MNE's average
(fsaverage) inner skull, downsampled so that MNE's own selection stays
quick."""
import os

import numpy as np
import pytest

mne = pytest.importorskip("mne")

import megfwd  # noqa: E402
import megfwd.mne as mfm  # noqa: E402
from mne.utils import object_diff  # noqa: E402
from test_mne import _assert_same_gain, make_info  # noqa: E402
from mne.forward._make_forward import _prepare_for_forward  # noqa: E402
from mne.io.constants import FIFF  # noqa: E402
from mne.transforms import _ensure_trans, apply_trans  # noqa: E402

FSAVERAGE = os.path.join(os.path.dirname(mne.__file__), "data", "fsaverage")


@pytest.fixture(scope="module")
def skull():
    """fsaverage's inner skull at ico-3 (642 vertices, MRI frame), its
    head<->MRI transform, and its vertices in float32 precision (as a BEM
    file keeps them)."""
    surf = mne.bem._ico_downsample(mne.read_bem_surfaces(os.path.join(FSAVERAGE, "fsaverage-inner_skull-bem.fif"),
                                                         verbose=False)[0], 3)
    surf["rr"] = surf["rr"].astype(np.float32).astype(np.float64)
    trans = mne.read_trans(os.path.join(FSAVERAGE, "fsaverage-trans.fif"))
    return surf, trans


def _info(surf, trans, out, n=40):
    """n point magnetometers `out` metres outside the surface along its
    vertex normals, head coordinates."""
    mri_head = _ensure_trans(trans, "mri", "head")
    pick = np.linspace(0, len(surf["rr"]) - 1, n).astype(int)
    centre = surf["rr"].mean(axis=0)
    u = surf["rr"][pick] - centre
    u /= np.linalg.norm(u, axis=1)[:, None]
    pos = apply_trans(mri_head, surf["rr"][pick] + out * u)
    u = apply_trans(mri_head, u, move=False)
    info = mne.create_info([f"M{i:02d}" for i in range(n)], 1000.0, "mag")
    for ch, p, d in zip(info["chs"], pos, u):
        ex = np.cross(d, [1.0, 0, 0]) if abs(d[0]) < 0.9 else np.cross(d, [0, 1.0, 0])
        ex /= np.linalg.norm(ex)
        ch["loc"][:12] = np.concatenate([p, ex, np.cross(d, ex), d])
        ch["coil_type"] = FIFF.FIFFV_COIL_POINT_MAGNETOMETER
    with info._unlock():
        info["dev_head_t"] = mne.transforms.Transform("meg", "head", np.eye(4))
    return info


@pytest.mark.parametrize("mindist", [0.0, 5.0])
def test_selection_and_src_equal_mne(skull, mindist):
    """A 6 mm grid over a ball holding the skull, and scattered points, both
    about half outside: the drop-in keeps exactly the sources MNE keeps and
    returns the source spaces as MNE updates them."""
    surf, trans = skull
    centre = surf["rr"].mean(axis=0)
    grid = mne.setup_volume_source_space(pos=6.0, sphere=(*centre, 0.095), mindist=0.0, exclude=0.0, verbose=False)
    rng = np.random.default_rng(1)
    rr = centre + rng.uniform(-0.09, 0.09, size=(400, 3))
    scattered = mne.setup_volume_source_space(pos=dict(rr=rr, nn=np.tile([0, 0, 1.0], (len(rr), 1))), verbose=False)
    src = grid + scattered
    info = _info(surf, trans, 0.03)
    bem = mne.bem.ConductorModel(is_sphere=False, surfs=[mne.surface.complete_surface_info(
        dict(surf, id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, sigma=0.3), copy=True, verbose=False)])
    mri_head_t = _ensure_trans(trans, "mri", "head")
    *_, want, _ = _prepare_for_forward(src, mri_head_t, info, bem, mindist, 1, "", trans, "", True, False,
                                       verbose=False)
    fwd = mfm.make_forward_solution(info, trans, src, surf, mindist=mindist, head_model="single_shell",
                                    verbose=False)
    for ours, theirs, s in zip(fwd["src"], want["src"], src):
        dropped = s["nuse"] - theirs["nuse"]
        assert 0.2 * s["nuse"] < dropped < 0.8 * s["nuse"]  # a real selection
        assert ours["nuse"] == theirs["nuse"]
        np.testing.assert_array_equal(ours["inuse"], theirs["inuse"])
        np.testing.assert_array_equal(ours["vertno"], theirs["vertno"])
        np.testing.assert_array_equal(ours["rr"], theirs["rr"])  # head coordinates
        np.testing.assert_array_equal(ours["nn"], theirs["nn"])
        assert ours["coord_frame"] == theirs["coord_frame"] == FIFF.FIFFV_COORD_HEAD
    assert src[0]["nuse"] == grid[0]["nuse"] and src[0]["coord_frame"] == FIFF.FIFFV_COORD_MRI  # the caller's copy
    np.testing.assert_array_equal(fwd["source_rr"], want["source_rr"])
    assert fwd["nsource"] == want["nsource"] and fwd["sol"]["data"].shape == (40, 3 * want["nsource"])
    for key in ("chs", "ch_names", "bads", "comps", "dev_head_t", "mri_head_t", "nchan"):
        assert object_diff(fwd["info"][key], want["info"][key]) == "", key
    assert fwd["info"]["chs"][0] is not info["chs"][0]


def test_sensors_and_compensation_equal_mne_at_order_zero(skull):
    """At order 0 the shell is its surface's least-squares sphere: the
    drop-in's gain, from its own coils and CTF compensation, is MNE's sphere
    model gain about that centre."""
    surf, trans = skull
    info = make_info("ctf")
    with info._unlock():  # the helmet over fsaverage's head
        info["dev_head_t"]["trans"][:3, 3] += [0.0, 0.01, 0.005]
    src = mne.setup_volume_source_space(pos=15.0, sphere=(0.0, 0.0, 0.04, 0.06), verbose=False)
    fwd = mfm.make_forward_solution(info, trans, src, surf, head_model="single_shell", shell_order=0, verbose=False)
    centre = apply_trans(_ensure_trans(trans, "mri", "head"), surf["rr"])
    sphere = mne.make_sphere_model(r0=megfwd.SingleShell(centre, surf["tris"], order=0).centre, head_radius=None,
                                   verbose=False)
    kept = mne.setup_volume_source_space(pos=dict(rr=fwd["source_rr"], nn=fwd["source_nn"][::3]), verbose=False)
    want = mne.make_forward_solution(info, None, kept, sphere, eeg=False, verbose=False)  # head = MRI frame
    assert info["comps"] and fwd["nsource"] > 20
    _assert_same_gain(fwd["sol"]["data"], want["sol"]["data"])


def test_every_bem_form_gives_the_same_gain(skull, tmp_path):
    """A three-layer BEM solution, the surfaces make_bem_model returns (three
    or one), one surface dict and the -bem.fif and -bem-sol.fif files: the
    same inner skull, so the same gain, bit for bit; the scalp of three
    layers refuses sensors inside it, as MNE does."""
    surf, trans = skull
    small = mne.bem._ico_downsample(surf, 2)  # 320 triangles: a quick BEM solution
    centre = small["rr"].mean(axis=0)
    layers = [dict(rr=(centre + s * (small["rr"] - centre)) * 1000, tris=small["tris"].copy())
              for s in (1.0, 1.08, 1.16)]
    ids = [FIFF.FIFFV_BEM_SURF_ID_BRAIN, FIFF.FIFFV_BEM_SURF_ID_SKULL, FIFF.FIFFV_BEM_SURF_ID_HEAD]
    three = mne.bem._surfaces_to_bem(layers, ids, [0.3, 0.006, 0.3])
    for s in three:  # as the files keep them
        s["rr"] = s["rr"].astype(np.float32).astype(np.float64)
    one = [s for s in three if s["id"] == FIFF.FIFFV_BEM_SURF_ID_BRAIN]
    solution = mne.make_bem_solution(three, verbose=False)
    mne.write_bem_surfaces(tmp_path / "x-bem.fif", three, verbose=False)
    mne.write_bem_solution(tmp_path / "x-bem-sol.fif", solution, verbose=False)
    info = _info(one[0], trans, 0.035, n=12)
    src = mne.setup_volume_source_space(pos=dict(rr=centre + np.array([[0, 0, 0.02], [0.02, -0.01, 0.0],
                                                                        [-0.03, 0.02, 0.01]]),
                                                 nn=np.tile([0, 0, 1.0], (3, 1))), verbose=False)

    def gain(bem):
        fwd = mfm.make_forward_solution(info, trans, src, bem, head_model="single_shell", shell_order=6, verbose=False)
        return fwd["sol"]["data"]

    want = gain(one[0])
    assert np.abs(want).max() > 0
    for form in (solution, three, one, str(tmp_path / "x-bem.fif"), tmp_path / "x-bem-sol.fif"):
        np.testing.assert_array_equal(gain(form), want, err_msg=type(form).__name__)
    # The drop-in keeps the last surfaces it checked and fitted: another one
    # is not taken for them.
    skull_layer = [s for s in three if s["id"] == FIFF.FIFFV_BEM_SURF_ID_SKULL][0]
    assert np.abs(gain(skull_layer) - want).max() > 1e-3 * np.abs(want).max()
    # Sensors between the inner skull and the scalp: refused with three layers.
    inside = _info(one[0], trans, 0.006, n=12)
    with pytest.raises(RuntimeError, match="12 MEG sensors inside the scalp surface"):
        mfm.make_forward_solution(inside, trans, src, solution, head_model="single_shell", shell_order=6,
                                  verbose=False)
    with pytest.raises(ValueError, match="no inner-skull surface"):
        mfm.make_forward_solution(info, trans, src, [s for s in three if s["id"] != FIFF.FIFFV_BEM_SURF_ID_BRAIN], head_model="single_shell",
                                  verbose=False)

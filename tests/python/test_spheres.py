"""Spheres fitted to the head from Python: the sphere fit in SI units, local
spheres as a sphere model of leadfield, field and Dask, the file, and the
MNE bridge's local spheres."""
import numpy as np
import pytest

import megfwd


def _ellipsoid(axes, centre, n=2000):
    """n points on an ellipsoid (metres), golden-angle spiral."""
    i = np.arange(n)
    z = 1 - 2 * (i + 0.5) / n
    r = np.sqrt(1 - z * z)
    g = np.pi * (3 - np.sqrt(5)) * i
    return np.c_[r * np.cos(g), r * np.sin(g), z] * axes + centre


def test_fit_sphere_in_metres_and_refusals():
    pts = _ellipsoid(0.08, [0.01, -0.02, 0.04], 500)
    pts = pts[pts[:, 2] > 0.06]  # a cap
    centre, radius, rms = megfwd.fit_sphere(pts)
    np.testing.assert_allclose(centre, [0.01, -0.02, 0.04], atol=1e-12)
    assert radius == pytest.approx(0.08, abs=1e-12) and rms < 1e-12
    with pytest.raises(ValueError, match="lie on one plane"):
        megfwd.fit_sphere(np.c_[pts[:, :2], np.zeros(len(pts))])
    with pytest.raises(ValueError, match="at least 4 points, got 3"):
        megfwd.fit_sphere(pts[:3])


def test_local_spheres_fit_file_and_repr(helmet, tmp_path):
    spheres = megfwd.LocalSpheres.fit(helmet, _ellipsoid([0.072, 0.07, 0.082], [0, 0, 0.0]), method="weighted")
    assert spheres.names == helmet.measurement_names
    assert spheres.centres.shape == (12, 3) and spheres.radii.shape == (12,)
    assert not spheres.fallback.any()
    assert 0.05 < spheres.radii.min() < spheres.radii.max() < 0.1   # metres, varying with the head
    assert "12 sensors (weighted)" in repr(spheres)
    spheres.to_json(tmp_path / "s.json")
    back = megfwd.LocalSpheres.from_json(tmp_path / "s.json")
    assert back.names == spheres.names and back.method == "weighted"
    np.testing.assert_allclose(back.centres, spheres.centres, rtol=1e-15, atol=1e-17)
    np.testing.assert_allclose(back.global_sphere, spheres.global_sphere, rtol=1e-15)
    # Too far from every point: the global sphere, with the reason.
    far = megfwd.LocalSpheres.fit(helmet, _ellipsoid(0.08, [0, 0, 0.04]), radius=0.01)
    assert far.fallback.all() and "fewer than 11" in far.reasons[0]
    np.testing.assert_allclose(far.centres, np.tile(far.global_sphere[:3], (12, 1)))
    with pytest.raises(ValueError, match="method"):
        megfwd.LocalSpheres.fit(helmet, _ellipsoid(0.08, 0), method="closest")


def test_local_spheres_in_leadfield_field_and_dask(helmet, sources, tmp_path):
    # On a spherical head every local sphere is the head sphere: the
    # leadfields equal the single-sphere ones (one cross-check of the
    # library's own test, through the Python layer).
    head = (0.0, 0.0, 0.005, 0.08)
    spheres = megfwd.LocalSpheres.fit(helmet, _ellipsoid(0.085, head[:3]))
    lf = megfwd.leadfield(helmet, sources, sphere=spheres)
    want = megfwd.leadfield(helmet, sources, sphere=head)
    assert np.abs(lf - want).max() <= 1e-12 * np.abs(want).max()
    moments = np.tile([1e-8, 2e-8, 0.0], (len(sources), 1))
    b = megfwd.field(helmet, sources, moments, sphere=spheres)
    assert np.abs(b - megfwd.field(helmet, sources, moments, sphere=head)).max() <= 1e-12 * np.abs(b).max()
    pytest.importorskip("dask")
    import megfwd.dask as mdask
    lazy = mdask.leadfield(helmet, sources, chunks=40, sphere=spheres)
    np.testing.assert_array_equal(lazy.compute(scheduler="sync"), lf)
    # The Dask command takes the file.
    zarr = pytest.importorskip("zarr")
    helmet.to_json(tmp_path / "helmet.json")
    spheres.to_json(tmp_path / "spheres.json")
    np.savetxt(tmp_path / "src.csv", sources * 1000.0, delimiter=",")
    assert mdask.main(["leadfield", "--sensors", str(tmp_path / "helmet.json"), "--sources", str(tmp_path / "src.csv"),
                       "--local-spheres", str(tmp_path / "spheres.json"), "--out", str(tmp_path / "lf.zarr"),
                       "-q"]) == 0
    group = zarr.open_group(str(tmp_path / "lf.zarr"), mode="r")
    np.testing.assert_allclose(group["leadfield"][:], lf, rtol=0, atol=1e-12 * np.abs(lf).max())

    # Every measurement sensor needs a sphere; two components do not go with them.
    short = megfwd.LocalSpheres(spheres.names[1:], spheres.centres[1:], spheres.radii[1:], spheres.global_sphere)
    with pytest.raises(ValueError, match="no local sphere for measurement sensor 'MEG00'"):
        megfwd.leadfield(helmet, sources, sphere=short)
    with pytest.raises(ValueError, match="two tangential components"):
        megfwd.leadfield(helmet, sources, sphere=spheres, tangential=True)
    with pytest.raises(ValueError, match="radius"):
        megfwd.LocalSpheres(["A"], [[0, 0, 0]], [0.0], head)


def test_mne_local_spheres_and_forward():
    mne = pytest.importorskip("mne")
    import megfwd.mne as mfm
    from test_mne import SPHERE, TRANS, _sources, make_info

    info = make_info("ctf")
    info["bads"] = [info["ch_names"][0]]  # MNE's forward solution keeps bad channels: they need spheres too
    head = _ellipsoid(0.08, SPHERE)
    surf_head = {"rr": head, "coord_frame": mne.io.constants.FIFF.FIFFV_COORD_HEAD}
    # The same surface in MRI coordinates comes back to head coordinates by trans.
    mri_rr = mne.transforms.apply_trans(mne.transforms.invert_transform(TRANS), head)
    surf_mri = {"rr": mri_rr, "coord_frame": mne.io.constants.FIFF.FIFFV_COORD_MRI}
    a = mfm.make_local_spheres(info, surf_head)
    b = mfm.make_local_spheres(info, surf_mri, trans=TRANS)
    np.testing.assert_allclose(a.centres, b.centres, atol=1e-12)
    with pytest.raises(ValueError, match="give trans"):
        mfm.make_local_spheres(info, surf_mri)

    # On a spherical head the forward solution equals MNE's sphere model's.
    vol, _ = _sources()
    fwd = mfm.make_forward_solution(info, TRANS, vol, a)
    ref = mne.make_forward_solution(info, TRANS, vol, mne.make_sphere_model(r0=SPHERE, head_radius=None),
                                    eeg=False, verbose=False)
    gain, want = fwd["sol"]["data"], ref["sol"]["data"]
    assert gain.shape == want.shape
    assert np.abs(gain - want).max() <= 1e-10 * np.abs(want).max()

    # The digitised head shape.
    dig = [dict(kind=FIFF_POINT, ident=i + 1, r=p, coord_frame=mne.io.constants.FIFF.FIFFV_COORD_HEAD)
           for i, p in enumerate(head[head[:, 2] > 0.03][::4])]
    with info._unlock():
        info["dig"] = [mne.io._digitization.DigPoint(d) for d in dig]
    shape = mfm.make_local_spheres(info, "headshape")
    assert len(shape) == len(a.names) and not shape.fallback.any()


FIFF_POINT = 4  # FIFFV_POINT_EXTRA

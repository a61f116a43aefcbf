"""Leadfield gradients and dipole fits from Python: units and frames (one
cross-check against the leadfield), the fit against MNE-Python's on a small
Neuromag-style system (benchmarks/dipole_simulation.py), input checks and
cancellation."""
import os
import sys

import numpy as np
import pytest

import megfwd

SOURCE_DIR = os.environ.get("MEGFWD_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def test_gradient_is_the_leadfields_derivative_per_metre(helmet, sources):
    pts = sources[::7]
    grad = megfwd.leadfield_gradient(helmet, pts, sphere=(0, 0, 0.04, 0.09))
    assert grad.shape == (len(pts), 12, 3, 3)
    h = 1e-6
    for m in range(3):
        step = np.zeros(3)
        step[m] = h
        fd = (megfwd.leadfield(helmet, pts + step, sphere=(0, 0, 0.04, 0.09)) -
              megfwd.leadfield(helmet, pts - step, sphere=(0, 0, 0.04, 0.09))) / (2 * h)
        np.testing.assert_allclose(grad[..., m], fd, rtol=0, atol=2e-6 * np.abs(grad).max())


@pytest.fixture(scope="module")
def neuromag():
    mne = pytest.importorskip("mne")
    sys.path.insert(0, os.path.join(SOURCE_DIR, "benchmarks"))
    import dipole_simulation as ds
    info = ds.neuromag_info(40)
    sphere = mne.make_sphere_model(r0=(0.0, 0.0, 0.04), head_radius=0.09, verbose=False)
    cov = ds.noise_cov(info)
    pos = np.array([[0.03, 0.02, 0.08], [-0.02, -0.03, 0.07]])
    mom = np.array([[0.0, 30e-9, -8e-9], [25e-9, 0.0, 7e-9]])
    evoked = ds.simulate(info, sphere, pos, mom, cov, nave=40, seed=1)
    return mne, sphere, cov, evoked, pos


def test_drop_in_matches_mne_fit_dipole(neuromag):
    mne, sphere, cov, evoked, true_pos = neuromag
    import megfwd.mne as mfm
    dip, residual = mfm.fit_dipole(evoked, cov, sphere, n_jobs=2)
    ref, ref_residual = mne.fit_dipole(evoked, cov, sphere, verbose=False)
    assert isinstance(dip, mne.Dipole)
    # MNE's own optimiser stops within its tolerance (0.05 mm trust radius).
    assert np.linalg.norm(dip.pos - ref.pos, axis=1).max() < 1e-3
    assert (dip.gof >= ref.gof - 0.2).all()
    np.testing.assert_allclose(dip.amplitude, ref.amplitude, rtol=0.03)
    for t in range(len(dip.times)):
        # At megfwd's position MNE finds the same moment and GOF.
        fixed, _ = mne.fit_dipole(evoked.copy().crop(dip.times[t], dip.times[t]), cov, sphere, pos=dip.pos[t],
                                  verbose=False)
        np.testing.assert_allclose(fixed.gof[0], dip.gof[t], rtol=1e-7)
        np.testing.assert_allclose(fixed.amplitude[0], dip.amplitude[t], rtol=1e-6)
    np.testing.assert_allclose(residual.data, ref_residual.data, atol=0.1 * np.abs(ref_residual.data).max())
    for key in ("vol", "depth", "long", "trans", "qlong", "qtrans"):
        np.testing.assert_allclose(dip.conf[key], ref.conf[key], rtol=0.05)


def test_fit_of_exact_data_and_bad_input(helmet, sources):
    pos = np.array([[0.02, 0.01, 0.07]])
    lf = megfwd.leadfield(helmet, pos, sphere=(0, 0, 0.04, 0.09))[0]
    q = np.cross(pos[0] - [0, 0, 0.04], [0, 0, 1.0])
    q *= 20e-9 / np.linalg.norm(q)
    data = (lf @ q)[:, None]
    fit = megfwd.fit_dipole(helmet, data, sphere=(0, 0, 0.04, 0.09), threads=1)
    assert np.linalg.norm(fit.pos[0] - pos[0]) < 1e-5
    assert fit.gof[0] > 99.9999
    with pytest.raises(ValueError, match="measurement channels"):
        megfwd.fit_dipole(helmet, data[:5], sphere=(0, 0, 0.04, 0.09))
    with pytest.raises(ValueError, match="head model"):
        megfwd.fit_dipole(helmet, data)
    with pytest.raises(RuntimeError, match="cancelled"):
        megfwd.fit_dipole(helmet, np.repeat(data, 3, axis=1), sphere=(0, 0, 0.04, 0.09), threads=1,
                          progress=lambda done, total: False)

"""A Neuromag-style MEG system and evoked responses of known dipoles, built
with MNE-Python alone (Debian's MNE ships no recordings). Used by
bench_dipole.py and by the Python tests of the dipole fit.

The helmet: ``n_sites`` sensor sites on a cap of radius 0.12 m about
(0, 0, 0.04) m, each with two orthogonal planar gradiometers (coil type
3012) and a magnetometer (3024), device frame = head frame.
"""
import numpy as np

import mne
import mne.simulation


def neuromag_info(n_sites=102, sfreq=1000.0):
    golden = np.pi * (3 - np.sqrt(5))
    names, types, locs = [], [], []
    for i in range(n_sites):
        z = 0.05 + 0.93 * i / max(n_sites - 1, 1)  # from just above the ears to the top
        r = np.sqrt(1 - z * z)
        u = np.array([r * np.cos(golden * i), r * np.sin(golden * i), z])
        pos = np.array([0.0, 0.0, 0.04]) + 0.12 * u
        ex = np.cross([0.0, 0.0, 1.0], u) if abs(u[2]) < 0.999 else np.array([1.0, 0.0, 0.0])
        ex /= np.linalg.norm(ex)
        ey = np.cross(u, ex)
        for kind, e1, e2 in (("grad", ex, ey), ("grad", ey, -ex), ("mag", ex, ey)):
            names.append(f"MEG{i:03d}{len(names) % 3 + 1}")
            types.append(kind)
            locs.append(np.concatenate([pos, e1, e2, u]))
    info = mne.create_info(names, sfreq, types)
    with info._unlock():
        for ch, loc in zip(info["chs"], locs):
            ch["loc"] = loc
        info["dev_head_t"] = mne.transforms.Transform("meg", "head")
    return info


def noise_cov(info, grad_std=5e-13 / 0.01 * 0.2, mag_std=5e-14 * 0.4):
    """A diagonal noise covariance (T² and (T/m)²)."""
    std = np.array([grad_std if ch["unit"] == mne.io.constants.FIFF.FIFF_UNIT_T_M else mag_std
                    for ch in info["chs"]])
    return mne.Covariance(np.diag(std ** 2), info["ch_names"], [], [], 1)


def simulate(info, sphere, positions, moments, cov, nave=100, seed=0):
    """Evoked data of one dipole per time point (positions in m, moments in
    A·m, head frame) with noise of `cov` / nave, by mne.simulate_evoked."""
    positions, moments = np.asarray(positions, float), np.asarray(moments, float)
    amp = np.linalg.norm(moments, axis=1)
    n = len(positions)
    dip = mne.Dipole(np.arange(n) / info["sfreq"], positions, amp, moments / amp[:, None], np.full(n, 100.0))
    fwd, stc = mne.make_forward_dipole(dip, sphere, info, verbose=False)
    return mne.simulation.simulate_evoked(fwd, stc, info, cov, nave=nave, random_state=seed, use_cps=False, verbose=False)

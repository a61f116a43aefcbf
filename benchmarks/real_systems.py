"""Real-style MEG systems around MNE's average head (fsaverage), for the
benches that compare megfwd with MNE-Python on real anatomy.

Everything comes from MNE-Python 1.3's own data and definitions:

  anatomy   fsaverage's inner skull (mne/data/fsaverage), downsampled to an
            icosahedron of grade 4 (2562 vertices) or 3 (642) with
            mne.bem._ico_downsample, and its scalp (fsaverage-head.fif),
            placed in the head frame by fsaverage-trans.fif.
  systems   mne.Info objects made with mne.create_info and MNE's coil
            types, in the head frame (dev_head_t the identity):
              neuromag306  102 places, each a magnetometer (3024) and two
                           planar gradiometers (3012) at right angles;
              ctf275       275 axial gradiometers (5001, 50 mm baseline)
                           and 29 references (11 magnetometers 5002, 9
                           gradiometers 5003 and 9 off-diagonal gradiometers
                           5004) 12-17 cm above the head, with grade-3
                           compensation weights (info['comps'], fixed seed);
              magnes248    248 magnetometers (4001);
              kit157       157 axial gradiometers (6001);
              opm          a triaxial cap: about 100 places 6.5 mm out along
                           the scalp's normal, each with one radial and two
                           tangential channels (8002).
  helmets   SQUID helmets are the scalp moved out by a gap (HELMET_GAP):
            the places are directions spread evenly by a golden spiral over
            a cap of 115 degrees about an axis tilted 10 degrees back from
            the vertex (a helmet reaches lower behind and beside the head
            than over the face), each taken to the scalp vertex nearest to
            that ray from the inner skull's centre and moved out along the
            scalp's normal (averaged over 20 mm, so that the helmet is
            smooth). Every coil looks along that normal. The OPM cap uses
            the same places at 6.5 mm.
  sources   a volume grid inside the inner skull (MNE's own selection:
            setup_volume_source_space with the surface and a mindist).

Used by bench_real_systems.py (accuracy) and by the drop-in's speed bench.
Positions are in metres.
"""
import os

import numpy as np

GRADES = (3, 4)
HELMET_GAP = 0.020        # m, SQUID coils outside the scalp
OPM_GAP = 0.0065          # m, OPM sensor centres outside the scalp
CAP_DEGREES = 115.0
CAP_TILT_DEGREES = 10.0
NORMAL_SMOOTHING = 0.020  # m
SYSTEMS = ("neuromag306", "ctf275", "magnes248", "kit157", "opm")


def _mne():
    import mne
    mne.set_log_level("ERROR")
    return mne


def fsaverage_dir():
    return os.path.join(os.path.dirname(_mne().__file__), "data", "fsaverage")


def head_mri_t():
    """fsaverage's head -> MRI transform."""
    mne = _mne()
    t = mne.read_trans(os.path.join(fsaverage_dir(), "fsaverage-trans.fif"))
    return t if t["from"] == mne.io.constants.FIFF.FIFFV_COORD_HEAD else mne.transforms.invert_transform(t)


def inner_skull(grade=4):
    """The inner skull as an MNE surface dict in MRI coordinates (metres),
    downsampled to an icosahedron of `grade`, with id, sigma and frame set."""
    mne = _mne()
    from mne.io.constants import FIFF
    surf = mne.read_bem_surfaces(os.path.join(fsaverage_dir(), "fsaverage-inner_skull-bem.fif"))[0]
    surf = mne.bem._ico_downsample(surf, grade)
    surf = dict(rr=surf["rr"], tris=surf["tris"], ntri=len(surf["tris"]), np=len(surf["rr"]),
                id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, sigma=0.3, coord_frame=FIFF.FIFFV_COORD_MRI)
    return mne.surface.complete_surface_info(surf, copy=False, verbose=False)


def to_head(rr):
    mne = _mne()
    return mne.transforms.apply_trans(mne.transforms.invert_transform(head_mri_t()), rr)


def scalp_head():
    """The scalp's vertices and smoothed outward normals, head frame."""
    mne = _mne()
    surf = mne.read_bem_surfaces(os.path.join(fsaverage_dir(), "fsaverage-head.fif"))[0]
    surf = mne.surface.complete_surface_info(surf, copy=True, verbose=False)
    rot = mne.transforms.invert_transform(head_mri_t())["trans"][:3, :3]
    rr = to_head(surf["rr"])
    nn = surf["nn"] @ rot.T
    smooth = np.empty_like(nn)
    for i, p in enumerate(rr):
        near = np.linalg.norm(rr - p, axis=1) < NORMAL_SMOOTHING
        v = nn[near].sum(0)
        smooth[i] = v / np.linalg.norm(v)
    return rr, smooth


def cap_places(n, gap):
    """`n` places (head frame) `gap` outside the scalp, with their normals."""
    rr, nn = scalp_head()
    centre = to_head(inner_skull(4)["rr"]).mean(0)
    tilt = np.radians(CAP_TILT_DEGREES)
    axis = np.array([0.0, -np.sin(tilt), np.cos(tilt)])
    ex = np.array([1.0, 0.0, 0.0])
    ey = np.cross(axis, ex)
    golden = np.pi * (3.0 - np.sqrt(5.0))
    cos_cap = np.cos(np.radians(CAP_DEGREES))
    pos, nor = [], []
    unit = (rr - centre) / np.linalg.norm(rr - centre, axis=1, keepdims=True)
    for i in range(n):
        ct = 1.0 - (1.0 - cos_cap) * (i + 0.5) / n
        st = np.sqrt(1.0 - ct * ct)
        d = ct * axis + st * (np.cos(golden * i) * ex + np.sin(golden * i) * ey)
        k = int(np.argmax(unit @ d))
        pos.append(rr[k] + gap * nn[k])
        nor.append(nn[k])
    return np.array(pos), np.array(nor)


def _frame(normal):
    """Two unit vectors at right angles to `normal` and to each other."""
    ex = np.cross(normal, [1.0, 0, 0]) if abs(normal[0]) < 0.9 else np.cross(normal, [0, 1.0, 0])
    ex /= np.linalg.norm(ex)
    return ex, np.cross(normal, ex)


def _set(ch, pos, ez, coil_type, ex=None):
    if ex is None:
        ex, ey = _frame(ez)
    else:
        ey = np.cross(ez, ex)
    ch["loc"][:12] = np.concatenate([pos, ex, ey, ez])
    ch["coil_type"] = coil_type


def _info(names, types):
    mne = _mne()
    info = mne.create_info(names, 1000.0, types)
    with info._unlock():
        info["dev_head_t"] = mne.transforms.Transform("meg", "head", np.eye(4))
    return info


def neuromag306():
    from mne.io.constants import FIFF
    pos, nor = cap_places(102, HELMET_GAP)
    names, types = [], []
    for i in range(102):
        names += [f"MEG{i:03d}2", f"MEG{i:03d}3", f"MEG{i:03d}1"]
        types += ["grad", "grad", "mag"]
    info = _info(names, types)
    for i in range(102):
        ex, ey = _frame(nor[i])
        _set(info["chs"][3 * i], pos[i], nor[i], FIFF.FIFFV_COIL_VV_PLANAR_T1, ex)
        _set(info["chs"][3 * i + 1], pos[i], nor[i], FIFF.FIFFV_COIL_VV_PLANAR_T1, ey)
        _set(info["chs"][3 * i + 2], pos[i], nor[i], FIFF.FIFFV_COIL_VV_MAG_T3, ex)
    return info


def ctf275(seed=0):
    from mne.io.constants import FIFF
    pos, nor = cap_places(275, HELMET_GAP)
    names = [f"M{i:03d}" for i in range(275)]
    refs = [f"R{i:02d}" for i in range(29)]
    info = _info(names + refs, ["mag"] * 275 + ["ref_meg"] * 29)
    grade = 3
    for i in range(275):
        _set(info["chs"][i], pos[i], nor[i], FIFF.FIFFV_COIL_CTF_GRAD + (grade << 16))
    # References in the dewar 12-17 cm above the inner skull's centre:
    # magnetometers along x, y, z; gradiometers with their baseline along z,
    # x or y; off-diagonal gradiometers.
    centre = to_head(inner_skull(4)["rr"]).mean(0)
    rng = np.random.default_rng(seed)
    axes = np.eye(3)
    kinds = [FIFF.FIFFV_COIL_CTF_REF_MAG] * 11 + [FIFF.FIFFV_COIL_CTF_REF_GRAD] * 9 + \
        [FIFF.FIFFV_COIL_CTF_OFFDIAG_REF_GRAD] * 9
    for k, kind in enumerate(kinds):
        p = centre + np.array([0.02 * np.cos(k), 0.02 * np.sin(k), 0.12 + 0.05 * k / 28])
        _set(info["chs"][275 + k], p, axes[k % 3], kind, axes[(k + 1) % 3])
    weights = rng.normal(scale=0.02, size=(275, 29))
    comp = {"ctfkind": 0x47334252, "kind": grade, "save_calibrated": False,
            "rowcals": np.ones(275), "colcals": np.ones(29),
            "data": {"nrow": 275, "ncol": 29, "row_names": names, "col_names": refs, "data": weights}}
    with info._unlock():
        info["comps"] = [comp]
    return info


def magnes248():
    from mne.io.constants import FIFF
    pos, nor = cap_places(248, HELMET_GAP)
    info = _info([f"A{i + 1}" for i in range(248)], ["mag"] * 248)
    for i in range(248):
        _set(info["chs"][i], pos[i], nor[i], FIFF.FIFFV_COIL_MAGNES_MAG)
    return info


def kit157():
    from mne.io.constants import FIFF
    pos, nor = cap_places(157, HELMET_GAP)
    info = _info([f"MEG {i + 1:03d}" for i in range(157)], ["mag"] * 157)
    for i in range(157):
        _set(info["chs"][i], pos[i], nor[i], FIFF.FIFFV_COIL_KIT_GRAD)
    return info


def opm(n=100):
    """Triaxial OPMs: per place a radial channel and two tangential ones."""
    from mne.io.constants import FIFF
    pos, nor = cap_places(n, OPM_GAP)
    names = []
    for i in range(n):
        names += [f"OPM{i:03d}R", f"OPM{i:03d}T", f"OPM{i:03d}U"]
    info = _info(names, ["mag"] * (3 * n))
    for i in range(n):
        t1, t2 = _frame(nor[i])
        _set(info["chs"][3 * i], pos[i], nor[i], FIFF.FIFFV_COIL_QUSPIN_ZFOPM_MAG2)
        _set(info["chs"][3 * i + 1], pos[i], t1, FIFF.FIFFV_COIL_QUSPIN_ZFOPM_MAG2)
        _set(info["chs"][3 * i + 2], pos[i], t2, FIFF.FIFFV_COIL_QUSPIN_ZFOPM_MAG2)
    return info


def system(name):
    return {"neuromag306": neuromag306, "ctf275": ctf275, "magnes248": magnes248, "kit157": kit157,
            "opm": opm}[name]()


def channel_kinds(info):
    """Per measurement channel (MNE's MEG channels, references left out),
    its kind: 'planar', 'magnetometer', 'axial', 'OPM radial' or
    'OPM tangential'."""
    from mne.io.constants import FIFF
    kinds = []
    for ch in info["chs"]:
        if ch["kind"] != FIFF.FIFFV_MEG_CH:
            continue
        coil = int(ch["coil_type"]) & 0xFFFF
        if coil == FIFF.FIFFV_COIL_VV_PLANAR_T1:
            kinds.append("planar")
        elif coil in (FIFF.FIFFV_COIL_CTF_GRAD, FIFF.FIFFV_COIL_KIT_GRAD):
            kinds.append("axial")
        elif coil == FIFF.FIFFV_COIL_QUSPIN_ZFOPM_MAG2:
            kinds.append("OPM tangential" if ch["ch_name"][-1] in "TU" else "OPM radial")
        else:
            kinds.append("magnetometer")
    return np.array(kinds)


def volume_sources(spacing=0.010, mindist=0.005, grade=4):
    """A volume source space on a grid of `spacing` inside the inner skull,
    `mindist` or more from it (MNE's own selection), MRI frame."""
    mne = _mne()
    surf = inner_skull(grade)
    # A surface dict is taken in millimetres, as mne.read_surface gives it.
    return mne.setup_volume_source_space(pos=spacing * 1000.0, surface=dict(rr=surf["rr"] * 1000.0, tris=surf["tris"]),
                                         mindist=mindist * 1000.0, verbose=False)

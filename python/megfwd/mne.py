"""megfwd for MNE-Python users: sensor arrays from any recording MNE reads,
a drop-in ``make_forward_solution`` for sphere conductor models and local
spheres (one per sensor, fitted to a BEM surface or the digitised head
shape) and, with ``head_model='single_shell'``, for the inner skull of a BEM
in any form (solution, model, surfaces, file).

MNE describes each MEG coil by integration points (position, direction,
weight); megfwd's "standard" sensor model sums the field at weighted coil
centres, so every integration point becomes one weighted point coil of
radius 0 and megfwd evaluates the field at exactly MNE's points. CTF-style
software gradiometers (``info['comps']`` at the data's compensation grade)
become reference weights: megfwd subtracts weight x reference value from
each measurement channel, as MNE's compensator does.

Everything here is in head coordinates (``info['dev_head_t']`` applied),
metres and SI units, as in MNE.
"""
try:
    import mne as _mne
except ImportError as err:  # pragma: no cover - depends on the installation
    raise ImportError(
        "megfwd.mne needs MNE-Python; install Debian's package python3-mne "
        "(apt-get install python3-mne)."
    ) from err

import os
import threading

import numpy as np
from mne.forward import _make_forward
from mne.forward._make_forward import _prepare_for_forward, _read_coil_defs, _to_forward_dict
from mne.forward.forward import _merge_fwds
from mne.io.compensator import get_current_comp, make_compensator
from mne.io.constants import FIFF, FWD
from mne.io.pick import _has_kit_refs, pick_info, pick_types
from mne.io.tag import _loc_to_coil_trans
from mne.source_space import _adjust_patch_info, _ensure_src
from mne.transforms import _ensure_trans, _get_trans, transform_surface_to
from mne.utils import logger, verbose

from . import _megfwd
from ._check import _check_bool, _check_option, _n_jobs
from .forward import leadfield
from .sensors import SensorArray
from .shell import SingleShell
from .spheres import METHODS, LocalSpheres

__all__ = ["from_mne", "make_forward_solution", "make_local_spheres", "fit_dipole", "ACCURACIES"]

ACCURACIES = ("accurate", "normal", "point")
# MNE's coil definitions come at three accuracies. MNE's own code names two
# of them ('normal', 'accurate') and reaches the third by its code, so the
# codes are given here.
_ACCURACY_CODES = {"point": FWD.COIL_ACCURACY_POINT, "normal": FWD.COIL_ACCURACY_NORMAL,
                   "accurate": FWD.COIL_ACCURACY_ACCURATE}

# megfwd's kind codes for MNE's coil classes: measurement sensors 100..103,
# reference sensors 10..13.
_MEASUREMENT_KIND = {FWD.COILC_MAG: 100, FWD.COILC_AXIAL_GRAD: 101, FWD.COILC_AXIAL_GRAD2: 102}
_REFERENCE_KIND = {FWD.COILC_MAG: 10, FWD.COILC_AXIAL_GRAD: 11, FWD.COILC_AXIAL_GRAD2: 11}

# Sources closer than this to the sphere centre (metres) have no field in a
# sphere model; MNE leaves them at 0 too.
_CENTRE_EPS = 1e-10
# Keeps every source in megfwd's scan (mm): MNE computes every source of the
# source space it is given, however close to a coil.
_NO_COIL_MARGIN = -1e12


_TEMPLATES = {}


def _coil_templates(accuracy):
    """MNE's coil definitions at `accuracy` by coil type, read once (again
    under ``mne.use_coil_def``, whose definitions come first, as in MNE)."""
    key = (accuracy, _make_forward._extra_coil_def_fname)
    if key not in _TEMPLATES:
        found = {}
        for d in _read_coil_defs(verbose=False):
            if d["accuracy"] == accuracy:
                found.setdefault(d["coil_type"], d)
        _TEMPLATES[key] = found
    return _TEMPLATES[key]


def _meg_coils(chs, accuracy, dev_head_t):
    """The coils of MEG channels `chs` as MNE's _create_meg_coils makes them
    (integration points 'rmag', directions 'cosmag' and weights 'w' in head
    coordinates, 'coil_class', centre 'r0'), the points of each coil type
    moved for all its channels at once rather than channel by channel."""
    templates = _coil_templates(accuracy)
    types = np.array([int(ch["coil_type"]) & 0xFFFF for ch in chs])
    for ch, t in zip(chs, types.tolist()):
        if t not in templates:
            raise RuntimeError(f"Desired coil definition not found (type = {t} acc = {accuracy}) for channel "
                               f"{ch['ch_name']!r}")
    head = np.eye(4) if dev_head_t is None else dev_head_t["trans"]
    trans = np.matmul(head, _loc_to_coil_trans(np.array([ch["loc"][:12] for ch in chs], dtype=float)))
    coils = [None] * len(chs)
    for t in np.unique(types).tolist():
        d = templates[t]
        idx = np.flatnonzero(types == t)
        rot, centre = trans[idx, :3, :3], trans[idx, :3, 3]
        rmag = np.einsum("nij,pj->npi", rot, d["rmag"]) + centre[:, None, :]
        cosmag = np.einsum("nij,pj->npi", rot, d["cosmag"])
        for k, i in enumerate(idx.tolist()):
            coils[i] = dict(rmag=rmag[k], cosmag=cosmag[k], w=d["w"], coil_class=d["coil_class"], r0=centre[k])
    return coils


def _reference_columns(comp, names, is_ref):
    """Reference counts, channels and weights of every channel from MNE's
    compensator matrix (compensated data = comp @ uncompensated data)."""
    measurement = np.flatnonzero(~is_ref)
    rows = np.arange(len(measurement))
    others = comp[measurement]
    own = others[rows, measurement].copy()
    others[rows, measurement] = 0.0
    row, target = np.nonzero(others)  # by channel, then by reference channel
    wrong = (own != 1.0) | np.bincount(row[~is_ref[target]], minlength=len(measurement)).astype(bool)
    if wrong.any():
        i = int(np.flatnonzero(wrong)[0])
        used = [names[j] for j in target[row == i] if not is_ref[j]]
        raise ValueError(f"the compensation of channel {names[measurement[i]]!r} uses channels that are not "
                         f"reference sensors ({used}); megfwd subtracts reference sensors only.")
    counts = np.zeros(len(names), dtype=np.int64)
    counts[measurement] = np.bincount(row, minlength=len(measurement))
    return counts, target.astype(np.int64), -others[row, target]


def _array_from_coils(chs, coils, compensator, bads, name):
    """A SensorArray of MNE channels `chs` and their coils (head frame);
    `compensator` is MNE's compensation matrix over `chs`, or None. Each
    channel goes to the library as a sensor made of MNE's integration points
    at their weights, which the library keeps as they are: compute with
    ``sensor_model="standard"`` to get MNE's values."""
    names = [ch["ch_name"] for ch in chs]
    is_ref = np.array([ch["kind"] == FIFF.FIFFV_REF_MEG_CH for ch in chs], dtype=bool)
    kinds = [(_REFERENCE_KIND if r else _MEASUREMENT_KIND).get(coil["coil_class"], 12 if r else 103)
             for r, coil in zip(is_ref, coils)]
    if compensator is not None:
        ref_counts, ref_channels, ref_weights = _reference_columns(compensator, names, is_ref)
    else:
        ref_counts, ref_channels, ref_weights = np.zeros(len(names), np.int64), np.zeros(0, np.int64), np.zeros(0)
    handle = _megfwd.Sensors.from_point_sensors(
        name, names=names, kinds=np.array(kinds, dtype=np.int32), reference=is_ref,
        good=np.array([n not in bads for n in names], dtype=bool),
        point_counts=np.array([len(c["w"]) for c in coils], dtype=np.int64),
        positions=np.concatenate([c["rmag"] for c in coils]), normals=np.concatenate([c["cosmag"] for c in coils]),
        weights=np.concatenate([c["w"] for c in coils]), reference_counts=ref_counts,
        reference_channels=ref_channels, reference_weights=ref_weights, unit="m")
    return SensorArray._wrap(handle)


def _check_locations(chs):
    """Refuses, naming the channel and its ``loc``, a channel without a
    position or orientation."""
    for ch in chs:
        loc = np.asarray(ch["loc"][:12], dtype=float)
        where = f"channel {ch['ch_name']!r} of the Info"
        if not np.isfinite(loc).all():
            raise ValueError(f"{where} has no position: its 'loc' holds values that are not finite "
                             f"({loc[:3].tolist()} ...); set the sensor positions (e.g. with a montage or the "
                             f"recording's own Info) before building a sensor array.")
        if not np.linalg.norm(loc[9:12]) > 0:
            raise ValueError(f"{where} has no position: the coil's normal ('loc'[9:12]) is zero; set the sensor "
                             f"positions before building a sensor array.")


def _check_coil_types(chs, accuracy):
    """Refuses, naming the channel, a ``coil_type`` MNE has no coil for at
    `accuracy`."""
    defined = {d["coil_type"] for d in _read_coil_defs(verbose=False) if d["accuracy"] == _ACCURACY_CODES[accuracy]}
    for ch in chs:
        if int(ch["coil_type"]) & 0xFFFF not in defined:
            raise ValueError(f"channel {ch['ch_name']!r} of the Info has 'coil_type' {int(ch['coil_type']) & 0xFFFF}, "
                             f"which MNE defines no coil for at accuracy {accuracy!r}.")


def from_mne(info, accuracy="accurate", ignore_ref=False):
    """The MEG channels of `info` as a megfwd SensorArray
    (``megfwd.SensorArray.from_mne`` calls this).

    Parameters
    ----------
    info : mne.Info
    accuracy : 'accurate' | 'normal' | 'point'
        Which of MNE's coil integration rules to use ('accurate' is the one
        ``mne.make_forward_solution`` uses).
    ignore_ref : bool
        Leave the reference channels (and so the compensation) out.

    Returns
    -------
    SensorArray
        Every MEG channel (and reference channel unless `ignore_ref`) in the
        Info's order, in head coordinates, with MNE's integration points as
        weighted point coils, channels in ``info['bads']`` marked bad, and the
        compensation in effect in the data as reference weights. Compute with
        ``sensor_model="standard"`` to get MNE's values.
    """
    if not isinstance(info, _mne.Info):
        raise TypeError(f"info must be an instance of mne.Info, got {type(info).__name__} instead.")
    _check_option("accuracy", accuracy, ACCURACIES)
    ignore_ref = _check_bool("ignore_ref", ignore_ref)
    picks = pick_types(info, meg=True, ref_meg=not ignore_ref, exclude=[])
    if len(picks) == 0:
        raise ValueError("info has no MEG channels.")
    info_meg = pick_info(info, picks, verbose=False)
    _check_locations(info_meg["chs"])
    _check_coil_types(info_meg["chs"], accuracy)
    dev_head_t = info["dev_head_t"]  # None (no head position): the device frame is the head frame
    coils = _meg_coils(info_meg["chs"], _ACCURACY_CODES[accuracy], dev_head_t)
    compensator = None
    grade = get_current_comp(info_meg)
    if grade and not ignore_ref and len(pick_types(info_meg, meg=False, ref_meg=True, exclude=[])):
        compensator = make_compensator(info_meg, 0, grade, exclude_comp_chs=False)
    return _array_from_coils(info_meg["chs"], coils, compensator, set(info["bads"]), "MNE Info")


def _sphere_of(bem):
    if isinstance(bem, LocalSpheres):
        return bem
    if isinstance(bem, _mne.bem.ConductorModel) and bem["is_sphere"]:
        return np.asarray(bem["r0"], dtype=float)
    raise NotImplementedError(
        "megfwd computes MEG forward solutions for sphere conductor models (mne.make_sphere_model) and "
        f"megfwd.LocalSpheres; for a BEM ({type(bem).__name__}) pass head_model='single_shell' to use its inner "
        "skull in megfwd's single-shell model, fit local spheres to it with megfwd.mne.make_local_spheres, or use "
        "mne.make_forward_solution.")


# The ids MNE gives the surfaces of a BEM.
_INNER_SKULL, _SCALP = FIFF.FIFFV_BEM_SURF_ID_BRAIN, FIFF.FIFFV_BEM_SURF_ID_HEAD


def _is_surface(x):
    return isinstance(x, dict) and "rr" in x and "tris" in x


def _inner_skull(bem):
    """The inner-skull surface dict of a BEM in any form a user holds it, and
    the scalp's when the BEM has three layers (else None).

    `bem` is a BEM model or solution (mne.bem.ConductorModel), the list of
    surfaces ``mne.make_bem_model`` returns (one layer or three), one surface
    dict, or the path of a ``-bem.fif`` or ``-bem-sol.fif`` file (only its
    surfaces are read, not the solution).
    """
    what = "bem"
    if isinstance(bem, (str, os.PathLike)):
        what = os.fspath(bem)
        if not os.path.isfile(what):
            raise FileNotFoundError(f"bem file {what!r} does not exist.")
        try:
            surfs = _mne.read_bem_surfaces(what, verbose=False)
        except Exception as err:  # MNE says what it could not read
            raise ValueError(f"bem file {what!r} holds no BEM surfaces MNE can read: {err}") from err
    elif isinstance(bem, _mne.bem.ConductorModel):
        if bem["is_sphere"]:
            raise ValueError("head_model='single_shell' needs the inner skull of a BEM, got a sphere model.")
        surfs = list(bem["surfs"])
    elif _is_surface(bem):
        surfs = [bem]
    elif isinstance(bem, (list, tuple)) and len(bem) and all(_is_surface(x) for x in bem):
        surfs = list(bem)
    else:
        raise TypeError(f"bem must be a BEM model or solution (mne.bem.ConductorModel), the list of surfaces "
                        f"mne.make_bem_model returns, one inner-skull surface dict with 'rr' and 'tris', or the "
                        f"path of a -bem.fif or -bem-sol.fif file for head_model='single_shell', got "
                        f"{type(bem).__name__}.")
    ids = [x.get("id") for x in surfs]
    if len(surfs) == 1:  # whatever its id says (MNE's downsampling drops it)
        inner = surfs[0]
    elif ids.count(_INNER_SKULL) == 1:
        inner = surfs[ids.index(_INNER_SKULL)]
    else:
        raise ValueError(f"{what}: no inner-skull surface (id {int(_INNER_SKULL)}) among the BEM's {len(surfs)} "
                         f"surfaces (ids {[None if i is None else int(i) for i in ids]}).")
    if len(surfs) > 1:
        logger.info("Using the inner skull of the %d-layer BEM as the single shell.", len(surfs))
    scalp = surfs[ids.index(_SCALP)] if len(surfs) == 3 and _SCALP in ids else None
    return inner, scalp


def _frame_of(surf):
    frame = surf.get("coord_frame", FIFF.FIFFV_COORD_MRI)
    if frame not in (FIFF.FIFFV_COORD_MRI, FIFF.FIFFV_COORD_HEAD):
        raise ValueError(f"the BEM surface has coord_frame {int(frame)}; expected MRI ({int(FIFF.FIFFV_COORD_MRI)}) "
                         f"or head ({int(FIFF.FIFFV_COORD_HEAD)}) coordinates.")
    return int(frame)


def _in_frame(points, frame, mri_head_t):
    """Head-frame `points` in `frame`, as MNE brings them back to the MRI frame."""
    if frame == FIFF.FIFFV_COORD_HEAD:
        return points
    return _mne.transforms.apply_trans(_mne.transforms.invert_transform(mri_head_t)["trans"], points)


# The last few checked surfaces and fitted shells, by content: a drop-in
# called again with the same inner skull (another recording, another grid)
# neither checks the surface nor fits its part of the shell again. A shell
# at order 20 on 5120 triangles keeps some 40 MB.
_KEPT = []  # (kind, options, arrays, object), the latest last
_KEEP = 4
_KEPT_LOCK = threading.Lock()


def _kept(make, kind, arrays, options=()):
    """make(), or what it made before for the same `kind`, equal `arrays`
    and `options`."""
    def same(entry):
        return (entry[0] == kind and entry[1] == options and len(entry[2]) == len(arrays)
                and all(a.shape == b.shape and np.array_equal(a, b) for a, b in zip(entry[2], arrays)))
    with _KEPT_LOCK:
        found = next((e for e in _KEPT if same(e)), None)
    made = make() if found is None else found[3]
    with _KEPT_LOCK:
        _KEPT[:] = [e for e in _KEPT if e is not found]
        _KEPT.append((kind, options, [a.copy() for a in arrays] if found is None else found[2], made))
        del _KEPT[:-_KEEP]
    return made


def _select(surf, points, mindist_mm):
    """The library's status of each point against `surf` (0 kept, 1 outside,
    2 within `mindist_mm` of a vertex)."""
    rr, tris = np.asarray(surf["rr"], dtype=np.float64), np.asarray(surf["tris"], dtype=np.int64)
    selection = _kept(lambda: _megfwd.SurfaceSelection(rr, tris, "the inner-skull surface"), "selection", [rr, tris])
    return selection.select(points, mindist_mm / 1000.0)


def _select_sources(src, inner, scalp, mri_head_t, mindist, coil_centres):
    """Leaves out, in place, the sources of `src` (head coordinates) outside
    the inner skull or closer than `mindist` (mm) to one of its vertices, and
    refuses sensors inside the inner skull (or the scalp of a three-layer
    BEM), with MNE's rules, messages and updates of each source space
    (``inuse``, ``nuse``, ``vertno``, the patches). The library tests every
    source at once, in the surface's frame as MNE does
    (head/SourceSelection.h)."""
    frame = _frame_of(inner)
    used = [np.flatnonzero(s["inuse"]) for s in src]  # as MNE, 'vertno' is not trusted here
    points = np.concatenate([s["rr"][v] for s, v in zip(src, used)] + [coil_centres])
    status = _select(inner, _in_frame(points, frame, mri_head_t), mindist)
    logger.info("Checking that the sources are inside the inner skull%s (megfwd)",
                f" and at least {mindist:6.1f} mm away" if mindist > 0 else "")
    start = 0
    for s, vertno in zip(src, used):
        here = status[start:start + len(vertno)]
        start += len(vertno)
        outside, close = int(np.sum(here == 1)), int(np.sum(here == 2))
        s["inuse"][vertno[here != 0]] = False
        s["nuse"] -= outside + close
        s["vertno"] = np.flatnonzero(s["inuse"])
        if outside:
            logger.info("    %d source space point%s omitted because %s outside the inner skull surface.", outside,
                        *(("s", "they are") if outside > 1 else ("", "it is")))
        if close:
            logger.info("    %d source space point%s omitted because of the %6.1f-mm distance limit.", close,
                        "s" if close > 1 else "", mindist)
        if outside + close:
            _adjust_patch_info(s)
    sensors_in = status[start:] != 1
    check = "inner skull surface"
    if scalp is not None:
        check = "scalp surface"
        sensors_in = _select(scalp, _in_frame(coil_centres, _frame_of(scalp), mri_head_t), 0.0) != 1
    if sensors_in.any():
        n = int(sensors_in.sum())
        raise RuntimeError(f"Found {n} MEG sensor{'s' if n > 1 else ''} inside the {check}, perhaps coordinate "
                           f"frames and/or coregistration must be incorrect")


def _prepare_meg_and_sources(src, mri_head_t, info, trans, info_extra, bem_extra, mindist, ignore_ref):
    """What MNE's _prepare_for_forward gives for MEG without a conductor
    model (the source spaces in head coordinates, the forward's Info, the
    MEG coils and compensation), without its repeated checks and copies:
    the channels are picked once, the Info is checked once, and the coils
    are built by coil type (`_meg_coils`)."""
    src = _ensure_src(src).copy()
    if sum(s["nuse"] for s in src) == 0:
        raise RuntimeError('No sources are active in these source spaces. "do_all" option should be used.')
    for key in ("working_dir", "command_line"):
        src.info.pop(key, None)
    cmd = "make_forward_solution(%s)" % ", ".join(str(a) for a in [info_extra, trans, src, bem_extra, True, False,
                                                                     mindist, 1, None])
    full = _mne.Info(chs=info["chs"], comps=info["comps"], dev_head_t=info["dev_head_t"],
                     mri_file=os.fspath(trans) if isinstance(trans, os.PathLike) else trans,
                     mri_id=dict(machid=np.zeros(2, np.int32), version=0, secs=0, usecs=0), meas_file=info_extra,
                     meas_id=None, working_dir=os.getcwd(), command_line=cmd, bads=info["bads"],
                     mri_head_t=mri_head_t)
    full._update_redundant()
    full._check_consistency()
    kinds = np.array([ch["kind"] for ch in full["chs"]])
    meg, ref = kinds == FIFF.FIFFV_MEG_CH, (kinds == FIFF.FIFFV_REF_MEG_CH) & (not ignore_ref)
    if not meg.any():
        raise RuntimeError("No MEG or EEG channels found.")
    picks = np.flatnonzero(meg | ref)
    compensator = None
    if ref.any():
        if _has_kit_refs(full, np.flatnonzero(ref)):
            raise NotImplementedError('Cannot create forward solution with KIT reference channels. Consider using '
                                      '"ignore_ref=True" in calculation')
        grade = get_current_comp(full)
        if grade:
            compensator = make_compensator(pick_info(full, picks, verbose=False), 0, grade, exclude_comp_chs=False)
    chs = [full["chs"][i] for i in picks.tolist()]
    coils = _meg_coils(chs, FWD.COIL_ACCURACY_ACCURATE, full["dev_head_t"])
    sensors = dict(info=dict(chs=chs), defs=coils, compensator=compensator,
                   ch_names=[full["ch_names"][i] for i in np.flatnonzero(meg).tolist()])
    out_info = pick_info(full, np.flatnonzero(meg), verbose=False)
    for s in src:
        transform_surface_to(s, "head", mri_head_t)
    update_kwargs = dict(nchan=len(out_info["ch_names"]), info=out_info, src=src, surf_ori=False,
                         mri_head_t=mri_head_t)
    return sensors, update_kwargs


def _compute_meg(rr, meg, r0, threads, shell=None):
    """The field of unit dipoles along x, y, z at every source for every MEG
    channel, as MNE's field step returns it: shape (3 * n_sources, n_channels)
    (a Fortran-ordered view). `r0` is a sphere centre or a LocalSpheres."""
    _check_locations(meg["info"]["chs"])  # MNE's preparation lets them through
    array = _array_from_coils(meg["info"]["chs"], meg["defs"], meg["compensator"], set(), "MNE sensors")
    # The magnetic field of a current dipole in a conducting sphere depends on
    # the sphere's centre alone; megfwd's sphere needs a radius all the same,
    # and this computation uses it for nothing.
    radius = 0.1
    # Channel-major: (channels, sources, components), which is MNE's gain
    # (channels, 3 x sources) as it stands. It is handed over as its
    # transpose, the shape of MNE's field step; MNE stores the transpose of
    # that, so the gain is never reordered.
    local = isinstance(r0, LocalSpheres)
    sphere = r0 if local else (None if r0 is None else (*r0, radius))
    # n_jobs=-1 arrives as 0, every core: leadfield says that with None.
    lf = leadfield(array, rr, head=shell, sphere=sphere, sensor_model="standard", refs=True, threads=threads or None,
                   layout="sensors", _extra={"minCoilSrcDist": _NO_COIL_MARGIN, "minSrcSphDist": _CENTRE_EPS * 1000.0})
    names = array.measurement_names
    if names != list(meg["ch_names"]):
        raise RuntimeError("megfwd's channels differ from MNE's: " f"{names[:5]}... vs {meg['ch_names'][:5]}...")
    if r0 is not None and not local:
        lf[:, np.linalg.norm(rr - r0, axis=1) <= _CENTRE_EPS] = 0.0
    return lf.reshape(len(names), 3 * len(rr)).T


@verbose
def make_forward_solution(info, trans, src, bem, meg=True, eeg=False, *, mindist=0.0, ignore_ref=False, n_jobs=1,
                          head_model=None, shell_order=None, shell_fit="galerkin", verbose=None):
    """Forward solution of a sphere model or a single shell, as
    ``mne.make_forward_solution``.

    Takes MNE's arguments with MNE's meaning and returns an ``mne.Forward``
    that MNE's functions accept; the MEG field is computed by megfwd's
    library (``n_jobs`` threads; -1 uses every core). Supports MEG with
    sphere models made by ``mne.make_sphere_model`` (with or without
    layers), local spheres, and with ``head_model='single_shell'`` the
    inner skull of a BEM; EEG, and a BEM without ``head_model``, raise
    NotImplementedError.

    Parameters
    ----------
    info : mne.Info | path-like
    trans : path-like | dict | mne.transforms.Transform | 'fsaverage' | None
    src : path-like | mne.SourceSpaces
    bem : mne.bem.ConductorModel | megfwd.LocalSpheres | list of dict | dict | path-like
        A sphere model, or local spheres (`make_local_spheres`: each MEG
        channel then has its own sphere). With ``head_model='single_shell'``
        anything that holds the inner skull: a BEM solution or model
        (``mne.make_bem_solution``), the list of surfaces
        ``mne.make_bem_model`` returns (one layer, or three: the inner skull
        is used), one surface dict (``'rr'`` in metres, ``'tris'``; MRI
        coordinates unless its ``'coord_frame'`` says head), or the path of
        a ``-bem.fif`` or ``-bem-sol.fif`` file. ``mne.make_bem_solution``
        is never needed for it.
    meg, eeg : bool
        Compute MEG (supported) and EEG (not supported: raises when the Info
        has EEG channels).
    mindist : float
        As in MNE (used by BEM models only; sphere models keep every source).
    ignore_ref : bool
        Leave the reference channels and compensation out.
    n_jobs : int | None
    head_model : None | 'single_shell'
        'single_shell': the inner skull as one homogeneous conductor, the
        sphere's field corrected by a harmonic expansion fitted to it
        (`megfwd.SingleShell`). Sources outside it, or closer than
        ``mindist`` to one of its vertices, are left out with MNE's rules,
        the library testing them all at once; the returned source spaces
        are updated as MNE updates them. With three layers, sensors inside
        the scalp are refused, as MNE does.
    shell_order : int | None
        Highest degree of the expansion (0 to 30); None: the default of
        `megfwd.SingleShell`.
    shell_fit : 'galerkin' | 'lsq'
        How the expansion is fitted (see `megfwd.SingleShell`).
    verbose : bool | str | int | None

    Returns
    -------
    fwd : mne.Forward
    """
    _check_option("head_model", head_model, (None, "single_shell"))
    inner = None
    if head_model is None:
        r0 = _sphere_of(bem)
        if isinstance(r0, LocalSpheres):
            # MNE's preparation takes a conductor model: the global sphere
            # stands for the local ones there (it keeps every source, as any
            # sphere model does).
            bem = _mne.make_sphere_model(r0=r0.global_sphere[:3], head_radius=None, verbose=False)
    else:
        inner, scalp = _inner_skull(bem)
        r0 = None
    mri_head_t, trans = _get_trans(trans)
    if not isinstance(info, _mne.Info):
        info_extra = str(info)
        info = _mne.io.read_info(info, verbose=False)
    else:
        info_extra = "instance of Info"
    if eeg and len(pick_types(info, meg=False, eeg=True, exclude=[])):
        raise NotImplementedError("megfwd computes MEG forward solutions only; pass eeg=False, or use "
                                  "mne.make_forward_solution for EEG.")
    if not meg:
        raise NotImplementedError("megfwd computes MEG forward solutions only; meg=False leaves nothing to compute.")
    threads = _n_jobs(n_jobs)
    shell = None
    if inner is None:
        # MNE's preparation of the sensors and sources, one job.
        sensors, rr, info, update_kwargs, _ = _prepare_for_forward(
            src, mri_head_t, info, bem, mindist, 1, "instance of ConductorModel", trans, info_extra, True, False,
            ignore_ref)
        meg_sensors = sensors["meg"]
    else:
        # The same preparation, leaner, and the sources selected by the
        # library.
        meg_sensors, update_kwargs = _prepare_meg_and_sources(
            src, mri_head_t, info, trans, info_extra, os.fspath(bem) if isinstance(bem, (str, os.PathLike))
            else "instance of ConductorModel", mindist, ignore_ref)
        src = update_kwargs["src"]
        _select_sources(src, inner, scalp, mri_head_t, mindist, np.array([c["r0"] for c in meg_sensors["defs"]]))
        rr = np.concatenate([s["rr"][s["vertno"]] for s in src])
        if len(rr) < 1:
            raise RuntimeError("No points left in source space after excluding points close to inner skull.")
        update_kwargs.update(nsource=len(rr), source_rr=rr, source_nn=np.tile(np.eye(3), (len(rr), 1)))
        head_rr = np.asarray(inner["rr"], dtype=float)
        if _frame_of(inner) == FIFF.FIFFV_COORD_MRI:
            head_rr = _mne.transforms.apply_trans(_ensure_trans(mri_head_t, "mri", "head"), head_rr)
        tris = np.asarray(inner["tris"], dtype=np.int64)
        shell = _kept(lambda: SingleShell(head_rr, tris, order=shell_order, fit=shell_fit), "shell", [head_rr, tris],
                      (shell_order, shell_fit))
        logger.info("Single shell: %s", shell)
    logger.info("Computing MEG at %d source locations with megfwd (free orientations)...", len(rr))
    gain = _compute_meg(rr, meg_sensors, r0, threads, shell)
    fwd = _merge_fwds({"meg": _to_forward_dict(gain, meg_sensors["ch_names"])}, verbose=False)
    fwd.update(**update_kwargs)
    logger.info("Finished.")
    return fwd


def _surface_points(surface, trans, info):
    """Points (metres, head coordinates) and triangles (or None) of a
    surface dict, a BEM's innermost surface or the Info's head shape."""
    if isinstance(surface, str):
        _check_option("surface", surface, ("headshape",))
        try:
            points = _mne.bem.get_fitting_dig(info, dig_kinds="auto", verbose=False)
        except Exception as err:  # MNE says what is missing
            raise ValueError(f"surface='headshape': the Info's digitised points cannot be used: {err}") from err
        return np.asarray(points, dtype=float), None
    if isinstance(surface, _mne.bem.ConductorModel):
        if surface["is_sphere"]:
            raise ValueError("surface is a sphere model; local spheres need a surface (a BEM model or solution, "
                             "a surface dict, or 'headshape').")
        surfs = surface["surfs"]
        inner = [s for s in surfs if s.get("id") == FIFF.FIFFV_BEM_SURF_ID_BRAIN]
        surface = inner[0] if inner else surfs[0]
    if not isinstance(surface, dict) or "rr" not in surface:
        raise TypeError(f"surface must be an MNE surface dict (with 'rr'), a BEM ConductorModel or 'headshape', "
                        f"got {type(surface).__name__} instead.")
    rr = np.asarray(surface["rr"], dtype=float)
    tris = surface.get("tris")
    frame = surface.get("coord_frame", FIFF.FIFFV_COORD_HEAD)
    if frame == FIFF.FIFFV_COORD_MRI:
        if trans is None:
            raise ValueError("surface is in MRI coordinates; give trans (the head<->MRI transform) to bring it "
                             "to head coordinates.")
        mri_head_t, _ = _get_trans(trans)
        rr = _mne.transforms.apply_trans(mri_head_t, rr)
    elif frame != FIFF.FIFFV_COORD_HEAD:
        raise ValueError(f"surface has coord_frame {int(frame)}; expected MRI ({FIFF.FIFFV_COORD_MRI}) or head "
                         f"({FIFF.FIFFV_COORD_HEAD}) coordinates.")
    return rr, (None if tris is None else np.asarray(tris))


def make_local_spheres(info, surface, *, trans=None, method="nearby", radius=0.085, min_points=11, max_radius=0.2):
    """One sphere per MEG channel, fitted to a head surface near it.

    Parameters
    ----------
    info : mne.Info
        The recording's Info: its MEG channels (in head coordinates, with
        ``info['dev_head_t']``) get spheres.
    surface : dict | mne.bem.ConductorModel | 'headshape'
        An MNE surface dict (as from ``mne.read_bem_surfaces``; 'rr' in
        metres, MRI or head coordinates), a BEM model or solution (its
        inner-skull surface), or 'headshape' for the Info's digitised
        head-shape points (as ``mne.bem.fit_sphere_to_headshape`` chooses
        them).
    trans : path-like | mne.transforms.Transform | None
        The head<->MRI transform, needed for a surface in MRI coordinates.
    method, radius, min_points, max_radius
        As for `megfwd.LocalSpheres.fit` (metres).

    Returns
    -------
    spheres : megfwd.LocalSpheres
        For ``sphere=`` of `megfwd.leadfield` with ``SensorArray.from_mne(info)``,
        or ``bem=`` of `make_forward_solution`.
    """
    if not isinstance(info, _mne.Info):
        raise TypeError(f"info must be an instance of mne.Info, got {type(info).__name__} instead.")
    _check_option("method", method, METHODS)
    points, tris = _surface_points(surface, trans, info)
    return LocalSpheres.fit(from_mne(info), points, triangles=tris, method=method, radius=radius,
                            min_points=min_points, max_radius=max_radius)


def _meg_only_radius(info, r0):
    """MNE's bound for a sphere model without layers: the least distance
    from the centre to a MEG sensor (mne.fit_dipole does the same)."""
    r0_dev = np.dot(np.linalg.inv(info["dev_head_t"]["trans"]), np.hstack([r0, [1.0]]))[:3]
    locs = np.array([info["chs"][p]["loc"][:3] for p in pick_types(info, meg=True, exclude=[])])
    return float(np.min(np.linalg.norm(r0_dev - locs, axis=1)))


@verbose
def fit_dipole(evoked, cov, bem, trans=None, min_dist=5.0, n_jobs=1, *, head_model=None, rank=None,
               accuracy="normal", shell_order=None, shell_fit="galerkin", verbose=None):
    """Fit a dipole per time point, as ``mne.fit_dipole``, with megfwd.

    Takes MNE's arguments with MNE's meaning: the same channels, whitener
    (``mne.cov.compute_whitener``), guess grid (20 mm, MNE's own nodes) and
    constraint (``min_dist`` in mm inside the sphere or the inner skull);
    the goodness of fit and confidence limits are defined as MNE's. The
    fields come from megfwd (MNE's coil integration points), the position
    from Levenberg-Marquardt with analytic gradients.

    Parameters
    ----------
    evoked : mne.Evoked
        MEG data (EEG channels are not fitted).
    cov : str | mne.Covariance
    bem : mne.bem.ConductorModel | megfwd.LocalSpheres | dict
        A sphere model (``mne.make_sphere_model``) or local spheres; with
        ``head_model='single_shell'`` a BEM model or solution or an
        inner-skull surface dict.
    trans : path-like | dict | mne.transforms.Transform | None
    min_dist : float
        Least distance from the sphere's surface or the inner skull, mm.
    n_jobs : int | None
        Threads over time points (-1: every core).
    head_model : None | 'single_shell'
    rank : None | dict | 'info' | 'full'
        As for ``mne.fit_dipole``.
    accuracy : 'normal' | 'accurate'
        MNE's coil definitions.
    shell_order, shell_fit
        As for `make_forward_solution`.
    verbose : bool | str | int | None

    Returns
    -------
    dip : mne.Dipole
    residual : mne.Evoked
        The data less the fitted dipoles' fields (projections applied).
    """
    from mne.bem import _fit_sphere
    from mne.cov import _ensure_cov, compute_whitener
    from mne.dipole import Dipole, _make_guesses
    from mne.io.proj import make_projector
    from mne.surface import transform_surface_to

    from .dipole import _NO_STENCIL, _fit
    from .forward import _settings

    _check_option("head_model", head_model, (None, "single_shell"))
    _check_option("accuracy", accuracy, ("normal", "accurate"))
    if min_dist < 0:
        raise ValueError(f"min_dist should be positive. Got {min_dist}")
    info = evoked.info
    data = evoked.data
    if not np.isfinite(data).all():
        raise ValueError("Evoked data must be finite")
    if len(pick_types(info, meg=False, eeg=True, exclude="bads")):
        raise NotImplementedError("megfwd fits MEG only; pick the MEG channels (evoked.copy().pick('meg')).")
    mri_head_t, _ = _get_trans(trans)
    min_dist_m = min_dist / 1000.0
    shell = None
    if head_model is None:
        r0 = _sphere_of(bem)
        local = isinstance(r0, LocalSpheres)
        if local:
            centre, radius = r0.global_sphere[:3], r0.global_sphere[3]
            sphere = r0
        else:
            centre = r0
            radius = bem["layers"][0]["rad"] if len(bem.get("layers", [])) else _meg_only_radius(info, r0)
            # Only the centre shapes the field of a sphere; megfwd's sphere
            # still needs a radius, which the fit's region gives.
            sphere = (*centre, radius)
        inner = dict(R=radius, r0=np.asarray(centre, float))
    else:
        surf, _ = _inner_skull(bem)
        to_head = _ensure_trans(mri_head_t, "mri", "head")
        in_head = _frame_of(surf) == FIFF.FIFFV_COORD_HEAD
        head_rr = surf["rr"] if in_head else _mne.transforms.apply_trans(to_head, surf["rr"])
        shell = SingleShell(head_rr, surf["tris"], order=shell_order, fit=shell_fit)
        # MNE's frame for the confidence axes: the centre of the surface's
        # fitted sphere.
        _, r0 = _fit_sphere(surf["rr"], disp=False)
        centre = r0 if in_head else _mne.transforms.apply_trans(to_head, r0)
        inner = dict(surf)
        inner.setdefault("id", FIFF.FIFFV_BEM_SURF_ID_BRAIN)
        inner.setdefault("coord_frame", FIFF.FIFFV_COORD_MRI)
        inner = _mne.surface.complete_surface_info(inner, copy=False, verbose=False)
        radius, sphere = 0.0, None
    picks = pick_types(info, meg=True, ref_meg=False, exclude="bads")
    whiten, _, rank = compute_whitener(_ensure_cov(cov), info, picks=picks, rank=rank, return_rank=True,
                                       verbose=False)
    guesses = _make_guesses(inner, 0.02, 0.02, max(0.005, min_dist_m), verbose=False)[0]
    if shell is not None:
        transform_surface_to(guesses, "head", mri_head_t)
    array = from_mne(info, accuracy=accuracy)
    names = array.measurement_names
    ch_names = [info["ch_names"][p] for p in picks]
    if names != ch_names:
        raise RuntimeError(f"megfwd's channels differ from MNE's: {names[:5]}... vs {ch_names[:5]}...")
    settings = _settings(sphere, 2, "standard", None, True, False, extra=_NO_STENCIL)
    fit = _fit(array._handle, data[picks], whiten, rank, sphere=sphere, shell=shell, settings=settings,
               times=evoked.times.copy(), min_dist=min_dist_m, guesses=guesses["rr"], guess_grid=0.02,
               guess_mindist=0.005, guess_exclude=0.02, centre_mm=[float(c) * 1000.0 for c in centre],
               radius_mm=float(radius) * 1000.0, threads=_n_jobs(n_jobs) or (os.cpu_count() or 1), progress=None)
    logger.info("%d time points fitted", len(fit.times))
    dip = Dipole(fit.times, fit.pos, fit.amplitude, fit.ori, fit.gof, evoked.comment, fit.conf, fit.khi2,
                 fit.nfree)
    residual = evoked.copy().apply_proj()
    proj_op = make_projector(info["projs"], ch_names, info["bads"])[0]
    residual.data[picks] = np.dot(proj_op, fit.residual)
    return dip, residual

#!/usr/bin/python3
"""The single shell against MNE-Python's one-layer BEM on real-style
systems over fsaverage's inner skull.

For each system of real_systems.py (Neuromag 306, CTF 275 with grade-3
compensation, 4D 248, KIT 157, a triaxial OPM cap) the bench computes the
gain of every source of a 10 mm grid inside the inner skull (MNE's own
selection, 5 mm or more from it: 1820 sources) with

  reference  MNE's one-layer BEM (linear collocation, sigma 0.3 S/m) on the
             inner skull downsampled to ico-4 (2562 vertices), through
             mne.make_forward_solution (its 'accurate' coils, compensation);
  mesh       the same on ico-3 (642 vertices): the reference's own error,
             below which no figure means anything;
  shell      megfwd's single shell on the ico-4 surface, at the default
             settings and at orders 10 to 30, with the same coils and
             compensation (megfwd.SensorArray.from_mne, sensor_model="standard");

and prints the error |G - G_BEM| / |G_BEM| over the whole gain and per
channel kind (planar gradiometers, magnetometers, axial gradiometers, OPM
radial and tangential channels). The BEM gains are kept in --cache (keyed
by the system, the sources and the mesh), so a second run takes a minute.

    PYTHONPATH=build/test/python /usr/bin/python3 benchmarks/bench_real_systems.py
"""
import argparse
import hashlib
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_systems as rs  # noqa: E402

ORDERS = (10, 16, 20, 25, 30)
KINDS = ("planar", "magnetometer", "axial", "OPM radial", "OPM tangential")


def _error(a, b):
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


class Case:
    """One system over the ico-4 inner skull, with its sources."""

    def __init__(self, name, src):
        import megfwd
        self.name = name
        self.info = rs.system(name)
        self.src = src
        self.kinds = rs.channel_kinds(self.info)
        self.rr_head = rs.to_head(src[0]["rr"][src[0]["vertno"]])
        self.array = megfwd.SensorArray.from_mne(self.info)
        self.skull = rs.inner_skull(4)
        self.skull_head = rs.to_head(self.skull["rr"])

    def key(self, grade):
        h = hashlib.sha256()
        h.update(self.name.encode())
        h.update(np.ascontiguousarray(self.rr_head).tobytes())
        for ch in self.info["chs"]:
            h.update(np.asarray(ch["loc"][:12]).tobytes())
            h.update(str(int(ch["coil_type"])).encode())
        for comp in self.info["comps"]:
            h.update(np.asarray(comp["data"]["data"]).tobytes())
        h.update(str(grade).encode())
        return h.hexdigest()[:16]

    def bem_gain(self, grade, cache):
        path = os.path.join(cache, f"real-{self.name}-ico{grade}-{self.key(grade)}.npy")
        if os.path.exists(path):
            return np.load(path)
        mne = rs._mne()
        t0 = time.perf_counter()
        bem = mne.make_bem_solution([rs.inner_skull(grade)], verbose=False)
        fwd = mne.make_forward_solution(self.info, rs.head_mri_t(), self.src, bem, meg=True, eeg=False,
                                        mindist=0.0, verbose=False)
        if fwd["nsource"] != len(self.rr_head):
            raise RuntimeError(f"MNE kept {fwd['nsource']} of {len(self.rr_head)} sources")
        if list(fwd["sol"]["row_names"]) != self.array.measurement_names:
            raise RuntimeError("MNE's channels differ from megfwd's")
        gain = fwd["sol"]["data"]
        os.makedirs(cache, exist_ok=True)
        np.save(path + ".tmp.npy", gain)
        os.replace(path + ".tmp.npy", path)
        print(f"  ({self.name}: MNE's ico-{grade} BEM gain in {time.perf_counter() - t0:.1f} s, kept in {path})",
              flush=True)
        return gain

    def shell_gain(self, order=None):
        import megfwd
        import megfwd.mne as mfm
        kw = {} if order is None else {"order": order}
        shell = megfwd.SingleShell(self.skull_head, self.skull["tris"], **kw)
        lf, meta = megfwd.leadfield(self.array, self.rr_head, head=shell, sensor_model="standard", refs=True,
                                    layout="sensors", return_meta=True,
                                    _extra={"minCoilSrcDist": mfm._NO_COIL_MARGIN,
                                            "minSrcSphDist": mfm._CENTRE_EPS * 1000.0})
        return lf.reshape(lf.shape[0], -1), meta["single_shell"]

    def errors(self, gain, ref):
        out = {"whole": _error(gain, ref)}
        for kind in KINDS:
            rows = self.kinds == kind
            if rows.any():
                out[kind] = _error(gain[rows], ref[rows])
        return out


def _pct(x):
    return "" if x is None else f"{100 * x:.2f} %"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--systems", nargs="+", default=list(rs.SYSTEMS), choices=rs.SYSTEMS)
    parser.add_argument("--orders", nargs="+", type=int, default=list(ORDERS))
    parser.add_argument("--cache", default=os.path.join(os.path.expanduser("~"), ".cache", "megfwd-bench"))
    parser.add_argument("--json", help="write the figures here as JSON")
    args = parser.parse_args()
    print("load average before: %.2f %.2f %.2f" % os.getloadavg(), "| cores:", os.cpu_count())
    src = rs.volume_sources()
    print(f"{src[0]['nuse']} sources (10 mm grid, 5 mm or more inside fsaverage's inner skull, ico-4)\n")
    results = {}
    for name in args.systems:
        case = Case(name, src)
        ref = case.bem_gain(4, args.cache)
        coarse = case.bem_gain(3, args.cache)
        r = {"mesh": case.errors(coarse, ref), "orders": {}}
        t0 = time.perf_counter()
        gain, meta = case.shell_gain()
        r["default"] = dict(case.errors(gain, ref), order=meta["order"], seconds=time.perf_counter() - t0,
                            condition=meta["condition_number"])
        for order in args.orders:
            gain, meta = case.shell_gain(order)
            r["orders"][order] = dict(case.errors(gain, ref), condition=meta["condition_number"])
        results[name] = r
        print(f"{name}: default (order {r['default']['order']}) {_pct(r['default']['whole'])}, "
              + ", ".join(f"N={o} {_pct(v['whole'])}" for o, v in r["orders"].items())
              + f"; mesh error {_pct(r['mesh']['whole'])}", flush=True)

    print("\nWhole gain, |G - G_BEM| / |G_BEM|:\n")
    print("| system | default | " + " | ".join(f"N={o}" for o in args.orders) + " | reference mesh error |")
    print("|---" * (len(args.orders) + 3) + "|")
    for name, r in results.items():
        print(f"| {name} | {_pct(r['default']['whole'])} (N={r['default']['order']}) | "
              + " | ".join(_pct(r["orders"][o]["whole"]) for o in args.orders) + f" | {_pct(r['mesh']['whole'])} |")
    print("\nPer channel kind at the default settings (reference mesh error in brackets):\n")
    print("| system | " + " | ".join(KINDS) + " |")
    print("|---" * (len(KINDS) + 1) + "|")
    for name, r in results.items():
        cells = [f"{_pct(r['default'][k])} ({_pct(r['mesh'][k])})" if k in r["default"] else "" for k in KINDS]
        print(f"| {name} | " + " | ".join(cells) + " |")
    print("\nCondition number of the fit's scaled matrix: "
          + ", ".join(f"N={o} {v['condition']:.3g}" for o, v in next(iter(results.values()))["orders"].items()))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()

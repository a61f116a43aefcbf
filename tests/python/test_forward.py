"""The Python layer over the library: same numbers as the command line,
clear errors for bad input, GIL released, results owned by NumPy."""
import json
import os
import pickle
import resource
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import megfwd


def test_leadfield_equals_command_line_si(helmet, sources, cli, tmp_path):
    helmet.to_json(tmp_path / "helmet.json")
    np.savetxt(tmp_path / "src.csv", sources * 1000.0, delimiter=",")
    for extra, kw in ((["--order", "3"], dict(order=3)),
                      (["--no-ref", "--tangential"], dict(refs=False, tangential=True))):
        subprocess.run([cli, "leadfield", "--quiet", "--si", "--sensors", str(tmp_path / "helmet.json"),
                        "--sources", str(tmp_path / "src.csv"), "--out", str(tmp_path / "lf.npy"), *extra],
                       check=True, capture_output=True)
        want = np.load(tmp_path / "lf.npy")
        got, mask, meta = megfwd.leadfield(megfwd.SensorArray.from_json(tmp_path / "helmet.json"), sources,
                                           return_mask=True, return_meta=True, **kw)
        assert got.shape == want.shape and got.dtype == np.float64 and got.flags.c_contiguous
        scale = np.abs(want).max()
        assert scale > 0
        assert np.abs(got - want).max() <= 1e-13 * scale
        sidecar = json.loads((tmp_path / "lf.json").read_text())
        assert mask.tolist() == [bool(f) for f in sidecar["sources"]["in_scan"]]
        assert meta["values"]["SI_unit"] == sidecar["values"]["SI_unit"] == "T/(A*m)"


def test_field_is_leadfield_times_moment(helmet, sources):
    lf = megfwd.leadfield(helmet, sources, formula="ST01")
    rng = np.random.default_rng(1)
    q = rng.normal(size=(len(sources), 3)) * 1e-8
    b = megfwd.field(helmet, sources, q)
    want = np.einsum("ijk,ik->ij", lf, q)
    assert np.abs(b - want).max() <= 1e-12 * np.abs(want).max()


@pytest.mark.parametrize("bad, match", [
    (np.zeros((4, 2)), r"shape \(n, 3\)"),
    (np.zeros((0, 3)), "empty"),
    (np.array([[0.0, np.nan, 0.01]]), "row 0 .* not finite"),
    (np.array([["a", "b", "c"]]), "real numbers"),
    (np.zeros((4, 3), dtype=complex), "real numbers"),
    (np.zeros((4, 3), dtype=bool), "real numbers"),
])
def test_bad_sources_raise_value_error(helmet, bad, match):
    with pytest.raises(ValueError, match=match):
        megfwd.leadfield(helmet, bad)


def test_any_real_array_gives_the_values_of_a_float64_copy(helmet, sources):
    """Views NumPy users pass every day: every other row, three columns of a
    wider array, Fortran order and float32; each must give the values of
    its own C-ordered float64 copy, bit for bit."""
    wide = np.hstack([sources, np.ones((len(sources), 2))])
    f32 = sources.astype(np.float32)
    for given in (sources[::2], wide[:, :3], np.asfortranarray(sources), f32, f32[::-3]):
        want = megfwd.leadfield(helmet, np.array(given, dtype=np.float64, order="C"), threads=1)
        assert np.abs(want).max() > 0
        assert np.array_equal(megfwd.leadfield(helmet, given, threads=1), want)
    q = np.random.default_rng(2).normal(size=(len(sources), 3)).astype(np.float32) * 1e-8
    want = megfwd.field(helmet, sources[::2].copy(), q[::2].astype(np.float64))
    assert np.array_equal(megfwd.field(helmet, sources[::2], q[::2]), want)


@pytest.mark.parametrize("options, error, match", [
    (dict(sensor_model="vector"), ValueError, "'sensor_model' parameter"),
    (dict(order=2.5), TypeError, "order must be an int, got float"),
    (dict(order=6), ValueError, "'order' parameter. Allowed values are 1, 2, 3, 4, 5, 7, but got 6"),
    (dict(sphere="auto"), TypeError, "sphere must be None .* got str 'auto'"),
    (dict(sphere=(0, 0, 0)), ValueError, r"4 numbers, got shape \(3,\)"),
    (dict(sphere=(0, 0, 0, -1)), ValueError, "radius > 0"),
    (dict(refs="no"), TypeError, "refs must be True or False, got str"),
    (dict(formula="XX99"), ValueError, "formula"),
    (dict(threads=0), ValueError, "threads must be at least 1"),
    (dict(threads=2.0), TypeError, "threads must be an int"),
    (dict(progress=3), TypeError, "progress must be None or a callable"),
    (dict(layout="channels"), ValueError, "'layout' parameter"),
])
def test_bad_options_name_the_parameter(helmet, sources, options, error, match):
    with pytest.raises(error, match=match):
        megfwd.leadfield(helmet, sources, **options)


@pytest.mark.parametrize("edit, match", [
    (lambda c: c[1]["coils"][1].update(position=[0.0, np.nan, 0.16]),
     r"channels\[1\] \('MEG01'\), coils\[1\]: 'position' holds a value that is not finite: \[0.0, nan, 0.16\]"),
    (lambda c: c[0]["coils"][0].update(normal=[0, 0, 0]), r"channels\[0\] \('MEG00'\), coils\[0\]: 'normal' has zero"),
    (lambda c: c[2].update(gain=float("nan")), r"channels\[2\] \('MEG02'\): 'gain' must be a finite number"),
    (lambda c: c[3].update(kind=101.0), r"channels\[3\] \('MEG03'\): 'kind' must be an int, got float"),
    (lambda c: c[3]["coils"][0].update(turns=1.5), r"coils\[0\]: 'turns' must be an int"),
    (lambda c: c[4].update(references=[("REF1", np.inf)]), r"channels\[4\] \('MEG04'\), references\[0\]: 'weight'"),
    (lambda c: c[4].update(references=[("MEG05", 0.1)]), r"references\[0\]: 'MEG05' is not a reference sensor"),
    (lambda c: c[5].update(name="MEG00"), r"channels\[5\] \('MEG00'\): the name is also that of channels\[0\]"),
    (lambda c: c[5].pop("coils"), r"channels\[5\] \('MEG05'\): no 'coils'"),
])
def test_bad_channel_dicts_are_named_as_written(edit, match):
    from conftest import _helmet_channels
    channels = _helmet_channels()
    edit(channels)
    with pytest.raises(ValueError, match=match):
        megfwd.SensorArray(channels)


def test_fortran_order_and_threads_give_identical_bits(helmet, sources):
    c = megfwd.leadfield(helmet, sources, threads=1)
    f = megfwd.leadfield(helmet, np.asfortranarray(sources), threads=4)
    assert np.array_equal(c, f)


@pytest.mark.parametrize("tangential", [False, True])
def test_sensor_layout_is_the_transpose_and_reshapes_to_the_gain(helmet, sources, tangential):
    by_source = megfwd.leadfield(helmet, sources, tangential=tangential, threads=2)
    by_sensor = megfwd.leadfield(helmet, sources, tangential=tangential, threads=2, layout="sensors")
    assert np.array_equal(by_sensor, by_source.transpose(1, 0, 2))
    assert by_sensor.flags.c_contiguous
    gain = by_sensor.reshape(by_sensor.shape[0], -1)
    assert np.shares_memory(gain, by_sensor)


def test_result_owns_its_memory_and_outlives_the_sensors(sources):
    from conftest import _helmet_channels
    s = megfwd.SensorArray(_helmet_channels())
    lf = megfwd.leadfield(s, sources)
    copy = lf.copy()
    del s
    assert lf.base is not None and not lf.flags.owndata  # a view on the library's buffer, not a copy
    assert np.array_equal(lf, copy)


def test_recycled_memory_never_shows_an_earlier_result(helmet):
    """A freed leadfield's memory serves the next one of about its size:
    every value of the next must be its own, the zeros of the sources
    outside the scan included."""
    g = np.linspace(-0.07, 0.07, 30)
    grid = np.array(np.meshgrid(g, g, g, indexing="ij")).reshape(3, -1).T + [0.0, 0.0, 0.04]
    first, inside = megfwd.leadfield(helmet, (grid - [0.0, 0.0, 0.04]) * 0.3 + [0.0, 0.0, 0.05], return_mask=True)
    assert inside.all() and np.count_nonzero(first) == first.size
    address = first.ctypes.data
    del first
    second, mask = megfwd.leadfield(helmet, grid, return_mask=True)
    assert second.ctypes.data == address  # the same memory, holding the first result's values
    assert 0.2 < mask.mean() < 0.8
    fresh = megfwd.leadfield(helmet, grid)  # while `second` lives, from memory of its own
    assert np.array_equal(second, fresh) and not second[~mask].any()


def test_pickled_sensors_compute_the_same(helmet, sources):
    other = pickle.loads(pickle.dumps(helmet))
    assert other.names == helmet.names
    assert np.array_equal(megfwd.leadfield(other, sources), megfwd.leadfield(helmet, sources))


def test_calls_at_once_on_one_array_share_kept_plans_safely(sources):
    """Each array keeps the sensor plans of its recent calls: threads that
    compute on one array at once with alternating settings get the values
    of a fresh array every time."""
    from concurrent.futures import ThreadPoolExecutor
    from conftest import _helmet_channels
    shared = megfwd.SensorArray(_helmet_channels())
    options = [dict(order=2), dict(order=5, tangential=True), dict(sensor_model="standard", refs=False)]
    want = [megfwd.leadfield(megfwd.SensorArray(_helmet_channels()), sources, **o) for o in options]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda k: megfwd.leadfield(shared, sources, threads=1, **options[k % 3]), range(24)))
    assert all(np.array_equal(g, want[k % 3]) for k, g in enumerate(got))
    _, meta = megfwd.leadfield(shared, sources, return_meta=True, **options[1])
    assert meta["scan"]["sensor_plan"].startswith("kept from an earlier computation")


def test_progress_can_cancel_and_its_exceptions_propagate(helmet, sources):
    calls = []
    megfwd.leadfield(helmet, sources, progress=lambda d, t: calls.append((d, t)))
    assert calls and calls[-1] == (len(sources), len(sources))
    with pytest.raises(RuntimeError, match="cancelled"):
        megfwd.leadfield(helmet, sources, progress=lambda d, t: False)

    def boom(done, total):
        raise KeyError("stop here")
    with pytest.raises(KeyError, match="stop here"):
        megfwd.leadfield(helmet, sources, progress=boom)


def test_no_source_in_the_scan_warns(helmet):
    with pytest.warns(RuntimeWarning, match="megfwd: the only source is not in the scan, so every value is 0"):
        lf = megfwd.leadfield(helmet, [[0.0, 0.0, 0.5]])
    assert not lf.any()
    with pytest.warns(RuntimeWarning, match="megfwd: none of the 2 sources is in the scan"):
        megfwd.leadfield(helmet, [[0.0, 0.0, 0.5], [0.0, 0.5, 0.0]])


def test_gil_released_while_computing(helmet):
    """Python code keeps running in the main thread while another thread
    computes: with the GIL held the counter could not move."""
    g = np.linspace(-0.07, 0.07, 36)
    many = np.array(np.meshgrid(g, g, g, indexing="ij")).reshape(3, -1).T
    started = threading.Event()

    def work():
        started.set()
        megfwd.leadfield(helmet, many, threads=1, order=3)

    t = threading.Thread(target=work)
    t.start()
    started.wait()
    count = 0
    while t.is_alive():
        count += 1
    t.join()
    assert count > 10000


def test_repeated_calls_do_not_grow_memory(helmet, sources):
    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() // 1024
    for _ in range(5):
        megfwd.leadfield(helmet, sources)
    before = rss_kb()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(200):
            lf = megfwd.leadfield(helmet, sources, return_meta=True)
    del lf
    assert rss_kb() - before < 8 * 1024  # 200 calls of ~70 kB results each would add 14 MB if leaked


def test_mne_and_dask_are_imported_on_first_use():
    pytest.importorskip("mne")
    pytest.importorskip("dask")
    code = ("import sys, megfwd\n"
            "before = {'mne', 'dask'} & set(sys.modules)\n"
            "bridge = megfwd.mne.make_forward_solution\n"
            "after_mne = {'mne', 'dask'} & set(sys.modules)\n"
            "scale_out = megfwd.dask.leadfield\n"
            "print(sorted(before), sorted(after_mne), 'dask' in sys.modules)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.stdout.split("\n")[0] == "[] ['mne'] True", run.stdout + run.stderr

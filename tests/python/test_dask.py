"""Scans on Dask: the same bits as the in-process call on every scheduler,
the sensor array once in the graph, a killed worker survived, zarr groups
written whole or not at all."""
import os
import signal
import socket
import subprocess
import sys
import warnings
from contextlib import contextmanager

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

import dask  # noqa: E402
import megfwd  # noqa: E402
import megfwd.dask as mdask  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(megfwd.__file__)),
                                                               os.environ.get("PYTHONPATH", "")] if p))


def _grid(step):
    g = np.arange(-0.07, 0.0701, step)
    pts = np.array(np.meshgrid(g, g, g, indexing="ij")).reshape(3, -1).T
    return pts[np.linalg.norm(pts, axis=1) < 0.075] + [0.0, 0.0, 0.04]


@pytest.fixture(scope="module")
def grid():
    """About 1,800 sources on a 10 mm grid, some of them out of the scan."""
    return _grid(0.01)


@pytest.fixture(scope="module")
def expected(helmet, grid):
    return megfwd.leadfield(helmet, grid, return_mask=True)


@contextmanager
def local_cluster(tmp_path):
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, local_directory=str(tmp_path)) as cluster, \
            Client(cluster, timeout=30) as client:
        yield client


def _sensor_arrays(graph):
    """How many SensorArray objects a graph holds, in any task."""
    def count(v):
        if isinstance(v, megfwd.SensorArray):
            return 1
        if isinstance(v, (tuple, list)):
            return sum(count(x) for x in v)
        return 0
    return sum(count(v) for v in dict(graph).values())


def test_threaded_blocks_of_any_size_give_identical_bits(helmet, grid, expected):
    lf_want, mask_want = expected
    assert 0 < mask_want.sum() < len(grid)
    for chunks in (1, 13, 4096, (700, len(grid) - 700)):
        n = 40 if chunks == 1 else len(grid)  # one task per source: keep it short
        lf, mask = mdask.leadfield(helmet, grid[:n], chunks=chunks, return_mask=True)
        assert lf.shape == (n, 12, 3) and lf.dtype == np.float64 and mask.shape == (n,)
        assert lf.chunks[1:] == ((12,), (3,))
        got, got_mask = dask.compute(lf, mask, scheduler="threads")
        assert np.array_equal(got, lf_want[:n]) and np.array_equal(got_mask, mask_want[:n])
    assert mdask.leadfield(helmet, grid, tangential=True, chunks=500).shape == (len(grid), 12, 2)
    q = np.random.default_rng(3).normal(size=grid.shape) * 1e-8
    b = mdask.field(helmet, grid, q, chunks=97)
    assert b.shape == (len(grid), 12) and b.numblocks == (-(-len(grid) // 97), 1)
    assert np.array_equal(b.compute(scheduler="threads"), megfwd.field(helmet, grid, q))


def test_graph_holds_the_sensor_array_once(helmet, grid):
    lf, mask = mdask.leadfield(helmet, grid, chunks=50, return_mask=True)
    graph = lf.__dask_graph__()
    n_blocks = -(-len(grid) // 50)
    assert lf.numblocks[0] == n_blocks
    # Once as built, once after the optimiser (which could inline it), once
    # for both arrays computed together.
    assert _sensor_arrays(graph) == 1
    assert _sensor_arrays(lf.__dask_optimize__(graph, lf.__dask_keys__())) == 1
    assert _sensor_arrays(dask.base.collections_to_dsk([lf, mask])) == 1
    sensor_key = next(k for k, v in dict(graph).items() if isinstance(v, megfwd.SensorArray))
    blocks = [v for v in dict(graph).values() if isinstance(v, tuple) and v and v[0] is mdask._leadfield_block]
    assert len(blocks) == n_blocks and all(sensor_key in v for v in blocks)


def test_bad_inputs_refused_before_any_task(helmet, grid):
    class Unpicklable(megfwd.SensorArray):
        def __getstate__(self):
            raise RuntimeError("this array stays in its process")

    odd = Unpicklable._wrap(helmet._handle)
    with pytest.raises(TypeError, match="Unpicklable .* cannot be pickled.*stays in its process"):
        mdask.leadfield(odd, grid)
    with pytest.raises(TypeError, match="megfwd.SensorArray"):
        mdask.leadfield("helmet.json", grid)
    with pytest.raises(ValueError, match="'sensor_model' parameter"):
        mdask.leadfield(helmet, grid, sensor_model="vector")
    with pytest.raises(ValueError, match="formula"):
        mdask.field(helmet, grid, grid, formula="XX99")
    with pytest.raises(TypeError, match="unexpected keyword arguments \\['progress'\\]"):
        mdask.leadfield(helmet, grid, progress=print)
    with pytest.raises(ValueError, match="chunks must be at least 1"):
        mdask.leadfield(helmet, grid, chunks=0)
    with pytest.raises(ValueError, match="chunks add up to 10 rows"):
        mdask.leadfield(helmet, grid, chunks=(5, 5))


def test_local_cluster_processes_identical_bits(helmet, grid, expected, tmp_path):
    q = np.random.default_rng(4).normal(size=grid.shape) * 1e-8
    with local_cluster(tmp_path) as client:
        lf, mask = mdask.leadfield(helmet, grid, chunks=211, return_mask=True)
        # With a client active the array is on both workers before any block
        # runs, and the graph refers to it by one key.
        graph = dict(lf.__dask_graph__())
        refs = {v[1] for v in graph.values() if isinstance(v, tuple) and v and v[0] is mdask._leadfield_block}
        assert _sensor_arrays(graph) == 0 and len(refs) == 1
        assert len(client.who_has(list(refs))[refs.pop().key]) == 2
        got, got_mask = (f.result(timeout=60) for f in client.compute([lf, mask]))
        b = client.compute(mdask.field(helmet, grid, q, chunks=500)).result(timeout=60)
    assert np.array_equal(got, expected[0]) and np.array_equal(got_mask, expected[1])
    assert np.array_equal(b, megfwd.field(helmet, grid, q))


def test_killed_worker_scan_completes(helmet, tmp_path):
    from distributed import as_completed, futures_of
    many = _grid(0.005)  # about 14,000 sources in 101 blocks
    want = megfwd.leadfield(helmet, many, order=3)
    with dask.config.set({"distributed.scheduler.allowed-failures": 10}), local_cluster(tmp_path) as client:
        lf = client.persist(mdask.leadfield(helmet, many, chunks=140, order=3))
        futures = futures_of(lf)
        pids = client.run(os.getpid)
        first = next(iter(as_completed(futures)))
        victim = next(iter(client.who_has([first]).values()))[0]  # the worker holding it
        done_at_kill = sum(f.done() for f in futures)
        os.kill(pids[victim], signal.SIGKILL)
        got = client.compute(lf).result(timeout=90)
        assert pids[victim] not in client.run(os.getpid).values()
    assert done_at_kill < len(futures)
    assert np.array_equal(got, want)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def test_separate_scheduler_and_worker_processes(helmet, grid, expected, tmp_path):
    from distributed import Client
    address = f"tcp://127.0.0.1:{_free_port()}"
    log = open(tmp_path / "cluster.log", "w")
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", address.rsplit(":", 1)[1], "--no-dashboard"],
                              env=ENV, stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path)]
    try:
        procs.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "2", "--nthreads", "1",
             "--host", "127.0.0.1", "--no-dashboard", "--local-directory", str(tmp_path), "--death-timeout", "60"],
            env=ENV, stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path))
        with Client(address, timeout=30) as client:
            client.wait_for_workers(2, timeout=30)
            lf, mask = mdask.leadfield(helmet, grid, chunks=300, return_mask=True)
            got, got_mask = (f.result(timeout=60) for f in client.compute([lf, mask]))
        assert np.array_equal(got, expected[0]) and np.array_equal(got_mask, expected[1])

        # The command line against the same cluster, on a --grid box in mm.
        helmet.to_json(tmp_path / "helmet.json")
        out = tmp_path / "cli.zarr"
        run = subprocess.run([sys.executable, "-m", "megfwd.dask", "leadfield", "--sensors",
                              str(tmp_path / "helmet.json"), "--grid", "-60,-60,-20,60,60,100,20",
                              "--scheduler", address, "--chunks", "100", "--out", str(out)],
                             env=ENV, capture_output=True, text=True, timeout=90)
        assert run.returncode == 0, run.stderr
        g = np.arange(-60.0, 60.001, 20.0)
        box = np.array(np.meshgrid(g, g, np.arange(-20.0, 100.001, 20.0), indexing="ij")).reshape(3, -1).T
        group = zarr.open_group(str(out), mode="r")
        assert np.array_equal(group["sources"][:], box / 1000.0)
        assert np.array_equal(group["leadfield"][:], megfwd.leadfield(helmet, box / 1000.0))
        assert group.attrs["sources"]["from"] == "--grid -60,-60,-20,60,60,100,20"
    finally:
        for p in reversed(procs):
            _stop(p)
        log.close()


def test_zarr_round_trip_with_metadata(helmet, grid, tmp_path, monkeypatch):
    # The first source lies out of the scan: the metadata must not take the
    # one-source warning about it for the whole scan's.
    grid = np.vstack([[0.0, 0.0, 0.5], grid])
    lf_want, mask_want, meta_want = megfwd.leadfield(helmet, grid, return_mask=True, return_meta=True)
    assert not mask_want[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nor warn of it when the array is made
        mdask.leadfield(helmet, grid)
    helmet.to_json(tmp_path / "helmet.json")
    out = tmp_path / "scan.zarr"
    real = mdask._leadfield_block
    calls = []

    def counted(*args):
        calls.append(1)
        return real(*args)
    monkeypatch.setattr(mdask, "_leadfield_block", counted)
    meta = mdask.write_zarr(out, tmp_path / "helmet.json", grid, chunks=300, order=2,
                            compute_kwargs={"scheduler": "threads"})
    assert len(calls) == -(-len(grid) // 300)  # the values and the mask come from one scan of each block
    group = zarr.open_group(str(out), mode="r")
    assert np.array_equal(group["leadfield"][:], lf_want)
    assert np.array_equal(group["in_scan"][:], mask_want)
    assert np.array_equal(group["sources"][:], grid)
    assert group["leadfield"].chunks == (300, 12, 3)
    attrs = group.attrs.asdict()
    assert attrs == meta
    for key in ("settings", "integration", "spheres", "values", "reference_correction", "warnings"):
        assert attrs[key] == meta_want[key], key
    assert attrs["sensors"]["names"] == meta_want["sensors"]["names"]
    assert attrs["array"]["shape"] == meta_want["array"]["shape"]
    assert attrs["sources"]["in_scan_count"] == meta_want["sources"]["in_scan_count"] == mask_want.sum()

    # The Dask array itself stores too.
    mdask.leadfield(helmet, grid, chunks=300).to_zarr(str(tmp_path / "plain.zarr"))
    assert np.array_equal(zarr.open(str(tmp_path / "plain.zarr"), mode="r")[:], lf_want)

    # A run that fails part-way leaves the earlier group as it was and no
    # temporary directory behind.
    before = sorted(os.listdir(tmp_path))

    def failing(sensors, positions, options):
        if positions[0][0] > 0:
            raise RuntimeError("block failed")
        return real(sensors, positions, options)
    monkeypatch.setattr(mdask, "_leadfield_block", failing)
    with pytest.raises(RuntimeError, match="block failed"):
        mdask.write_zarr(out, helmet, grid * [-1, 1, 1] + [0.001, 0, 0], chunks=300,
                         compute_kwargs={"scheduler": "threads"})
    assert sorted(os.listdir(tmp_path)) == before
    assert np.array_equal(zarr.open_group(str(out), mode="r")["leadfield"][:], lf_want)

    # Outputs that are inputs, or hold them, are refused.
    for bad in (tmp_path / "helmet.json", tmp_path):
        with pytest.raises(ValueError, match="would overwrite the input"):
            mdask.write_zarr(bad, tmp_path / "helmet.json", grid)
    (tmp_path / "plain").mkdir()
    with pytest.raises(ValueError, match="not a zarr group"):
        mdask.write_zarr(tmp_path / "plain", helmet, grid)


def test_command_line_threads_and_bad_input(helmet, tmp_path):
    helmet.to_json(tmp_path / "helmet.json")
    pts_mm = np.array([[0.0, 10.0, 50.0], [20.0, 0.0, 60.0], [0.0, 0.0, 500.0]])
    np.savetxt(tmp_path / "src.csv", pts_mm, delimiter=",", header="x_mm,y_mm,z_mm", comments="")
    base = [sys.executable, "-m", "megfwd.dask", "leadfield", "--sensors", str(tmp_path / "helmet.json")]
    run = subprocess.run(base + ["--sources", str(tmp_path / "src.csv"), "--chunks", "2", "--tangential",
                                 "--out", str(tmp_path / "o.zarr")], env=ENV, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert "3 sources (2 in the scan)" in run.stdout
    group = zarr.open_group(str(tmp_path / "o.zarr"), mode="r")
    assert np.array_equal(group["leadfield"][:], megfwd.leadfield(helmet, pts_mm / 1000.0, tangential=True))
    assert group["in_scan"][:].tolist() == [True, True, False]
    # Sources are read by the megfwd program's rules: a note after a row is refused there and here.
    (tmp_path / "noted.csv").write_text("0,10,50 # note\n")
    for args, message in ((["--grid", "1,2,3", "--out", "x.zarr"], "expected 7 numbers"),
                          (["--sources", str(tmp_path / "noted.csv"), "--out", "y.zarr"], "expected 3 numbers"),
                          (["--sources", str(tmp_path / "src.csv"), "--out", str(tmp_path / "src.csv")],
                           "would overwrite the input")):
        run = subprocess.run(base + args, env=ENV, capture_output=True, text=True, timeout=60, cwd=tmp_path)
        assert run.returncode == 2 and message in run.stderr and len(run.stderr.strip().splitlines()) == 1

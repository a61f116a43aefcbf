"""Leadfields and dipole fields as Dask arrays, for scans larger than one
machine's memory or time.

A scan is cut into blocks of sources (``chunks`` sources each); every block
is one task that calls `megfwd.leadfield` (or `megfwd.field`) on its
sources, with the GIL released, on whatever scheduler is active: Dask's
threads, a ``distributed.LocalCluster`` or a cluster of machines. The sensor
array is one key that every block depends on, so it travels to each worker
once, not with every block: a key of the graph, or, when a distributed
client is active as the arrays are made, data scattered to every worker
beforehand. Make the arrays after starting the client that computes them.

>>> import megfwd.dask
>>> lf = megfwd.dask.leadfield(sensors, sources, chunks=4096)   # doctest: +SKIP
>>> lf.to_zarr("lf.zarr")                                       # doctest: +SKIP
>>> megfwd.dask.write_zarr("scan.zarr", sensors, sources)       # doctest: +SKIP

Blocks call the library with ``threads=1`` by default: Dask already runs one
block per worker thread, and one library thread per block keeps the cores
busy without oversubscribing them (``benchmarks/bench_dask.py`` measures
this). Pass ``threads=N`` for a worker with one Dask thread and N cores.

From the command line (``python3 -m megfwd.dask leadfield --help``), the
result and its metadata go to one zarr group.
"""
import argparse
import operator
import os
import pickle
import shutil
import sys
import tempfile
import time
import warnings

import numpy as np
import dask.array as da
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _megfwd, forward
from ._check import _check_int, _rows, _to_library
from .sensors import SensorArray
from .spheres import LocalSpheres

__all__ = ["leadfield", "field", "write_zarr", "main"]

DEFAULT_CHUNKS = 4096

# The options of megfwd.leadfield / megfwd.field that a block passes on;
# progress, return_mask and return_meta concern the whole scan and are
# handled here.
_LEADFIELD_OPTIONS = ("head", "sphere", "order", "sensor_model", "formula", "refs", "tangential", "threads")
_FIELD_OPTIONS = ("head", "sphere", "order", "sensor_model", "formula", "refs", "magnetic")


def _checked_sensors(sensors):
    """The sensor array, refused before any task exists when it is not a
    SensorArray or cannot be sent to another process."""
    if not isinstance(sensors, SensorArray):
        raise TypeError(f"sensors must be a megfwd.SensorArray, got {type(sensors).__name__} instead.")
    try:
        copy = pickle.loads(pickle.dumps(sensors))
    except Exception as e:  # any failure of the object's own pickling
        raise TypeError(
            f"sensors ({type(sensors).__name__} {sensors!r}) cannot be pickled, so it cannot be sent to Dask "
            f"workers: {type(e).__name__}: {e}") from e
    if not isinstance(copy, SensorArray):
        raise TypeError(f"sensors ({type(sensors).__name__}) does not unpickle as a megfwd.SensorArray.")
    return sensors


def _block_bounds(n, chunks):
    """(start, stop) of every block of n rows, for an int (rows per block)
    or a sequence of block sizes that add up to n."""
    if isinstance(chunks, (tuple, list)):
        sizes = [_check_int("chunks[i]", c, low=1) for c in chunks]
        if sum(sizes) != n:
            raise ValueError(f"chunks add up to {sum(sizes)} rows, but there are {n}.")
    else:
        size = _check_int("chunks", chunks, low=1)
        sizes = [size] * (n // size) + ([n % size] if n % size else [])
    stops = np.cumsum(sizes).tolist()
    return list(zip([0] + stops[:-1], stops))


def _options(kwargs, allowed, function):
    unknown = sorted(set(kwargs) - set(allowed))
    if unknown:
        raise TypeError(f"megfwd.dask.{function}() got unexpected keyword arguments {unknown}; "
                        f"it accepts chunks and {list(allowed)}.")
    return dict(kwargs)


def _quiet(call, *args, **kwargs):
    # A block that lies wholly outside the scan would warn that none of its
    # sources is in the scan although other blocks hold sources; the mask
    # says which sources were scanned, and the library's other messages came
    # once from the first-row call in the caller (`_first_row`).
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return call(*args, **kwargs)


def _first_row(call, *args, **kwargs):
    """`call` on the first source or dipole, in the caller: it checks the
    options as the library does, gives the shape of a row of the result, and
    shows the library's messages once. Its warnings about the values of
    that one row are left out: they say nothing of the whole scan."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = call(*args, **kwargs)
    for w in caught:
        if "every value is 0" not in str(w.message):
            warnings.warn(w.message, w.category, stacklevel=3)
    return out


def _local(sensors):
    # A graph built while a distributed client was active holds the
    # scattered array's future; a distributed scheduler passes the array
    # itself, another scheduler the future, which fetches it.
    return sensors if isinstance(sensors, SensorArray) else sensors.result()


def _leadfield_block(sensors, positions, options):
    lf, mask = _quiet(forward.leadfield, _local(sensors), positions, return_mask=True, **options)
    return lf, mask


def _field_block(sensors, positions, moments, options):
    b, mask = _quiet(forward.field, _local(sensors), positions, moments, return_mask=True, **options)
    return b, mask


def _active_client():
    """The distributed client that computes by default, or None."""
    try:
        from distributed import default_client
        return default_client()
    except (ImportError, ValueError):
        return None


def _arrays(kind, sensors, block, inputs, bounds, options, tail_shape):
    """The values array (blocks over the first axis) and the mask array of
    one scan whose block task returns (values, mask)."""
    token = tokenize(kind, sensors._handle.text(), [np.asarray(a) for a in inputs], bounds, sorted(options.items()))
    pairs = f"megfwd-{kind}-block-{token}"
    values = f"megfwd-{kind}-{token}"
    masks = f"megfwd-{kind}-in-scan-{token}"
    client = _active_client()
    if client is not None:
        # On a cluster every worker gets the array now, before any block
        # runs: no worker then fetches it from another in the middle of the
        # scan, which a worker that dies would leave waiting.
        ref, layer = client.scatter(sensors, broadcast=True, hash=False), {}
    else:
        ref = f"megfwd-sensors-{token}"
        layer = {ref: sensors}
    for i, (start, stop) in enumerate(bounds):
        layer[(pairs, i)] = (block, ref, *[a[start:stop] for a in inputs], options)
    zeros = (0,) * len(tail_shape)
    graph = HighLevelGraph(
        {pairs: layer,
         values: {(values, i) + zeros: (operator.getitem, (pairs, i), 0) for i in range(len(bounds))},
         masks: {(masks, i): (operator.getitem, (pairs, i), 1) for i in range(len(bounds))}},
        {pairs: set(), values: {pairs}, masks: {pairs}})
    sizes = tuple(stop - start for start, stop in bounds)
    lf = da.Array(graph, values, chunks=(sizes,) + tuple((d,) for d in tail_shape), dtype=np.float64,
                  meta=np.empty((0,) * (1 + len(tail_shape)), dtype=np.float64))
    mask = da.Array(graph, masks, chunks=(sizes,), dtype=bool, meta=np.empty((0,), dtype=bool))
    return lf, mask


def leadfield(sensors, sources, *, chunks=DEFAULT_CHUNKS, return_mask=False, **options):
    """The leadfield of `megfwd.leadfield` as a Dask array, computed in
    blocks of sources.

    Parameters
    ----------
    sensors : SensorArray
        The MEG system; it must pickle (a SensorArray does, as its file text).
    sources : array_like, shape (n_sources, 3)
        Source positions in metres.
    chunks : int | sequence of int
        Sources per block, or the size of every block. 4096 or more keeps
        Dask's overhead per block (about a millisecond on the scheduler, and
        the block's bytes on the network) small against the block's work.
    return_mask : bool
        Also return the in-scan mask as a Dask array of bool (n_sources,).
        Compute both together (``dask.compute(lf, mask)``) to scan once.
    **options
        head, sphere, order, sensor_model, formula, refs, tangential and threads,
        as for `megfwd.leadfield`; threads (the library's threads per block)
        defaults to 1.

    Returns
    -------
    lf : dask.array.Array, shape (n_sources, n_sensors, n_components)
        Chunked over sources only; float64, T/(A·m).
    mask : dask.array.Array of bool, shape (n_sources,)
        When ``return_mask``.
    """
    sensors = _checked_sensors(sensors)
    pos = _to_library(_rows(sources, "sources", 3, "metres"))
    options = _options(options, _LEADFIELD_OPTIONS, "leadfield")
    options.setdefault("threads", 1)
    _, n_sensors, n_components = _first_row(forward.leadfield, sensors, pos[:1], **options).shape
    bounds = _block_bounds(len(pos), chunks)
    lf, mask = _arrays("leadfield", sensors, _leadfield_block, (pos,), bounds, options, (n_sensors, n_components))
    return (lf, mask) if return_mask else lf


def field(sensors, positions, moments, *, chunks=DEFAULT_CHUNKS, return_mask=False, **options):
    """The field values of `megfwd.field` as a Dask array, computed in
    blocks of dipoles.

    Parameters
    ----------
    sensors : SensorArray
    positions, moments : array_like, shape (n_dipoles, 3)
        Dipole positions in metres and moments in A·m.
    chunks, return_mask
        As for `leadfield`, over dipoles.
    **options
        head, sphere, order, sensor_model, formula, refs and magnetic, as for
        `megfwd.field`.

    Returns
    -------
    b : dask.array.Array, shape (n_dipoles, n_sensors), float64, tesla
    mask : dask.array.Array of bool, shape (n_dipoles,)
        When ``return_mask``.
    """
    sensors = _checked_sensors(sensors)
    pos = _to_library(_rows(positions, "positions", 3, "metres"))
    mom = _to_library(_rows(moments, "moments", 3, "A·m"))
    if pos.shape[0] != mom.shape[0]:
        raise ValueError(f"positions has {pos.shape[0]} rows but moments has {mom.shape[0]}.")
    options = _options(options, _FIELD_OPTIONS, "field")
    n_sensors = _first_row(forward.field, sensors, pos[:1], mom[:1], **options).shape[1]
    bounds = _block_bounds(len(pos), chunks)
    b, mask = _arrays("field", sensors, _field_block, (pos, mom), bounds, options, (n_sensors,))
    return (b, mask) if return_mask else b


# --- zarr ---------------------------------------------------------------

def _same_or_inside(inner, outer):
    """True when path `inner` is `outer` or lies inside directory `outer`."""
    inner, outer = os.path.realpath(inner), os.path.realpath(outer)
    return inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep)


def _check_output(path, inputs):
    """Refuses an output that is one of the inputs or holds one, and an
    existing path that is not a zarr group (which replacing would lose)."""
    for name in inputs:
        if name and os.path.exists(name) and _same_or_inside(name, path):
            raise ValueError(f"the output {path} would overwrite the input {name}.")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise ValueError(f"the output {path}: its directory {parent} does not exist.")
    if os.path.lexists(path) and not (os.path.isdir(path) and os.path.exists(os.path.join(path, ".zgroup"))):
        raise ValueError(f"the output {path} exists and is not a zarr group; not replacing it.")


def _scan_meta(sensors, pos, options, chunk, in_scan_count, seconds, label):
    """The metadata of `megfwd.leadfield(..., return_meta=True)` for the
    whole scan. It is taken from the library for the first source, then
    the per-source lists are replaced by the names of the group's arrays
    (they would be as large as those arrays in the attributes)."""
    _, meta = _quiet(forward.leadfield, sensors, pos[:1], return_meta=True, **options)
    src = meta["sources"]
    src["from"] = label
    src["count"] = int(len(pos))
    src["in_scan_count"] = int(in_scan_count)
    src.pop("positions_mm", None)
    src["positions"] = "array 'sources', metres, host axes"
    src["in_scan"] = "array 'in_scan'"
    meta["array"]["shape"][0] = int(len(pos))
    meta["array"]["storage"] = "array 'leadfield' of this zarr group"
    meta["scan_seconds"] = seconds
    # The library's timings and memory figures are those of the one-source
    # call; the blocks' layout replaces them.
    for key in ("memory", "seconds", "threads", "blocks_of_sources"):
        meta["scan"].pop(key, None)
    meta["scan"]["dask"] = {"sources_per_block": chunk, "blocks": -(-len(pos) // chunk),
                            "library_threads_per_block": options.get("threads", 1)}
    meta["program"]["command"] = "python megfwd.dask leadfield"
    # The one-source call's warnings about its values speak of that source
    # only; the whole scan's count takes their place.
    meta["warnings"] = [w for w in meta.get("warnings", []) if "every value is 0" not in w]
    if in_scan_count == 0:
        meta["warnings"].append(f"none of the {len(pos)} sources is in the scan, so every value is 0")
    return meta


def write_zarr(path, sensors, sources, *, chunks=DEFAULT_CHUNKS, compute_kwargs=None,
               sources_label="sources given to megfwd.dask.write_zarr", **options):
    """Computes a leadfield block by block into a new zarr group at `path`.

    The group holds the arrays ``leadfield`` (n_sources, n_sensors,
    n_components), ``in_scan`` (n_sources,) and ``sources`` (n_sources, 3,
    metres); its attributes are the metadata of ``megfwd.leadfield(...,
    return_meta=True)``. Blocks are written as they finish, so the result
    never needs to fit in memory. The group is built under a temporary name
    beside `path` and renamed when complete: a failed run leaves no group
    under `path` (and an earlier group there untouched).

    Parameters
    ----------
    path : str | os.PathLike
        The zarr group (a directory); an existing zarr group is replaced, an
        input file or anything else is refused.
    sensors : SensorArray | str | os.PathLike
        The sensor array, or a sensor-array file.
    sources : array_like, shape (n_sources, 3)
        Source positions in metres.
    chunks : int
        Sources per block and per zarr chunk.
    compute_kwargs : dict | None
        Passed to Dask's compute (e.g. ``scheduler="threads"``); by default
        the active scheduler (a distributed client, if one exists).
    sources_label : str
        Where the sources came from, for the metadata.
    **options
        As for `leadfield`.

    Returns
    -------
    meta : dict
        The metadata written.
    """
    import zarr

    path = os.fspath(path)
    sensor_file = None
    if isinstance(sensors, (str, os.PathLike)):
        sensor_file = os.fspath(sensors)
        sensors = SensorArray.from_json(sensor_file)
    chunk = _check_int("chunks", chunks, low=1)
    inputs = [sensor_file, sensors._handle.label if isinstance(sensors, SensorArray) else None]
    _check_output(path, inputs)
    pos = _to_library(_rows(sources, "sources", 3, "metres"))
    lf, mask = leadfield(sensors, pos, chunks=chunk, return_mask=True, **options)

    parent, name = os.path.split(os.path.abspath(path))
    tmp = tempfile.mkdtemp(prefix=f".{name}.", suffix=".partial", dir=parent)
    old = None
    try:
        group = zarr.open_group(tmp, mode="w")
        z_lf = group.create_dataset("leadfield", shape=lf.shape, chunks=(chunk,) + lf.shape[1:], dtype="f8")
        z_in = group.create_dataset("in_scan", shape=mask.shape, chunks=(chunk,), dtype=bool)
        group.create_dataset("sources", data=pos, chunks=(chunk, 3))
        start = time.perf_counter()
        # One store call for both arrays, so that each block is scanned once.
        da.store([lf, mask], [z_lf, z_in], lock=False, **(compute_kwargs or {}))
        seconds = time.perf_counter() - start
        in_count = int(np.count_nonzero(z_in[:]))
        meta = _scan_meta(sensors, pos, options, chunk, in_count, seconds, sources_label)
        group.attrs.update(meta)
        if os.path.lexists(path):
            old = tempfile.mkdtemp(prefix=f".{name}.", suffix=".old", dir=parent)
            os.rename(path, os.path.join(old, name))
        os.rename(tmp, path)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        if old is not None and not os.path.lexists(path) and os.path.lexists(os.path.join(old, name)):
            os.rename(os.path.join(old, name), path)
        raise
    finally:
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)
    return meta


# --- command line ---------------------------------------------------------

def _grid_points(text):
    """The points of ``--grid xmin,ymin,zmin,xmax,ymax,zmax,step`` (mm), read
    and checked by the library as the megfwd program reads them: x slowest,
    z fastest."""
    return _megfwd.grid_points(text)


def _read_rows(path):
    """Source positions in mm from a .npy array (n, 3) or a text file of
    x,y,z rows, by the megfwd program's own reader (commas or blanks, lines
    starting with '#' skipped, an optional header line)."""
    return _megfwd.read_rows(path, 3)


def _is_number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m megfwd.dask",
        description="Leadfield scans cut into blocks of sources and run on Dask (threads, or a distributed "
                    "cluster with --scheduler), written to a zarr group with the arrays leadfield "
                    "(sources, sensors, components; T/(A*m)), in_scan and sources (metres) and the run's "
                    "metadata as its attributes.")
    sub = p.add_subparsers(dest="command", required=True, metavar="leadfield")
    lf = sub.add_parser("leadfield", help="compute a leadfield into a zarr group",
                        description="Positions are in millimetres, as for the megfwd program's "
                                    "'leadfield' command; the values are in SI units, as it gives them.")
    src = lf.add_mutually_exclusive_group(required=True)
    src.add_argument("--grid", metavar="XMIN,YMIN,ZMIN,XMAX,YMAX,ZMAX,STEP",
                     help="a box of sources in mm, x slowest, z fastest")
    src.add_argument("--sources", metavar="FILE", help="source positions in mm: .npy (n, 3) or text x,y,z rows")
    lf.add_argument("--sensors", required=True, metavar="FILE", help="sensor-array file (JSON)")
    lf.add_argument("--out", required=True, metavar="OUT.zarr", help="the zarr group to write")
    lf.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                    help="address of a Dask scheduler (default: Dask's threads on this machine)")
    lf.add_argument("--chunks", type=int, default=DEFAULT_CHUNKS, metavar="N",
                    help=f"sources per block and per zarr chunk (default {DEFAULT_CHUNKS})")
    lf.add_argument("--threads", type=int, default=1, metavar="N",
                    help="library threads per block (default 1: Dask runs one block per core)")
    lf.add_argument("--order", type=int, default=2, help="coil integration order (default 2)")
    lf.add_argument("--sensor-model", default="ctf", choices=forward.SENSOR_MODELS, help="sensor forward model (default ctf)")
    lf.add_argument("--formula", help="leadfield formula code, e.g. ST01 (default: the library's)")
    lf.add_argument("--sphere", metavar="X,Y,Z,R", help="conductor sphere in mm (default: fitted to the sensors)")
    lf.add_argument("--local-spheres", metavar="FILE",
                    help="one sphere per sensor from a local-sphere file (written by 'megfwd spheres')")
    lf.add_argument("--no-ref", action="store_true", help="do not apply the reference weights")
    lf.add_argument("--tangential", action="store_true", help="two tangential components per source")
    lf.add_argument("--quiet", "-q", action="store_true", help="print nothing on success")
    return p


def _join_values(argv):
    """``--grid -60,...`` as ``--grid=-60,...``: argparse would take a value
    starting with '-' for an option, the megfwd program does not."""
    out = []
    for arg in argv:
        if out and out[-1] in ("--grid", "--sphere") and arg.startswith("-"):
            out[-1] = f"{out[-1]}={arg}"
        else:
            out.append(arg)
    return out


def main(argv=None):
    args = _parser().parse_args(_join_values(sys.argv[1:] if argv is None else list(argv)))
    name = "megfwd.dask"
    client = None
    try:
        if args.grid is not None:
            mm, label = _grid_points(args.grid), f"--grid {args.grid}"
        else:
            mm, label = _read_rows(args.sources), args.sources
        options = dict(order=args.order, sensor_model=args.sensor_model, formula=args.formula,
                       refs=not args.no_ref, tangential=args.tangential, threads=args.threads)
        if args.sphere is not None:
            sp = [x for x in args.sphere.split(",") if x.strip()]
            if len(sp) != 4 or not all(_is_number(x) for x in sp):
                raise ValueError(f'--sphere "{args.sphere}": expected 4 numbers x,y,z,radius in mm')
            sp = [float(x) for x in sp]
            options["sphere"] = np.array(sp) / 1000.0
        if args.local_spheres is not None:
            if args.sphere is not None:
                raise ValueError("--local-spheres with --sphere: local spheres are the head model; give one of them")
            options["sphere"] = LocalSpheres.from_json(args.local_spheres)
        if args.sources is not None and _same_or_inside(args.sources, args.out):
            raise ValueError(f"the output {args.out} would overwrite the input {args.sources}.")
        compute_kwargs = {"scheduler": "threads"}
        if args.scheduler:
            from distributed import Client
            client = Client(args.scheduler, timeout=30)
            compute_kwargs = {}
        start = time.perf_counter()
        meta = write_zarr(args.out, args.sensors, mm / 1000.0, chunks=args.chunks, compute_kwargs=compute_kwargs,
                          sources_label=label, **options)
        if not args.quiet:
            n_src, n_sns, n_comp = meta["array"]["shape"]
            print(f"{args.out}: leadfield of {n_src} sources ({meta['sources']['in_scan_count']} in the scan) x "
                  f"{n_sns} sensors x {n_comp} components, {meta['values']['SI_unit']}, "
                  f"in {time.perf_counter() - start:.2f} s")
        return 0
    except (ValueError, TypeError, FileNotFoundError, IsADirectoryError, PermissionError) as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return 2  # bad input; nothing was written
    except (RuntimeError, OSError) as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return 1  # the library refused, or writing failed
    finally:
        if client is not None:
            client.close()


if __name__ == "__main__":
    # Run as `python3 -m megfwd.dask`: call the package's module, so that the
    # tasks sent to workers name megfwd.dask and not __main__.
    from megfwd.dask import main as _main
    sys.exit(_main())

"""megfwd: MEG forward models (leadfields) of spherical head models.

The computations run in megfwd's C++ library, on all cores, with the GIL
released. Units are SI, as in MNE-Python: positions in metres, leadfields in
T/(A·m), dipole moments in A·m, fields in tesla.

>>> import megfwd
>>> sensors = megfwd.SensorArray.from_json("helmet.json")      # doctest: +SKIP
>>> lf = megfwd.leadfield(sensors, sources)                     # doctest: +SKIP

``megfwd.mne`` builds sensor arrays from any recording MNE-Python reads and
offers a drop-in ``make_forward_solution`` for sphere models; ``megfwd.dask``
spreads a scan over a Dask cluster. Both are imported on first use, so
``import megfwd`` imports neither MNE nor Dask.
"""
import importlib

from ._megfwd import __version__
from .dipole import DipoleFit, fit_dipole, leadfield_gradient
from .forward import field, leadfield
from .sensors import SensorArray
from .shell import SingleShell
from .spheres import LocalSpheres, fit_sphere

__all__ = ["SensorArray", "SingleShell", "LocalSpheres", "leadfield", "leadfield_gradient", "field", "fit_dipole",
           "DipoleFit", "fit_sphere", "__version__"]

_SUBMODULES = ("mne", "dask")


def __getattr__(name):
    if name in _SUBMODULES:
        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_SUBMODULES))

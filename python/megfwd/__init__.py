"""megfwd: MEG forward models (leadfields) of spherical head models.

The computations run in megfwd's C++ library, on all cores, with the GIL
released. Units are SI, as in MNE-Python: positions in metres, leadfields in
T/(A·m), dipole moments in A·m, fields in tesla.

>>> import megfwd
>>> sensors = megfwd.SensorArray.from_json("helmet.json")      # doctest: +SKIP
>>> lf = megfwd.leadfield(sensors, sources)                     # doctest: +SKIP

``megfwd.mne`` builds sensor arrays from any recording MNE-Python reads and
offers a drop-in ``make_forward_solution`` for sphere models; ``megfwd.dask``
spreads a scan over a Dask cluster.
"""
from ._megfwd import __version__
from .forward import field, leadfield
from .sensors import SensorArray

__all__ = ["SensorArray", "leadfield", "field", "__version__"]

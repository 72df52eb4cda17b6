"""quelb: fast, exact streaming machine learning.

Every class of the compiled core module ``_quelb_core`` is available here under the same name
(``quelb.NaiveBayes``, ``quelb.Accuracy``, ...), whatever classes the build holds. In plain
Python on top of it:

- ``quelb.datasets``: the electricity and weather streams shipped with the package;
- ``quelb.synth``: seeded stream generators with optional concept drift;
- ``quelb.evaluate`` (and ``quelb.prequential``): test-then-train evaluation with learning
  curves, a progress bar and an optional plot;
- ``python3 -m quelb evaluate ...``: the same from the command line;
- ``quelb.distributed``: evaluation sweeps and keyed model fleets on a Dask cluster (the
  ``dask`` extra), imported on first use so that ``import quelb`` never imports Dask.
"""
import importlib

from _quelb_core import *  # noqa: F401,F403  (every public name of the core module)

from . import datasets, errors, evaluate, expressions, synth  # noqa: E402
from .evaluate import prequential  # noqa: E402

__version__ = "0.1.0"

# Computed from the core module itself, so new classes are exported without touching this file.
CORE_CLASSES = tuple(evaluate.core_classes())

__all__ = list(CORE_CLASSES) + ["datasets", "errors", "evaluate", "prequential", "expressions", "synth"]


def __getattr__(name):
    if name == "distributed":
        return importlib.import_module(".distributed", __name__)
    raise AttributeError(f"module 'quelb' has no attribute '{name}'")

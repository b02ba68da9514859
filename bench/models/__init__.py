"""Model implementations, one module per library, all with the same
function names (see data.VARIANTS). Each module provides:

  LIBRARY, ROUTE       name and how it reaches the solver
  versions()           versions of what it uses
  unavailable()        optional: a reason string when it cannot run here
  <variant>(data)      build one model variant, return a handle
  NOT_WRITTEN          variant -> why the library has no such variant
  hand_over(h, limit)  give the model to HiGHS and run it with the time
                       limit (0: transfer only; None: solve), return the
                       objective (None for limit 0)
  dims(h)              (rows, columns, nonzeros) as the solver holds them
"""

# Order of the columns of the results table: korvo first, then the peers,
# then the raw-array floor.
LIBRARY_MODULES = {
    "korvo": "models.korvo_models",
    "pyoptinterface": "models.poi_models",
    "highspy": "models.highspy_models",
    "linopy": "models.linopy_models",
    "pyomo": "models.pyomo_models",
    "pulp": "models.pulp_models",
    "raw": "models.raw_highs",
}
PEERS = ("pyoptinterface", "highspy", "linopy", "pyomo", "pulp")
FLOOR = "raw"

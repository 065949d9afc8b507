"""Imports the built module into the interpreter running this file and runs a
short forward; where that interpreter has no NumPy, import and construction
only. scripts/test runs it under every CPython >= 3.11 on the machine.

    python3.X tests/python/interpreter_smoke.py MODEL_DIR
"""
import sys

import _varkel

model = _varkel.Model(sys.argv[1])
engine = _varkel.Engine(model)
cache = _varkel.Cache(model)
version = ".".join(map(str, sys.version_info[:3]))
try:
    import numpy as np
except ImportError:
    print(f"{sys.executable} ({version}): import and construction (no NumPy)")
    sys.exit(0)

logits = engine.forward(np.array([1, 2], dtype=np.int64), cache)
assert logits.shape == (2, 248320) and logits.dtype == np.float32, logits.shape
assert np.isfinite(logits).all() and cache.pos == 2
print(f"{sys.executable} ({version}): import and forward")

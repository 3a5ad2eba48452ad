from harness import Case

SETUP = """
import math
import random
import numpy as np
import scipy.special
import quillander as q
I, E = q.InterpType, q.ExtrapType
two = q.Interpolator([0.0, 1.0], [1.0, 2.0], I.Linear, E.Auto)
fifty = q.Interpolator([float(i) for i in range(50)], [float(i * i) for i in range(50)], I.Linear, E.Auto)
xs = [float(i) for i in range(10_000)]
big = q.Interpolator(xs, [x * 0.5 for x in xs], I.Linear, E.Auto)
nx = np.array(xs)
ny = nx * 0.5
rng = random.Random(1)
wide = [rng.uniform(0.0, 9999.0) for _ in range(100)]
narrow = [rng.uniform(0.0, 1.0) for _ in range(100)]
"""

CASES = [
    Case("erf(0.3)", "q.erf(0.3)", "math.erf", "math.erf(0.3)", SETUP, 1.15),
    Case("erf(2.0), an erfc piece", "q.erf(2.0)", "math.erf", "math.erf(2.0)", SETUP, 1.15),
    Case("exp(0.3)", "q.exp(0.3)", "math.exp", "math.exp(0.3)", SETUP, 1.15),
    Case("sqrt(0.3)", "q.sqrt(0.3)", "math.sqrt", "math.sqrt(0.3)", SETUP, 1.15),
    Case("erf_inv(0.3)", "q.erf_inv(0.3)", "scipy.special.erfinv, scalar", "scipy.special.erfinv(0.3)", SETUP),
    # The node count should barely matter: the segment is found by bisection.
    Case("interpolate, 50 nodes", "fifty.interpolate(24.5)", "interpolate, 2 nodes", "two.interpolate(0.5)", SETUP),
    Case("interpolate, 10,000 nodes", "big.interpolate(6789.5)", "interpolate, 2 nodes", "two.interpolate(0.5)",
         SETUP, 1.5),
    Case("interpolate, 10,000 nodes, 100 scattered x", "for x in wide: big.interpolate(x)", "interpolate, 2 nodes",
         "for x in narrow: two.interpolate(x)", SETUP, 1.5),
    Case("interpolate, 10,000 nodes vs numpy", "big.interpolate(6789.5)", "numpy.interp, scalar x",
         "np.interp(6789.5, nx, ny)", SETUP, 1 / 3),
]

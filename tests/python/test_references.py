import gc
import sys

import numpy as np

from kavri import FittedGam, fit, fit_additive

X = np.zeros((6, 3))
Y = np.zeros(6)
W = np.ones(6)
FAMILY = "gaussian"
TE_TERM = ((0, 1), "te", (4, 5))
TERMS = [(0, "cr"), TE_TERM, (2, "re", "ignored")]
BAD_TERMS = [(0, "cr"), ((0, 1), "te", (4,))]
FRAME = b"KAVRI"

# Calls that end in every kind of exit: binding errors, conversion errors,
# grammar errors, and calls whose arguments are all accepted.
CALLS = [
    (fit, (FAMILY, X, Y), {"weights": W, "theta": 1.5, "r": 3}),
    (fit, (FAMILY, X), {}),
    (fit, (FAMILY, X, Y), {"foo": W}),
    (fit, (FAMILY, X, Y), {"k": -1}),
    (fit, (FAMILY, X, Y), {"design": None}),
    (fit, (FAMILY, X, Y, W.astype(np.float32)), {}),
    (fit_additive, (FAMILY, X, Y, TERMS), {"weights": W}),
    (fit_additive, (FAMILY, X, Y, BAD_TERMS), {}),
    (fit_additive, ("tdist", X, Y, TERMS), {}),
    (fit_additive, (FAMILY, X, Y, []), {}),
    (fit_additive, (FAMILY, X, Y, TERMS, [1.0]), {}),
    (FittedGam.deserialize, (FRAME,), {}),
    (FittedGam.deserialize, (bytearray(FRAME),), {}),
]


def run_calls(times):
    for _ in range(times):
        for callee, args, kwargs in CALLS:
            try:
                callee(*args, **kwargs)
            except Exception:
                pass


def test_calls_leave_reference_counts_of_their_arguments_unchanged():
    watched = [X, Y, W, FAMILY, TERMS, TE_TERM, BAD_TERMS, FRAME, *TERMS]
    run_calls(5)
    before = [sys.getrefcount(o) for o in watched]
    run_calls(200)
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


def test_repeated_calls_do_not_grow_memory():
    run_calls(50)
    gc.collect()
    before = sys.getallocatedblocks()
    run_calls(1000)
    gc.collect()
    # 13 000 calls: a leak of even one object per call would show as
    # thousands of blocks; the slack covers interpreter caches.
    assert sys.getallocatedblocks() - before < 200

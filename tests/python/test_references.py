import ctypes
import gc
import sys

import pickle

import numpy as np
import pytest

import frames
import simulated
from kavri import FittedGam, fit, fit_additive

X = np.zeros((6, 3))
Y = np.zeros(6)
W = np.ones(6)
FAMILY = "gaussian"
TE_TERM = ((0, 1), "te", (4, 5))
TERMS = [(0, "cr"), TE_TERM, (2, "re", "ignored")]
BAD_TERMS = [(0, "cr"), ((0, 1), "te", (4,))]
FRAME = b"KAVRI"
MODEL = frames.loaded(frames.additive_predictor(frames.ADDITIVE_TERMS), "Logit")
MODEL_FRAME = MODEL.serialize()
BROKEN = frames.edited(MODEL, lambda body: body.update(vcov=frames.array(np.zeros((2, 3)))))
X_NEW = frames.covariates(8)
X_FIT = simulated.X[:30]
Y_FIT = simulated.Y_ANY[:30]
W_FIT = np.ones(30)
FIT_TERMS = [(0, "cr", 4), ((1, 2), "te", (3, 3))]
# Two copies of one covariate: splines of both fit to a singular system.
X_TWIN = np.column_stack([X_FIT[:, 0], X_FIT[:, 0]])

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
    (FittedGam.deserialize, (MODEL_FRAME,), {}),
    (fit_additive, ("poisson", X_FIT, Y_FIT, FIT_TERMS, W_FIT), {}),
    (fit_additive, ("gamma", X_FIT, -Y_FIT, FIT_TERMS), {}),
    (fit_additive, ("gaussian", X_TWIN, Y_FIT, [(0, "cr", 4), (1, "cr", 4)]), {}),
    (MODEL.predict, (X_NEW,), {}),
    (MODEL.predict_response, (X_NEW,), {}),
    (MODEL.evaluate_lpmatrix, (X_NEW,), {}),
    (MODEL.predict_ci, (X_NEW,), {"level": 0.9, "scale": "link"}),
    (MODEL.predict_ci, (X_NEW,), {"scale": "Link"}),
    (MODEL.predict_diff, (X_NEW, X_NEW[:1]), {}),
    (MODEL.predict_diff, (X_NEW[:2], X_NEW[:3]), {}),
    (MODEL.predict, (X_NEW[:, :1],), {}),
    (BROKEN.predict_ci, (X_NEW,), {}),
    (MODEL.vcov, (), {}),
    (MODEL.term_col_ranges, (), {}),
    (MODEL.serialize, (), {}),
    (MODEL.__reduce__, (), {}),
    (lambda: pickle.loads(pickle.dumps(MODEL)), (), {}),
    (lambda: [MODEL.beta, MODEL.rho, MODEL.scale, MODEL.n, MODEL.converged, MODEL.shape_params], (), {}),
]


def run_calls(times):
    for _ in range(times):
        for callee, args, kwargs in CALLS:
            try:
                callee(*args, **kwargs)
            except Exception:
                pass


def test_calls_leave_reference_counts_of_their_arguments_unchanged():
    watched = [X, Y, W, FAMILY, TERMS, TE_TERM, BAD_TERMS, FRAME, *TERMS, MODEL, MODEL_FRAME, BROKEN, X_NEW,
               X_FIT, Y_FIT, W_FIT, FIT_TERMS, *FIT_TERMS, X_TWIN, FittedGam]
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
    # Some 30 000 calls: a leak of even one object per call would show as
    # thousands of blocks; the slack covers interpreter caches.
    assert sys.getallocatedblocks() - before < 200


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ["arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost"]]


def c_heap_in_use():
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def test_repeated_calls_do_not_grow_the_c_heap():
    # The C++ side allocates model matrices, covariances and frames outside
    # Python's allocator; glibc's own count of bytes in use sees them.
    if c_heap_in_use() is None:
        pytest.skip("the C library has no mallinfo2")
    run_calls(50)
    gc.collect()
    before = c_heap_in_use()
    run_calls(500)
    gc.collect()
    # One leaked 8 × 24 model matrix per prediction call alone would be
    # over 10 MB here.
    assert c_heap_in_use() - before < 1_000_000

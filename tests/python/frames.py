"""Models written as persistence frames by hand, and edits of existing frames.

A frame is the 17-byte header (magic, version 1, body length) and a JSON
body. The models here are consistent, so every prediction works on them;
`edited` changes members of a real frame to build the broken models that
only loading can produce.
"""

import json
import math
import struct

import numpy as np

from kavri import FittedGam

HEADER = struct.Struct("<5sIQ")


def frame(body):
    text = json.dumps(body, separators=(",", ":"), allow_nan=False).encode()
    return HEADER.pack(b"KAVRI", 1, len(text)) + text


def body_of(data):
    magic, version, length = HEADER.unpack_from(data)
    assert (magic, version) == (b"KAVRI", 1)
    return json.loads(data[HEADER.size:HEADER.size + length])


def edited(model, edit):
    """The model after `edit(body)` changed its frame's body in place."""
    body = body_of(model.serialize())
    edit(body)
    return FittedGam.deserialize(frame(body))


def _finite_or_null(v):
    return float(v) if math.isfinite(v) else None


def array(a):
    a = np.asarray(a, dtype=np.float64)
    return {"v": 1, "dim": list(a.shape), "data": [_finite_or_null(v) for v in a.ravel()]}


def _rng(seed):
    return np.random.default_rng(seed)


def cr_predictor(k=5, lo=0.0, hi=1.0, seed=0):
    # Any k × (k − 1) centring rebuilds a model matrix; these are random.
    return {"kind": "cr", "knots": array(np.linspace(lo, hi, k)), "centring": array(_rng(seed).normal(size=(k, k - 1)))}


def cr_stable_predictor(k=5, seed=1):
    q, _ = np.linalg.qr(_rng(seed).normal(size=(k - 1, k - 1)))
    return {**cr_predictor(k, seed=seed), "kind": "cr_stable", "reparam_v": array(q)}


def re_predictor(levels=(0.0, 1.0, 2.0, 3.0)):
    return {"kind": "re", "levels": [float(v) for v in levels]}


def tensor_predictor(col_a=0, col_b=1, k_a=4, k_b=3, seed=2):
    k = k_a * k_b
    return {
        "kind": "tensor", "col_a": col_a, "col_b": col_b, "bs_a": "cr", "bs_b": "cr",
        "knots_a": array(np.linspace(0.0, 1.0, k_a)), "knots_b": array(np.linspace(0.0, 1.0, k_b)),
        "xp_a": array(np.eye(k_a)), "xp_b": array(np.eye(k_b)),
        "centring": array(_rng(seed).normal(size=(k, k - 1))),
    }


def width(predictor):
    """Columns of the model matrix the predictor rebuilds, intercept included."""
    kind = predictor["kind"]
    if kind in ("cr", "cr_stable", "tensor"):
        return predictor["centring"]["dim"][1] + 1
    if kind == "re":
        return len(predictor["levels"]) + 1
    return 1 + sum(width(t) - 1 for t in predictor["term_predictors"])


def additive_predictor(terms):
    """terms: (predictor, cols_used) pairs."""
    ranges, start = [], 1
    for predictor, _ in terms:
        ranges.append([start, start + width(predictor) - 1])
        start = ranges[-1][1]
    return {
        "kind": "additive",
        "term_predictors": [p for p, _ in terms],
        "cols_used": [list(c) for _, c in terms],
        "term_col_ranges": ranges,
    }


def model_body(predictor, link="Identity", seed=3, scale=1.5, m=2):
    """A consistent body: β of the predictor's width, a positive definite V."""
    rng = _rng(seed)
    p = width(predictor)
    a = rng.normal(size=(p, p))
    rho = rng.normal(size=m)
    return {
        "beta": array(rng.normal(size=p)),
        "rho": array(rho),
        "lambda": array(np.exp(rho)),
        "scale": _finite_or_null(scale),
        "edf_total": 4.25,
        "edf_per_term": array(rng.uniform(1.0, 3.0, size=m)),
        "n": 57,
        "n_iters": 6,
        "converged": True,
        "reml_value": -12.5,
        "predictor": predictor,
        "vcov": array(a @ a.T / p + np.eye(p) * 0.01),
        "link_kind": link,
        "shape_params": array(np.zeros(0)),
    }


def loaded(predictor, link="Identity", **kwargs):
    return FittedGam.deserialize(frame(model_body(predictor, link, **kwargs)))


ADDITIVE_TERMS = [(cr_predictor(), [0]), (re_predictor(), [2]), (tensor_predictor(), [0, 1]),
                  (cr_stable_predictor(), [1])]

# (name, predictor) of every predictor variant; covariates for them come
# from `covariates`.
PREDICTORS = [
    ("cr", cr_predictor()),
    ("cr_stable", cr_stable_predictor()),
    ("re", re_predictor()),
    ("tensor", tensor_predictor()),
    ("additive", additive_predictor(ADDITIVE_TERMS)),
]


def covariates(n, kind="additive", seed=4):
    """Columns 0 and 1 in [0, 1], column 2 of the levels 0 to 3; a single
    random effect reads its levels from column 0."""
    rng = _rng(seed)
    x = np.column_stack([rng.uniform(size=n), rng.uniform(size=n), rng.integers(0, 4, size=n).astype(float)])
    return x[:, [2, 0, 1]] if kind == "re" else x

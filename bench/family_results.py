"""Fits every family on fixed simulated data sets (and the inverse Gaussian
fixture) and prints rho, edf_total and the shape parameters of each as JSON,
so that two builds can be compared fit by fit:

    python bench/family_results.py > before.json
    ... rebuild ...
    python bench/family_results.py --against before.json
"""
import argparse
import json
import sys
from pathlib import Path

import numpy as np

import kavri


def data_sets():
    rng = np.random.default_rng(20261211)
    n = 400
    x = rng.uniform(size=(n, 3))
    f = np.sin(2 * np.pi * x[:, 0])
    w = rng.integers(1, 4, size=n).astype(float)
    eta_log = 0.5 + 0.6 * f
    yield "gaussian", "gaussian", x, f + rng.normal(scale=0.4, size=n), {}
    yield "poisson", "poisson", x, rng.poisson(np.exp(eta_log)).astype(float), {}
    yield "quasipoisson", "quasipoisson", x, rng.poisson(np.exp(eta_log)).astype(float), {}
    yield "binomial", "binomial", x, (rng.uniform(size=n) < 1 / (1 + np.exp(-f))).astype(float), {}
    yield "quasibinomial", "quasibinomial", x, (rng.uniform(size=n) < 1 / (1 + np.exp(-f))).astype(float), {}
    mu = np.exp(eta_log)
    yield "gamma", "gamma", x, rng.gamma(2.0, mu / 2.0), {}
    yield "gamma weighted", "gamma", x, rng.gamma(2.0, mu / 2.0), {"weights": w}
    yield "inverse_gaussian", "inverse_gaussian", x, rng.wald(mu, 4.0), {}
    yield "negbin", "negbin", x, rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float), {}
    yield "negbin weighted", "negbin", x, rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float), {"weights": w}
    yield "tdist", "tdist", x, f + 0.5 * rng.standard_t(4, size=n), {}
    yield "tdist weighted", "tdist", x, f + 0.5 * rng.standard_t(4, size=n), {"weights": w}
    lam = mu ** 0.5 / (1.5 * 0.5)
    counts = rng.poisson(lam)
    tw = np.where(counts > 0, rng.gamma(np.maximum(counts, 1) * 1.0, 1.0), 0.0) * 0.3
    yield "tweedie", "tweedie", x, tw, {}
    yield "tweedie weighted", "tweedie", x, tw, {"weights": w}
    yield "ocat", "ocat", x, np.clip(np.round(2.5 + 1.2 * f + rng.logistic(size=n) * 0.7), 1, 4), {"r": 4}
    yield "quantile", "quantile", x, f + rng.normal(scale=0.5, size=n), {"tau": 0.5}


def additive_sets():
    rng = np.random.default_rng(7)
    n = 500
    x = rng.uniform(size=(n, 3))
    f = np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 * 3
    mu = np.exp(0.3 + 0.5 * f)
    terms = [(0, "cr", 8), (1, "cr", 8), (2, "cr", 6)]
    yield "additive gamma", "gamma", x, rng.gamma(3.0, mu / 3.0), terms
    yield "additive inverse_gaussian", "inverse_gaussian", x, rng.wald(mu, 6.0), terms
    yield "additive poisson", "poisson", x, rng.poisson(mu).astype(float), terms
    fixture = Path(__file__).resolve().parents[1] / "tests" / "python" / "data" / "inverse_gaussian_three_terms.json"
    d = json.loads(fixture.read_text())
    terms = [(t[0], t[1], t[2]) for t in d["terms"]]
    yield "fixture inverse_gaussian", "inverse_gaussian", np.array(d["x"], dtype=float), np.array(d["y"], dtype=float), terms


def summary(model):
    return {
        "rho": [float(v) for v in model.rho],
        "edf": float(model.edf_total),
        "shape": [float(v) for v in model.shape_params],
        "converged": bool(model.converged),
        "reml": float(model.reml_value),
    }


def run():
    out = {}
    for name, family, x, y, opts in data_sets():
        try:
            out[name] = summary(kavri.fit(family, x, y, **opts))
        except Exception as e:  # a failure is a result too
            out[name] = {"error": f"{type(e).__name__}: {e}"}
    for name, family, x, y, terms in additive_sets():
        try:
            out[name] = summary(kavri.fit_additive(family, x, y, terms))
        except Exception as e:
            out[name] = {"error": f"{type(e).__name__}: {e}"}
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--against")
    args = ap.parse_args()
    now = run()
    if not args.against:
        json.dump(now, sys.stdout, indent=1)
        print()
        return
    before = json.loads(Path(args.against).read_text())
    print(f"{'fit':28s} {'max |Δρ|':>10s} {'edf before':>11s} {'edf after':>10s} {'Δedf/edf':>9s}  shape before → after")
    for name, a in now.items():
        b = before.get(name)
        if b is None or "error" in a or "error" in b:
            print(f"{name:28s} before: {b.get('error', 'ok') if b else '-'}; after: {a.get('error', 'ok')}")
            continue
        drho = max(abs(p - q) for p, q in zip(a["rho"], b["rho"]))
        rel = (a["edf"] - b["edf"]) / b["edf"]
        shapes = ", ".join(f"{p:.4g}→{q:.4g}" for p, q in zip(b["shape"], a["shape"]))
        print(f"{name:28s} {drho:10.3g} {b['edf']:11.5g} {a['edf']:10.5g} {rel:9.2g}  {shapes}")


if __name__ == "__main__":
    main()

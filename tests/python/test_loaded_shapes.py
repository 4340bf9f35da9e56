"""Loaded models have the shapes that fits give them.

A frame whose predictor no fit could have written is refused when it is
read, with a ValueError naming the field; every frame that loads keeps the
work of its methods within the size of the arrays it stores.
"""

import json
import subprocess
import sys

import numpy as np
import pytest

import frames
import simulated
from frames import additive_predictor, cr_predictor, cr_stable_predictor, re_predictor, tensor_predictor
from kavri import FittedGam, fit_additive


def text(value):
    return json.dumps(value, separators=(",", ":"), allow_nan=False)


def with_fields(predictor, **fields):
    return {**predictor, **{k: frames.array(v) for k, v in fields.items()}}


# (name, predictor, the reader's text)
HOSTILE = [
    # One stored coefficient standing for a basis of 6000 functions.
    ("6000 knots, a 6000 × 0 centring", with_fields(cr_predictor(), knots=np.linspace(0.0, 1.0, 6000),
                                                    centring=np.zeros((6000, 0))),
     "invalid shape of `centring`: 6000 × 0, expected 6000 × 5999 for 6000 knots"),
    ("centring short of a column", with_fields(cr_predictor(), centring=np.zeros((5, 3))),
     "invalid shape of `centring`: 5 × 3, expected 5 × 4 for 5 knots"),
    ("centring short of a row", with_fields(cr_predictor(), centring=np.zeros((4, 4))),
     "invalid shape of `centring`: 4 × 4, expected 5 × 4 for 5 knots"),
    ("two knots", with_fields(cr_predictor(), knots=[0.0, 1.0], centring=[[-1.0], [1.0]]),
     "invalid length of `knots`: 2, expected at least 3 knots"),
    ("cr_stable rotation a row short", with_fields(cr_stable_predictor(), reparam_v=np.eye(4)[:3]),
     "invalid shape of `reparam_v`: 3 × 4, expected 4 × 4 for 5 knots"),
    ("tensor transform of margin a", with_fields(tensor_predictor(), xp_a=np.eye(3)),
     "invalid shape of `xp_a`: 3 × 3, expected 4 × 4 for 4 knots in `knots_a`"),
    ("tensor centring without columns", with_fields(tensor_predictor(), centring=np.zeros((12, 0))),
     "invalid shape of `centring`: 12 × 0, expected 12 × 11 for 4 × 3 margin knots"),
    # Reversed levels used to load and match nothing: every prediction the
    # intercept alone.
    ("reversed levels", re_predictor([6.0, 4.0, 2.0, 0.0]),
     "invalid value of `levels`: 4 at index 1 after 6, expected strictly increasing levels"),
    ("repeated level", re_predictor([0.0, 1.0, 1.0, 2.0]),
     "invalid value of `levels`: 1 at index 2 after 1, expected strictly increasing levels"),
    ("0.0 before -0.0", re_predictor([0.0, -0.0]),
     "invalid value of `levels`: -0 at index 1 after 0, expected strictly increasing levels"),
    ("null level", {"kind": "re", "levels": [0.0, None, 2.0]},
     "invalid value of `levels`: NaN at index 1, expected finite levels"),
    ("a term of an additive predictor",
     additive_predictor([(re_predictor(), [2]), (with_fields(cr_predictor(), centring=np.zeros((5, 5))), [0])]),
     "invalid shape of `centring`: 5 × 5, expected 5 × 4 for 5 knots"),
]


@pytest.mark.parametrize("predictor, message", [c[1:] for c in HOSTILE], ids=[c[0] for c in HOSTILE])
def test_shapes_no_fit_produces_are_refused_when_read(predictor, message):
    body = text(frames.model_body(predictor))
    # The payload is checked once the predictor value has closed.
    column = body.index('"predictor":') + len('"predictor":') + len(text(predictor))
    with pytest.raises(ValueError) as error:
        FittedGam.deserialize(frames.frame(frames.model_body(predictor)))
    assert type(error.value) is ValueError
    assert str(error.value) == (f"FittedGam::deserialize: JSON decode failed at byte {column}: {message} "
                                f"at line 1 column {column}")


# The smallest shapes of every variant, and level lists at their edges.
EDGES = [
    ("cr of 3 knots", cr_predictor(k=3)),
    ("cr_stable of 3 knots", cr_stable_predictor(k=3)),
    ("tensor of 3 × 3 knots", tensor_predictor(k_a=3, k_b=3)),
    ("no levels", re_predictor([])),
    ("one level", re_predictor([2.0])),
    ("both zeros", re_predictor([-1.0, -0.0, 0.0, 1.0])),
    ("additive of the smallest", additive_predictor([(cr_predictor(k=3), [0]), (re_predictor([0.0]), [2]),
                                                     (tensor_predictor(k_a=3, k_b=3), [0, 1])])),
]


@pytest.mark.parametrize("predictor", [c[1] for c in EDGES], ids=[c[0] for c in EDGES])
def test_the_smallest_shapes_load_and_answer_every_method(predictor):
    model = frames.loaded(predictor)
    x = frames.covariates(6)
    p = frames.width(predictor)
    assert model.evaluate_lpmatrix(x).shape == (6, p)
    for result in [model.predict(x), model.predict_response(x), *model.predict_ci(x), *model.predict_diff(x, x[:1])]:
        assert result.shape == (6,)
    assert FittedGam.deserialize(model.serialize()).serialize() == model.serialize()


def test_both_zeros_are_levels_of_their_own_as_a_fit_writes_them():
    x = simulated.X.copy()
    x[:, 4] = np.where(np.arange(len(x)) % 3 == 0, -0.0, np.where(np.arange(len(x)) % 3 == 1, 0.0, 1.0))
    fitted = fit_additive("gaussian", x, simulated.response("gaussian"), [(0, "cr", 3), (4, "re")])
    model = FittedGam.deserialize(fitted.serialize())
    assert model.serialize() == fitted.serialize()
    # Columns 3 to 5 indicate -0.0, 0.0 and 1.0.
    lp = model.evaluate_lpmatrix(np.array([[0.5, 0, 0, 0, -0.0], [0.5, 0, 0, 0, 0.0], [0.5, 0, 0, 0, 1.0]]))
    np.testing.assert_array_equal(lp[:, 3:], np.eye(3))


# --- bounded work ------------------------------------------------------------
#
# Frames written as compactly as JSON allows (every stored number a bare 0),
# so that the most work per stored byte is asked of each method.


def zeros(count):
    return ",".join(["0"] * count)


def compact_array(*dims):
    return f"[1,[{','.join(map(str, dims))}],[{zeros(int(np.prod(dims)))}]]"


def counting(n):
    return f"[1,[{n}],[{','.join(map(str, range(n)))}]]"


def identity(n):
    return f"[1,[{n},{n}],[{','.join('1' if i % (n + 1) == 0 else '0' for i in range(n * n))}]]"


def compact_frame(predictor, p):
    body = (f'{{"beta":{compact_array(p)},"rho":[1,[1],[0]],"lambda":[1,[1],[1]],"scale":1,"edf_total":1,'
            f'"edf_per_term":[1,[1],[1]],"n":10,"n_iters":1,"converged":true,"reml_value":0,"predictor":{predictor},'
            f'"vcov":{compact_array(p, p)},"link_kind":"Log"}}').encode()
    return frames.HEADER.pack(b"KAVRI", 1, len(body)) + body


# (name, frame, the field a refusal names, or None for a frame that loads)
BOUNDED = [
    ("6000 knots, a 6000 × 0 centring", compact_frame(f'{{"kind":"cr","knots":{counting(6000)},'
                                                      f'"centring":[1,[6000,0],[]]}}', 1), "`centring`"),
    ("reversed levels", compact_frame('{"kind":"re","levels":[6,4,2,0]}', 5), "`levels`"),
    ("cr of 1000 knots", compact_frame(f'{{"kind":"cr","knots":{counting(1000)},'
                                       f'"centring":{compact_array(1000, 999)}}}', 1000), None),
    ("tensor of 30 × 30 knots",
     compact_frame(f'{{"kind":"tensor","col_a":0,"col_b":1,"bs_a":"cr","bs_b":"cr","knots_a":{counting(30)},'
                   f'"knots_b":{counting(30)},"xp_a":{identity(30)},"xp_b":{identity(30)},'
                   f'"centring":{compact_array(900, 899)}}}', 900), None),
    ("re of 2000 levels", compact_frame(f'{{"kind":"re","levels":[{",".join(map(str, range(2000)))}]}}', 2001),
     None),
    # The reader keeps every member of a predictor until it knows the
    # variant, those of no variant too.
    ("an unknown predictor member of 3 million numbers",
     compact_frame(f'{{"unknown":{compact_array(3_000_000)},"kind":"re","levels":[0,1]}}', 3), None),
]

# Loads the frame in the file named by argv[1] and calls every method of
# the model; prints what the reader said, or nothing, then the growth of
# the peak resident size over the size before loading, in bytes.
EVERY_METHOD = """
import sys

import numpy as np
from kavri import FittedGam



def status_kb(field):
    # The peak of this process's own memory; the resource module's peak
    # may start from the parent's size at the fork.
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


data = open(sys.argv[1], "rb").read()
x = np.array([[0.5, 0.5], [1.5, 2.5], [29.0, 3.0]])
before = status_kb("VmRSS")
try:
    model = FittedGam.deserialize(data)
except ValueError as error:
    print(error)
else:
    print()
    for name in ["beta", "rho", "lambda", "edf_per_term", "shape_params", "scale", "edf_total", "n", "n_iters",
                 "converged", "reml_value"]:
        getattr(model, name)
    model.vcov()
    model.term_col_ranges()
    model.evaluate_lpmatrix(x)
    model.predict(x)
    model.predict_response(x)
    model.predict_ci(x)
    model.predict_ci(x, 0.9, "link")
    model.predict_diff(x, x[:1])
    model.serialize()
    model.__reduce__()
    del model
print((status_kb("VmHWM") - before) * 1024)
"""


@pytest.mark.parametrize("data, field", [c[1:] for c in BOUNDED], ids=[c[0] for c in BOUNDED])
def test_every_method_stays_within_ten_times_the_frame(tmp_path, data, field):
    path = tmp_path / "frame.bin"
    path.write_bytes(data)
    # A fresh process measures its own peak; the timeout only bounds a
    # failing run.
    out = subprocess.run([sys.executable, "-c", EVERY_METHOD, str(path)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    refusal, growth = out.stdout.splitlines()
    if field is None:
        assert refusal == ""
    else:
        assert refusal.startswith("FittedGam::deserialize: JSON decode failed at byte ") and field in refusal
    # The fixed part covers the interpreter's own allocations and those of
    # the results.
    assert int(growth) < 10 * len(data) + 50 * 2**20

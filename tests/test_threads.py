"""Several Python threads calling the module at once give the bits of the same
calls made one after another; releasing the workspaces between batches keeps
them; after finalize_kokkos every thread gets RuntimeError."""
import copy
import threading

import numpy as np

import radiredide as rr
from conftest import misaligned, run_python
from hostile_cases import NOT_HOSTILE, RECIPES, load_bases

_FUNCTIONS, METHODS = load_bases()
BASES = {n: c for n, c in _FUNCTIONS.items() if n not in NOT_HOSTILE}
EVALUATIONS = [(c, m) for c in ("BatchEvaluator64", "BatchEvaluator32")
               for m in ("evaluate", "evaluate_grad", "evaluate_time", "evaluate_time_grad")
               if hasattr(rr, c) and (c.replace("32", "64"), m) in METHODS]


def _names():
    out = []
    for name in sorted(BASES):
        out.append(name)
        twin = getattr(rr, name + "_serial", None)
        if twin is not None:
            out.append(name + "_serial")
    return out


NAMES = _names()


def fingerprint(o, out=None):
    """Every array's dtype, shape and bytes, and every other value's repr."""
    out = [] if out is None else out
    if isinstance(o, np.ndarray):
        out.append((o.dtype.str, o.shape, np.ascontiguousarray(o).tobytes()))
    elif isinstance(o, (tuple, list)):
        for v in o:
            fingerprint(v, out)
    elif isinstance(o, dict):
        for k in sorted(o):
            out.append(k)
            fingerprint(o[k], out)
    else:
        out.append(repr(o))
    return out


def call(name, variant):
    """Call `name` on its valid inputs; variant 1 stages every array (misaligned)."""
    args, kwargs = BASES[name.removesuffix("_serial")]
    args, kwargs = copy.deepcopy(args), copy.deepcopy(kwargs)
    if variant:
        def move(v):
            return misaligned(v) if isinstance(v, np.ndarray) and v.dtype.itemsize > 1 else v
        args = [move(v) for v in args]
        kwargs = {k: move(v) for k, v in kwargs.items()}
    return fingerprint(getattr(rr, name)(*args, **kwargs))


def build(cls, method):
    """An evaluator configured by the recorded history of `method`, and the call."""
    hist = copy.deepcopy(METHODS[(cls.replace("32", "64"), method)])
    obj = None
    for name, args, kwargs in hist[:-1]:
        if name == "__init__":
            obj = getattr(rr, cls)(*args, **kwargs)
        else:
            getattr(obj, name)(*args, **kwargs)
    _, args, kwargs = hist[-1]
    return obj, lambda: fingerprint(getattr(obj, method)(*args, **kwargs))


def gpr_call(plan, thetas):
    return fingerprint(plan.evaluate_batch(thetas)) + fingerprint(plan.evaluate(*thetas[0]))


THETAS = np.array([[1.5, 0.1, -0.3], [3.0, -0.5, 0.7], [1.0, 0.2, 0.2], [20.0, 0.95, -0.99]])


def reference():
    ref = {(n, v): call(n, v) for n in NAMES for v in (0, 1)}
    ref["gpr"] = gpr_call(RECIPES["gpr_plan"](rr), THETAS)
    for key in EVALUATIONS:
        ref[key] = build(*key)[1]()
    return ref


def run_threads(n_threads, rounds, ref):
    """Each thread walks through every call in its own order, with its own plan."""
    errors = []
    start = threading.Barrier(n_threads)

    def work(t):
        try:
            plan = RECIPES["gpr_plan"](rr)
            evaluators = {key: build(*key) for key in EVALUATIONS}  # this thread's own
            keys = [k for k in ref if k != "gpr" and k not in evaluators]
            rng = np.random.default_rng(t)
            start.wait()
            for _ in range(rounds):
                for i in rng.permutation(len(keys)):
                    key = keys[i]
                    if call(*key) != ref[key]:
                        errors.append(f"thread {t}: {key} differs")
                if gpr_call(plan, THETAS) != ref["gpr"]:
                    errors.append(f"thread {t}: GPRContraction differs")
                for key, (_, run) in evaluators.items():
                    if run() != ref[key]:
                        errors.append(f"thread {t}: {key} differs")
        except BaseException as e:  # noqa: BLE001
            errors.append(f"thread {t}: {type(e).__name__}: {e}")
            start.abort()       # the threads still waiting fail instead of waiting for ever

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return errors


def test_concurrent_calls_give_sequential_bits():
    ref = reference()
    assert run_threads(4, 3, ref) == []


def test_release_between_batches_keeps_bits():
    ref = reference()
    plans = [RECIPES["gpr_plan"](rr) for _ in range(2)]
    evaluators = {key: build(*key) for key in EVALUATIONS}
    for _ in range(3):
        assert run_threads(3, 1, ref) == []
        rr.release_workspaces()
        assert rr.workspace_bytes() >= 0
        # Plans built before the release keep their configuration.
        for plan in plans:
            assert gpr_call(plan, THETAS) == ref["gpr"]
        for key, (_, run) in evaluators.items():
            assert run() == ref[key], key


# Scalar closed forms that launch no kernel and allocate no view: they keep
# working after finalize_kokkos.
NO_KERNEL = {"pn4_probe", "pn4_probe2", "quadrature_grid_size_probe"}


FINALIZE_CODE = """
import json, sys, threading, traceback
sys.path.insert(0, {tests!r})
import numpy as np, radiredide as rr
from test_threads import BASES, EVALUATIONS, NAMES, NO_KERNEL, build, call
from hostile_cases import RECIPES
GONE = ("RuntimeError: Kokkos is not initialized (finalize_kokkos() was called): radiredide "
        "cannot run kernels or allocate any more in this process")
n = 4
plans = [RECIPES["gpr_plan"](rr) for _ in range(n)]
evs = [[build(*key) for key in EVALUATIONS] for _ in range(n)]
ready, go = threading.Barrier(n + 1, timeout=300), threading.Barrier(n + 1, timeout=300)
unexpected = [[] for _ in range(n)]   # per thread: (call, what happened) where it was not expected


def outcome(f):
    try:
        f()
    except BaseException as e:
        return type(e).__name__ + ": " + str(e)
    return "no error"


def work(t):
    try:
        call(NAMES[t], 0)  # every thread has used its pool before the finalisation
        plans[t].evaluate(1.5, 0.0, 0.0)
        ready.wait()
        go.wait()
        for name in NAMES:
            got = outcome(lambda: call(name, t % 2))
            if got != ("no error" if name in NO_KERNEL else GONE):
                unexpected[t].append((name, got))
        calls = [("GPRContraction.evaluate", lambda: plans[t].evaluate(1.5, 0.0, 0.0)),
                 ("GPRContraction.evaluate_batch", lambda: plans[t].evaluate_batch(np.ones((2, 3))))]
        calls += [(".".join(key), run) for key, (_, run) in zip(EVALUATIONS, evs[t])]
        for what, f in calls:
            got = outcome(f)
            if got != GONE:
                unexpected[t].append((what, got))
    except BaseException:
        unexpected[t].append(("worker", traceback.format_exc()))
        ready.abort()
        go.abort()


threads = [threading.Thread(target=work, args=(t,)) for t in range(n)]
for th in threads:
    th.start()
finalized = None
try:
    ready.wait()
    finalized = rr.finalize_kokkos()
    go.wait()
except threading.BrokenBarrierError:
    pass
for th in threads:
    th.join()
print(json.dumps(dict(finalized=finalized, unexpected=unexpected)))
"""


def test_finalize_then_calls_raise_in_every_thread():
    """After finalize_kokkos every call in every thread raises RuntimeError with the
    module's message, except the probes that launch nothing, which still run."""
    import json
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    out = run_python(FINALIZE_CODE.format(tests=tests)).stdout.strip().splitlines()
    res = json.loads(out[-1])
    assert res["unexpected"] == [[]] * 4
    assert res["finalized"] is True

"""Call overhead of the interop layer's functions against Python functions.

Prints the time per call of a native function (argument binding and the C++
body), of the same C++ body bound by pybind11's own function machinery, and of
a Python function with the same parameters, for positional and keyword calls
and for a call that fails to bind. Figures depend on the
machine and its load; run it on a quiet machine to compare builds.

    PYTHONPATH=python python bench/interop_calls_bench.py
"""

import timeit

from vorn_metrics_plugin import _interop_probe as probe


def python_parameters(a, b=None, c=0):
    return (a, b, c)


CALLS = {
    "positional": "f(1, 2, 3)",
    "keywords": "f(1, c=3, b=2)",
    "defaults": "f(1)",
    "bad keyword (TypeError)": "try:\n    f(1, x=2)\nexcept TypeError:\n    pass",
}


def per_call(function, statement, number=200_000):
    timer = timeit.Timer(statement, globals={"f": function})
    return min(timer.repeat(repeat=5, number=number)) / number * 1e9


def main():
    print(f"{'call':<26}{'interop ns':>12}{'pybind11 ns':>13}{'python ns':>12}")
    for name, statement in CALLS.items():
        native = per_call(probe.parameters, statement)
        pybind11 = per_call(probe.pybind11_parameters, statement)
        python = per_call(python_parameters, statement)
        print(f"{name:<26}{native:>12.0f}{pybind11:>13.0f}{python:>12.0f}")


if __name__ == "__main__":
    main()

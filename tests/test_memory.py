"""Running out of memory is a MemoryError, not a crash, and the module stays usable."""
import subprocess
import sys
import textwrap

import pytest


def test_result_too_large_for_memory_raises_memory_error(sanitized):
    if sanitized:
        pytest.skip("caps the address space, which the sanitizer's shadow memory needs")
    code = textwrap.dedent("""
        import resource, lumo
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))
        m, d = 1_000_000, 1000          # flows alone would need d * m * 4 = 4 GB
        try:
            lumo.linear_assign([0] * m, [1] * m, [0.5] * m, [1.0] * m, [1.0, 0.0] * d, [1] * d)
        except MemoryError:
            print("MemoryError")
        print(lumo.linear_assign([0], [1], [0.5], [1.0], [2.0, 0.0], [1]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["MemoryError", "([2.0, 0.0], [2.0])"]


def test_memory_running_out_while_results_are_built_is_a_panic(sanitized):
    if sanitized:
        pytest.skip("caps the address space, which the sanitizer's shadow memory needs")
    # The computation fits; the result lists do not (flows: 25 million floats,
    # about 0.8 GB as Python objects). The interpreter's MemoryError is printed
    # and replaced by PanicException "Python API call failed".
    code = textwrap.dedent("""
        import resource, lumo
        m, d = 500, 50_000
        args = ([0] * m, [1] * m, [0.5] * m, [1.0] * m, [1.0, 0.0] * d, [1] * d)
        lumo.linear_assign(*args[:4], [1.0, 0.0], [1])     # pool started, pages touched
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))
        try:
            lumo.linear_assign(*args)
        except BaseException as e:
            print(type(e).__name__, e)
        print(lumo.linear_assign([0], [1], [0.5], [1.0], [2.0, 0.0], [1]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["PanicException Python API call failed", "([2.0, 0.0], [2.0])"]
    assert "MemoryError" in out.stderr


def test_stray_node_index_allocates_nothing_per_node(sanitized):
    if sanitized:
        pytest.skip("caps the address space, which the sanitizer's shadow memory needs")
    # node counts of 2^29 - 1 and 2^31 + 1 from a single arc: with no destination there is
    # nothing to compute, and a failure is found before the per-stop demand blocks exist
    code = textwrap.dedent("""
        import resource, lumo
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        print(lumo.linear_assign([2**29 - 2], [0], [1.0], [1.0], [], []))
        print(lumo.linear_congested_assign([0], [2**31], [1.0], [1.0], [], [], 1.0))
        print(lumo.linear_congested_assign([2**29 - 2], [0], [0.5], [1.0], [], [], 1.0, max_iters=3))
        bad_rows = [[0.0, 1.0]] + [[]] * 19999
        for call in (lambda: lumo.mat_linear_assign([[0, 1]], [0.1], bad_rows, []),
                     lambda: lumo.mat_linear_congested_assign([[0, 1]], [0.1], bad_rows, [], 1.0),
                     lambda: lumo.linear_congested_assign([0], [2**31], [1.0], [1.0], [1.0], [0], 1.0)):
            try:
                call()
            except BaseException as e:
                print(type(e).__name__, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "([], [])", "([], [])", "([], [])",
        "PanicException index out of bounds: the len is 0 but the index is 0",
        "PanicException index out of bounds: the len is 0 but the index is 0",
        "PanicException range end index 2147483649 out of range for slice of length 1"]

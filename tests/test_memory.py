"""Running out of memory is a MemoryError, not a crash, and the module stays usable."""
import subprocess
import sys
import textwrap


def test_result_too_large_for_memory_raises_memory_error():
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


def test_memory_running_out_while_results_are_built_is_a_panic():
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

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

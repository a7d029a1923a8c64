"""lumo inside a whole process: interpreter exit while a thread computes, fork,
and the pool size taken from the environment. Each case runs in subprocesses
with a time-out, since the faults they guard against are aborts and hangs."""
import os
import subprocess
import sys
import textwrap

import pytest

# A random arc-form network with positive frequencies and costs (no NaN, so
# results compare with ==), shared by the child programs below.
NETWORK = textwrap.dedent("""
    import random
    def network(n, d, m, seed=1):
        rng = random.Random(seed)
        frm = [rng.randrange(n) for _ in range(m)]
        to = [rng.randrange(n) for _ in range(m)]
        fq = [rng.uniform(0.05, 1.0) for _ in range(m)]
        co = [rng.uniform(1.0, 10.0) for _ in range(m)]
        dst = [rng.randrange(n) for _ in range(d)]
        return frm, to, fq, co, [1.0] * (n * d), dst
""")


def run(code, env=None, timeout=60):
    return subprocess.run([sys.executable, "-c", NETWORK + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else {**os.environ, **env})


def test_exit_while_a_daemon_thread_computes_is_clean():
    # The main thread returns while a daemon thread is inside lumo; taking the
    # lock back during finalisation must end that thread quietly, every time.
    code = textwrap.dedent("""
        import sys, threading, time, lumo
        net = network(400, 300, 1600)
        def loop():
            while True:
                lumo.linear_assign(*net)
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.15)
    """)
    runs, batch = 30, 3
    codes = []
    for _ in range(runs // batch):
        procs = [subprocess.Popen([sys.executable, "-c", NETWORK + code],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                 for _ in range(batch)]
        for p in procs:
            _, err = p.communicate(timeout=60)
            codes.append((p.returncode, err.decode()[-300:]))
    assert [c for c in codes if c[0] != 0] == []


FORK_CHILD = """
    import os, signal, threading, warnings, lumo
    warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running
    net = network(60, 20, 240)
    congested = (*net, 50.0, 0.1, 0.2, 0.0, 3)
    lines = ([[0, 1, 2], [2, 0], [1, 3, 0]], [0.2, 0.1, 0.3],
             [[float(a + b) for b in range(4)] for a in range(4)],
             [[1.0 if a != b else 0.0 for b in range(4)] for a in range(4)])
    def compute():
        return (lumo.linear_assign(*net), lumo.linear_congested_assign(*congested),
                lumo.mat_linear_assign(*lines))
    def threads():
        return len(os.listdir("/proc/self/task"))
"""


def test_forked_children_compute_without_the_parents_pool():
    # Children forked while two parent threads compute: each child's results
    # equal the parent's, no pool thread is started in it, and none hangs
    # (a hang ends the child through its alarm).
    code = FORK_CHILD + """
    want = compute()
    big = network(40, 8, 160, seed=2)   # keeps the parent's threads entering and leaving the pool
    big_want = lumo.linear_assign(*big)
    stop = threading.Event()
    def loop():
        while not stop.is_set():
            assert lumo.linear_assign(*big) == big_want
    busy = [threading.Thread(target=loop) for _ in range(2)]
    for t in busy:
        t.start()
    outcome = {"ok": 0, "wrong": 0, "pool threads": 0, "hung": 0, "other": 0}
    for _ in range(300):
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)
            got = compute()
            os._exit(0 if got == want and threads() == 1 else 1 if got != want else 2)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGALRM:
            outcome["hung"] += 1
        else:
            key = {0: "ok", 1: "wrong", 2: "pool threads"}.get(os.waitstatus_to_exitcode(status), "other")
            outcome[key] += 1
    stop.set()
    for t in busy:
        t.join()
    print(outcome)
    """
    out = run(code, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str({"ok": 300, "wrong": 0, "pool threads": 0, "hung": 0, "other": 0})


def test_multiprocessing_fork_pool_and_a_fresh_child_pool():
    # The fork start method keeps working (children compute serially and get
    # the parent's results); a child of a process that never computed starts
    # its own pool.
    code = FORK_CHILD + """
    import multiprocessing as mp
    cpus = len(os.sched_getaffinity(0))
    pid = os.fork()   # before any computation: the child may start a pool
    if pid == 0:
        compute()
        os._exit(0 if cpus < 2 or threads() > 1 else 3)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    want = compute()
    def job(_):
        return compute(), threads()
    with mp.get_context("fork").Pool(2) as pool:
        results = pool.map(job, range(4))
    assert all(r == want for r, _ in results)
    assert all(t == 1 for _, t in results), results
    print("ok")
    """
    out = run(code, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.parametrize("value", ["1", "2", "100000000", str(2**31 - 1), str(2**32 + 1), str(2**64 + 5)])
def test_thread_count_from_the_environment_is_capped(value, sanitized):
    if sanitized:
        pytest.skip("caps the address space, which the sanitizer's shadow memory needs")
    # Any positive value works at once and in bounded memory: the pool has at
    # most min(value, processors) threads, the calling one included (workers
    # start asynchronously, so fewer may be up when the count is taken).
    code = """
    import os, resource, lumo
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
    net = network(200, 120, 800)
    got = lumo.linear_assign(*net)
    print(len(os.listdir("/proc/self/task")), len(os.sched_getaffinity(0)), repr(got))
    """
    plain = run(code, env={"RAYON_NUM_THREADS": ""}, timeout=60)
    capped = run(code, env={"RAYON_NUM_THREADS": value}, timeout=60)
    assert capped.returncode == 0 and plain.returncode == 0, capped.stderr + plain.stderr
    threads, cpus, got = capped.stdout.split(" ", 2)
    assert 1 <= int(threads) <= min(int(value), int(cpus))
    assert got == plain.stdout.split(" ", 2)[2]  # bit for bit, whatever the thread count

"""Helpers the cluster tests run on the workers (whose processes inherit the
test run's sys.path, so they import this module as the client does)."""
import sys
import time


def slow(name, seconds, falling, *args):
    """The block task `name` of lumo.distributed, after a wait: `seconds`, or
    with `falling` seconds / (1 + the block's first destination), so that
    later blocks finish first."""
    import lumo.distributed  # not at import: the tests check what importing lumo loads

    dsts = args[3]
    time.sleep(seconds / (1 + int(dsts[0])) if falling else seconds)
    return getattr(lumo.distributed, name)(*args)


def slow_from(first, seconds, name, *args):
    """The block task `name` of lumo.distributed, after `seconds` for the
    blocks from destination `first` on."""
    import lumo.distributed

    if int(args[3][0]) >= first:
        time.sleep(seconds)
    return getattr(lumo.distributed, name)(*args)


def slow_on(worker, seconds, name, *args):
    """The block task `name` of lumo.distributed, after `seconds` on the
    worker `worker` only: that worker falls behind the others."""
    import lumo.distributed
    from distributed import get_worker

    if get_worker().address == worker:
        time.sleep(seconds)
    return getattr(lumo.distributed, name)(*args)


def spoil(how, folder):
    """Makes this worker lose lumo ("missing"), see another version of it
    ("other": `folder` holds a lumo dist-info of version 0.0.1), or mends it."""
    if how == "missing":
        sys.modules["lumo_saved_arrays"] = sys.modules.get("lumo.arrays")
        sys.modules["lumo.arrays"] = None
    elif how == "other":
        sys.path.insert(0, folder)
    elif how == "mend":
        saved = sys.modules.pop("lumo_saved_arrays", "absent")
        if saved != "absent":
            if saved is None:
                sys.modules.pop("lumo.arrays", None)
            else:
                sys.modules["lumo.arrays"] = saved
        if folder in sys.path:
            sys.path.remove(folder)

# Private native half of lumo.arrays; its callers in lumo/arrays.py check every argument.
from typing import Any

class Buffer: ...

InputError: type[ValueError]
PanicException: type[BaseException]

def assign(*args: Any) -> tuple[Any, ...]: ...
def congested(*args: Any) -> tuple[Any, ...]: ...

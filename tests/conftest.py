"""Shared fixtures."""

import os

import pytest


@pytest.fixture(scope="session")
def sanitized():
    """Whether the extension modules run under the address and undefined-
    behaviour sanitizers (tools/sanitize.sh): their shadow memory reserves
    terabytes of address space, so a test that caps the address space, or
    times a reaction closely, cannot hold there."""
    return "asan" in os.environ.get("LD_PRELOAD", "") or os.environ.get("LUMO_SANITIZED") == "1"

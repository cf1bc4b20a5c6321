"""Allocation-failure sweeps of zorvic.core.worker_pool (see harness.py)."""

"""Stress and fault-injection runs of zorvic.core.worker_pool (see harness.py)."""

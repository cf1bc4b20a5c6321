"""Zorvic core: the compiled `worker_pool` module lives here."""

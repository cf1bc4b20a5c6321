"""Zorvic: building blocks for agents on an asyncio event loop."""

"""Business-intelligence layer of Tarnwick."""

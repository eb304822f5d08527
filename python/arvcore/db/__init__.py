"""Table database access."""

// Keeps the support library non-empty before the harness has sources.

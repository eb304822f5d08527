"""Device-family modules of the SDK."""

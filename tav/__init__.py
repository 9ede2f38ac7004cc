"""tav: incremental UTF-8 validation and WebSocket payload masking in native code."""

__version__ = "0.1.0"

"""The package's version, in a module of its own so that any module can read it
without importing the package root."""

__version__ = "0.1.0"

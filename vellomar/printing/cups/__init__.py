"""CUPS support of the printing client: the setup extension and its command runner."""

__version__ = "0.4.0"

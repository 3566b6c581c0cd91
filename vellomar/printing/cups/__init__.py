"""CUPS support of the printing client: the setup extension and its command runner."""

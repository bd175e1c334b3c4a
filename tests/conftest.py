"""Test-suite configuration: the optional reference-leak mode."""

pytest_plugins = ["refleak"]

"""Namespace of the vellomar printing client."""

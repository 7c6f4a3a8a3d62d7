"""Readers of data files: what kind a file is and how it is laid out."""

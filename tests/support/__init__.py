"""Test support: the MF4 writer and its checks (not part of the installed
module)."""

"""Misuse that the stubs must reject: mypy is expected to report every line marked E."""

from gapwright import MNARrs

MNARrs(seed=1.5)  # E: a float seed
MNARrs(mean="0.5")  # E: a str mean
MNARrs(foo=1)  # E: an unknown keyword
MNARrs()([[1.0]], 0.1)  # E: a list is not a container the call takes

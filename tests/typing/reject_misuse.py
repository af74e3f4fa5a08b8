"""Misuse that the stubs must reject: each checker is expected to report every line marked E."""

import numpy as np

from gapwright import MNARrs, PanicException

MNARrs(seed=1.5)  # E: a float seed
MNARrs(mean="0.5")  # E: a str mean
MNARrs(foo=1)  # E: an unknown keyword
MNARrs(0.5, 0.0, 1, 2, False)  # E: dump is keyword-only
MNARrs(dump=1)  # E: dump takes a bool
MNARrs()([[1.0]], 0.1)  # E: a list is not a container the call takes
MNARrs()(np.zeros((4, 2), dtype=np.int64), 0.1)  # E: an int array, which the call refuses
ordinary: Exception = PanicException("boom")  # E: PanicException is no Exception

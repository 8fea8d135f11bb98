"""tulo: an image-analysis workspace and image operations on OpenCV, for NumPy arrays.

Images are NumPy arrays as cv2 has them: uint8 (or another depth OpenCV takes), shape (H, W) or
(H, W, C), BGR order. Arrays pass in without a copy when C-contiguous, and every image returned
shares the buffer of the C++ matrix and keeps it alive. Image operations run without the GIL, so
threads with a workspace each run in parallel.
"""
from ._tulo import *  # noqa: F401,F403  (the names of the C++ library)
from ._tulo import Opsira, __version__

EMatType = Opsira.EMatType
EThresholdType = Opsira.EThresholdType

import numpy as np
import numpy.typing as npt

__version__: str

def AdaptiveThreshold(
    input_image: npt.ArrayLike | None,
    output_image: npt.NDArray[np.int16] | None,
    percent: int,
    region_size: int,
    debug: bool = False,
    smooth_his: bool = False,
) -> bool:
    """Adaptive threshold of an image"""

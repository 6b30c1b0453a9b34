# Types of tamrix.dask.
from typing import Any, Callable, Sequence

import numpy as np
import numpy.typing as npt

def stack(lights: Sequence[Any], *, client: Any, darks: Sequence[Any] | None = None,
          flats: Sequence[Any] | None = None, biases: Sequence[Any] | None = None, reference: int = 0,
          method: str = "sigma-clip", sigma: tuple[float, float] = (3, 3), exposures: Sequence[float] | None = None,
          dark_exposure: float | None = None, weighted: bool = False, load: Callable[[Any], Any] | None = None,
          band_rows: int = 256
          ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint16], list[dict[str, Any]]]: ...

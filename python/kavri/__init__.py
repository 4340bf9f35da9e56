"""kavri: generalized additive models with smoothing chosen by Laplace-approximate REML."""

from kavri._kavri_native import FittedGam, fit, fit_additive
from kavri._version import __version__

__all__ = ["FittedGam", "fit", "fit_additive", "__version__"]

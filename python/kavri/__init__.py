"""kavri: generalized additive models with smoothing chosen by Laplace-approximate REML."""

__version__ = "0.1.0"
__all__ = ["__version__"]

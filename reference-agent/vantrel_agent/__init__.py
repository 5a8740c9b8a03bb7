"""Reference agent: the agent program the desktop application supervises, with simulated equipment."""

__version__ = "1.0.0"

"""The tesmo command line and the visual change report, built on the tesmo module."""

__all__: list[str] = []

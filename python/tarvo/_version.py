"""The release of Tarvo this module belongs to (the contract test checks it
against the build's version)."""
__version__ = "1.1.0"

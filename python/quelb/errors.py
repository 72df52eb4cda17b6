"""Errors about what the caller asked for, each stated in one line naming the problem."""

__all__ = ["UsageError", "ExpressionError", "UnknownDataset", "StreamError"]


class UsageError(ValueError):
    """A request that cannot be carried out as given; the message says what to change."""


class ExpressionError(UsageError):
    """A model, metric or generator expression that does not parse, names an unknown class or
    gives arguments the class does not accept."""


class UnknownDataset(UsageError):
    """A dataset or generator name that is not known."""


class StreamError(UsageError):
    """A stream item that is not a (sample, target) pair of the types the models take."""
